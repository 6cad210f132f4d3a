/* Lists the boards the library finds, with their product names.
 *
 *     list_boards          boards attached to this computer
 *     list_boards --sim    two simulated boards
 *
 * Build: cc list_boards.c -lkorval
 */
#include <stdio.h>
#include <string.h>

#include <korval/korval.h>
#include <korval/sim.h>

/* The product name: USB string descriptor 2, read with vendor request 0x06. */
static int print_name(uint32_t slot)
{
    uint8_t descriptor[256];
    uint32_t size = sizeof descriptor;
    uint32_t result = GenericVendorRead(slot, 0x06, 0x0302, 0, &size, descriptor);
    if (result != ERROR_SUCCESS) {
        printf("slot %u: name unreadable: %u %s\n", (unsigned)slot, (unsigned)result, KORVAL_ResultName(result));
        return 1;
    }
    printf("slot %u: ", (unsigned)slot);
    for (uint32_t i = 2; i + 1 < size && i < descriptor[0]; i += 2) putchar(descriptor[i + 1] == 0 ? descriptor[i] : '?');
    putchar('\n');
    return 0;
}

int main(int argc, char **argv)
{
    KorvalSim *sim = NULL;
    if (argc > 1 && strcmp(argv[1], "--sim") == 0) {
        sim = KorvalSim_Create();
        KorvalSim_AddBoard(sim, 0x8040, KORVAL_SIM_WINUSB);
        KorvalSim_AddBoard(sim, 0x8001, KORVAL_SIM_IOCTL);
        if (KORVAL_InstallHost(KorvalSim_Host(sim)) != ERROR_SUCCESS) return 1;
    }

    int failures = 0;
    uint32_t mask = GetDevices();
    for (uint32_t slot = 0; slot < KORVAL_SLOT_COUNT; ++slot)
        if (mask & (1u << slot)) failures += print_name(slot);
    if (mask == 0) printf("no boards\n");

    if (sim != NULL) {
        KORVAL_InstallHost(NULL);
        KorvalSim_Destroy(sim);
        if (mask != 0x3u) return 1; /* both simulated boards must be found */
    }
    return failures == 0 ? 0 : 1;
}
