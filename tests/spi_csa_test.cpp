// SPI and the CSA functions: which products take each call, the wire values, the sync's rounding and
// written-back values, the range-limit block, and the snapshot strings' counting.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "core/device_table.h"
#include "support/guarded_pages.h"
#include "support/sim_fixture.h"

namespace korval::test {
namespace {

// ---- Which products take which call ----

struct GateCase {
    uint32_t pid;
    uint32_t spi, sync, debounce, read_all;
};

class CsaGates : public SimTest, public ::testing::WithParamInterface<GateCase> {};

TEST_P(CsaGates, EachCallRunsWhereTheProductHasItsFeature)
{
    const GateCase c = GetParam();
    install_one(c.pid);
    uint8_t byte = 0;
    EXPECT_EQ(DIO_SPI_Write(0, 1, 2, 3), c.spi);
    EXPECT_EQ(DIO_SPI_Read(0, 1, 2, &byte), c.spi);
    double rate = 1000, a = 1, b = 1, t = 1;
    EXPECT_EQ(DIO_CSA_DoSync(0, &rate, &a, &b, &t), c.sync);
    uint8_t debounce[64] = {};
    EXPECT_EQ(DIO_CSA_DebounceSet(0, 5), c.debounce);
    EXPECT_EQ(DIO_CSA_DebounceReadAll(0, debounce), c.debounce);
    uint8_t buffer[64];
    uint32_t size = sizeof buffer;
    EXPECT_EQ(DIO_CSA_ReadAllString(0, buffer, &size), c.read_all);
    EXPECT_EQ(size, c.read_all == 0 ? sizeof buffer / device(0).DIOBytes * device(0).DIOBytes : 0u);
    // The range limits have no gate of their own.
    const uint8_t limits[32] = {};
    EXPECT_EQ(DAC_CSA_SetRangeLimits(0, limits), 0u);
    EXPECT_EQ(DAC_CSA_ClearRangeLimits(0), 0u);
}

INSTANTIATE_TEST_SUITE_P(Products, CsaGates,
                         ::testing::Values(GateCase{0x8001, 1349, 0, 0, 0}, GateCase{0x8004, 1349, 0, 1349, 0},
                                           GateCase{0x8008, 0, 1349, 1349, 0}, GateCase{0x800F, 0, 1349, 1349, 0},
                                           GateCase{0x8003, 1349, 1349, 1349, 0},
                                           GateCase{0x8044, 1349, 1349, 1349, 0},
                                           GateCase{0x4001, 1349, 1349, 1349, 1349},
                                           GateCase{0x8020, 1349, 1349, 1349, 1349}),
                         [](const auto& info) {
                             char name[16];
                             std::snprintf(name, sizeof name, "PID%04X", static_cast<unsigned>(info.param.pid));
                             return std::string(name);
                         });

// ---- SPI ----

class Spi : public PathTest {};

TEST_P(Spi, RegistersOnTheWire)
{
    const uint32_t board = install_one(0x800C, path());
    ASSERT_EQ(DIO_SPI_Write(0, 0x12, 0x34, 0x56), 0u);
    uint8_t byte = 0;
    ASSERT_EQ(DIO_SPI_Read(0, 0x12, 0x34, &byte), 0u);
    EXPECT_EQ(byte, 0x56);
    EXPECT_EQ(control_log(board, true),
              (std::vector<Expected>{{0x40, 0xC0, 0x0056, 0x1234, {}}, {0xC0, 0xC1, 0, 0x1234, {0x56}}}));
    uint8_t stored = 0;
    ASSERT_EQ(KorvalSim_GetSpiRegister(sim_, board, 0x12, 0x34, &stored), 0u);
    EXPECT_EQ(stored, 0x56);
    ASSERT_EQ(KorvalSim_SetSpiRegister(sim_, board, 0xFF, 0x00, 0xA5), 0u);
    ASSERT_EQ(DIO_SPI_Read(0, 0xFF, 0x00, &byte), 0u);
    EXPECT_EQ(byte, 0xA5);
}

// The byte is stored only when the board sent it.
TEST_P(Spi, AFailedOrEmptyReadLeavesTheByte)
{
    const uint32_t board = install_one(0x8008, path());
    KorvalSim_SetSpiRegister(sim_, board, 1, 2, 0x77);
    uint8_t byte = 0xEE;
    fail_next(board, KORVAL_SIM_CONTROL, 0xC1, 121);
    EXPECT_EQ(DIO_SPI_Read(0, 1, 2, &byte), 121u);
    EXPECT_EQ(byte, 0xEE);
    short_next(board, KORVAL_SIM_CONTROL, 0xC1, 0);
    EXPECT_EQ(DIO_SPI_Read(0, 1, 2, &byte), 0u);
    EXPECT_EQ(byte, 0xEE);
    EXPECT_EQ(DIO_SPI_Read(0, 1, 2, nullptr), 87u);
    GuardedPages pages;
    ASSERT_TRUE(pages.ok());
    EXPECT_EQ(DIO_SPI_Read(0, 1, 2, pages.read_only()), 998u);
}

KORVAL_BOTH_PATHS(Spi);

// ---- The sync generator ----

struct SyncCase {
    const char* name;
    double rate, a, b, c;                           // given
    uint16_t value, index;                          // sent
    double rate_back, a_back, b_back, c_back;       // written back
};

class Sync : public SimTest, public ::testing::WithParamInterface<SyncCase> {};

TEST_P(Sync, DividerTicksAndWrittenBackValues)
{
    const SyncCase s = GetParam();
    const uint32_t board = install_one(0x8001);
    double rate = s.rate, a = s.a, b = s.b, c = s.c;
    ASSERT_EQ(DIO_CSA_DoSync(0, &rate, &a, &b, &c), 0u);
    EXPECT_EQ(control_log(board), (std::vector<Expected>{{0x40, 0xC4, s.value, s.index, {}}}));
    // Exact: the written-back values are what callers compare against.
    EXPECT_EQ(rate, s.rate_back);
    EXPECT_EQ(a, s.a_back);
    EXPECT_EQ(b, s.b_back);
    EXPECT_EQ(c, s.c_back);
    KorvalSimSync state{};
    ASSERT_EQ(KorvalSim_GetSync(sim_, board, &state), 0u);
    EXPECT_EQ(state.divider, s.value & 0xFFu);
    EXPECT_EQ(state.ticks[0], s.value >> 8u);
    EXPECT_EQ(state.ticks[1], s.index & 0xFFu);
    EXPECT_EQ(state.ticks[2], s.index >> 8u);
}

constexpr double kInf = std::numeric_limits<double>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Cases, Sync,
    ::testing::Values(
        SyncCase{"Off", 10, 1, 1, 1, 0, 0, 0.0, 0.0, 0.0, 0.0},
        SyncCase{"OffBelowInfinity", -kInf, 5, 5, 5, 0, 0, 0.0, 0.0, 0.0, 0.0},
        SyncCase{"LowestRate", 11.741682974559687, 0, 0, 0, 255, 0, 11.764705882352942, 0.0, 0.0, 0.0},
        SyncCase{"Divider3", 1000, 1, 100, 0.5, 0x0303, 0x02FF, 1000.0, 1.0, 85.0, 0.6666666666666666},
        SyncCase{"HalvesToEven", 1200, 1.5, 2.5, 0, 0x0402, 0x0008, 1500.0, 1.3333333333333333,
                 2.6666666666666665, 0.0},
        SyncCase{"FastRatesGiveDivider1", 5000, 0, 0, 0, 1, 0, 3000.0, 0.0, 0.0, 0.0},
        SyncCase{"BaseClock", 3000, 85, 85.2, kInf, 0xFF01, 0xFFFF, 3000.0, 85.0, 85.0, 85.0},
        SyncCase{"NegativeTimesGiveNoTicks", 1000, -1, -0.1, -kInf, 0x0003, 0x0000, 1000.0, 0.0, 0.0, 0.0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SyncConstant, LowestRateIsTheBaseClockOver255AndAHalf)
{
    EXPECT_EQ(3000.0 / 255.5, 11.741682974559687);
}

class SyncChecks : public PathTest {};

TEST_P(SyncChecks, BadValuesAreRefusedBeforeAnythingIsSentOrWritten)
{
    const uint32_t board = install_one(0x8004, path());
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (int which = 0; which < 4; ++which) {
        double v[4] = {1000, 1, 1, 1};
        v[which] = nan;
        EXPECT_EQ(DIO_CSA_DoSync(0, &v[0], &v[1], &v[2], &v[3]), 87u) << which;
        for (int i = 0; i < 4; ++i) {
            if (i != which) {
                EXPECT_EQ(v[i], i == 0 ? 1000.0 : 1.0);
            }
        }
    }
    double rate = 9, a = 1, b = 1, c = 1;
    EXPECT_EQ(DIO_CSA_DoSync(0, &rate, nullptr, &b, &c), 87u);
    GuardedPages pages;
    ASSERT_TRUE(pages.ok());
    EXPECT_EQ(DIO_CSA_DoSync(0, &rate, &a, reinterpret_cast<double*>(pages.hole()), &c), 998u);
    EXPECT_EQ(DIO_CSA_DoSync(0, &rate, &a, &b, reinterpret_cast<double*>(pages.read_only())), 998u);
    EXPECT_TRUE(log(board).empty());
    // Index and capability come before the values are looked at.
    EXPECT_EQ(DIO_CSA_DoSync(3, nullptr, nullptr, nullptr, nullptr), 2u);
    fail_next(board, KORVAL_SIM_CONTROL, 0xC4, 121);
    EXPECT_EQ(DIO_CSA_DoSync(0, &rate, &a, &b, &c), 121u);
    EXPECT_EQ(rate, 0.0);  // written back before the request
}

KORVAL_BOTH_PATHS(SyncChecks);

// ---- Debounce ----

class Debounce : public PathTest {};

TEST_P(Debounce, CountAndData)
{
    const uint32_t board = install_one(0x8001, path());
    ASSERT_EQ(DIO_CSA_DebounceSet(0, 0x00012345), 0u);
    uint32_t counts = 0;
    ASSERT_EQ(KorvalSim_GetDebounceCounts(sim_, board, &counts), 0u);
    EXPECT_EQ(counts, 0x2345u);

    const uint8_t data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    ASSERT_EQ(KorvalSim_SetDebounceData(sim_, board, data, sizeof data), 0u);
    uint8_t back[10];
    std::memset(back, 0xEE, sizeof back);
    ASSERT_EQ(DIO_CSA_DebounceReadAll(0, back), 0u);
    EXPECT_EQ(std::memcmp(back, data, 8), 0);
    EXPECT_EQ(back[8], 0xEE);
    EXPECT_EQ(control_log(board), (std::vector<Expected>{{0x40, 0x18, 0x2345, 0x0100, {}}, {0xC0, 0x18, 0, 0x0101, {}}}));
    EXPECT_EQ(log(board).back().length(), 8);

    // A short answer changes only the bytes received.
    std::memset(back, 0xEE, sizeof back);
    short_next(board, KORVAL_SIM_CONTROL, 0x18, 3);
    ASSERT_EQ(DIO_CSA_DebounceReadAll(0, back), 0u);
    EXPECT_EQ(std::vector<uint8_t>(back, back + 4), (std::vector<uint8_t>{1, 2, 3, 0xEE}));

    // A buffer that cannot take the data is an internal failure.
    GuardedPages pages;
    ASSERT_TRUE(pages.ok());
    EXPECT_EQ(DIO_CSA_DebounceReadAll(0, pages.read_only()), 1359u);
    EXPECT_EQ(DIO_CSA_DebounceReadAll(0, nullptr), 87u);
    fail_next(board, KORVAL_SIM_CONTROL, 0x18, 121);
    EXPECT_EQ(DIO_CSA_DebounceSet(0, 1), 121u);
}

KORVAL_BOTH_PATHS(Debounce);

// ---- Range limits ----

class RangeLimits : public PathTest {};

TEST_P(RangeLimits, BlockAtEeprom1D00)
{
    const uint32_t board = install_one(0x8140, path());
    uint8_t limits[32];
    for (int i = 0; i < 32; ++i) limits[i] = static_cast<uint8_t>(0xA0 + i);
    ASSERT_EQ(DAC_CSA_SetRangeLimits(0, limits), 0u);
    std::vector<uint8_t> block{0x01};
    block.insert(block.end(), limits, limits + 32);
    ASSERT_EQ(DAC_CSA_ClearRangeLimits(0), 0u);
    EXPECT_EQ(control_log(board), (std::vector<Expected>{{0x40, 0xA2, 0x1D00, 0, block}, {0x40, 0xA2, 0x1D00, 0, {0x00}}}));
    uint8_t stored[33];
    ASSERT_EQ(KorvalSim_EepromRead(sim_, board, 0x1D00, sizeof stored, stored), 0u);
    block[0] = 0x00;  // only the mark changes; the limits stay
    EXPECT_EQ(std::vector<uint8_t>(stored, stored + 33), block);
}

TEST_P(RangeLimits, UnreadableLimitsAreRefusedFirst)
{
    const uint32_t board = install_one(0x8001, path());
    GuardedPages pages;
    ASSERT_TRUE(pages.ok());
    EXPECT_EQ(DAC_CSA_SetRangeLimits(0, pages.before_hole(31)), 998u);
    EXPECT_EQ(DAC_CSA_SetRangeLimits(40, pages.hole()), 998u);  // before the index
    EXPECT_EQ(DAC_CSA_SetRangeLimits(0, nullptr), 87u);
    EXPECT_TRUE(log(board).empty());
    EXPECT_EQ(DAC_CSA_SetRangeLimits(0, pages.before_hole(32)), 0u);
    EXPECT_EQ(DAC_CSA_SetRangeLimits(40, pages.before_hole(32)), 1413u);
    EXPECT_EQ(DAC_CSA_SetRangeLimits(4, pages.before_hole(32)), 2u);
    EXPECT_EQ(DAC_CSA_ClearRangeLimits(4), 2u);
    fail_next(board, KORVAL_SIM_CONTROL, 0xA2, 121);
    EXPECT_EQ(DAC_CSA_ClearRangeLimits(0), 121u);
}

KORVAL_BOTH_PATHS(RangeLimits);

// ---- Snapshot strings ----

class ReadAllString : public PathTest {
protected:
    // Outside levels that tell the ports apart; every snapshot reads them.
    void set_inputs(uint32_t board) const
    {
        const uint8_t levels[4] = {0x12, 0x34, 0x56, 0x78};
        ASSERT_EQ(KorvalSim_SetDigitalInputs(sim_, board, levels, 4), 0u);
    }

};

TEST_P(ReadAllString, WholeSnapshotsBackToBack)
{
    const uint32_t board = install_one(0x8001, path());  // 4 ports
    set_inputs(board);
    uint8_t buffer[12];
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
}

// A short snapshot ends the string uncounted; a failed one ends it with its code and the count so far.
TEST_P(ReadAllString, ShortAndFailedSnapshots)
{
    const uint32_t board = install_one(0x8001, path());
    set_inputs(board);
    uint8_t buffer[16];
    std::memset(buffer, 0xEE, sizeof buffer);
    short_next(board, KORVAL_SIM_CONTROL, 0x11, 4);  // the first whole
    short_next(board, KORVAL_SIM_CONTROL, 0x11, 2);
    uint32_t size = 16;
    EXPECT_EQ(DIO_CSA_ReadAllString(0, buffer, &size), 0u);
    EXPECT_EQ(size, 4u);
    // The short snapshot's bytes are in the buffer, uncounted.
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 7), (std::vector<uint8_t>{0x12, 0x34, 0x56, 0x78, 0x12, 0x34, 0xEE}));

    short_next(board, KORVAL_SIM_CONTROL, 0x11, 4);
    fail_next(board, KORVAL_SIM_CONTROL, 0x11, 121);
    size = 16;
    EXPECT_EQ(DIO_CSA_ReadAllString(0, buffer, &size), 121u);
    EXPECT_EQ(size, 4u);
}

TEST_P(ReadAllString, FailuresSetTheCountToZero)
{
    const uint32_t board = install_one(0x8001, path());
    uint8_t buffer[8];
    for (const uint32_t index : {32u, 5u}) {
        uint32_t size = 8;
        EXPECT_EQ(DIO_CSA_ReadAllString(index, buffer, &size), index == 32 ? 1413u : 2u);
        EXPECT_EQ(size, 0u);
    }
    uint32_t size = 8;
    EXPECT_EQ(DIO_CSA_ReadAllString(0, nullptr, &size), 87u);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(DIO_CSA_ReadAllString(0, buffer, nullptr), 87u);
    GuardedPages pages;
    ASSERT_TRUE(pages.ok());
    size = 8;
    EXPECT_EQ(DIO_CSA_ReadAllString(0, pages.before_hole(4), &size), 1359u);  // the second snapshot has no room
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(DIO_CSA_ReadAllString(0, buffer, reinterpret_cast<uint32_t*>(pages.hole())), 1359u);
    EXPECT_EQ(log(board).size(), 2u);
    KorvalSim_Unplug(sim_, board);
    size = 8;
    EXPECT_EQ(DIO_CSA_ReadAllString(0, buffer, &size), ioctl() ? 1167u : 1617u);
    EXPECT_EQ(size, 0u);
}

KORVAL_BOTH_PATHS(ReadAllString);

}  // namespace
}  // namespace korval::test
