/* korval-vm-check: the VM's continuous acquisition, every sample checked.
 *
 *     korval-vm-check reference FILE SEED    the samples a board with a noise signal of SEED sends after a
 *                                            new sample count, from a simulated board, into FILE
 *     korval-vm-check stream SLOT SECONDS RATE FILE
 *                                            a continuous acquisition of channels 0-3 (±10 V) at RATE scans
 *                                            per second on the board's scan clock for SECONDS, every sample
 *                                            compared with FILE
 *     korval-vm-check control -d SLOT SECONDS
 *                                            control requests (an EEPROM read) one after another until one
 *                                            fails or SECONDS pass; the failure's code and how long after the
 *                                            last answer it came
 *
 * A noise signal depends on the sample's place after the last sample count only, not on the time it was
 * taken, so the board's samples can be known in advance: each buffer that starts a new count
 * (KORVAL_CONT_NEW_BLOCK) starts again at the reference's first sample. A lost, repeated or reordered
 * sample shows as a wrong one; a count cut short shows as a short block. Exit status 0 when every sample
 * was right and the scans received match the board's clock.
 */
#define _POSIX_C_SOURCE 199309L
#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <korval/korval.h>
#include <korval/sim.h>

#define CHANNELS 4
#define BUF_SIZE 16384
#define BUF_COUNT 8
#define REFERENCE_SAMPLES (1u << 20)

static uint16_t reference[REFERENCE_SAMPLES];
static uint64_t at, total, wrong, first_wrong = UINT64_MAX, blocks, short_blocks, grown;
static int finals;

static uint32_t configure(uint32_t d)
{
    uint8_t gains[16];
    uint8_t block[21];
    uint32_t size = sizeof block;
    uint32_t r;
    memset(gains, 1, sizeof gains); /* ±10 V */
    if ((r = ADC_RangeAll(d, gains, 0)) != ERROR_SUCCESS) return r;
    if ((r = ADC_SetScanLimits(d, 0, CHANNELS - 1)) != ERROR_SUCCESS) return r;
    if ((r = ADC_SetOversample(d, 0)) != ERROR_SUCCESS) return r;
    if ((r = ADC_GetConfig(d, block, &size)) != ERROR_SUCCESS) return r;
    return ADC_ADMode(d, (uint8_t)((block[17] & ~0x03) | 0x01), 0); /* the counter start */
}

static void sleep_ms(long ms)
{
    struct timespec t = {ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&t, NULL);
}

static double seconds_now(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

static int reference_file(const char* path, uint32_t seed)
{
    KorvalSim* sim = KorvalSim_Create();
    uint32_t board = KorvalSim_AddBoard(sim, 0x8040, KORVAL_SIM_WINUSB);
    KorvalSimAdcSignal noise = {KORVAL_SIM_SIGNAL_NOISE, seed, 0.0, 9.0, 0.0};
    int32_t left = 1;
    uint32_t r;
    for (uint32_t c = 0; c < 16; ++c) KorvalSim_SetAdcSignal(sim, board, c, &noise);
    KorvalSim_SetAdcRate(sim, board, 1e8);
    KORVAL_InstallHost(KorvalSim_Host(sim));
    if ((r = configure(FirstDeviceIndex)) != ERROR_SUCCESS ||
        (r = ADC_BulkAcquire(FirstDeviceIndex, sizeof reference, reference)) != ERROR_SUCCESS) {
        printf("reference: %u %s\n", (unsigned)r, KORVAL_ResultName(r));
        return 1;
    }
    for (int i = 0; i < 60000 && left != 0; ++i) {
        if ((r = ADC_BulkPoll(FirstDeviceIndex, &left)) != ERROR_SUCCESS) break;
        if (left != 0) sleep_ms(1);
    }
    if (left != 0) {
        printf("reference: not complete (%u)\n", (unsigned)r);
        return 1;
    }
    FILE* f = fopen(path, "wb");
    if (f == NULL || fwrite(reference, sizeof reference, 1, f) != 1 || fclose(f) != 0) {
        printf("reference: cannot write %s\n", path);
        return 1;
    }
    return 0;
}

static void KORVAL_CALLBACK on_buffer(uint16_t* buf, uint32_t size, uint32_t flags, uint32_t context)
{
    (void)context;
    if (flags & KORVAL_CONT_FINAL) {
        ++finals;
        return;
    }
    if (flags & KORVAL_CONT_GROWN) ++grown;
    if (flags & KORVAL_CONT_NEW_BLOCK) {
        if (blocks > 0 && at < (uint64_t)BUF_SIZE * BUF_COUNT / 2) ++short_blocks;
        ++blocks;
        at = 0;
    }
    for (uint32_t i = 0; i < size / 2; ++i, ++at, ++total) {
        if (at < REFERENCE_SAMPLES && buf[i] == reference[at]) continue;
        if (wrong++ == 0) first_wrong = total;
    }
}

static int stream(uint32_t d, double seconds, double rate, const char* path)
{
    FILE* f = fopen(path, "rb");
    if (f == NULL || fread(reference, sizeof reference, 1, f) != 1) {
        printf("stream: cannot read %s\n", path);
        return 1;
    }
    fclose(f);
    double hz = rate, stop = 0.0;
    uint32_t io = 0, r;
    if ((r = configure(d)) != ERROR_SUCCESS || (r = CTR_StartOutputFreq(d, 0, &hz)) != ERROR_SUCCESS ||
        (r = ADC_BulkContinuousStart(d, BUF_SIZE, BUF_COUNT, 0, on_buffer)) != ERROR_SUCCESS) {
        printf("stream: starting: %u %s\n", (unsigned)r, KORVAL_ResultName(r));
        return 1;
    }
    const double start = seconds_now();
    sleep_ms((long)(seconds * 1000));
    r = ADC_BulkContinuousEnd(d, &io);
    const double took = seconds_now() - start;
    CTR_StartOutputFreq(d, 0, &stop);
    const uint64_t scans = total / CHANNELS;
    /* What the clock made in the time, less what is still on its way (a second's worth at most). */
    const int enough = (double)scans >= (took - 1.0) * hz && (double)scans <= took * hz + 1;
    printf(
        "figure: continuous acquisition: %llu scans of %d channels in %.2f s at %.3f scans/s on the scan "
        "clock (%.1f kB/s), %llu counts of %d scans, %llu samples wrong (first at %lld), %llu short counts, "
        "ring grew %llu times, end %u, I/O status %u, final calls %d\n",
        (unsigned long long)scans, CHANNELS, took, hz, (double)total * 2 / took / 1000, (unsigned long long)blocks,
        BUF_SIZE * BUF_COUNT / 2 / CHANNELS, (unsigned long long)wrong,
        first_wrong == UINT64_MAX ? -1LL : (long long)first_wrong, (unsigned long long)short_blocks,
        (unsigned long long)grown, (unsigned)r, (unsigned)io, finals);
    return r == ERROR_SUCCESS && io == 0 && finals == 1 && wrong == 0 && short_blocks == 0 && enough ? 0 : 1;
}

/* Ends with the first request that fails: status 0 when it failed as a board that has left does. */
static int control(uint32_t d, double seconds)
{
    uint8_t data[32];
    uint64_t answered = 0;
    uint32_t r = ERROR_SUCCESS, size;
    const double start = seconds_now();
    double last = start;
    while (seconds_now() - start < seconds) {
        size = sizeof data;
        if ((r = GenericVendorRead(d, 0xA2, 0, 0, &size, data)) != ERROR_SUCCESS) break;
        last = seconds_now();
        /* Said once the board has answered, so the unplug that waits for it finds the loop running. */
        if (++answered == 1) {
            printf("control requests to slot %u\n", (unsigned)d);
            fflush(stdout);
        }
    }
    printf("figure: control requests: %llu answered, then %u %s %.0f ms after the last answer\n",
           (unsigned long long)answered, (unsigned)r, KORVAL_ResultName(r), (seconds_now() - last) * 1000);
    /* A board that left stays gone for every later request on its slot. */
    size = sizeof data;
    const uint32_t again = GenericVendorRead(d, 0xA2, 0, 0, &size, data);
    const int ok = r == ERROR_DEVICE_REMOVED && again == ERROR_DEVICE_REMOVED;
    printf("%sthe next request: %u\n", ok ? "" : "FAILED: ", (unsigned)again);
    return ok ? 0 : 1;
}

/* The threads of this process. */
static int threads_now(void)
{
    DIR* dir = opendir("/proc/self/task");
    int n = 0;
    if (dir == NULL) return -1;
    for (struct dirent* e; (e = readdir(dir)) != NULL;)
        if (e->d_name[0] != '.') ++n;
    closedir(dir);
    return n;
}

/* A continuous acquisition that an unplug of its board ends: status 0 when the end returns 1617 with 1617
   as the acquisition's status, and the acquisition's threads are gone (joined) once it has returned. */
static int unplugged_stream(uint32_t d, double seconds)
{
    double hz = 4000.0, stop = 0.0;
    uint32_t io = 0, r;
    if ((r = configure(d)) != ERROR_SUCCESS || (r = CTR_StartOutputFreq(d, 0, &hz)) != ERROR_SUCCESS) {
        printf("unplugged stream: setting up: %u %s\n", (unsigned)r, KORVAL_ResultName(r));
        return 1;
    }
    const int before = threads_now();
    if ((r = ADC_BulkContinuousStart(d, BUF_SIZE, BUF_COUNT, 0, on_buffer)) != ERROR_SUCCESS) {
        printf("unplugged stream: starting: %u %s\n", (unsigned)r, KORVAL_ResultName(r));
        return 1;
    }
    const double start = seconds_now();
    while (total == 0 && seconds_now() - start < seconds) sleep_ms(1);
    /* Said once samples come, so the unplug that waits for it finds the acquisition running. */
    printf("continuous acquisition on slot %u\n", (unsigned)d);
    fflush(stdout);
    while (finals == 0 && seconds_now() - start < seconds) sleep_ms(1);
    const double ended_by_itself = seconds_now();
    r = ADC_BulkContinuousEnd(d, &io);
    const double end_took = seconds_now() - ended_by_itself;
    CTR_StartOutputFreq(d, 0, &stop);
    int after = threads_now();
    for (int i = 0; i < 2000 && after > before; ++i) { /* a joined thread is reaped by the kernel soon after */
        sleep_ms(1);
        after = threads_now();
    }
    const int ok = r == ERROR_DEVICE_REMOVED && io == ERROR_DEVICE_REMOVED && finals == 1 && after <= before;
    printf(
        "figure: unplugged during a continuous acquisition: %llu scans came, the end returned %u %s in %.0f ms "
        "with I/O status %u, threads %d before the start and %d after the end\n",
        (unsigned long long)(total / CHANNELS), (unsigned)r, KORVAL_ResultName(r), end_took * 1000, (unsigned)io,
        before, after);
    if (!ok) printf("FAILED: the unplugged acquisition\n");
    return ok ? 0 : 1;
}

int main(int argc, char** argv)
{
    if (argc == 5 && strcmp(argv[1], "control") == 0 && strcmp(argv[2], "-d") == 0)
        return control((uint32_t)atoi(argv[3]), atof(argv[4]));
    if (argc == 5 && strcmp(argv[1], "unplugged-stream") == 0 && strcmp(argv[2], "-d") == 0)
        return unplugged_stream((uint32_t)atoi(argv[3]), atof(argv[4]));
    if (argc == 4 && strcmp(argv[1], "reference") == 0) return reference_file(argv[2], (uint32_t)atoi(argv[3]));
    if (argc == 6 && strcmp(argv[1], "stream") == 0)
        return stream((uint32_t)atoi(argv[2]), atof(argv[3]), atof(argv[4]), argv[5]);
    fprintf(stderr,
            "usage: korval-vm-check reference FILE SEED | stream SLOT SECONDS RATE FILE | control -d SLOT SECONDS\n"
            "       korval-vm-check unplugged-stream -d SLOT SECONDS\n");
    return 2;
}
