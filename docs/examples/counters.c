/* Counters: a 1 kHz square wave from counters 1 and 2 of block 0, a counter read, and a pulse width.
 *
 *     counters          on the first board attached to this computer
 *     counters --sim    on a simulated board (product 0x8020), whose gate 0 gets 200 us pulses
 *
 * Build: cc counters.c -lkorval
 */
#define _POSIX_C_SOURCE 199309L
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <korval/korval.h>
#include <korval/sim.h>

int main(int argc, char **argv)
{
    KorvalSim *sim = NULL;
    uint32_t board = 0;
    if (argc > 1 && strcmp(argv[1], "--sim") == 0) {
        sim = KorvalSim_Create();
        board = KorvalSim_AddBoard(sim, 0x8020, KORVAL_SIM_WINUSB);
        KORVAL_InstallHost(KorvalSim_Host(sim));
    }
    const uint32_t dev = FirstDeviceIndex;

    /* A frequency source: the frequency obtained is written back. */
    double hz = 1000.0;
    uint32_t r = CTR_StartOutputFreq(dev, 0, &hz);
    if (r != ERROR_SUCCESS) {
        fprintf(stderr, "CTR_StartOutputFreq failed: %u %s\n", (unsigned)r, KORVAL_ResultName(r));
        return 1;
    }
    printf("frequency obtained: %.3f Hz\n", hz);

    /* Counter 0 of block 0: mode 2 (rate generator), loaded with 50,000; read it back. */
    uint16_t count = 0;
    r = CTR_8254ReadModeLoad(dev, 0, 0, 2, 50000, &count);
    printf("counter 0 after loading: %u (%u %s)\n", count, (unsigned)r, KORVAL_ResultName(r));

    /* Pulse widths: the monitor thread measures every counter; a fetch gives 1104 until one is ready. */
    if (sim != NULL) KorvalSim_SetGatePulseTrain(sim, board, 0, 200000, 800000); /* 200 us high */
    if (r == ERROR_SUCCESS) r = CTR_StartMeasuringPulseWidth(dev);
    uint16_t width = 0;
    uint32_t got = ERROR_NO_DATA_DETECTED;
    struct timespec pause = {0, 1000000L};
    for (int tries = 0; r == ERROR_SUCCESS && got == ERROR_NO_DATA_DETECTED && tries < 5000; ++tries) {
        got = CTR_GetPulseWidthMeasurement(dev, 0, 0, &width);
        if (got == ERROR_NO_DATA_DETECTED) nanosleep(&pause, NULL);
    }
    CTR_StopMeasuringPulseWidth(dev);
    if (got == ERROR_SUCCESS) printf("pulse width on counter 0: %u counts\n", width);

    CTR_StartOutputFreq(dev, 0, &(double){0.0}); /* stops counters 1 and 2 */
    if (sim != NULL) {
        KORVAL_InstallHost(NULL);
        KorvalSim_Destroy(sim);
    }
    return r == ERROR_SUCCESS && got == ERROR_SUCCESS ? 0 : 1;
}
