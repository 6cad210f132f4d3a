// Device-index resolution, discovery, the open check, closing, ClearDevices and the device-gone mapping.
#include <gtest/gtest.h>

#include "adc/adc_state.h"
#include "board/board.h"
#include "core/registry.h"
#include "dac/dac_state.h"
#include "dio/dio_state.h"
#include "support/sim_fixture.h"
#include "usb/bulk.h"
#include "usb/transport.h"

namespace korval::test {
namespace {

class DeviceTable : public SimTest {};

// Boards in the given slots (the other slots empty), by attaching boards and closing the gaps' slots.
void fill_slots(SimTest* t, KorvalSim* sim, std::initializer_list<uint32_t> slots)
{
    uint32_t highest = 0;
    for (uint32_t s : slots) highest = std::max(highest, s);
    for (uint32_t i = 0; i <= highest; ++i) KorvalSim_AddBoard(sim, 0x8001, KORVAL_SIM_WINUSB);
    (void)t;
    ASSERT_EQ(KORVAL_InstallHost(KorvalSim_Host(sim)), 0u);
    for (uint32_t i = 0; i <= highest; ++i)
        if (std::find(slots.begin(), slots.end(), i) == slots.end()) {
            ASSERT_EQ(KORVAL_CloseDevice(i), 0u);
        }
}

struct ResolveCase {
    std::vector<uint32_t> filled;
    uint32_t index;
    uint32_t slot;   // expected result
    uint32_t error;  // expected last error
};

class Resolve : public SimTest, public ::testing::WithParamInterface<ResolveCase> {};

TEST_P(Resolve, ScansOnlyHandles)
{
    const ResolveCase& c = GetParam();
    if (c.filled.empty()) install();
    else if (c.filled.size() == 1) fill_slots(this, sim_, {c.filled[0]});
    else fill_slots(this, sim_, {c.filled[0], c.filled[1]});
    KORVAL_SetLastError(12345);
    EXPECT_EQ(ResolveDeviceIndex(c.index), c.slot);
    EXPECT_EQ(KORVAL_GetLastError(), c.error);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Resolve,
    ::testing::Values(ResolveCase{{}, 31, 31, 0}, ResolveCase{{}, 0, 0, 0}, ResolveCase{{}, 32, KORVAL_NO_SLOT, 1413},
                      ResolveCase{{}, 0xFFFFFFFF, KORVAL_NO_SLOT, 1413},
                      ResolveCase{{}, 0xFFFFFFFC, KORVAL_NO_SLOT, 1413},
                      ResolveCase{{}, FirstDeviceIndex, KORVAL_NO_SLOT, 2},
                      ResolveCase{{}, OnlyDeviceIndex, KORVAL_NO_SLOT, 2},
                      ResolveCase{{2, 5}, FirstDeviceIndex, 2, 0}, ResolveCase{{2, 5}, OnlyDeviceIndex, KORVAL_NO_SLOT, 52},
                      ResolveCase{{5}, FirstDeviceIndex, 5, 0}, ResolveCase{{5}, OnlyDeviceIndex, 5, 0}));

TEST_F(DeviceTable, RemovedSlotDoesNotCountForFirstOrOnly)
{
    const uint32_t a = add(0x8001);
    add(0x8001);
    install();
    ASSERT_EQ(GetDevices(), 3u);
    KorvalSim_Unplug(sim_, a);
    uint8_t byte = 0;
    uint32_t size = 1;
    EXPECT_EQ(GenericVendorRead(0, 0x11, 0, 0, &size, &byte), 1617u);
    EXPECT_TRUE(board_record(0).bDeviceWasHere);
    EXPECT_EQ(ResolveDeviceIndex(FirstDeviceIndex), 1u);
    EXPECT_EQ(ResolveDeviceIndex(OnlyDeviceIndex), 1u);
}

TEST_F(DeviceTable, NoBoardsAndNoWinUsb)
{
    add(0x8001, KORVAL_SIM_WINUSB);
    KorvalSim_SetWinUsbAvailable(sim_, 0);
    install();
    EXPECT_EQ(GetDevices(), 0u);
    uint32_t size = 0;
    EXPECT_EQ(GenericVendorRead(0, 0x11, 0, 0, &size, nullptr), 2u);
    EXPECT_EQ(GenericVendorWrite(FirstDeviceIndex, 0x10, 0, 0, 0, nullptr), 2u);
    EXPECT_EQ(KORVAL_CloseDevice(0), 6u);
}

// A board this program may not open holds no slot and is listed with why; cleared, it is found again.
TEST_F(DeviceTable, UnusableSimulatedBoardIsListedNotPlaced)
{
    add(0x8001);
    const uint32_t locked = add(0x8040, KORVAL_SIM_IOCTL);
    ASSERT_EQ(KorvalSim_SetUnusable(sim_, locked, ERROR_ACCESS_DENIED), 0u);
    install();
    EXPECT_EQ(GetDevices(), 1u);
    KorvalUnusableBoard b{};
    b.Size = sizeof b;
    ASSERT_EQ(KORVAL_GetUnusableBoard(0, &b), 0u);
    EXPECT_EQ(b.Error, ERROR_ACCESS_DENIED);
    EXPECT_EQ(b.ProductID, 0x8040u);
    EXPECT_NE(std::string(b.Path).find("pid_8040"), std::string::npos);
    EXPECT_EQ(std::string(b.Reason).rfind("permission denied", 0), 0u) << b.Reason;
    EXPECT_EQ(KORVAL_GetUnusableBoard(1, &b), ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(KorvalSim_SetUnusable(sim_, 99, 5), ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(KorvalSim_SetUnusable(sim_, locked, 0), 0u);
    EXPECT_EQ(KORVAL_GetUnusableBoard(0, &b), ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(GetDevices(), 3u);
}

// A host of version 2 ends at unwatch_boards, and a host may leave list_unusable null: neither
// reports a board, and the entry past a version-2 table is never read.
TEST_F(DeviceTable, HostWithoutUnusableListReportsNone)
{
    KorvalSim_SetUnusable(sim_, add(0x8001), ERROR_ACCESS_DENIED);
    for (const uint32_t version : {2u, 3u}) {
        KorvalHost h = *KorvalSim_Host(sim_);
        h.version = version;
        if (version == 2)  // past the table's end: calling it would crash
            h.list_unusable = reinterpret_cast<decltype(h.list_unusable)>(uintptr_t{8});
        else
            h.list_unusable = nullptr;
        ASSERT_EQ(KORVAL_InstallHost(&h), 0u);
        KorvalUnusableBoard b{};
        b.Size = sizeof b;
        EXPECT_EQ(KORVAL_GetUnusableBoard(0, &b), ERROR_NO_MORE_ITEMS) << version;
    }
}

TEST_F(DeviceTable, DiscoveryTakesTheDeviceIoControlPathFirstInEnumerationOrder)
{
    const uint32_t w1 = add(0x8001, KORVAL_SIM_WINUSB);
    const uint32_t c1 = add(0x8002, KORVAL_SIM_IOCTL);
    const uint32_t w2 = add(0x8003, KORVAL_SIM_WINUSB);
    const uint32_t c2 = add(0x8004, KORVAL_SIM_IOCTL);
    install();
    EXPECT_EQ(GetDevices(), 0xFu);
    const uint32_t expected_pid[] = {0x8002, 0x8004, 0x8001, 0x8003};
    for (uint32_t slot = 0; slot < 4; ++slot) EXPECT_EQ(board_record(slot).PID, expected_pid[slot]) << slot;
    EXPECT_EQ(&usb::transport_of(board(0)), &usb::ioctl_transport());
    EXPECT_EQ(&usb::transport_of(board(2)), &usb::winusb_transport());
    char path[160];
    KorvalSim_GetInterfacePath(sim_, c2, path, sizeof path);
    EXPECT_EQ(board_record(1).DevPath, path);
    EXPECT_EQ(board_record(2).DevPath, "");
    EXPECT_NE(board_record(2).hWinUSBFile, 0u);
    EXPECT_EQ(board_record(0).hWinUSBFile, 0u);
    (void)w1, (void)c1, (void)w2;
}

// Discovery opens boards but sends them nothing; the first device call reads the descriptor.
TEST_F(DeviceTable, DiscoverySendsNothingAndTheOpenCheckReadsTheDescriptorOnce)
{
    const uint32_t w = add(0x8001, KORVAL_SIM_WINUSB);
    const uint32_t c = add(0x8001, KORVAL_SIM_IOCTL);
    install();
    EXPECT_EQ(KorvalSim_LogCount(sim_, w), 0u);
    EXPECT_EQ(KorvalSim_LogCount(sim_, c), 0u);
    GetDevices();
    GetDevices();
    const auto wl = log(w);
    ASSERT_EQ(wl.size(), 1u);
    EXPECT_EQ(wl[0].info.kind, KORVAL_SIM_DESCRIPTOR);
    EXPECT_EQ(wl[0].value(), 0x0100);
    EXPECT_EQ(wl[0].index(), 0x0409);
    EXPECT_EQ(wl[0].length(), 18);
    const auto cl = log(c);
    ASSERT_EQ(cl.size(), 1u);
    EXPECT_EQ(cl[0].info.kind, KORVAL_SIM_CONTROL);
    const std::vector<uint8_t> setup(cl[0].info.setup, cl[0].info.setup + 8);
    EXPECT_EQ(setup, (std::vector<uint8_t>{0x80, 0x06, 0x00, 0x01, 0x00, 0x00, 18, 0}));
}

TEST_F(DeviceTable, ThirtyThreeBoardsFillThirtyTwoSlotsAndTheLastIsClosedAgain)
{
    std::vector<uint32_t> boards;
    for (int i = 0; i < 33; ++i) boards.push_back(add(0x8001, i % 2 ? KORVAL_SIM_IOCTL : KORVAL_SIM_WINUSB));
    install();
    EXPECT_EQ(GetDevices(), 0xFFFFFFFFu);
    // The DeviceIoControl boards came first (slots 0 to 15), then the WinUSB ones; the last WinUSB
    // board found no slot. It was closed again, so once a slot is free it opens (exclusively) there.
    const uint32_t last = boards.back();
    EXPECT_EQ(KorvalSim_LogCount(sim_, last), 0u);
    ASSERT_EQ(KORVAL_CloseDevice(31), 0u);
    KorvalSim_Unplug(sim_, boards[30]);  // the board slot 31 held
    EXPECT_EQ(GetDevices(), 0xFFFFFFFFu);
    EXPECT_EQ(KorvalSim_LogCount(sim_, last), 1u);  // its descriptor, read by the open check of slot 31
}

TEST_F(DeviceTable, OpenBoardsAreNotOpenedTwice)
{
    add(0x8001, KORVAL_SIM_IOCTL);
    add(0x8001, KORVAL_SIM_WINUSB);
    install();
    EXPECT_EQ(GetDevices(), 3u);
    EXPECT_EQ(GetDevices(), 3u);
    EXPECT_EQ(ResolveDeviceIndex(OnlyDeviceIndex), KORVAL_NO_SLOT);
    EXPECT_EQ(KORVAL_GetLastError(), 52u);
}

TEST_F(DeviceTable, CloseFreesTheSlotForTheNextDiscovery)
{
    add(0x8001, KORVAL_SIM_WINUSB);
    add(0x8002, KORVAL_SIM_WINUSB);
    install();
    ASSERT_EQ(GetDevices(), 3u);
    EXPECT_EQ(KORVAL_CloseDevice(0), 0u);
    EXPECT_EQ(KORVAL_CloseDevice(0), 6u);
    EXPECT_EQ(KORVAL_CloseDevice(32), 1413u);
    uint32_t size = 0;
    EXPECT_EQ(GenericVendorRead(0, 0x11, 0, 0, &size, nullptr), 2u);
    // A worker's transfer that comes after the close (as a stream's next read can) is cancelled by it:
    // the board was not unplugged, and the slot stays empty.
    uint8_t sink[64];
    uint32_t moved = 0;
    EXPECT_EQ(usb::bulk_read(0, 0x86, sink, sizeof sink, moved), ERROR_OPERATION_ABORTED);
    EXPECT_EQ(GenericVendorRead(0, 0x11, 0, 0, &size, nullptr), ERROR_FILE_NOT_FOUND);
    // A board another thread has just found gone is marked before its handles are taken: in between,
    // it is already removed.
    board_record(1).bDeviceWasHere = true;
    EXPECT_EQ(GenericVendorRead(1, 0x11, 0, 0, &size, nullptr), ERROR_DEVICE_REMOVED);
    board_record(1).bDeviceWasHere = false;
    // The closed board comes back into the lowest free slot, and its descriptor is read again.
    EXPECT_EQ(GetDevices(), 3u);
    EXPECT_EQ(board_record(0).PID, 0x8001u);
}

// What the subsystems' hooks undo when the core changes a slot under them: state left in slot 0, the
// core's path, then the state that must be gone.
struct HookCase {
    const char* path;
    void (*leave)();
    void (*run)();
    bool (*undone)();
};

TEST_F(DeviceTable, CorePathsLetEachSubsystemUndoItsState)
{
    const HookCase cases[] = {
        {"a board placed again by discovery has no waveform output open or closing",
         [] { dac_state(0).bDACOpen = dac_state(0).bDACClosing = true; },
         [] {
             ASSERT_EQ(KORVAL_CloseDevice(0), ERROR_SUCCESS);
             ASSERT_EQ(GetDevices(), 1u);
         },
         [] { return !dac_state(0).bDACOpen && !dac_state(0).bDACClosing; }},
        {"unload releases every subsystem's arrays",
         [] {
             dio_state(0).LastDIOData.assign(4, 1);
             dac_state(0).DACData.assign(2, {1, 2});
             dac_state(0).PendingDACData.assign(3, 1);
             adc_state(0).FastITConfig.assign(21, 1);
             adc_state(0).FastITBakConfig.assign(21, 1);
         },
         [] { release_board_memory(); },
         [] {
             return dio_state(0).LastDIOData.capacity() == 0 && dac_state(0).DACData.capacity() == 0 &&
                    dac_state(0).PendingDACData.capacity() == 0 && adc_state(0).FastITConfig.capacity() == 0 &&
                    adc_state(0).FastITBakConfig.capacity() == 0;
         }},
    };
    for (const HookCase& c : cases) {
        SCOPED_TRACE(c.path);
        install_one(0x4001);
        c.leave();
        c.run();
        EXPECT_TRUE(c.undone());
    }
}

TEST_F(DeviceTable, UnknownProductOpensWithNoCapabilities)
{
    install_one(0x8013);
    const Board& b = board(0);
    EXPECT_TRUE(b.bOpen);
    EXPECT_EQ(b.PID, 0x8013u);
    EXPECT_EQ(b.row().DIOBytes, 0u);
    EXPECT_FALSE(b.row().bGetName);
    EXPECT_EQ(dio_state(0).LastDIOData.size(), 0u);
}

TEST_F(DeviceTable, ShortDescriptorOnTheDeviceIoControlPathIsAReadFault)
{
    const uint32_t board = add(0x8001, KORVAL_SIM_IOCTL);
    install();
    short_next(board, KORVAL_SIM_CONTROL, 0x06, 17, 100);
    EXPECT_EQ(GetDevices(), 0u);
    EXPECT_EQ(GenericVendorWrite(0, 0x10, 0, 0, 0, nullptr), 30u);
    uint32_t size = 0;
    EXPECT_EQ(GenericVendorRead(0, 0x11, 0, 0, &size, nullptr), 30u);
    EXPECT_EQ(board_record(0).PID, 0xFFFFFFFFu);
    EXPECT_FALSE(board_record(0).bOpen);
}

TEST_F(DeviceTable, DescriptorFailureCodesReachTheCaller)
{
    const uint32_t c = add(0x8001, KORVAL_SIM_IOCTL);
    const uint32_t w = add(0x8001, KORVAL_SIM_WINUSB);
    install();
    fail_next(c, KORVAL_SIM_CONTROL, 0x06, 121);
    fail_next(w, KORVAL_SIM_DESCRIPTOR, 0x06, 0);
    EXPECT_EQ(GenericVendorWrite(0, 0x10, 0, 0, 0, nullptr), 121u);
    EXPECT_EQ(GenericVendorWrite(1, 0x10, 0, 0, 0, nullptr), 31u);  // no code from the system
    EXPECT_EQ(GetDevices(), 3u);                                      // both open on the next try
}

// A board that takes the slot of one whose firmware check passed is checked itself.
TEST_F(DeviceTable, FirmwareCheckBelongsToTheBoardNotTheSlot)
{
    const uint32_t newer = add(0x8001, KORVAL_SIM_WINUSB);
    install();
    ASSERT_EQ(GetDevices(), 1u);
    EXPECT_EQ(firmware_check(0), 0u);
    EXPECT_TRUE(board_record(0).bFirmware20);
    ASSERT_EQ(KORVAL_CloseDevice(0), 0u);
    KorvalSim_Unplug(sim_, newer);
    const uint32_t older = add(0x8001, KORVAL_SIM_WINUSB);
    const uint8_t old_level[3] = {2, 0, 0};
    KorvalSim_SetFirmwareLevel(sim_, older, old_level);
    ASSERT_EQ(GetDevices(), 1u);
    EXPECT_FALSE(board_record(0).bFirmware20);
    EXPECT_EQ(firmware_check(0), 50u);
}

// A slot's path is kept when a WinUSB board takes it over; it must not hide the DeviceIoControl board
// that was there from discovery when it comes back.
TEST_F(DeviceTable, StalePathOfAWinUsbSlotDoesNotHideABoard)
{
    const uint32_t c = add(0x8002, KORVAL_SIM_IOCTL);
    install();
    ASSERT_EQ(GetDevices(), 1u);
    KorvalSim_Unplug(sim_, c);
    ASSERT_EQ(KORVAL_CloseDevice(0), 0u);
    add(0x8003, KORVAL_SIM_WINUSB);
    ASSERT_EQ(GetDevices(), 1u);
    EXPECT_EQ(board_record(0).PID, 0x8003u);
    KorvalSim_Replug(sim_, c);
    EXPECT_EQ(GetDevices(), 3u);
    EXPECT_EQ(board_record(1).PID, 0x8002u);
}

class DeviceGone : public PathTest {};

// Unplugged: the next request fails in the driver, the slot is closed and marked, and every later
// call is answered from the table without reaching the board.
TEST_P(DeviceGone, UnplugMarksTheSlotRemoved)
{
    const uint32_t board = install_one(0x8001, path());
    KorvalSim_Unplug(sim_, board);
    EXPECT_EQ(GenericVendorWrite(0, 0x10, 0, 0, 0, nullptr), 1617u);
    EXPECT_EQ(board_record(0).Handle, 0u);
    EXPECT_EQ(board_record(0).hWinUSBFile, 0u);
    EXPECT_TRUE(board_record(0).bDeviceWasHere);
    EXPECT_FALSE(board_record(0).bOpen);
    const uint32_t seen = KorvalSim_LogCount(sim_, board);
    uint32_t size = 0;
    EXPECT_EQ(GenericVendorRead(0, 0x11, 0, 0, &size, nullptr), 1617u);
    EXPECT_EQ(GenericVendorWrite(0, 0x10, 0, 0, 0, nullptr), 1617u);
    EXPECT_EQ(KorvalSim_LogCount(sim_, board), seen);
    // Plugged in again, it does not go back to its marked slot...
    KorvalSim_Replug(sim_, board);
    EXPECT_EQ(GetDevices(), 2u);
    // ...until the mark is cleared.
    EXPECT_EQ(KORVAL_CloseDevice(1), 0u);
    EXPECT_EQ(KORVAL_CloseDevice(0), 0u);
    EXPECT_FALSE(board_record(0).bDeviceWasHere);
    EXPECT_EQ(GetDevices(), 1u);
}

// Reads on the DeviceIoControl path pass the system's code on without the mapping; writes map it.
TEST_P(DeviceGone, ReadsOnTheDeviceIoControlPathDoNotMap)
{
    const uint32_t board = install_one(0x8001, path());
    KorvalSim_Unplug(sim_, board);
    uint8_t data[4];
    uint32_t size = sizeof data;
    EXPECT_EQ(GenericVendorRead(0, 0x11, 0, 0, &size, data), ioctl() ? 1167u : 1617u);
    EXPECT_EQ(board_record(0).bDeviceWasHere, !ioctl());
    EXPECT_EQ(size, 4u);
}

struct GoneCase {
    uint32_t error;
    uint32_t result;
    bool removed;
};

class GoneCodes : public SimTest, public ::testing::WithParamInterface<GoneCase> {};

TEST_P(GoneCodes, RemovalCodesCloseOthersPassThrough)
{
    const uint32_t board = install_one(0x8001);
    fail_next(board, KORVAL_SIM_CONTROL, 0x10, GetParam().error);
    EXPECT_EQ(GenericVendorWrite(0, 0x10, 0, 0, 0, nullptr), GetParam().result);
    EXPECT_EQ(board_record(0).bDeviceWasHere, GetParam().removed);
    EXPECT_EQ(board_record(0).Handle == 0, GetParam().removed);
    EXPECT_EQ(KORVAL_GetLastError(), GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(Codes, GoneCodes,
                         ::testing::Values(GoneCase{0, 31, false}, GoneCase{2, 1617, true}, GoneCase{6, 1617, true},
                                           GoneCase{1167, 1617, true}, GoneCase{1617, 1617, true},
                                           GoneCase{31, 31, false}, GoneCase{121, 121, false},
                                           GoneCase{22, 22, false}));

TEST_F(DeviceTable, ClearDevicesFreesGoneBoardsAndChecksNamedOnes)
{
    const uint32_t a = add(0x8001);  // named
    const uint32_t b = add(0x8013);  // unknown product: not asked for its name
    add(0x8002);
    install();
    ASSERT_EQ(GetDevices(), 7u);
    KorvalSim_Unplug(sim_, a);
    KorvalSim_Unplug(sim_, b);
    clear_log(a);
    EXPECT_EQ(ClearDevices(), 0u);
    // The named board was found gone: closed and marked. The other one was not asked.
    EXPECT_TRUE(board_record(0).bDeviceWasHere);
    EXPECT_NE(board_record(1).Handle, 0u);
    const auto name_reads = control_log(a);
    ASSERT_EQ(name_reads.size(), 1u);
    EXPECT_EQ(name_reads[0], (Expected{0xC0, 0x06, 0x0302, 0, {}}));
    EXPECT_EQ(log(a)[0].info.length_asked, 514u);
    // A second pass frees the marked slot.
    EXPECT_EQ(ClearDevices(), 0u);
    EXPECT_FALSE(board_record(0).bDeviceWasHere);
    EXPECT_NE(board_record(2).Handle, 0u);
}

KORVAL_BOTH_PATHS(DeviceGone);

// Every end function, called after the board was unplugged, stops what it ends and reports the unplug:
// 1617, and again 1617 when there is nothing left to end.
struct EndCase {
    const char* name;
    uint32_t pid;
    uint32_t (*start)();
    uint32_t (*end)();
};

class EndAfterUnplug : public SimTest, public ::testing::WithParamInterface<EndCase> {};

TEST_P(EndAfterUnplug, ReportsTheUnplug)
{
    const EndCase& c = GetParam();
    const uint32_t board = install_one(c.pid);
    ASSERT_EQ(c.start(), ERROR_SUCCESS);
    KorvalSim_Unplug(sim_, board);
    EXPECT_EQ(GenericVendorWrite(0, 0x10, 0, 0, 0, nullptr), ERROR_DEVICE_REMOVED);
    EXPECT_EQ(c.end(), ERROR_DEVICE_REMOVED);
    EXPECT_EQ(c.end(), ERROR_DEVICE_REMOVED);
}

uint8_t g_acquired[4096];

INSTANTIATE_TEST_SUITE_P(
    EndFunctions, EndAfterUnplug,
    ::testing::Values(
        EndCase{"ContinuousEnd", 0x8040,
                [] { return ADC_BulkContinuousStart(0, 512, 4, 0, [](uint16_t*, uint32_t, uint32_t, uint32_t) {}); },
                [] { return ADC_BulkContinuousEnd(0, nullptr); }},
        EndCase{"BulkAbort", 0x8040, [] { return ADC_BulkAcquire(0, sizeof g_acquired, g_acquired); },
                [] { return ADC_BulkAbort(0); }},
        EndCase{"DacClose", 0x4001,
                [] {
                    double hz = 10000;
                    return DACOutputOpen(0, &hz);
                },
                [] { return DACOutputClose(0); }},
        EndCase{"DacCloseNoEnd", 0x4001,
                [] {
                    double hz = 10000;
                    return DACOutputOpen(0, &hz);
                },
                [] { return DACOutputCloseNoEnd(0); }},
        EndCase{"DioStreamClose", 0x800C, [] { return DIO_StreamOpen(0, 1); }, [] { return DIO_StreamClose(0); }},
        EndCase{"EndWaitGates", 0x8020, [] { return CTR_SetWaitGates(0, 0, 1); }, [] { return CTR_EndWaitGates(0); }},
        EndCase{"StopPulseWidth", 0x8020, [] { return CTR_StartMeasuringPulseWidth(0); },
                [] { return CTR_StopMeasuringPulseWidth(0); }}),
    [](const ::testing::TestParamInfo<EndCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace korval::test
