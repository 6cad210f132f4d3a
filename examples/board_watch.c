/* Prints the boards of the family that arrive and leave while it runs, for ten seconds.
 *
 *     board_watch          boards plugged into this computer, and unplugged
 *     board_watch --sim    a simulated board plugged in and unplugged again
 *
 * The library tells of each board on a thread of its own; it does not change the device table: the
 * program decides when to look (here: GetDevices() when a board arrives).
 *
 * Build: cc -std=c11 board_watch.c -lkorval
 */
#if !defined(_WIN32) && !defined(_POSIX_C_SOURCE)
#define _POSIX_C_SOURCE 199309L /* nanosleep */
#endif
#include <stdatomic.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#ifdef _WIN32
#include <windows.h>
#endif

#include <korval/korval.h>
#include <korval/sim.h>

static atomic_uint events; /* events reported, written by the library's thread */

static void KORVAL_CALLBACK on_board(void* context, const KorvalBoardEvent* e)
{
    printf("%s 0x%04X at %s\n", e->Kind == KORVAL_BOARD_ARRIVED ? "arrived" : "left", (unsigned)e->ProductID, e->Path);
    if (e->Kind == KORVAL_BOARD_ARRIVED) GetDevices(); /* the program decides when to look */
    fflush(stdout);
    (void)context;
    atomic_fetch_add(&events, 1u);
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

/* Waits until `count` events have been reported, or `seconds` have passed. */
static void wait_for_events(unsigned count, double seconds)
{
    time_t limit = time(NULL) + (time_t)seconds;
    while (atomic_load(&events) < count && time(NULL) <= limit) pause_a_millisecond();
}

int main(int argc, char** argv)
{
    KorvalSim* sim = NULL;
    uint32_t board = 0;
    if (argc > 1 && strcmp(argv[1], "--sim") == 0) {
        sim = KorvalSim_Create();
        if (KORVAL_InstallHost(KorvalSim_Host(sim)) != ERROR_SUCCESS) return 1;
    }

    uint32_t watch;
    KORVAL_RegisterBoardNotification(on_board, NULL, 0, &watch);
    if (watch == 0) { /* a registration is never 0 */
        printf("no notifications on this system\n");
        return 1;
    }
    /* the program goes on with its work; boards come and go */
    if (sim != NULL) {
        board = KorvalSim_AddBoard(sim, 0x8040, KORVAL_SIM_WINUSB); /* plugged in */
        wait_for_events(1, 10.0);
        KorvalSim_Unplug(sim, board);
        wait_for_events(2, 10.0);
    } else {
        wait_for_events(~0u, 10.0);
    }
    KORVAL_UnregisterBoardNotification(watch);
    printf("%u events\n", atomic_load(&events));

    if (sim != NULL) {
        KORVAL_InstallHost(NULL);
        KorvalSim_Destroy(sim);
    }
    return 0;
}
