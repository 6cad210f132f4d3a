/* Waveform output: a 100 Hz sine on one channel at 100,000 points per second for half a second.
 *
 *     waveform          on the first board attached to this computer
 *     waveform --sim    on a simulated board (product 0x4001), reporting the points it played
 *
 * Build: cc waveform.c -lkorval -lm
 */
#define _POSIX_C_SOURCE 199309L
#include <math.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <korval/korval.h>
#include <korval/sim.h>

enum { kFramePoints = 1000 };

int main(int argc, char **argv)
{
    KorvalSim *sim = NULL;
    uint32_t board = 0;
    if (argc > 1 && strcmp(argv[1], "--sim") == 0) {
        sim = KorvalSim_Create();
        board = KorvalSim_AddBoard(sim, 0x4001, KORVAL_SIM_WINUSB);
        KORVAL_InstallHost(KorvalSim_Host(sim));
    }
    const uint32_t dev = FirstDeviceIndex;

    double rate = 100000.0; /* points per second; the rate obtained is written back */
    uint32_t r = DACOutputOpen(dev, &rate);
    if (r == ERROR_SUCCESS) r = DACOutputSetCount(dev, 1); /* one channel per point */
    if (r != ERROR_SUCCESS) {
        fprintf(stderr, "open failed: %u %s\n", (unsigned)r, KORVAL_ResultName(r));
        return 1;
    }
    printf("point rate obtained: %.1f /s\n", rate);

    /* 12-bit codes, mid-scale 2048; one frame is 10 ms of the sine. */
    uint16_t frame[kFramePoints];
    const double pi = 3.14159265358979323846;
    const int frames = (int)(rate * 0.5 / kFramePoints);
    for (int f = 0; f < frames && r == ERROR_SUCCESS; ++f) {
        for (int i = 0; i < kFramePoints; ++i) {
            double t = (f * kFramePoints + i) / rate;
            frame[i] = (uint16_t)(2048 + 2000 * sin(2 * pi * 100.0 * t));
        }
        /* A full queue refuses a frame with 21 (ERROR_NOT_READY): try again a moment later. */
        struct timespec pause = {0, 1000000L};
        while ((r = DACOutputFrame(dev, kFramePoints, frame)) == ERROR_NOT_READY) nanosleep(&pause, NULL);
    }
    /* The output starts by itself once 163,840 bytes are on their way; a shorter waveform is started
       here (183, ERROR_ALREADY_EXISTS, when it has started already). */
    if (r == ERROR_SUCCESS && (r = DACOutputStart(dev)) == ERROR_ALREADY_EXISTS) r = ERROR_SUCCESS;
    uint32_t closed = DACOutputClose(dev); /* returns once every block has reached the board */
    if (r == ERROR_SUCCESS) r = closed;
    printf("output %s: %u %s\n", r == ERROR_SUCCESS ? "done" : "failed", (unsigned)r, KORVAL_ResultName(r));

    if (sim != NULL) {
        KorvalSimDacStream played;
        KorvalSim_GetDacStream(sim, board, &played);
        printf("simulated board: %llu bytes received, started %u times\n",
               (unsigned long long)played.bytes_received, (unsigned)played.starts);
        if (played.bytes_received != (uint64_t)frames * kFramePoints * 2 || played.starts != 1) r = ERROR_GEN_FAILURE;
        KORVAL_InstallHost(NULL);
        KorvalSim_Destroy(sim);
    }
    return r == ERROR_SUCCESS ? 0 : 1;
}
