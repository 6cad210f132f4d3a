// GenericVendorRead and GenericVendorWrite on both driver paths: the wire bytes, the counts, short
// replies, failures, and caller memory that cannot be read or written.
#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "board/board.h"
#include "support/guarded_pages.h"
#include "support/sim_fixture.h"

namespace korval::test {
namespace {

class Control : public PathTest {};

std::vector<uint8_t> header_of(const Transfer& t) { return {t.info.header, t.info.header + 38}; }

// The 38-byte driver request header a control request must carry on the DeviceIoControl path.
std::vector<uint8_t> control_header(uint8_t type, uint8_t request, uint16_t value, uint16_t index, uint16_t length)
{
    std::vector<uint8_t> h(38, 0);
    h[0] = type;
    h[1] = request;
    h[2] = value & 0xFF;
    h[3] = value >> 8;
    h[4] = index & 0xFF;
    h[5] = index >> 8;
    h[6] = length & 0xFF;
    h[7] = length >> 8;
    h[8] = 42;  // time-out
    h[30] = 38; // data offset
    h[34] = length & 0xFF;
    h[35] = length >> 8;
    return h;
}

TEST_P(Control, WriteSendsTheSetupPacketAndData)
{
    const uint32_t board = install_one(0x8001, path());
    const uint8_t data[3] = {0xAA, 0xBB, 0xCC};
    EXPECT_EQ(GenericVendorWrite(0, 0xA2, 0x1E10, 0x0102, sizeof data, data), 0u);
    const auto l = log(board);
    ASSERT_EQ(l.size(), 1u);
    const std::vector<uint8_t> setup(l[0].info.setup, l[0].info.setup + 8);
    EXPECT_EQ(setup, (std::vector<uint8_t>{0x40, 0xA2, 0x10, 0x1E, 0x02, 0x01, 3, 0}));
    EXPECT_EQ(l[0].data, (std::vector<uint8_t>{0xAA, 0xBB, 0xCC}));
    if (ioctl()) {
        EXPECT_EQ(l[0].info.control_code, 0x220020u);
        EXPECT_EQ(header_of(l[0]), control_header(0x40, 0xA2, 0x1E10, 0x0102, 3));
    }
}

TEST_P(Control, WriteWithoutDataHasNoDataStage)
{
    const uint32_t board = install_one(0x8001, path());
    EXPECT_EQ(GenericVendorWrite(0, 0xA2, 0x1E00, 0, 0, nullptr), 0u);
    const auto l = log(board);
    ASSERT_EQ(l.size(), 1u);
    EXPECT_EQ(l[0].length(), 0);
    EXPECT_TRUE(l[0].data.empty());
    if (ioctl()) {
        EXPECT_EQ(header_of(l[0]), control_header(0x40, 0xA2, 0x1E00, 0, 0));
    }
}

TEST_P(Control, ReadReturnsTheBytesAndTheCount)
{
    const uint32_t board = install_one(0x8001, path());
    KorvalSim_SetSerialNumber(sim_, board, 0x1122334455667788ull);
    uint8_t data[8] = {};
    uint32_t size = sizeof data;
    EXPECT_EQ(GenericVendorRead(0, 0xA2, 0x1DF8, 0, &size, data), 0u);
    EXPECT_EQ(size, 8u);
    EXPECT_EQ(data[0], 0x88);
    EXPECT_EQ(data[7], 0x11);
    const auto l = log(board);
    ASSERT_EQ(l.size(), 1u);
    const std::vector<uint8_t> setup(l[0].info.setup, l[0].info.setup + 8);
    EXPECT_EQ(setup, (std::vector<uint8_t>{0xC0, 0xA2, 0xF8, 0x1D, 0, 0, 8, 0}));
    if (ioctl()) {
        EXPECT_EQ(header_of(l[0]), control_header(0xC0, 0xA2, 0x1DF8, 0, 8));
    }
}

TEST_P(Control, ReadOfNothingSendsLengthZero)
{
    const uint32_t board = install_one(0x8001, path());
    uint32_t size = 0;
    EXPECT_EQ(GenericVendorRead(0, 0xA2, 0x1E00, 0, &size, nullptr), 0u);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(log(board).at(0).length(), 0);
}

// A short reply is a success: only the count tells, and the bytes beyond it stay as they were.
TEST_P(Control, ShortReplyKeepsTheRestOfTheBuffer)
{
    const uint32_t board = install_one(0x8001, path());
    short_next(board, KORVAL_SIM_CONTROL, 0xA2, 3);
    uint8_t data[8];
    std::memset(data, 0x5A, sizeof data);
    uint32_t size = sizeof data;
    EXPECT_EQ(GenericVendorRead(0, 0xA2, 0x1DF8, 0, &size, data), 0u);
    EXPECT_EQ(size, 3u);
    for (int i = 3; i < 8; ++i) EXPECT_EQ(data[i], 0x5A) << i;
}

// Counts above 16 bits: wLength carries the low 16 bits, the driver gets the whole buffer, and the
// board answers at most wLength bytes.
TEST_P(Control, CountsAboveSixteenBitsSendTheLowBitsInWLength)
{
    const uint32_t board = install_one(0x8001, path());
    std::vector<uint8_t> data(0x10004, 0x77);
    uint32_t size = static_cast<uint32_t>(data.size());
    EXPECT_EQ(GenericVendorRead(0, 0xA2, 0x0000, 0, &size, data.data()), 0u);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(log(board).at(0).length(), 4);
    EXPECT_EQ(data[4], 0x77);
}

TEST_P(Control, FailedReadLeavesTheCount)
{
    const uint32_t board = install_one(0x8001, path());
    fail_next(board, KORVAL_SIM_CONTROL, 0xA2, 121);
    uint8_t data[4] = {1, 2, 3, 4};
    uint32_t size = sizeof data;
    EXPECT_EQ(GenericVendorRead(0, 0xA2, 0, 0, &size, data), 121u);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(data[0], 1);
    fail_next(board, KORVAL_SIM_CONTROL, 0xA2, 0);
    EXPECT_EQ(GenericVendorRead(0, 0xA2, 0, 0, &size, data), 31u);
}

TEST_P(Control, UnknownRequestFailsAsAStall)
{
    install_one(0x8001, path());
    uint32_t size = 4;
    uint8_t data[4];
    EXPECT_EQ(GenericVendorRead(0, 0x99, 0, 0, &size, data), 31u);
    EXPECT_EQ(GenericVendorWrite(0, 0x99, 0, 0, 0, nullptr), 31u);
    EXPECT_TRUE(board_record(0).bOpen);
}

TEST_P(Control, IndexAndOpenCheckComeFirst)
{
    install_one(0x8001, path());
    uint32_t size = 0;
    EXPECT_EQ(GenericVendorRead(32, 0xA2, 0, 0, &size, nullptr), 1413u);
    EXPECT_EQ(GenericVendorWrite(5, 0xA2, 0, 0, 0, nullptr), 2u);
    EXPECT_EQ(GenericVendorRead(0, 0xA2, 0, 0, nullptr, nullptr), 87u);
    EXPECT_EQ(GenericVendorRead(OnlyDeviceIndex, 0xA2, 0, 0, &size, nullptr), 0u);
}

// Memory the caller hands over that cannot be read or written gives 998, never a crash.
class CallerMemory : public PathTest {
protected:
    uint8_t* hole() const { return pages_.hole(); }
    uint8_t* readable_end() const { return pages_.hole(); }  // the bytes before it are readable
    uint8_t* read_only() const { return pages_.read_only(); }

    GuardedPages pages_;
};

TEST_P(CallerMemory, UnreadableWriteDataIsRefusedBeforeSending)
{
    const uint32_t board = install_one(0x8001, path());
    EXPECT_EQ(GenericVendorWrite(0, 0xA2, 0x1E00, 0, 8, hole()), 998u);
    // A range that starts readable and runs into the hole.
    EXPECT_EQ(GenericVendorWrite(0, 0xA2, 0x1E00, 0, 8, readable_end() - 4), 998u);
    EXPECT_EQ(GenericVendorWrite(0, 0xA2, 0x1E00, 0, 8, nullptr), 998u);
    EXPECT_EQ(KorvalSim_LogCount(sim_, board), 0u);
    EXPECT_EQ(GenericVendorWrite(0, 0xA2, 0x1E00, 0, 8, read_only()), 0u);
}

TEST_P(CallerMemory, UnwritableReadBufferGives998)
{
    const uint32_t board = install_one(0x8001, path());
    uint32_t size = 8;
    EXPECT_EQ(GenericVendorRead(0, 0xA2, 0x1E00, 0, &size, hole()), 998u);
    EXPECT_EQ(KorvalSim_LogCount(sim_, board), 0u);
    // Readable but not writable: the request goes out, the answer cannot come back.
    size = 8;
    EXPECT_EQ(GenericVendorRead(0, 0xA2, 0x1E00, 0, &size, read_only()), 998u);
    EXPECT_EQ(KorvalSim_LogCount(sim_, board), 1u);
    EXPECT_EQ(read_only()[0], 0);
}

KORVAL_BOTH_PATHS(Control);
KORVAL_BOTH_PATHS(CallerMemory);

// Only the DeviceIoControl path counts the header in its returned bytes.
class IoctlControl : public SimTest {};

TEST_F(IoctlControl, ReturnedCountIncludesTheHeader)
{
    const uint32_t board = install_one(0x8001, KORVAL_SIM_IOCTL);
    struct Case {
        uint32_t reported;
        uint32_t count;
    };
    for (const Case c : {Case{38, 0}, Case{20, 0}, Case{0, 0}, Case{41, 3}, Case{46, 8}, Case{1000, 8}}) {
        report_next(board, KORVAL_SIM_CONTROL, 0xA2, c.reported);
        uint8_t data[8];
        uint32_t size = sizeof data;
        EXPECT_EQ(GenericVendorRead(0, 0xA2, 0x1DF8, 0, &size, data), 0u);
        EXPECT_EQ(size, c.count) << c.reported;
    }
}

}  // namespace
}  // namespace korval::test
