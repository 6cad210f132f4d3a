/* Continuous acquisition: channels 0 to 7 at 50,000 scans per second for 2 seconds, in buffers of
 * about 50 ms, counting what arrives and whether the ring had to grow.
 *
 *     continuous          on the first board attached to this computer
 *     continuous --sim    on a simulated board (product 0x8040) paced at the same rate
 *
 * Build: cc continuous.c -lkorval
 */
#define _POSIX_C_SOURCE 199309L
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <korval/korval.h>
#include <korval/sim.h>

enum { kChannels = 8 };

/* Written by the callback on the library's buffer thread, read by main after the end: the end
   function joins that thread, so no lock is needed for the totals read afterwards. */
static unsigned long long bytes_received;
static unsigned buffers_grown;
static int final_seen;

static void KORVAL_CALLBACK on_buffer(uint16_t *pBuf, uint32_t BufSize, uint32_t Flags, uint32_t Context)
{
    (void)Context;
    if (Flags & KORVAL_CONT_FINAL) { /* the last call: no data */
        final_seen = 1;
        return;
    }
    if (Flags & KORVAL_CONT_GROWN) ++buffers_grown; /* we were slow; nothing was lost */
    bytes_received += BufSize;
    (void)pBuf; /* valid only during this call: copy or write it out here */
}

static double now_seconds(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

int main(int argc, char **argv)
{
    const double scans_per_second = 50000.0, block_seconds = 0.05, seconds = 2.0;
    KorvalSim *sim = NULL;
    if (argc > 1 && strcmp(argv[1], "--sim") == 0) {
        sim = KorvalSim_Create();
        uint32_t board = KorvalSim_AddBoard(sim, 0x8040, KORVAL_SIM_WINUSB);
        KorvalSim_SetAdcRate(sim, board, scans_per_second * kChannels); /* samples per second */
        KORVAL_InstallHost(KorvalSim_Host(sim));
    }
    const uint32_t dev = FirstDeviceIndex;
    uint32_t r = ADC_SetScanLimits(dev, 0, kChannels - 1);
    if (r == ERROR_SUCCESS) r = ADC_SetOversample(dev, 0);

    /* The scan clock and start source 01, as in acquire_at_rate.c. */
    double rate = scans_per_second;
    if (r == ERROR_SUCCESS) r = CTR_StartOutputFreq(dev, 0, &rate);
    uint8_t block[KORVAL_ADC_CONFIG_MAX];
    uint32_t size = sizeof block;
    if (r == ERROR_SUCCESS) r = ADC_GetConfig(dev, block, &size);
    block[17] = (uint8_t)((block[17] & ~0x03u) | 0x01u);
    if (r == ERROR_SUCCESS) r = ADC_SetConfig(dev, block, &size);

    /* A buffer holds block_seconds of data, rounded up to a multiple of 512 bytes; 16 of them make a
       ring of 0.8 s. A slow callback makes the ring grow instead of losing samples. */
    uint32_t buf_size = (uint32_t)(rate * kChannels * 2 * block_seconds);
    buf_size = (buf_size + 511) / 512 * 512;
    if (r == ERROR_SUCCESS) r = ADC_BulkContinuousStart(dev, buf_size, 16, 0, on_buffer);
    if (r != ERROR_SUCCESS) {
        fprintf(stderr, "start failed: %u %s\n", (unsigned)r, KORVAL_ResultName(r));
        return 1;
    }

    const double start = now_seconds();
    struct timespec tick = {0, 100000000L};
    while (now_seconds() - start < seconds) nanosleep(&tick, NULL);

    uint32_t status = 0;
    r = ADC_BulkContinuousEnd(dev, &status); /* always returns; delivers what was read */
    printf("rate %.1f scans/s, buffer %u bytes, received %llu bytes, ring grew %u times, status %u\n", rate,
           (unsigned)buf_size, bytes_received, buffers_grown, (unsigned)status);

    CTR_StartOutputFreq(dev, 0, &(double){0.0});
    if (sim != NULL) {
        KORVAL_InstallHost(NULL);
        KorvalSim_Destroy(sim);
    }
    return r == ERROR_SUCCESS && status == ERROR_SUCCESS && final_seen && bytes_received > 0 ? 0 : 1;
}
