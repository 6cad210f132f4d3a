/* Digital streaming from the board: 4,096 16-bit points at 100 kHz.
 *
 *     dio_stream          on the first board attached to this computer
 *     dio_stream --sim    on a simulated board (product 0x8008), which counts from 0
 *
 * Build: cc dio_stream.c -lkorval
 */
#include <stdio.h>
#include <string.h>

#include <korval/korval.h>
#include <korval/sim.h>

enum { kPoints = 4096 };

int main(int argc, char **argv)
{
    KorvalSim *sim = NULL;
    if (argc > 1 && strcmp(argv[1], "--sim") == 0) {
        sim = KorvalSim_Create();
        KorvalSim_AddBoard(sim, 0x8008, KORVAL_SIM_WINUSB);
        KORVAL_InstallHost(KorvalSim_Host(sim));
    }
    const uint32_t dev = FirstDeviceIndex;

    /* Clock A paces the stream from the board, clock B the stream to it; 0 turns a clock off. */
    double clock_a = 100000.0, clock_b = 0.0;
    uint32_t r = DIO_StreamSetClocks(dev, &clock_a, &clock_b);
    if (r == ERROR_SUCCESS) r = DIO_StreamOpen(dev, 1); /* 1: from the board */
    if (r != ERROR_SUCCESS) {
        fprintf(stderr, "open failed: %u %s\n", (unsigned)r, KORVAL_ResultName(r));
        return 1;
    }
    printf("clock A obtained: %.1f Hz\n", clock_a);

    static uint16_t points[kPoints];
    uint32_t moved = 0;
    r = DIO_StreamFrame(dev, kPoints, points, &moved); /* returns when the points have come */
    uint32_t closed = DIO_StreamClose(dev);
    if (r == ERROR_SUCCESS) r = closed;
    printf("%u bytes, first points %u %u %u, result %u %s\n", (unsigned)moved, points[0], points[1], points[2],
           (unsigned)r, KORVAL_ResultName(r));

    if (sim != NULL) {
        KORVAL_InstallHost(NULL);
        KorvalSim_Destroy(sim);
    }
    return r == ERROR_SUCCESS && moved == sizeof points ? 0 : 1;
}
