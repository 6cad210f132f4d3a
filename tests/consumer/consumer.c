/* Uses an installed Korval as an application would: a simulated board, found, asked what it is. */
#include <stdio.h>
#include <string.h>

#include <korval/korval.h>
#include <korval/sim.h>

int main(void)
{
    KorvalSim *sim = KorvalSim_Create();
    KorvalSim_AddBoard(sim, 0x8040, KORVAL_SIM_WINUSB);
    if (KORVAL_InstallHost(KorvalSim_Host(sim)) != ERROR_SUCCESS) return 1;
    KorvalCapabilities caps;
    memset(&caps, 0, sizeof caps);
    caps.Size = sizeof caps;
    const uint32_t mask = GetDevices();
    const uint32_t result = KORVAL_GetCapabilities(FirstDeviceIndex, &caps);
    KORVAL_InstallHost(NULL);
    KorvalSim_Destroy(sim);
    if (mask != 1u || result != ERROR_SUCCESS || caps.ProductID != 0x8040u) {
        printf("unexpected: mask 0x%X, %s\n", mask, KORVAL_ResultName(result));
        return 1;
    }
    printf("board 0x%04X with %u analog inputs\n", caps.ProductID, caps.ADCMUXChannels);
    return 0;
}
