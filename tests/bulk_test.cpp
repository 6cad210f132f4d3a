// Bulk transfers on both driver paths and the stream-control functions: wire traffic, counts, the
// caller's buffer handed to the driver uncopied, failures, and the order of checks.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <vector>

#include "board/board.h"
#include "support/guarded_pages.h"
#include "support/sim_fixture.h"

namespace korval::test {
namespace {

std::vector<uint8_t> bulk_header(uint8_t endpoint)
{
    std::vector<uint8_t> h(38, 0);
    h[13] = endpoint;
    return h;
}

class Bulk : public PathTest {
protected:
    // The bulk transfers of the log.
    std::vector<Transfer> bulk_log(uint32_t board) const
    {
        std::vector<Transfer> out;
        for (Transfer& t : log(board))
            if (t.info.kind == KORVAL_SIM_BULK_IN || t.info.kind == KORVAL_SIM_BULK_OUT) out.push_back(std::move(t));
        return out;
    }
    void expect_driver_call(const Transfer& t, uint8_t endpoint) const
    {
        EXPECT_EQ(t.info.endpoint, endpoint);
        EXPECT_EQ(t.info.via, ioctl() ? KORVAL_SIM_VIA_IOCTL : KORVAL_SIM_VIA_WINUSB);
        if (ioctl()) {
            EXPECT_EQ(t.info.control_code, 0x22004Bu);
            EXPECT_EQ(std::vector<uint8_t>(t.info.header, t.info.header + 38), bulk_header(endpoint));
        }
    }
};

TEST_P(Bulk, ReadTakesWhatTheBoardSendsUpToTheBuffer)
{
    const uint32_t board = install_one(0x8040, path());
    const std::array<uint8_t, 10> fed = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    ASSERT_EQ(KorvalSim_FeedBulkIn(sim_, board, 0x86, fed.data(), fed.size()), 0u);
    std::array<uint8_t, 16> data{};
    data.fill(0xEE);
    uint32_t count = 0xDEAD;
    // A short transfer is a success; only the count tells.
    EXPECT_EQ(QBT_GenericBulkIn(0, 0x86, data.data(), 16, &count), 0u);
    EXPECT_EQ(count, 10u);
    EXPECT_TRUE(std::equal(fed.begin(), fed.end(), data.begin()));
    EXPECT_EQ(data[10], 0xEE);
    // Only the low 8 bits of the pipe ID are used.
    ASSERT_EQ(KorvalSim_FeedBulkIn(sim_, board, 0x86, fed.data(), 4), 0u);
    EXPECT_EQ(QBT_GenericBulkIn(0, 0x1286, data.data(), 4, &count), 0u);
    EXPECT_EQ(count, 4u);

    const auto l = bulk_log(board);
    ASSERT_EQ(l.size(), 2u);
    expect_driver_call(l[0], 0x86);
    EXPECT_EQ(l[0].info.length_asked, 16u);
    expect_driver_call(l[1], 0x86);
}

TEST_P(Bulk, WriteSendsTheCallersBytes)
{
    const uint32_t board = install_one(0x8040, path());
    const std::array<uint8_t, 5> out = {0xA1, 0xB2, 0xC3, 0xD4, 0xE5};
    uint32_t count = 0;
    EXPECT_EQ(QBT_GenericBulkOut(0, 0x02, out.data(), out.size(), &count), 0u);
    EXPECT_EQ(count, 5u);
    std::array<uint8_t, 8> got{};
    uint32_t size = 0;
    uint64_t remaining = 1;
    ASSERT_EQ(KorvalSim_ReadBulkOut(sim_, board, 0x02, got.data(), got.size(), &size, &remaining), 0u);
    EXPECT_EQ(size, 5u);
    EXPECT_EQ(remaining, 0u);
    EXPECT_TRUE(std::equal(out.begin(), out.end(), got.begin()));
    const auto l = bulk_log(board);
    ASSERT_EQ(l.size(), 1u);
    expect_driver_call(l[0], 0x02);

    // DEB_BulkOut is the same transfer without the count.
    EXPECT_EQ(DEB_BulkOut(0, 0x02, out.data(), 3), 0u);
    ASSERT_EQ(KorvalSim_ReadBulkOut(sim_, board, 0x02, got.data(), got.size(), &size, nullptr), 0u);
    EXPECT_EQ(size, 3u);
}

TEST_P(Bulk, ACountReportedBeyondTheBufferIsCutToIt)
{
    const uint32_t board = install_one(0x8040, path());
    const std::array<uint8_t, 8> fed{};
    KorvalSim_FeedBulkIn(sim_, board, 0x86, fed.data(), fed.size());
    report_next(board, KORVAL_SIM_BULK_IN, 0x86, 4000);
    std::array<uint8_t, 8> data{};
    uint32_t count = 0;
    EXPECT_EQ(QBT_GenericBulkIn(0, 0x86, data.data(), data.size(), &count), 0u);
    EXPECT_EQ(count, 8u);
    report_next(board, KORVAL_SIM_BULK_OUT, 0x02, 4000);
    EXPECT_EQ(QBT_GenericBulkOut(0, 0x02, data.data(), 6, &count), 0u);
    EXPECT_EQ(count, 6u);
}

// The caller's buffer goes to the driver as it is: the host sees the caller's own pointer.
struct PointerSpy {
    static inline const KorvalHost* real = nullptr;
    static inline const void* seen = nullptr;
    static int read_pipe(void*, KorvalHandle h, uint8_t pipe, void* buffer, uint32_t length, uint32_t* moved,
                         uint32_t* error)
    {
        seen = buffer;
        return real->winusb_read_pipe(real->context, h, pipe, buffer, length, moved, error);
    }
    static int write_pipe(void*, KorvalHandle h, uint8_t pipe, const void* buffer, uint32_t length, uint32_t* moved,
                          uint32_t* error)
    {
        seen = buffer;
        return real->winusb_write_pipe(real->context, h, pipe, buffer, length, moved, error);
    }
    static int ioctl(void*, KorvalHandle f, uint32_t code, const void* in, uint32_t in_size, void* out,
                     uint32_t out_size, uint32_t* returned, uint32_t* error)
    {
        if (code == KORVAL_IOCTL_BULK_TRANSFER) seen = out;
        return real->device_io_control(real->context, f, code, in, in_size, out, out_size, returned, error);
    }
};

TEST_P(Bulk, TheCallersBufferGoesToTheDriverUncopied)
{
    const uint32_t board = add(0x8040, path());
    PointerSpy::real = KorvalSim_Host(sim_);
    KorvalHost spy = *PointerSpy::real;
    spy.winusb_read_pipe = PointerSpy::read_pipe;
    spy.winusb_write_pipe = PointerSpy::write_pipe;
    spy.device_io_control = PointerSpy::ioctl;
    ASSERT_EQ(KORVAL_InstallHost(&spy), 0u);
    ASSERT_EQ(GetDevices(), 1u);

    std::vector<uint8_t> big(64 * 1024, 0x5A);
    KorvalSim_FeedBulkIn(sim_, board, 0x86, big.data(), static_cast<uint32_t>(big.size()));
    std::vector<uint8_t> data(big.size());
    uint32_t count = 0;
    EXPECT_EQ(QBT_GenericBulkIn(0, 0x86, data.data(), static_cast<uint32_t>(data.size()), &count), 0u);
    EXPECT_EQ(PointerSpy::seen, data.data());
    EXPECT_EQ(count, big.size());
    EXPECT_EQ(QBT_GenericBulkOut(0, 0x02, big.data(), static_cast<uint32_t>(big.size()), &count), 0u);
    EXPECT_EQ(PointerSpy::seen, big.data());
}

TEST_P(Bulk, DriverFailuresGoThroughTheDeviceGoneMapping)
{
    const uint32_t board = install_one(0x8040, path());
    std::array<uint8_t, 4> data{};
    uint32_t count = 77;
    fail_next(board, KORVAL_SIM_BULK_IN, 0x86, 0);  // no code from the driver
    EXPECT_EQ(QBT_GenericBulkIn(0, 0x86, data.data(), data.size(), &count), 31u);
    EXPECT_EQ(count, 77u);
    fail_next(board, KORVAL_SIM_BULK_OUT, 0x02, 121);
    EXPECT_EQ(QBT_GenericBulkOut(0, 0x02, data.data(), data.size(), &count), 121u);
    EXPECT_TRUE(board_record(0).Handle != 0);

    KorvalSim_Unplug(sim_, board);
    EXPECT_EQ(QBT_GenericBulkOut(0, 0x02, data.data(), data.size(), &count), 1617u);
    EXPECT_TRUE(board_record(0).bDeviceWasHere);
    const uint32_t logged = KorvalSim_LogCount(sim_, board);
    EXPECT_EQ(QBT_GenericBulkIn(0, 0x86, data.data(), data.size(), &count), 1617u);
    EXPECT_EQ(KorvalSim_LogCount(sim_, board), logged);  // answered by the open check
}

TEST_P(Bulk, ArgumentsAreCheckedAfterTheIndexAndBeforeTheDriver)
{
    const uint32_t board = install_one(0x8040, path());
    std::array<uint8_t, 4> data{};
    uint32_t count = 0;
    EXPECT_EQ(QBT_GenericBulkIn(40, 0x86, nullptr, 4, nullptr), 1413u);
    EXPECT_EQ(QBT_GenericBulkIn(3, 0x86, nullptr, 4, nullptr), 2u);
    EXPECT_EQ(QBT_GenericBulkIn(0, 0x86, data.data(), 4, nullptr), 87u);
    EXPECT_EQ(QBT_GenericBulkIn(0, 0x86, nullptr, 4, &count), 87u);
    EXPECT_EQ(QBT_GenericBulkOut(0, 0x02, nullptr, 4, &count), 87u);
    EXPECT_EQ(DEB_BulkOut(0, 0x02, nullptr, 4), 87u);
    EXPECT_EQ(KorvalSim_LogCount(sim_, board), 0u);
    // A zero-length transfer needs no buffer.
    EXPECT_EQ(QBT_GenericBulkOut(0, 0x02, nullptr, 0, &count), 0u);
    EXPECT_EQ(count, 0u);
}

TEST_P(Bulk, UnusableCallerMemoryIs998NotACrash)
{
    const uint32_t board = install_one(0x8040, path());
    GuardedPages pages;
    ASSERT_TRUE(pages.ok());
    const std::array<uint8_t, 16> fed{};
    KorvalSim_FeedBulkIn(sim_, board, 0x86, fed.data(), fed.size());
    uint32_t count = 0;
    EXPECT_EQ(QBT_GenericBulkIn(0, 0x86, pages.read_only(), 16, &count), 998u);
    EXPECT_EQ(QBT_GenericBulkIn(0, 0x86, pages.before_hole(8), 16, &count), 998u);
    EXPECT_EQ(QBT_GenericBulkOut(0, 0x02, pages.hole(), 16, &count), 998u);
    // Read-only memory can be sent.
    EXPECT_EQ(QBT_GenericBulkOut(0, 0x02, pages.read_only(), 16, &count), 0u);
    EXPECT_EQ(count, 16u);
    // The count cannot be written back: the data has moved, the call says the count was lost.
    std::array<uint8_t, 16> data{};
    EXPECT_EQ(QBT_GenericBulkIn(0, 0x86, data.data(), 16, reinterpret_cast<uint32_t*>(pages.read_only())), 998u);
    EXPECT_TRUE(board_record(0).Handle != 0);
}

TEST_P(Bulk, ResetHoldsAndReleasesTheController)
{
    const uint32_t board = install_one(0x8001, path());
    EXPECT_EQ(KORVAL_ResetChip(0), 0u);
    EXPECT_EQ(control_log(board), (std::vector<Expected>{{0x40, 0xA0, 0xE600, 0, {0x01}}, {0x40, 0xA0, 0xE600, 0, {0x00}}}));
    uint32_t held = 9, restarts = 0;
    KorvalSim_GetControllerState(sim_, board, &held, &restarts);
    EXPECT_EQ(held, 0u);
    EXPECT_EQ(restarts, 1u);

    // A failing first write ends the reset there, with its code.
    clear_log(board);
    fail_next(board, KORVAL_SIM_CONTROL, 0xA0, 121);
    EXPECT_EQ(KORVAL_ResetChip(0), 121u);
    EXPECT_EQ(KorvalSim_LogCount(sim_, board), 1u);
    EXPECT_EQ(KORVAL_ResetChip(40), 1413u);
}

KORVAL_BOTH_PATHS(Bulk);

class StreamControl : public SimTest {};

TEST_F(StreamControl, NotOfferedEntryPointsAnswer50WhateverTheyAreGiven)
{
    install_one(0x8040);
    EXPECT_EQ(DEB_BulkIn(40, 0x86, nullptr, 100), 50u);
    EXPECT_EQ(KORVAL_UploadFirmware(40, nullptr, 5), 50u);
    EXPECT_EQ(DEB_SetInterface(40, 0), 1413u);
    EXPECT_EQ(DEB_SetInterface(5, 0), 2u);
    EXPECT_EQ(DEB_SetInterface(0, 1), 50u);
    EXPECT_TRUE(log(1).empty());
}

TEST_F(StreamControl, BlockSizeIsRoundedByTheBoardsStreams)
{
    struct Case {
        uint32_t pid;
        uint32_t block_size;
        uint32_t result;
        uint32_t stored;
    };
    const Case cases[] = {
        {0x8040, 1000, 0, 1024},         {0x8040, 513, 0, 1024},   {0x8040, 512, 0, 512},
        {0x8040, 1, 0, 512},             {0x8040, 0x1F00000, 0, 0x1F00000},
        {0x8040, 0x1F00001, 87, 0x7C00}, {0x8040, 0, 87, 0x7C00},  {0x8008, 1000, 0, 1024},
        {0x800C, 257, 0, 512},           {0x8001, 1000, 1349, 0x7C00}, {0x8001, 0, 1349, 0x7C00},
        {0x4001, 512, 1349, 0x7C00},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << "pid 0x" << c.pid << " size 0x" << c.block_size);
        TearDown();
        SetUp();
        const uint32_t board = install_one(c.pid);
        EXPECT_EQ(KORVAL_SetStreamingBlockSize(0, c.block_size), c.result);
        EXPECT_EQ(board_record(0).StreamingBlockSize, c.stored);
        EXPECT_TRUE(log(board).empty());  // nothing is sent
    }
}

TEST_F(StreamControl, ClearFifoSendsTheRequestOfItsMethod)
{
    const uint32_t board = install_one(0x8040);
    const std::array<uint8_t, 8> fed{};
    KorvalSim_FeedBulkIn(sim_, board, 0x86, fed.data(), fed.size());
    for (const auto& [method, request] : {std::pair{0u, 0x35}, {1u, 0x34}, {5u, 0x38}, {86u, 0x36}}) {
        clear_log(board);
        EXPECT_EQ(KORVAL_ClearFIFO(0, method), 0u);
        EXPECT_EQ(control_log(board), (std::vector<Expected>{{0x40, static_cast<uint8_t>(request), 0, 0, {}}}));
        EXPECT_EQ(log(board)[0].length(), 0);
    }
    uint64_t pending = 1;
    KorvalSim_BulkInPending(sim_, board, 0x86, &pending);
    EXPECT_EQ(pending, 0u);  // the board dropped what was waiting

    clear_log(board);
    for (const uint32_t bad : {2u, 3u, 4u, 6u, 85u, 87u, 0x100u})
        EXPECT_EQ(KORVAL_ClearFIFO(0, bad), 87u);
    EXPECT_TRUE(log(board).empty());
}

TEST_F(StreamControl, EveryFamilyWithStreamFifosTakesTheRequests)
{
    for (const uint32_t pid : {0x8008u, 0x800Fu, 0x8044u, 0x8145u, 0x804Au, 0x815Fu}) {
        SCOPED_TRACE(pid);
        TearDown();
        SetUp();
        const uint32_t board = install_one(pid);
        KorvalSim_SetStreamStatus(sim_, board, pid);
        uint32_t status = 0;
        EXPECT_EQ(KORVAL_ClearFIFO(0, 86), 0u);
        EXPECT_EQ(KORVAL_GetStreamStatus(0, &status), 0u);
        EXPECT_EQ(status, pid);
        EXPECT_EQ(KORVAL_SetStreamingBlockSize(0, 100), 0u);
        EXPECT_EQ(board_record(0).StreamingBlockSize, pid <= 0x800F ? 256u : 512u);
    }
}

TEST_F(StreamControl, BoardsWithoutStreamFifosAnswer1349BeforeTheArguments)
{
    for (const uint32_t pid : {0x8001u, 0x4001u, 0x8020u, 0x8060u}) {
        SCOPED_TRACE(pid);
        TearDown();
        SetUp();
        const uint32_t board = install_one(pid);
        EXPECT_EQ(KORVAL_ClearFIFO(0, 2), 1349u);
        EXPECT_EQ(KORVAL_GetStreamStatus(0, nullptr), 1349u);
        EXPECT_TRUE(log(board).empty());
    }
}

TEST_F(StreamControl, StreamStatusIsLittleEndianAndShortRepliesFillWithZeros)
{
    const uint32_t board = install_one(0x800C);
    KorvalSim_SetStreamStatus(sim_, board, 0x12345678);
    uint32_t status = 0;
    EXPECT_EQ(KORVAL_GetStreamStatus(0, &status), 0u);
    EXPECT_EQ(status, 0x12345678u);
    EXPECT_EQ(control_log(board), (std::vector<Expected>{{0xC0, 0xB4, 0, 0, {}}}));
    EXPECT_EQ(log(board)[0].length(), 4);

    short_next(board, KORVAL_SIM_CONTROL, 0xB4, 2);
    EXPECT_EQ(KORVAL_GetStreamStatus(0, &status), 0u);
    EXPECT_EQ(status, 0x5678u);

    status = 0xCAFE;
    fail_next(board, KORVAL_SIM_CONTROL, 0xB4, 121);
    EXPECT_EQ(KORVAL_GetStreamStatus(0, &status), 121u);
    EXPECT_EQ(status, 0xCAFEu);
    EXPECT_EQ(KORVAL_GetStreamStatus(0, nullptr), 87u);
}

}  // namespace
}  // namespace korval::test
