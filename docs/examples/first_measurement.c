/* The first measurement: one scan of channels 0 to 3 in volts, in the +-10 V range.
 *
 *     first_measurement          on the first board attached to this computer
 *     first_measurement --sim    on a simulated board (product 0x8040) with a 2.5 V signal on channel 0
 *
 * Build: cc first_measurement.c -lkorval
 */
#include <stdio.h>
#include <string.h>

#include <korval/korval.h>
#include <korval/sim.h>

static int check(const char *what, uint32_t result)
{
    if (result == ERROR_SUCCESS) return 0;
    const char *name = KORVAL_ResultName(result);
    fprintf(stderr, "%s failed: %u %s\n", what, (unsigned)result, name ? name : "(driver code)");
    return 1;
}

int main(int argc, char **argv)
{
    KorvalSim *sim = NULL;
    if (argc > 1 && strcmp(argv[1], "--sim") == 0) {
        sim = KorvalSim_Create();
        uint32_t board = KorvalSim_AddBoard(sim, 0x8040, KORVAL_SIM_WINUSB);
        KorvalSimAdcSignal level = {KORVAL_SIM_SIGNAL_CONSTANT, 0, 2.5, 0.0, 0.0};
        KorvalSim_SetAdcSignal(sim, board, 0, &level);
        KORVAL_InstallHost(KorvalSim_Host(sim));
    }

    /* 1. Which board: the first one found. */
    uint32_t dev = FirstDeviceIndex;
    uint32_t pid = 0, ports = 0, counters = 0;
    char name[128];
    uint32_t name_size = sizeof name - 1;
    if (check("QueryDeviceInfo", QueryDeviceInfo(dev, &pid, &name_size, name, &ports, &counters))) return 1;
    name[name_size < sizeof name - 1 ? name_size : sizeof name - 1] = '\0';
    printf("board 0x%04X %s\n", (unsigned)pid, name);
    KorvalCapabilities caps;
    caps.Size = sizeof caps;
    if (KORVAL_GetCapabilities(dev, &caps) == ERROR_SUCCESS && caps.ADCBulk)
        printf("%u analog channels\n", (unsigned)caps.ADCMUXChannels);

    /* 2. What to measure: channels 0 to 3, every range slot +-10 V (gain code 1), 4 samples a channel. */
    uint8_t gains[16];
    memset(gains, 1, sizeof gains);
    if (check("ADC_RangeAll", ADC_RangeAll(dev, gains, 0))) return 1;
    if (check("ADC_SetScanLimits", ADC_SetScanLimits(dev, 0, 3))) return 1;
    if (check("ADC_SetOversample", ADC_SetOversample(dev, 3))) return 1;

    /* 3. One scan, in volts: element c is channel c. */
    double volts[256];
    if (check("ADC_GetScanV", ADC_GetScanV(dev, volts))) return 1;
    for (int c = 0; c <= 3; ++c) printf("channel %d: %+.4f V\n", c, volts[c]);

    if (sim != NULL) {
        KORVAL_InstallHost(NULL);
        KorvalSim_Destroy(sim);
        if (volts[0] < 2.49 || volts[0] > 2.51) return 1; /* the simulated 2.5 V must read back */
    }
    return 0;
}
