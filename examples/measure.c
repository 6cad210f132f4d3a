/* Measures channels 0-7 in the -10 to +10 V range at 100,000 scans per second, triggered when channel 0
 * rises through 1 V, and keeps 1,000 scans from before the trigger: one record of 10,000 scans, read
 * block by block.
 *
 *     measure          the first board attached to this computer
 *     measure --sim    a simulated board, with a 50 Hz sine of 5 V on channel 0
 *
 * Build: cc measure.c -lkorval
 */
#include <stdio.h>
#include <string.h>

#include <korval/korval.h>
#include <korval/sim.h>

#define SCANS 10000
#define PRE_TRIGGER 1000
#define CHANNELS 8

static int failed(const char* what, uint32_t result)
{
    printf("%s failed: %u %s\n", what, (unsigned)result, KORVAL_ResultName(result));
    return 1;
}

int main(int argc, char** argv)
{
    KorvalSim* sim = NULL;
    KorvalMeasurement* m = NULL;
    KorvalMeasureSettings settings;
    KorvalMeasureBlock block;
    uint64_t scans = 0;
    uint32_t r;
    if (argc > 1 && strcmp(argv[1], "--sim") == 0) {
        KorvalSimAdcSignal sine = {KORVAL_SIM_SIGNAL_SINE, 0, 0.0, 5.0, 50.0};
        sim = KorvalSim_Create();
        uint32_t board = KorvalSim_AddBoard(sim, 0x8040, KORVAL_SIM_WINUSB);
        KorvalSim_SetAdcSignal(sim, board, 0, &sine);
        KORVAL_InstallHost(KorvalSim_Host(sim));
    }
    if ((r = KORVAL_MeasureCreate(FirstDeviceIndex, &m)) != ERROR_SUCCESS) return failed("KORVAL_MeasureCreate", r);

    memset(&settings, 0, sizeof settings);
    settings.Size = sizeof settings;
    settings.FirstChannel = 0;
    settings.LastChannel = CHANNELS - 1;
    settings.RangeCount = 1;
    settings.Ranges[0] = 1; /* gain code 1: -10 to +10 V */
    settings.Rate = 100000.0;
    settings.Scans = SCANS;
    settings.Trigger.Slope = KORVAL_TRIGGER_RISING;
    settings.Trigger.Channel = 0;
    settings.Trigger.Level = 1.0;
    settings.Trigger.Hysteresis = 0.05;
    settings.Trigger.PreTriggerScans = PRE_TRIGGER;
    settings.Trigger.Records = 1;
    if ((r = KORVAL_MeasureStart(m, &settings, NULL, NULL)) != ERROR_SUCCESS) return failed("KORVAL_MeasureStart", r);
    printf("rate obtained: %.3f scans/s\n", settings.Rate);

    memset(&block, 0, sizeof block);
    block.Size = sizeof block;
    for (;;) {
        r = KORVAL_MeasureRead(m, &block, NULL, NULL, 0, 5000);
        if (r != ERROR_SUCCESS) break;
        if (block.Flags & KORVAL_BLOCK_TRIGGER) {
            uint64_t at = (uint64_t)block.TriggerScan - block.FirstScan;
            printf("triggered at scan %lld: channel 0 at %+.4f V, the scan before at %+.4f V\n",
                   (long long)block.TriggerScan, block.Volts[at * CHANNELS],
                   at > 0 ? block.Volts[(at - 1) * CHANNELS] : 0.0);
        }
        scans += block.ScanCount;
        if (block.Flags & KORVAL_BLOCK_LAST) break;
    }
    if (r != ERROR_SUCCESS) return failed("KORVAL_MeasureRead", r);
    if (block.Result != ERROR_SUCCESS) return failed("the measurement", block.Result);
    printf("%llu scans of channels 0-%d, %d of them before the trigger\n", (unsigned long long)scans, CHANNELS - 1,
           PRE_TRIGGER);

    KORVAL_MeasureStop(m);
    KORVAL_MeasureDestroy(m);
    if (sim != NULL) {
        KORVAL_InstallHost(NULL);
        KorvalSim_Destroy(sim);
    }
    return 0;
}
