// Immediate DAC output and calibration: which products take each call, the order of the checks, the
// multi-channel block byte for byte, the calibration file's syntax, and the flash a load leaves behind.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "board/board.h"
#include "dac/cal_file.h"
#include "dac/dac_state.h"
#include "support/guarded_pages.h"
#include "support/sim_fixture.h"

namespace korval::test {
namespace {

constexpr uint32_t kTable = 0x20000;  // one channel's table in bytes

struct GateCase {
    uint32_t pid;
    uint32_t direct, range, cal;  // DACMultiDirect shares DACDirect's gate
};

class DacGates : public SimTest, public ::testing::WithParamInterface<GateCase> {};

TEST_P(DacGates, EachCallRunsWhereTheProductHasItsFeature)
{
    const GateCase c = GetParam();
    install_one(c.pid);
    const KorvalDACPair pair{0, 0x1234};
    EXPECT_EQ(DACDirect(0, 0, 0x1234), c.direct);
    EXPECT_EQ(DACMultiDirect(0, &pair, 1), c.direct);
    EXPECT_EQ(DACSetBoardRange(0, 1), c.range);
    EXPECT_EQ(DACSetChannelCal(0, 0, ":NONE:"), c.cal);
}

INSTANTIATE_TEST_SUITE_P(Products, DacGates,
                         ::testing::Values(GateCase{0x4001, 0, 1349, 1349}, GateCase{0x4003, 0, 1349, 1349},
                                           GateCase{0x8140, 0, 0, 1349}, GateCase{0x815F, 0, 0, 1349},
                                           GateCase{0x8060, 0, 0, 0}, GateCase{0x8073, 0, 0, 0},
                                           GateCase{0x807E, 0, 0, 0}, GateCase{0x8040, 1349, 1349, 1349},
                                           GateCase{0x8001, 1349, 1349, 1349}, GateCase{0x8013, 1349, 1349, 1349}));

class Dac : public PathTest {
protected:
    std::vector<uint16_t> values(uint32_t board) const
    {
        std::vector<uint16_t> v(16);
        uint32_t count = static_cast<uint32_t>(v.size());
        EXPECT_EQ(KorvalSim_GetDacValues(sim_, board, v.data(), &count), 0u);
        v.resize(count);
        return v;
    }
};

TEST_P(Dac, DirectAndRange)
{
    const uint32_t board = install_one(0x8073, path());  // 12 channels
    ASSERT_EQ(DACDirect(0, 11, 0xBEEF), 0u);
    ASSERT_EQ(DACSetBoardRange(0, 0xABCD), 0u);
    EXPECT_EQ(DACDirect(0, 12, 1), 487u);
    EXPECT_EQ(control_log(board), (std::vector<Expected>{{0x40, 0xB3, 0xBEEF, 11, {}}, {0x40, 0xB7, 0xABCD, 0, {}}}));
    EXPECT_EQ(values(board).at(11), 0xBEEF);
    uint32_t range = 0;
    ASSERT_EQ(KorvalSim_GetDacRange(sim_, board, &range), 0u);
    EXPECT_EQ(range, 0xABCDu);
    fail_next(board, KORVAL_SIM_CONTROL, 0xB3, 121);
    EXPECT_EQ(DACDirect(0, 0, 0), 121u);
}

// Channel 3 = 0x1234 and channel 9 = 0xABCD on a 16-channel board; then one group, a channel named twice.
TEST_P(Dac, MultiDirectBlockByteForByte)
{
    const uint32_t board = install_one(0x8060, path());
    const KorvalDACPair pairs[] = {{3, 0x1234}, {9, 0xABCD}};
    ASSERT_EQ(DACMultiDirect(0, pairs, 2), 0u);
    std::vector<uint8_t> block(34, 0);
    block[0] = 0x08, block[7] = 0x34, block[8] = 0x12, block[17] = 0x02, block[20] = 0xCD, block[21] = 0xAB;
    const KorvalDACPair twice[] = {{0, 1}, {7, 0x0700}, {0, 0x0201}};
    ASSERT_EQ(DACMultiDirect(0, twice, 3), 0u);
    std::vector<uint8_t> group(17, 0);
    group[0] = 0x81, group[1] = 0x01, group[2] = 0x02, group[16] = 0x07;
    EXPECT_EQ(control_log(board), (std::vector<Expected>{{0x40, 0xB3, 0, 0, block}, {0x40, 0xB3, 0, 0, group}}));
    EXPECT_EQ(values(board)[9], 0xABCD);

    // A list longer than the pieces it is read in: every pair counts, the last for a channel wins.
    std::vector<KorvalDACPair> many;
    for (uint16_t i = 0; i < 1000; ++i) many.push_back({static_cast<uint16_t>(i % 10), i});
    ASSERT_EQ(DACMultiDirect(0, many.data(), 1000), 0u);
    EXPECT_EQ(values(board)[9], 999);
    many.push_back({16, 0});
    EXPECT_EQ(DACMultiDirect(0, many.data(), 1001), 487u);
}

TEST_P(Dac, MultiDirectRefusalsSendNothing)
{
    const uint32_t board = install_one(0x8073, path());  // 12 channels
    EXPECT_EQ(DACMultiDirect(0, nullptr, 0), 0u);  // the list is not looked at
    const KorvalDACPair bad[] = {{12, 3}, {0, 1}, {11, 2}, {12, 3}};
    EXPECT_EQ(DACMultiDirect(0, bad + 1, 3), 487u);  // last
    EXPECT_EQ(DACMultiDirect(0, bad, 3), 487u);      // first
    EXPECT_EQ(DACMultiDirect(0, bad, -1), 87u);
    EXPECT_EQ(DACMultiDirect(0, nullptr, 1), 87u);
    GuardedPages pages;
    ASSERT_TRUE(pages.ok());
    EXPECT_EQ(DACMultiDirect(0, reinterpret_cast<const KorvalDACPair*>(pages.before_hole(8)), 3), 998u);
    EXPECT_TRUE(log(board).empty());
}

// Waveform output owns a streaming board's DACs while open or closing; other boards ignore the flags.
TEST_P(Dac, BusyOnlyOnStreamingBoards)
{
    install_one(0x4001, path());
    const KorvalDACPair pair{0, 1};
    for (const bool closing : {false, true}) {
        dac_state(0).bDACOpen = !closing;
        dac_state(0).bDACClosing = closing;
        EXPECT_EQ(DACDirect(0, 8, 1), 4u);  // before the channel is looked at
        EXPECT_EQ(DACMultiDirect(0, &pair, 1), 4u);
        EXPECT_EQ(DACMultiDirect(0, nullptr, 0), 4u);
    }
    // The same board with a row without waveform output: the flags are not looked at.
    const ProductRow* const streaming = board(0).product;
    ProductRow no_stream = board(0).row();
    no_stream.bDACStream = false;
    board_record(0).product = &no_stream;
    EXPECT_EQ(DACDirect(0, 0, 1), 0u);
    board_record(0).product = streaming;
    dac_state(0).bDACOpen = dac_state(0).bDACClosing = false;
}

class DacCal : public PathTest {
protected:
    void SetUp() override
    {
        PathTest::SetUp();
        std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        for (char& c : name)
            if (c == '/') c = '_';
        dir_ = std::filesystem::temp_directory_path() / ("korval_dac_" + std::to_string(getpid()) + "_" + name);
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override
    {
        std::filesystem::remove_all(dir_);
        PathTest::TearDown();
    }
    std::string write_file(const std::string& name, const std::string& text) const
    {
        std::ofstream(dir_ / name, std::ios::binary) << text;
        return (dir_ / name).string();
    }
    std::vector<uint8_t> flash(uint32_t board, uint32_t address) const
    {
        std::vector<uint8_t> bytes(kTable);
        EXPECT_EQ(KorvalSim_FlashRead(sim_, board, address, kTable, bytes.data()), 0u);
        return bytes;
    }
    std::filesystem::path dir_;
};

// `count` lines holding first, first + 1, ...
std::string numbers(uint32_t count, const std::string& line_end, uint32_t first = 0)
{
    std::string text;
    for (uint32_t i = 0; i < count; ++i) text += std::to_string(first + i) + line_end;
    return text;
}

std::vector<uint8_t> counting_table()
{
    std::vector<uint8_t> bytes(kTable);
    for (uint32_t i = 0; i < 65536; ++i) bytes[2 * i] = static_cast<uint8_t>(i), bytes[2 * i + 1] = static_cast<uint8_t>(i >> 8);
    return bytes;
}

TEST_P(DacCal, FileLoadErasesTheChannelsSectorsThenWritesItsTable)
{
    const uint32_t board = install_one(0x8060, path());
    const std::vector<uint8_t> old(2 * kTable, 0x5A);
    KorvalSim_FlashLoad(sim_, board, 2 * kTable, 2 * kTable, old.data());
    ASSERT_EQ(DACSetChannelCal(0, 3, write_file("cal.txt", numbers(65536, "\r\n")).c_str()), 0u);
    const auto wire = control_log(board);
    ASSERT_EQ(wire.size(), 2u + 32u);  // no 0xF0 on this path
    EXPECT_EQ(wire[0], (Expected{0x40, 0xFC, 0, 6, {}}));
    EXPECT_EQ(wire[1], (Expected{0x40, 0xFC, 0, 7, {}}));
    EXPECT_EQ(wire[2].request, 0xB5);
    EXPECT_EQ(wire[2].value | wire[2].index << 16, 3 * kTable / 2);  // word addresses
    EXPECT_EQ(wire[33].value | wire[33].index << 16, (4 * kTable - 4096) / 2);
    EXPECT_EQ(flash(board, 3 * kTable), counting_table());
    EXPECT_EQ(flash(board, 2 * kTable), std::vector<uint8_t>(kTable, 0x5A));  // the neighbour's table
}

TEST_P(DacCal, SpecialNamesClearTheTable)
{
    const uint32_t board = install_one(0x8070, path());
    for (const char* name : {":1TO1:", ":NONE:"}) {
        const std::vector<uint8_t> old(kTable, 0x00);
        KorvalSim_FlashLoad(sim_, board, 15 * kTable, kTable, old.data());
        clear_log(board);
        ASSERT_EQ(DACSetChannelCal(0, 15, name), 0u);
        EXPECT_EQ(control_log(board),
                  (std::vector<Expected>{{0x40, 0xFC, 0, 30, {}}, {0x40, 0xFC, 0, 31, {}}, {0x40, 0xF0, 0, 15, {}}}));
        EXPECT_EQ(flash(board, 15 * kTable), std::vector<uint8_t>(kTable, 0xFF));
    }
    uint32_t resets = 0;
    ASSERT_EQ(KorvalSim_GetDacCalResets(sim_, board, 15, &resets), 0u);
    EXPECT_EQ(resets, 2u);
}

TEST_P(DacCal, ChecksComeInOrder)
{
    const uint32_t board = install_one(0x8073, path());  // 12 channels
    EXPECT_EQ(DACSetChannelCal(32, 0, nullptr), 1413u);
    EXPECT_EQ(DACSetChannelCal(0, 12, nullptr), 487u);  // before the name is looked at
    EXPECT_EQ(DACSetChannelCal(0, 0, nullptr), 87u);
    GuardedPages pages;
    ASSERT_TRUE(pages.ok());
    EXPECT_EQ(DACSetChannelCal(0, 0, reinterpret_cast<const char*>(pages.hole())), 998u);
    std::memcpy(pages.before_hole(7), ":NONE:", 7);  // ends right before unreadable memory: read whole
    EXPECT_EQ(DACSetChannelCal(0, 0, reinterpret_cast<const char*>(pages.before_hole(7))), 0u);
    clear_log(board);
    EXPECT_EQ(DACSetChannelCal(0, 0, ":none:"), 2u);  // lower case is a file name
    EXPECT_TRUE(log(board).empty());
}

// A file that fails leaves the flash as it was and sends nothing.
TEST_P(DacCal, AFailingFileLeavesTheFlashUntouched)
{
    const uint32_t board = install_one(0x8060, path());
    const std::vector<uint8_t> old(kTable, 0x3C);
    KorvalSim_FlashLoad(sim_, board, 0, kTable, old.data());
    const std::string short_by_one = numbers(65535, "\n");
    const std::pair<std::string, uint32_t> cases[] = {
        {"", 38}, {short_by_one, 38}, {"12\nabc\n" + numbers(65536, "\n"), 13}, {short_by_one + "1.5", 13}};
    for (const auto& [text, result] : cases) EXPECT_EQ(DACSetChannelCal(0, 0, write_file("f", text).c_str()), result);
    EXPECT_EQ(DACSetChannelCal(0, 0, (dir_ / "missing" / "cal.txt").string().c_str()), 2u);
    EXPECT_EQ(DACSetChannelCal(0, 0, dir_.string().c_str()), 5u);  // a directory
    EXPECT_TRUE(log(board).empty());
    EXPECT_EQ(flash(board, 0), old);
}

// The first failure of erase or write ends the load; what was erased stays erased.
TEST_P(DacCal, FlashFailuresPassThrough)
{
    const uint32_t board = install_one(0x8060, path());
    const std::string file = write_file("cal.txt", numbers(65536, "\n"));
    fail_next(board, KORVAL_SIM_CONTROL, 0xFC, 121);
    EXPECT_EQ(DACSetChannelCal(0, 1, file.c_str()), 121u);
    EXPECT_EQ(control_log(board).size(), 1u);
    clear_log(board);
    const std::vector<uint8_t> zeros(kTable, 0);
    KorvalSim_FlashLoad(sim_, board, kTable, kTable, zeros.data());
    fail_next(board, KORVAL_SIM_CONTROL, 0xB5, 121);
    EXPECT_EQ(DACSetChannelCal(0, 1, file.c_str()), 121u);
    EXPECT_EQ(control_log(board).size(), 3u);  // two erases, one failed write
    EXPECT_EQ(flash(board, kTable), std::vector<uint8_t>(kTable, 0xFF));
}

KORVAL_BOTH_PATHS(Dac);
KORVAL_BOTH_PATHS(DacCal);

// One entry's text: true and its value, or false.
TEST(CalEntry, Conversions)
{
    const std::pair<const char*, int64_t> cases[] = {
        {"16", 16}, {"+16", 16}, {"-1", -1}, {"0010", 10}, {"70000", 70000}, {"2147483647", INT32_MAX},
        {"-2147483648", INT32_MIN}, {"0x10", 16}, {"0X1f", 31}, {"$ff", 255}, {"x10", 16}, {"XaB", 0xAB},
        {"$FFFFFFFF", -1}, {"0x000000012", 0x12}, {" \t42\x01 ", 42},
        // Not integers (the value is never read):
        {"2147483648", 1LL << 40}, {"-2147483649", 1LL << 40}, {"0x100000000", 1LL << 40}, {"", 1LL << 40},
        {"  \t ", 1LL << 40}, {"abc", 1LL << 40}, {"1 2", 1LL << 40}, {"1.5", 1LL << 40}, {"-", 1LL << 40},
        {"+-1", 1LL << 40}, {"$", 1LL << 40}, {"0x", 1LL << 40}, {"x", 1LL << 40}, {"0xg", 1LL << 40},
        {"-0x10", 1LL << 40}, {"$-1", 1LL << 40}, {"1e3", 1LL << 40}, {"\xB9", 1LL << 40}};
    for (const auto& [text, expected] : cases) {
        int32_t value = 0;
        const bool ok = dac::parse_cal_entry(text, text + std::strlen(text), value);
        EXPECT_EQ(ok, expected != 1LL << 40) << '"' << text << '"';
        if (ok) {
            EXPECT_EQ(value, expected) << '"' << text << '"';
        }
    }
}

// Line ends and counting: every case that succeeds holds the entries 0, 1, 2, ... in order.
TEST(CalText, LineEndsAndCounting)
{
    std::string no_last_end = numbers(65536, "\n"), blank_lines, mixed;
    no_last_end.pop_back();
    for (uint32_t i = 0; i < 65536; ++i) {
        blank_lines += "\r\n\r\n" + std::to_string(i) + "\r\n\n\r";
        mixed += std::to_string(i) + (i % 3 == 0 ? "\r" : i % 3 == 1 ? "\n" : "\r\n");
    }
    const std::pair<std::string, uint32_t> cases[] = {
        {numbers(65536, "\n"), 0}, {numbers(65536, "\r"), 0}, {mixed, 0}, {blank_lines, 0}, {no_last_end, 0},
        {numbers(65536, "\n") + "junk\n", 0},            // entries after the last are ignored
        {numbers(65535, "\n") + "\n\r\n\r", 38},         // empty lines do not count
        {numbers(65535, "\n") + " \n", 13},              // a line of blanks does, and is not a number
        {numbers(10, "\n") + "ten\n", 13}, {"", 38}};
    for (const auto& [text, result] : cases) {
        std::vector<uint8_t> table;
        EXPECT_EQ(dac::parse_cal_text(text.data(), text.size(), table), result) << text.substr(0, 20);
        if (result == 0) {
            EXPECT_EQ(table, counting_table()) << text.substr(0, 20);
        }
    }
}

// Only the first `limit` bytes of a file are read; the line the limit cuts counts as far as it goes.
TEST(CalText, OnlyTheFirstBytesOfAFileAreRead)
{
    const auto file = std::filesystem::temp_directory_path() / ("korval_dac_limit_" + std::to_string(getpid()));
    const std::string text = numbers(65536, "\n", 100);  // "100" to "65635"
    std::ofstream(file, std::ios::binary) << text;
    std::vector<uint8_t> table;
    const auto last = [&] { return table[2 * 65535] | table[2 * 65535 + 1] << 8; };
    EXPECT_EQ(dac::read_cal_file(file.string(), table, text.size() - 1), 0u);
    EXPECT_EQ(last(), 65635 - 65536);
    EXPECT_EQ(dac::read_cal_file(file.string(), table, text.size() - 2), 0u);
    EXPECT_EQ(last(), 6563);
    EXPECT_EQ(dac::read_cal_file(file.string(), table, text.size() - 6), 38u);
    std::filesystem::remove(file);
}

}  // namespace
}  // namespace korval::test
