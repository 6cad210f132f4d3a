// SPI and the CSA functions: which products take each call, the wire values, the sync's rounding and
// written-back values, the range-limit block, and the snapshot strings' counting.
#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <vector>

#include "board/board.h"
#include "support/guarded_pages.h"
#include "support/sim_fixture.h"

namespace korval::test {
namespace {

struct GateCase {
    uint32_t pid;
    uint32_t spi, sync, debounce, read_all;
};

class CsaGates : public SimTest, public ::testing::WithParamInterface<GateCase> {};

TEST_P(CsaGates, EachCallRunsWhereTheProductHasItsFeature)
{
    const GateCase c = GetParam();
    install_one(c.pid);
    uint8_t bytes[64] = {};
    double rate = 1000, a = 1, b = 1, t = 1;
    EXPECT_EQ(DIO_SPI_Write(0, 1, 2, 3), c.spi);
    EXPECT_EQ(DIO_SPI_Read(0, 1, 2, bytes), c.spi);
    EXPECT_EQ(DIO_CSA_DoSync(0, &rate, &a, &b, &t), c.sync);
    EXPECT_EQ(DIO_CSA_DebounceSet(0, 5), c.debounce);
    EXPECT_EQ(DIO_CSA_DebounceReadAll(0, bytes), c.debounce);
    uint32_t size = sizeof bytes;
    EXPECT_EQ(DIO_CSA_ReadAllString(0, bytes, &size), c.read_all);
    EXPECT_EQ(size, c.read_all == 0 ? sizeof bytes / board(0).row().DIOBytes * board(0).row().DIOBytes : 0u);
    EXPECT_EQ(DAC_CSA_SetRangeLimits(0, bytes), 0u);  // the range limits have no gate
    EXPECT_EQ(DAC_CSA_ClearRangeLimits(0), 0u);
}

INSTANTIATE_TEST_SUITE_P(Products, CsaGates,
                         ::testing::Values(GateCase{0x8001, 1349, 0, 0, 0}, GateCase{0x8004, 1349, 0, 1349, 0},
                                           GateCase{0x8008, 0, 1349, 1349, 0}, GateCase{0x800F, 0, 1349, 1349, 0},
                                           GateCase{0x8003, 1349, 1349, 1349, 0},
                                           GateCase{0x8044, 1349, 1349, 1349, 0},
                                           GateCase{0x4001, 1349, 1349, 1349, 1349},
                                           GateCase{0x8020, 1349, 1349, 1349, 1349}));

class Csa : public PathTest {};

TEST_P(Csa, SpiRegisters)
{
    const uint32_t board = install_one(0x800C, path());
    ASSERT_EQ(DIO_SPI_Write(0, 0x12, 0x34, 0x56), 0u);
    uint8_t byte = 0;
    ASSERT_EQ(DIO_SPI_Read(0, 0x12, 0x34, &byte), 0u);
    EXPECT_EQ(byte, 0x56);
    EXPECT_EQ(control_log(board, true),
              (std::vector<Expected>{{0x40, 0xC0, 0x0056, 0x1234, {}}, {0xC0, 0xC1, 0, 0x1234, {0x56}}}));
    // The byte is stored only when the board sent it.
    byte = 0xEE;
    fail_next(board, KORVAL_SIM_CONTROL, 0xC1, 121);
    EXPECT_EQ(DIO_SPI_Read(0, 0x12, 0x34, &byte), 121u);
    short_next(board, KORVAL_SIM_CONTROL, 0xC1, 0);
    EXPECT_EQ(DIO_SPI_Read(0, 0x12, 0x34, &byte), 0u);
    EXPECT_EQ(byte, 0xEE);
    EXPECT_EQ(DIO_SPI_Read(0, 1, 2, nullptr), 87u);
    GuardedPages pages;
    ASSERT_TRUE(pages.ok());
    EXPECT_EQ(DIO_SPI_Read(0, 1, 2, pages.read_only()), 998u);
}

struct SyncCase {
    double rate, a, b, c;                      // given
    uint16_t value, index;                     // sent
    double rate_back, a_back, b_back, c_back;  // written back
};

constexpr double kInf = std::numeric_limits<double>::infinity();

class Sync : public SimTest {};

// The written-back values are compared exactly: callers compare against them.
TEST_F(Sync, DividerTicksAndWrittenBackValues)
{
    const SyncCase cases[] = {
        {10, 1, 1, 1, 0, 0, 0.0, 0.0, 0.0, 0.0},  // below 3000 / 255.5: off
        {-kInf, 5, 5, 5, 0, 0, 0.0, 0.0, 0.0, 0.0},
        {11.741682974559687, 0, 0, 0, 255, 0, 11.764705882352942, 0.0, 0.0, 0.0},  // 255.5 goes to 256, limited
        {1000, 1, 100, 0.5, 0x0303, 0x02FF, 1000.0, 1.0, 85.0, 0.6666666666666666},
        {1200, 1.5, 2.5, 0, 0x0402, 0x0008, 1500.0, 1.3333333333333333, 2.6666666666666665, 0.0},  // halves to even
        {5000, 0, 0, 0, 1, 0, 3000.0, 0.0, 0.0, 0.0},
        {3000, 85, 85.2, kInf, 0xFF01, 0xFFFF, 3000.0, 85.0, 85.0, 85.0},
        {1000, -1, -0.1, -kInf, 0x0003, 0x0000, 1000.0, 0.0, 0.0, 0.0},  // negative times give no ticks
    };
    const uint32_t board = install_one(0x8001);
    for (const SyncCase& s : cases) {
        clear_log(board);
        double rate = s.rate, a = s.a, b = s.b, c = s.c;
        EXPECT_EQ(DIO_CSA_DoSync(0, &rate, &a, &b, &c), 0u) << s.rate;
        EXPECT_EQ(control_log(board), (std::vector<Expected>{{0x40, 0xC4, s.value, s.index, {}}})) << s.rate;
        EXPECT_EQ(rate, s.rate_back);
        EXPECT_EQ(a, s.a_back) << s.rate;
        EXPECT_EQ(b, s.b_back) << s.rate;
        EXPECT_EQ(c, s.c_back) << s.rate;
    }
    KorvalSimSync state{};
    ASSERT_EQ(KorvalSim_GetSync(sim_, board, &state), 0u);
    EXPECT_EQ(state.divider, 3u);
    EXPECT_EQ(state.ticks[0] + state.ticks[1] + state.ticks[2], 0u);
    EXPECT_EQ(state.requests, 8u);
}

TEST_P(Csa, SyncRefusesBadValuesBeforeAnythingIsSentOrWritten)
{
    const uint32_t board = install_one(0x8004, path());
    for (int which = 0; which < 4; ++which) {
        double v[4] = {1000, 1, 1, 1};
        v[which] = std::numeric_limits<double>::quiet_NaN();
        EXPECT_EQ(DIO_CSA_DoSync(0, &v[0], &v[1], &v[2], &v[3]), 87u) << which;
        EXPECT_EQ(v[which == 0 ? 1 : 0], which == 0 ? 1.0 : 1000.0);
    }
    double rate = 9, a = 1, b = 1, c = 1;
    EXPECT_EQ(DIO_CSA_DoSync(0, &rate, nullptr, &b, &c), 87u);
    GuardedPages pages;
    ASSERT_TRUE(pages.ok());
    EXPECT_EQ(DIO_CSA_DoSync(0, &rate, &a, reinterpret_cast<double*>(pages.hole()), &c), 998u);
    EXPECT_EQ(DIO_CSA_DoSync(0, &rate, &a, &b, reinterpret_cast<double*>(pages.read_only())), 998u);
    EXPECT_TRUE(log(board).empty());
    EXPECT_EQ(DIO_CSA_DoSync(3, nullptr, nullptr, nullptr, nullptr), 2u);
    fail_next(board, KORVAL_SIM_CONTROL, 0xC4, 121);
    EXPECT_EQ(DIO_CSA_DoSync(0, &rate, &a, &b, &c), 121u);
    EXPECT_EQ(rate, 0.0);  // written back before the request
}

TEST_P(Csa, Debounce)
{
    const uint32_t board = install_one(0x8001, path());
    ASSERT_EQ(DIO_CSA_DebounceSet(0, 0x00012345), 0u);
    const uint8_t data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    ASSERT_EQ(KorvalSim_SetDebounceData(sim_, board, data, sizeof data), 0u);
    uint8_t back[10];
    std::memset(back, 0xEE, sizeof back);
    ASSERT_EQ(DIO_CSA_DebounceReadAll(0, back), 0u);
    EXPECT_EQ(std::vector<uint8_t>(back, back + 9), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8, 0xEE}));
    EXPECT_EQ(control_log(board), (std::vector<Expected>{{0x40, 0x18, 0x2345, 0x0100, {}}, {0xC0, 0x18, 0, 0x0101, {}}}));
    EXPECT_EQ(log(board).back().length(), 8);

    std::memset(back, 0xEE, sizeof back);
    short_next(board, KORVAL_SIM_CONTROL, 0x18, 3);  // a short answer changes only the bytes received
    ASSERT_EQ(DIO_CSA_DebounceReadAll(0, back), 0u);
    EXPECT_EQ(std::vector<uint8_t>(back, back + 4), (std::vector<uint8_t>{1, 2, 3, 0xEE}));
    GuardedPages pages;
    ASSERT_TRUE(pages.ok());
    EXPECT_EQ(DIO_CSA_DebounceReadAll(0, pages.read_only()), 1359u);  // a buffer that cannot take them
    EXPECT_EQ(DIO_CSA_DebounceReadAll(0, nullptr), 87u);
}

TEST_P(Csa, RangeLimitsAtEeprom1D00)
{
    const uint32_t board = install_one(0x8140, path());
    uint8_t limits[32];
    for (int i = 0; i < 32; ++i) limits[i] = static_cast<uint8_t>(0xA0 + i);
    ASSERT_EQ(DAC_CSA_SetRangeLimits(0, limits), 0u);
    ASSERT_EQ(DAC_CSA_ClearRangeLimits(0), 0u);
    std::vector<uint8_t> block{0x01};
    block.insert(block.end(), limits, limits + 32);
    EXPECT_EQ(control_log(board), (std::vector<Expected>{{0x40, 0xA2, 0x1D00, 0, block}, {0x40, 0xA2, 0x1D00, 0, {0x00}}}));
    uint8_t stored[33];
    ASSERT_EQ(KorvalSim_EepromRead(sim_, board, 0x1D00, sizeof stored, stored), 0u);
    block[0] = 0x00;  // only the mark changes; the limits stay
    EXPECT_EQ(std::vector<uint8_t>(stored, stored + 33), block);

    // The caller's bytes are copied first: unreadable ones are refused before the index is looked at.
    clear_log(board);
    GuardedPages pages;
    ASSERT_TRUE(pages.ok());
    EXPECT_EQ(DAC_CSA_SetRangeLimits(0, pages.before_hole(31)), 998u);
    EXPECT_EQ(DAC_CSA_SetRangeLimits(40, pages.hole()), 998u);
    EXPECT_EQ(DAC_CSA_SetRangeLimits(0, nullptr), 87u);
    EXPECT_EQ(DAC_CSA_SetRangeLimits(40, limits), 1413u);
    EXPECT_EQ(DAC_CSA_ClearRangeLimits(4), 2u);
    EXPECT_TRUE(log(board).empty());
}

// Outside levels that tell the ports apart; every snapshot reads them.
void set_inputs(KorvalSim* sim, uint32_t board)
{
    const uint8_t levels[4] = {0x12, 0x34, 0x56, 0x78};
    EXPECT_EQ(KorvalSim_SetDigitalInputs(sim, board, levels, 4), 0u);
}

TEST_P(Csa, ReadAllStringTakesWholeSnapshots)
{
    const uint32_t board = install_one(0x8001, path());  // 4 ports
    set_inputs(sim_, board);
    uint8_t buffer[16];
    std::memset(buffer, 0xEE, sizeof buffer);
    uint32_t size = 10;
    ASSERT_EQ(DIO_CSA_ReadAllString(0, buffer, &size), 0u);
    EXPECT_EQ(size, 8u);
    EXPECT_EQ(control_log(board), (std::vector<Expected>{{0xC0, 0x11, 0, 0, {}}, {0xC0, 0x11, 0, 0, {}}}));
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 9),
              (std::vector<uint8_t>{0x12, 0x34, 0x56, 0x78, 0x12, 0x34, 0x56, 0x78, 0xEE}));
    clear_log(board);
    size = 3;
    EXPECT_EQ(DIO_CSA_ReadAllString(0, buffer, &size), 0u);
    EXPECT_EQ(size, 0u);
    EXPECT_TRUE(log(board).empty());

    // A short snapshot ends the string, its bytes in the buffer but not counted.
    std::memset(buffer, 0xEE, sizeof buffer);
    short_next(board, KORVAL_SIM_CONTROL, 0x11, 4);  // the first whole
    short_next(board, KORVAL_SIM_CONTROL, 0x11, 2);
    size = 16;
    EXPECT_EQ(DIO_CSA_ReadAllString(0, buffer, &size), 0u);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 7), (std::vector<uint8_t>{0x12, 0x34, 0x56, 0x78, 0x12, 0x34, 0xEE}));
    // A failed one ends it with its code and the count so far.
    short_next(board, KORVAL_SIM_CONTROL, 0x11, 4);
    fail_next(board, KORVAL_SIM_CONTROL, 0x11, 121);
    size = 16;
    EXPECT_EQ(DIO_CSA_ReadAllString(0, buffer, &size), 121u);
    EXPECT_EQ(size, 4u);
}

TEST_P(Csa, ReadAllStringFailuresSetTheCountToZero)
{
    const uint32_t board = install_one(0x8001, path());
    uint8_t buffer[8];
    const std::pair<uint32_t, uint32_t> indexes[] = {{32, 1413}, {5, 2}};
    for (const auto& [index, result] : indexes) {
        uint32_t size = 8;
        EXPECT_EQ(DIO_CSA_ReadAllString(index, buffer, &size), result);
        EXPECT_EQ(size, 0u);
    }
    uint32_t size = 8;
    EXPECT_EQ(DIO_CSA_ReadAllString(0, nullptr, &size), 87u);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(DIO_CSA_ReadAllString(0, buffer, nullptr), 87u);
    GuardedPages pages;
    ASSERT_TRUE(pages.ok());
    size = 8;
    EXPECT_EQ(DIO_CSA_ReadAllString(0, pages.before_hole(4), &size), 1359u);  // no room for the second snapshot
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(DIO_CSA_ReadAllString(0, buffer, reinterpret_cast<uint32_t*>(pages.hole())), 1359u);
    EXPECT_EQ(log(board).size(), 2u);
    // Removal: the DeviceIoControl path's reads report the system's code and leave the slot open.
    KorvalSim_Unplug(sim_, board);
    size = 8;
    EXPECT_EQ(DIO_CSA_ReadAllString(0, buffer, &size), ioctl() ? 1167u : 1617u);
    EXPECT_EQ(size, 0u);
}

KORVAL_BOTH_PATHS(Csa);

}  // namespace
}  // namespace korval::test
