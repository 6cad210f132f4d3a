// The ADC configuration block: whole-block reads and writes with their written-back sizes, the field
// setters' read-modify-write on the wire, the order of checks, short and failed replies.
#include <gtest/gtest.h>

#include <array>
#include <numeric>
#include <vector>

#include "support/guarded_pages.h"
#include "support/sim_fixture.h"

namespace korval::test {
namespace {

using Bytes = std::vector<uint8_t>;

class AdcConfig : public SimTest {
protected:
    // A block with every byte distinct, put on the board directly.
    Bytes seed(uint32_t board, uint32_t size)
    {
        Bytes block(size);
        std::iota(block.begin(), block.end(), uint8_t{0x40});
        EXPECT_EQ(KorvalSim_SetAdcConfig(sim_, board, block.data(), size), 0u);
        return block;
    }
    Bytes board_block(uint32_t board)
    {
        Bytes block(32);
        uint32_t size = 0;
        EXPECT_EQ(KorvalSim_GetAdcConfig(sim_, board, block.data(), 32, &size), 0u);
        block.resize(size);
        return block;
    }
    // The requests a setter sent: the read, then the write of `written`.
    std::vector<Expected> read_then_write(const Bytes& written)
    {
        return {{0xC0, 0xD2, 0, 0, {}}, {0x40, 0xBE, 0, 0, written}};
    }
};

TEST_F(AdcConfig, GetConfigAsksForTheSizeAndThenReads)
{
    const uint32_t board = install_one(0x8045);  // 21-byte block
    const Bytes block = seed(board, 21);
    uint32_t size = 0;
    EXPECT_EQ(ADC_GetConfig(0, nullptr, &size), 122u);
    EXPECT_EQ(size, 21u);
    EXPECT_TRUE(log(board).empty());
    std::array<uint8_t, 32> buf{};
    size = 32;
    EXPECT_EQ(ADC_GetConfig(0, buf.data(), &size), 0u);
    EXPECT_EQ(size, 21u);
    EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 21), block);
    EXPECT_EQ(buf[21], 0);
    EXPECT_EQ(control_log(board), (std::vector<Expected>{{0xC0, 0xD2, 0, 0, {}}}));
    EXPECT_EQ(log(board)[0].length(), 21);

    // A failed read leaves the size as it was; a short one still reports the block's size.
    size = 32;
    fail_next(board, KORVAL_SIM_CONTROL, 0xD2, 121);
    EXPECT_EQ(ADC_GetConfig(0, buf.data(), &size), 121u);
    EXPECT_EQ(size, 32u);
    short_next(board, KORVAL_SIM_CONTROL, 0xD2, 5);
    EXPECT_EQ(ADC_GetConfig(0, buf.data(), &size), 0u);
    EXPECT_EQ(size, 21u);
}

TEST_F(AdcConfig, SetConfigWritesExactlyTheBlock)
{
    const uint32_t board = install_one(0x8040);  // 20-byte block
    Bytes mine(24, 0xAB);
    uint32_t size = 19;
    EXPECT_EQ(ADC_SetConfig(0, mine.data(), &size), 122u);
    EXPECT_EQ(size, 20u);
    EXPECT_EQ(ADC_SetConfig(0, nullptr, &size), 87u);
    EXPECT_TRUE(log(board).empty());
    size = 24;
    EXPECT_EQ(ADC_SetConfig(0, mine.data(), &size), 0u);
    EXPECT_EQ(size, 20u);
    EXPECT_EQ(control_log(board), (std::vector<Expected>{{0x40, 0xBE, 0, 0, Bytes(20, 0xAB)}}));
    EXPECT_EQ(board_block(board), Bytes(20, 0xAB));
}

TEST_F(AdcConfig, ScanLimitsOnBothBlockShapes)
{
    struct Case {
        uint32_t pid;
        uint32_t start, end;
        uint32_t result;
        uint8_t byte18, byte20;
    };
    const Case cases[] = {
        {0x8040, 0, 15, 0, 0xF0, 0},    {0x8040, 3, 3, 0, 0x33, 0},     {0x8040, 0, 16, 87, 0, 0},
        {0x8040, 5, 4, 87, 0, 0},       {0x8045, 17, 63, 0, 0xF1, 0x31}, {0x8045, 0, 64, 87, 0, 0},
        {0x805F, 0, 159, 0, 0xF0, 0x90}, {0x805F, 0, 160, 87, 0, 0},    {0x814A, 31, 31, 0, 0xFF, 0x11},
        {0x814A, 0, 32, 87, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << "pid 0x" << c.pid << " " << c.start << "-" << c.end);
        TearDown();
        SetUp();
        const uint32_t board = install_one(c.pid);
        const uint32_t size = c.pid == 0x8040 ? 20 : 21;
        Bytes block = seed(board, size);
        EXPECT_EQ(ADC_SetScanLimits(0, c.start, c.end), c.result);
        if (c.result != 0) {
            EXPECT_TRUE(log(board).empty());
            continue;
        }
        block[18] = c.byte18;
        if (size == 21) block[20] = c.byte20;
        EXPECT_EQ(control_log(board), read_then_write(block));
    }
}

TEST_F(AdcConfig, RangeSettersChangeOnlyTheRangeCodes)
{
    const uint32_t board = install_one(0x8045);
    Bytes block = seed(board, 21);
    // A code above 7 anywhere is refused before the board is asked.
    std::array<uint8_t, 16> gains;
    gains.fill(1);
    gains[9] = 8;
    EXPECT_EQ(ADC_RangeAll(0, gains.data(), 0), 13u);
    EXPECT_EQ(ADC_RangeAll(0, nullptr, 0), 87u);
    EXPECT_TRUE(log(board).empty());
    gains[9] = 1;
    EXPECT_EQ(ADC_RangeAll(0, gains.data(), 1), 0u);
    for (int i = 0; i < 16; ++i) block[i] = 0x09;
    EXPECT_EQ(control_log(board), read_then_write(block));

    clear_log(board);
    EXPECT_EQ(ADC_Range1(0, 16, 0, 0), 487u);
    EXPECT_EQ(ADC_Range1(0, 3, 8, 0), 87u);
    EXPECT_TRUE(log(board).empty());
    // The flag is kept to the byte: 0x21 << 3 loses its high bit.
    EXPECT_EQ(ADC_Range1(0, 3, 7, 0x21), 0u);
    block[3] = 0x0F;
    EXPECT_EQ(control_log(board), read_then_write(block));
    EXPECT_EQ(board_block(board), block);
}

TEST_F(AdcConfig, ModeAndOversampleSetTheirBytes)
{
    const uint32_t board = install_one(0x8040);
    Bytes block = seed(board, 20);
    EXPECT_EQ(ADC_ADMode(0, 0x05, 2), 87u);
    EXPECT_TRUE(log(board).empty());
    for (const uint8_t cal : {0, 1, 3, 5, 7}) {
        clear_log(board);
        EXPECT_EQ(ADC_ADMode(0, 0x05, cal), 0u);
        block[16] = cal;
        block[17] = 0x05;
        EXPECT_EQ(control_log(board), read_then_write(block));
    }
    clear_log(board);
    EXPECT_EQ(ADC_SetOversample(0, 255), 0u);
    block[19] = 255;
    EXPECT_EQ(control_log(board), read_then_write(block));
}

TEST_F(AdcConfig, ASetterWhoseReadFailsOrComesBackShortWritesNothing)
{
    const uint32_t board = install_one(0x8045);
    const Bytes block = seed(board, 21);
    fail_next(board, KORVAL_SIM_CONTROL, 0xD2, 121);
    EXPECT_EQ(ADC_SetOversample(0, 3), 121u);
    short_next(board, KORVAL_SIM_CONTROL, 0xD2, 20);
    EXPECT_EQ(ADC_SetOversample(0, 3), 30u);
    for (const Expected& e : control_log(board)) EXPECT_NE(e.request, 0xBE);
    EXPECT_EQ(board_block(board), block);
    // A failed write returns its code.
    fail_next(board, KORVAL_SIM_CONTROL, 0xBE, 1617);
    EXPECT_EQ(ADC_SetOversample(0, 3), 1617u);
}

TEST_F(AdcConfig, BoardsWithoutTheBlockAnswer1349BeforeTheArguments)
{
    for (const uint32_t pid : {0x8001u, 0x8036u, 0x4001u, 0x8073u, 0x8013u}) {
        SCOPED_TRACE(pid);
        TearDown();
        SetUp();
        const uint32_t board = install_one(pid);
        EXPECT_EQ(ADC_GetConfig(0, nullptr, nullptr), 1349u);
        EXPECT_EQ(ADC_SetConfig(0, nullptr, nullptr), 1349u);
        EXPECT_EQ(ADC_RangeAll(0, nullptr, 0), 1349u);
        EXPECT_EQ(ADC_Range1(0, 99, 9, 0), 1349u);
        EXPECT_EQ(ADC_ADMode(0, 0, 2), 1349u);
        EXPECT_EQ(ADC_SetScanLimits(0, 5, 4), 1349u);
        EXPECT_EQ(ADC_SetOversample(0, 1), 1349u);
        EXPECT_TRUE(log(board).empty());
    }
    EXPECT_EQ(ADC_SetOversample(40, 1), 1413u);
    EXPECT_EQ(ADC_SetOversample(3, 1), 2u);
}

TEST_F(AdcConfig, EveryAnalogInputFamilyKeepsItsBlock)
{
    for (const uint32_t pid : {0x8040u, 0x8144u, 0x8045u, 0x8149u, 0x804Au, 0x805Fu, 0x815Fu}) {
        SCOPED_TRACE(pid);
        TearDown();
        SetUp();
        install_one(pid);
        const uint32_t expected = (pid & 0xFEFF) <= 0x8044 ? 20 : 21;
        EXPECT_EQ(ADC_SetScanLimits(0, 1, 15), 0u);
        EXPECT_EQ(ADC_SetOversample(0, 9), 0u);
        EXPECT_EQ(ADC_ADMode(0, 0x04, 1), 0u);
        std::array<uint8_t, 16> gains{};
        gains.fill(3);
        EXPECT_EQ(ADC_RangeAll(0, gains.data(), 0), 0u);
        EXPECT_EQ(ADC_Range1(0, 15, 5, 0), 0u);
        std::array<uint8_t, 21> buf{};
        uint32_t size = buf.size();
        EXPECT_EQ(ADC_GetConfig(0, buf.data(), &size), 0u);
        EXPECT_EQ(size, expected);
        EXPECT_EQ(ADC_SetConfig(0, buf.data(), &size), 0u);
        EXPECT_EQ(buf[0], 3);
        EXPECT_EQ(buf[15], 5);
        EXPECT_EQ(buf[16], 1);
        EXPECT_EQ(buf[17], 4);
        EXPECT_EQ(buf[18], 0xF1);
        EXPECT_EQ(buf[19], 9);
    }
}

TEST_F(AdcConfig, UnusableCallerMemory)
{
    const uint32_t board = install_one(0x8045);
    GuardedPages pages;
    ASSERT_TRUE(pages.ok());
    uint32_t size = 21;
    EXPECT_EQ(ADC_GetConfig(0, pages.read_only(), &size), 998u);
    EXPECT_EQ(ADC_SetConfig(0, pages.before_hole(10), &size), 998u);
    EXPECT_EQ(ADC_RangeAll(0, pages.before_hole(8), 0), 998u);
    EXPECT_EQ(ADC_GetConfig(0, nullptr, reinterpret_cast<uint32_t*>(pages.hole())), 998u);
    // A size of 0 is too small, and the size needed cannot be written back.
    EXPECT_EQ(ADC_GetConfig(0, nullptr, reinterpret_cast<uint32_t*>(pages.read_only())), 998u);
    for (const Expected& e : control_log(board)) EXPECT_NE(e.request, 0xBE);
}

}  // namespace
}  // namespace korval::test
