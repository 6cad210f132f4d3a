// The product capability table: what a board can do, known only from its USB product ID, and the
// firmware check for the newer feature set.
#include <initializer_list>

#include "core/registry.h"
#include "korval/korval.h"
#include "usb/control.h"

namespace korval {

namespace {

struct PidRange {
    uint32_t first;
    uint32_t last;
};

struct ProductRow {
    std::initializer_list<PidRange> pids;
    void (*apply)(TDeviceData& d, uint32_t pid);
};

// The 16-channel, 64-channel and 32-to-160-channel analog input boards share these; the IDs with bit 8
// (0x100) set add two analog outputs with a selectable range.
void analog_input_board(TDeviceData& d, uint32_t pid)
{
    d.DIOBytes = 2;
    d.Counters = 1;
    d.RootClock = 10'000'000.0;
    d.bADCBulk = true;
    d.ADCChannels = 16;
    d.bGetName = true;
    d.bClearFIFO = true;
    if (pid & 0x100) {
        d.bDACBoardRange = true;
        d.ImmDACs = 2;
    }
}

void streaming_dio_board(TDeviceData& d)
{
    d.bGetName = true;
    d.bDIOStream = true;
    d.bDIOSPI = true;
    d.bClearFIFO = true;
}

// Rows in the order of the product family; a PID in no row sets nothing.
const ProductRow kProducts[] = {
    {{{0x4001, 0x4002}}, [](TDeviceData& d, uint32_t) {
         d.ImmDACs = 8;
         d.bDACStream = true;
         d.DACsUsed = 5;
         d.bGetName = true;
     }},
    {{{0x4003, 0x4003}}, [](TDeviceData& d, uint32_t) {
         d.ImmDACs = 8;
         d.bGetName = true;
     }},
    {{{0x8001, 0x8001}}, [](TDeviceData& d, uint32_t) {
         d.DIOBytes = 4;
         d.Counters = 3;
         d.RootClock = 3'000'000.0;
         d.bGetName = true;
         d.bSetCustomClocks = true;
         d.bDIODebounce = true;
     }},
    {{{0x8002, 0x8002}}, [](TDeviceData& d, uint32_t) {
         d.DIOBytes = 6;
         d.bGetName = true;
     }},
    {{{0x8003, 0x8003}}, [](TDeviceData& d, uint32_t) {
         d.DIOBytes = 12;
         d.bGetName = true;
     }},
    {{{0x8004, 0x8004}}, [](TDeviceData& d, uint32_t) {
         d.DIOBytes = 4;
         d.DIOConfigBits = 32;
         d.bGetName = true;
         d.bSetCustomClocks = true;
     }},
    {{{0x8008, 0x800A}}, [](TDeviceData& d, uint32_t) {
         d.DIOBytes = 1;
         streaming_dio_board(d);
     }},
    {{{0x800C, 0x800F}}, [](TDeviceData& d, uint32_t) {
         d.DIOBytes = 4;
         d.Tristates = 2;
         streaming_dio_board(d);
     }},
    {{{0x8010, 0x8012}, {0x8014, 0x8016}, {0x8018, 0x801A}, {0x801C, 0x801F}}, [](TDeviceData& d, uint32_t) {
         d.DIOBytes = 4;
         d.bGetName = true;
         d.WDGBytes = 2;
     }},
    {{{0x8020, 0x8020}}, [](TDeviceData& d, uint32_t) {
         d.Counters = 5;
         d.bGateSelectable = true;
         d.RootClock = 10'000'000.0;
         d.bGetName = true;
     }},
    {{{0x8030, 0x8031}}, [](TDeviceData& d, uint32_t) {
         d.DIOBytes = 2;
         d.bGetName = true;
     }},
    {{{0x8032, 0x8033}}, [](TDeviceData& d, uint32_t) {
         d.DIOBytes = 3;
         d.bGetName = true;
     }},
    {{{0x8036, 0x8037}}, [](TDeviceData& d, uint32_t) {
         d.DIOBytes = 2;
         d.ImmADCs = 2;
         d.bGetName = true;
     }},
    {{{0x8040, 0x8044}, {0x8140, 0x8144}}, [](TDeviceData& d, uint32_t pid) {
         analog_input_board(d, pid);
         d.ADCMUXChannels = 16;
         d.ConfigBytes = 20;
         d.RangeShift = 0;
     }},
    {{{0x8045, 0x8049}, {0x8145, 0x8149}}, [](TDeviceData& d, uint32_t pid) {
         analog_input_board(d, pid);
         d.ADCMUXChannels = 64;
         d.ConfigBytes = 21;
         d.RangeShift = 2;
     }},
    {{{0x804A, 0x805F}, {0x814A, 0x815F}}, [](TDeviceData& d, uint32_t pid) {
         analog_input_board(d, pid);
         // 32 channels more every five product IDs.
         d.ADCMUXChannels = (((pid - 0x804A) & ~0x100u) / 5 + 1) * 32;
         d.ConfigBytes = 21;
         d.RangeShift = 3;
     }},
    {{{0x8060, 0x8060}, {0x8070, 0x807F}}, [](TDeviceData& d, uint32_t pid) {
         d.DIOBytes = 2;
         if ((pid & 1) == 0) d.ImmADCs = 2;
         d.bDACBoardRange = true;
         d.bDACChannelCal = true;
         static const uint32_t kDacsByPid[4] = {16, 12, 8, 4};  // by PID & 6
         d.ImmDACs = kDacsByPid[(pid & 6) >> 1];
         d.bGetName = true;
         d.FlashSectors = 32;
     }},
};

void reset_capabilities(TDeviceData& d)
{
    d.DIOBytes = 0;
    d.DIOConfigBits = 0;
    d.Counters = 0;
    d.Tristates = 0;
    d.ConfigBytes = 0;
    d.ImmDACs = 0;
    d.ImmADCs = 0;
    d.ADCChannels = 0;
    d.ADCMUXChannels = 0;
    d.WDGBytes = 0;
    d.FlashSectors = 0;
    d.RootClock = 0.0;
    d.RangeShift = 0;
    d.bGetName = false;
    d.bGateSelectable = false;
    d.bDACBoardRange = false;
    d.bDACChannelCal = false;
    d.bDACStream = false;
    d.bADCBulk = false;
    d.bDIOStream = false;
    d.bDIODebounce = false;
    d.bDIOSPI = false;
    d.bClearFIFO = false;
    d.bSetCustomClocks = false;
    d.ADCWorker = nullptr;  // a worker left from the slot's last board is stopped, joined and freed
    d.StreamingBlockSize = kDefaultStreamingBlockSize;
    // DACsUsed and bFirmware20 are kept.
}

}  // namespace

void set_up_capabilities(TDeviceData& d)
{
    reset_capabilities(d);
    const uint32_t pid = d.PID;
    for (const ProductRow& row : kProducts) {
        for (const PidRange& range : row.pids) {
            if (pid >= range.first && pid <= range.last) {
                row.apply(d, pid);
                break;
            }
        }
    }
    if (d.DIOConfigBits == 0) d.DIOConfigBits = d.DIOBytes;
    d.LastDIOData.resize(d.DIOBytes, 0);  // existing output levels are kept
}

Result firmware_check(uint32_t slot)
{
    TDeviceData& d = device(slot);
    if (d.bFirmware20) return ERROR_SUCCESS;
    uint8_t reply[3] = {};
    uint32_t size = sizeof reply;
    if (const Result r = usb::vendor_read(slot, 0xA3, 0x8000, 1, size, reply)) return r;
    // Version 3 or later (0xFF is an unprogrammed reply) with the feature-set bit.
    if (size >= 3 && reply[0] != 0xFF && reply[0] >= 3 && (reply[2] & 0x02) != 0) {
        d.bFirmware20 = true;
        return ERROR_SUCCESS;
    }
    return ERROR_NOT_SUPPORTED;  // not cached: the next call asks again
}

Result open_newer_firmware_board(uint32_t device_index, uint32_t& slot)
{
    if (const Result r = open_board(device_index, slot)) return r;
    return firmware_check(slot);
}

}  // namespace korval
