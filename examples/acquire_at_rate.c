/* Measures channels 0-3 in the -10 to +10 V range at 1,000 scans per second for half a second, paced
 * by the board's own scan clock, and prints the first scans in volts.
 *
 *     acquire_at_rate          the first board attached to this computer
 *     acquire_at_rate --sim    a simulated board, with a 50 Hz sine on channel 2
 *
 * The recipe: the configuration block names the channels, ranges and oversample, and its trigger byte's
 * start source (bits 0-1) is set to 01, the counter start; counters 1 and 2 of 8254 block 0, programmed
 * by CTR_StartOutputFreq, are the scan clock (each pulse of counter 2 starts one scan), and the
 * frequency it writes back is the rate obtained; ADC_BulkAcquire then announces the sample count and
 * reads the samples as the board takes them.
 *
 * Build: cc acquire_at_rate.c -lkorval
 */
#if !defined(_WIN32) && !defined(_POSIX_C_SOURCE)
#define _POSIX_C_SOURCE 199309L /* nanosleep */
#endif
#include <stdio.h>
#include <string.h>
#include <time.h>
#ifdef _WIN32
#include <windows.h>
#endif

#include <korval/korval.h>
#include <korval/sim.h>

#define FIRST_CHANNEL 0
#define LAST_CHANNEL 3
#define CHANNELS (LAST_CHANNEL - FIRST_CHANNEL + 1)
#define RATE_HZ 1000.0
#define SCANS 500 /* half a second */
#define GAIN_BIPOLAR_10V 1

static uint16_t samples[SCANS * CHANNELS];

static int failed(const char* what, uint32_t result)
{
    printf("%s failed: %u %s\n", what, (unsigned)result, KORVAL_ResultName(result));
    return 1;
}

/* Ranges, channels, no oversample, and the counter start. */
static uint32_t configure(uint32_t d)
{
    uint8_t gains[16];
    uint8_t block[21];
    uint32_t size = sizeof block;
    uint32_t r;
    memset(gains, GAIN_BIPOLAR_10V, sizeof gains);
    if ((r = ADC_RangeAll(d, gains, 0)) != ERROR_SUCCESS) return r;
    if ((r = ADC_SetScanLimits(d, FIRST_CHANNEL, LAST_CHANNEL)) != ERROR_SUCCESS) return r;
    if ((r = ADC_SetOversample(d, 0)) != ERROR_SUCCESS) return r;
    if ((r = ADC_GetConfig(d, block, &size)) != ERROR_SUCCESS) return r;
    return ADC_ADMode(d, (uint8_t)((block[17] & ~0x03) | 0x01), 0); /* start source 01: counter start */
}

static void pause_a_millisecond(void)
{
#ifdef _WIN32
    Sleep(1);
#else
    struct timespec pause = {0, 1000000};
    nanosleep(&pause, NULL);
#endif
}

/* Waits for every sample, polling; gives up after about `seconds`. */
static uint32_t wait_for_samples(uint32_t d, double seconds)
{
    time_t limit = time(NULL) + (time_t)seconds + 1;
    int32_t left = 1;
    for (;;) {
        uint32_t r = ADC_BulkPoll(d, &left);
        if (r != ERROR_SUCCESS) return r;
        if (left == 0) return ERROR_SUCCESS;
        if (time(NULL) > limit) {
            ADC_BulkAbort(d);
            return ERROR_TIMEOUT;
        }
        pause_a_millisecond();
    }
}

int main(int argc, char** argv)
{
    KorvalSim* sim = NULL;
    uint32_t d = FirstDeviceIndex;
    double hz = RATE_HZ;
    double stop = 0.0;
    uint32_t r;
    if (argc > 1 && strcmp(argv[1], "--sim") == 0) {
        KorvalSimAdcSignal sine = {KORVAL_SIM_SIGNAL_SINE, 0, 0.0, 5.0, 50.0};
        sim = KorvalSim_Create();
        uint32_t board = KorvalSim_AddBoard(sim, 0x8040, KORVAL_SIM_WINUSB);
        KorvalSim_SetAdcSignal(sim, board, 2, &sine);
        KORVAL_InstallHost(KorvalSim_Host(sim));
    }

    if ((r = configure(d)) != ERROR_SUCCESS) return failed("configuring the ADC", r);
    if ((r = CTR_StartOutputFreq(d, 0, &hz)) != ERROR_SUCCESS) return failed("starting the scan clock", r);
    printf("rate obtained: %.3f scans/s\n", hz);
    if ((r = ADC_BulkAcquire(d, sizeof samples, samples)) != ERROR_SUCCESS) return failed("ADC_BulkAcquire", r);
    r = wait_for_samples(d, 2.0 + SCANS / hz);
    CTR_StartOutputFreq(d, 0, &stop); /* 0 Hz stops the clock */
    if (r != ERROR_SUCCESS) return failed("acquiring", r);

    printf("%d scans of channels %d-%d\n", SCANS, FIRST_CHANNEL, LAST_CHANNEL);
    for (int scan = 0; scan < 5; ++scan) {
        printf("%8.4f s", scan / hz);
        for (int c = 0; c < CHANNELS; ++c) printf(" %+8.4f V", samples[scan * CHANNELS + c] / 65536.0 * 20.0 - 10.0);
        putchar('\n');
    }

    if (sim != NULL) {
        KORVAL_InstallHost(NULL);
        KorvalSim_Destroy(sim);
    }
    return 0;
}
