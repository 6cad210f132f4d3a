/* A measurement at a set rate: 1,000 scans of channels 0 to 3 at 10,000 scans per second, in the
 * +-5 V range, with the rate the board's clock obtained and each channel's mean.
 *
 *     acquire_at_rate          on the first board attached to this computer
 *     acquire_at_rate --sim    on a simulated board (product 0x8040) with a sine on channel 1
 *
 * The board's scan clock is counters 1 and 2 of counter block 0: CTR_StartOutputFreq() programs them
 * and writes back the rate obtained. The configuration block's trigger byte, start source (bits 0-1)
 * 01, makes the board take one scan per tick of that clock.
 *
 * Build: cc acquire_at_rate.c -lkorval
 */
#define _POSIX_C_SOURCE 199309L
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <korval/korval.h>
#include <korval/sim.h>

enum { kChannels = 4, kScans = 1000 };

static int check(const char *what, uint32_t result)
{
    if (result == ERROR_SUCCESS) return 0;
    const char *name = KORVAL_ResultName(result);
    fprintf(stderr, "%s failed: %u %s\n", what, (unsigned)result, name ? name : "(driver code)");
    return 1;
}

static void sleep_ms(long ms)
{
    struct timespec t = {ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&t, NULL);
}

int main(int argc, char **argv)
{
    KorvalSim *sim = NULL;
    if (argc > 1 && strcmp(argv[1], "--sim") == 0) {
        sim = KorvalSim_Create();
        uint32_t board = KorvalSim_AddBoard(sim, 0x8040, KORVAL_SIM_WINUSB);
        KorvalSimAdcSignal sine = {KORVAL_SIM_SIGNAL_SINE, 0, 0.0, 2.0, 50.0};
        KorvalSim_SetAdcSignal(sim, board, 1, &sine);
        KorvalSim_SetAdcRate(sim, board, 10000.0 * kChannels); /* the simulated converter's pace */
        KORVAL_InstallHost(KorvalSim_Host(sim));
    }
    const uint32_t dev = FirstDeviceIndex;

    /* The channels, their range (+-5 V: gain code 3) and one sample per channel and scan. */
    uint8_t gains[16];
    memset(gains, 3, sizeof gains);
    if (check("ADC_RangeAll", ADC_RangeAll(dev, gains, 0))) return 1;
    if (check("ADC_SetScanLimits", ADC_SetScanLimits(dev, 0, kChannels - 1))) return 1;
    if (check("ADC_SetOversample", ADC_SetOversample(dev, 0))) return 1;

    /* The scan clock: the rate asked for goes in, the rate obtained comes back. */
    double rate = 10000.0;
    if (check("CTR_StartOutputFreq", CTR_StartOutputFreq(dev, 0, &rate))) return 1;
    printf("rate obtained: %.3f scans/s\n", rate);

    /* Start source 01: one scan per tick of the scan clock (the other bits of the byte are kept). */
    uint8_t block[KORVAL_ADC_CONFIG_MAX];
    uint32_t size = sizeof block;
    if (check("ADC_GetConfig", ADC_GetConfig(dev, block, &size))) return 1;
    block[17] = (uint8_t)((block[17] & ~0x03u) | 0x01u);
    if (check("ADC_SetConfig", ADC_SetConfig(dev, block, &size))) return 1;

    /* 2 bytes per sample; the buffer must stay valid until the acquisition has ended. */
    static uint16_t samples[kScans * kChannels];
    if (check("ADC_BulkAcquire", ADC_BulkAcquire(dev, sizeof samples, samples))) return 1;
    int32_t left = 1;
    for (int waited = 0; left > 0 && waited < 10000; waited += 10) {
        if (check("ADC_BulkPoll", ADC_BulkPoll(dev, &left))) return 1;
        if (left > 0) sleep_ms(10);
    }
    if (left > 0) {
        ADC_BulkAbort(dev); /* still running after 10 s: end it, so the buffer is ours again */
        fprintf(stderr, "the board did not finish\n");
        return 1;
    }

    /* Counts to volts: +-5 V spans 65,536 counts. Sample k belongs to channel k % kChannels. */
    for (int c = 0; c < kChannels; ++c) {
        double sum = 0;
        for (int k = c; k < kScans * kChannels; k += kChannels) sum += samples[k] * 10.0 / 65536.0 - 5.0;
        printf("channel %d: mean %+.4f V\n", c, sum / kScans);
    }

    CTR_StartOutputFreq(dev, 0, &(double){0.0}); /* 0 Hz stops the scan clock */
    if (sim != NULL) {
        KORVAL_InstallHost(NULL);
        KorvalSim_Destroy(sim);
        /* 0.1 s of the 50 Hz sine is five whole periods: its mean is 0 V. */
        double sum = 0;
        for (int k = 1; k < kScans * kChannels; k += kChannels) sum += samples[k] * 10.0 / 65536.0 - 5.0;
        if (sum / kScans < -0.05 || sum / kScans > 0.05) return 1;
    }
    return 0;
}
