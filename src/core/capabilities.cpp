// What a board can do, as the product table gave it to the board's slot: one call for programs and
// language bindings that adapt to the board instead of probing functions for 1349.
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "core/caller_memory.h"
#include "core/core_api.h"
#include "core/registry.h"
#include "korval/korval.h"

namespace korval {

uint32_t KORVAL_GetCapabilities(uint32_t DeviceIndex, KorvalCapabilities* pCaps)
{
    uint32_t slot = 0;
    if (const Result r = open_board(DeviceIndex, slot)) return r;
    if (pCaps == nullptr) return ERROR_INVALID_PARAMETER;
    uint32_t size = 0;
    // The caller's structure may be anywhere, misaligned too: its size field is reached by address
    // arithmetic and copied, never through a member access on the caller's pointer.
    const auto* size_field = reinterpret_cast<const uint8_t*>(pCaps) + offsetof(KorvalCapabilities, Size);
    if (!copy_from_caller(&size, size_field, sizeof size)) return ERROR_NOACCESS;
    // The size tells which fields the caller's structure has; the product ID and the size itself at least.
    if (size < offsetof(KorvalCapabilities, DriverPath)) return ERROR_INVALID_PARAMETER;

    const TDeviceData& d = device(slot);
    KorvalCapabilities caps{};
    caps.ProductID = d.PID;
    caps.DriverPath = d.bCyUSB ? 1 : 0;
    caps.DIOBytes = d.DIOBytes;
    caps.DIOConfigBits = d.DIOConfigBits;
    caps.Tristates = d.Tristates;
    caps.Counters = d.Counters;
    caps.GateSelectable = d.bGateSelectable;
    caps.RootClock = d.RootClock;
    caps.ADCBulk = d.bADCBulk;
    caps.ADCChannels = d.ADCChannels;
    caps.ADCMUXChannels = d.ADCMUXChannels;
    caps.ConfigBytes = d.ConfigBytes;
    caps.RangeShift = d.RangeShift;
    caps.ImmADCs = d.ImmADCs;
    caps.ImmDACs = d.ImmDACs;
    caps.DACBoardRange = d.bDACBoardRange;
    caps.DACChannelCal = d.bDACChannelCal;
    caps.DACStream = d.bDACStream;
    caps.DIOStream = d.bDIOStream;
    caps.DIOSPI = d.bDIOSPI;
    caps.DIODebounce = d.bDIODebounce;
    caps.ClearFIFO = d.bClearFIFO;
    caps.SetCustomClocks = d.bSetCustomClocks;
    caps.WDGBytes = d.WDGBytes;
    caps.FlashSectors = d.FlashSectors;
    caps.Size = static_cast<uint32_t>(std::min<size_t>(size, sizeof caps));
    return copy_to_caller(pCaps, &caps, caps.Size) ? ERROR_SUCCESS : ERROR_NOACCESS;
}

}  // namespace korval
