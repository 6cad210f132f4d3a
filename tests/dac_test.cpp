// Immediate DAC output and calibration: which products take each call, the order of the checks, the
// multi-channel block byte for byte, the calibration file's syntax, and the flash a load leaves behind.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "core/device_table.h"
#include "dac/cal_file.h"
#include "support/guarded_pages.h"
#include "support/sim_fixture.h"

namespace korval::test {
namespace {

constexpr uint32_t kTableBytes = 0x20000;

// ---- Which products take which call ----

struct GateCase {
    uint32_t pid;
    uint32_t direct, multi, range, cal;  // results of one call each (channel 0)
};

class DacGates : public SimTest, public ::testing::WithParamInterface<GateCase> {};

TEST_P(DacGates, EachCallRunsWhereTheProductHasItsFeature)
{
    const GateCase c = GetParam();
    install_one(c.pid);
    const KorvalDACPair pair{0, 0x1234};
    EXPECT_EQ(DACDirect(0, 0, 0x1234), c.direct);
    EXPECT_EQ(DACMultiDirect(0, &pair, 1), c.multi);
    EXPECT_EQ(DACSetBoardRange(0, 1), c.range);
    EXPECT_EQ(DACSetChannelCal(0, 0, ":NONE:"), c.cal);
}

INSTANTIATE_TEST_SUITE_P(Products, DacGates,
                         ::testing::Values(GateCase{0x4001, 0, 0, 1349, 1349}, GateCase{0x4003, 0, 0, 1349, 1349},
                                           GateCase{0x8140, 0, 0, 0, 1349}, GateCase{0x815F, 0, 0, 0, 1349},
                                           GateCase{0x8060, 0, 0, 0, 0}, GateCase{0x8073, 0, 0, 0, 0},
                                           GateCase{0x807E, 0, 0, 0, 0}, GateCase{0x8040, 1349, 1349, 1349, 1349},
                                           GateCase{0x8001, 1349, 1349, 1349, 1349},
                                           GateCase{0x8013, 1349, 1349, 1349, 1349}),
                         [](const auto& info) {
                             char name[16];
                             std::snprintf(name, sizeof name, "PID%04X", static_cast<unsigned>(info.param.pid));
                             return std::string(name);
                         });

// ---- Immediate writes ----

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

TEST_P(Dac, DirectWritesOneChannel)
{
    const uint32_t board = install_one(0x8073, path());  // 12 channels
    ASSERT_EQ(DACDirect(0, 11, 0xBEEF), 0u);
    ASSERT_EQ(DACDirect(0, 0, 0x0102), 0u);
    EXPECT_EQ(control_log(board), (std::vector<Expected>{{0x40, 0xB3, 0xBEEF, 11, {}}, {0x40, 0xB3, 0x0102, 0, {}}}));
    const auto v = values(board);
    ASSERT_EQ(v.size(), 12u);
    EXPECT_EQ(v[11], 0xBEEF);
    EXPECT_EQ(v[0], 0x0102);
    clear_log(board);
    EXPECT_EQ(DACDirect(0, 12, 1), 487u);
    EXPECT_TRUE(log(board).empty());
}

// The example block: channel 3 = 0x1234 and channel 9 = 0xABCD on a 16-channel board.
TEST_P(Dac, MultiDirectBlockByteForByte)
{
    const uint32_t board = install_one(0x8060, path());
    const KorvalDACPair pairs[] = {{3, 0x1234}, {9, 0xABCD}};
    ASSERT_EQ(DACMultiDirect(0, pairs, 2), 0u);
    std::vector<uint8_t> block(34, 0);
    block[0] = 0x08;
    block[7] = 0x34;
    block[8] = 0x12;
    block[17] = 0x02;
    block[20] = 0xCD;
    block[21] = 0xAB;
    EXPECT_EQ(control_log(board), (std::vector<Expected>{{0x40, 0xB3, 0, 0, block}}));
    const auto v = values(board);
    EXPECT_EQ(v[3], 0x1234);
    EXPECT_EQ(v[9], 0xABCD);

    // One pair for channel 0: one group. A channel named twice keeps its last value.
    clear_log(board);
    const KorvalDACPair twice[] = {{0, 1}, {7, 0x0700}, {0, 0x0201}};
    ASSERT_EQ(DACMultiDirect(0, twice, 3), 0u);
    std::vector<uint8_t> group(17, 0);
    group[0] = 0x81;
    group[1] = 0x01;
    group[2] = 0x02;
    group[15] = 0x00;
    group[16] = 0x07;
    EXPECT_EQ(control_log(board), (std::vector<Expected>{{0x40, 0xB3, 0, 0, group}}));
}

TEST_P(Dac, MultiDirectRefusalsSendNothing)
{
    const uint32_t board = install_one(0x8073, path());  // 12 channels
    // A count of 0 does nothing and does not look at the list.
    EXPECT_EQ(DACMultiDirect(0, nullptr, 0), 0u);
    // Channel 12 anywhere in the list, whatever the rest holds.
    const KorvalDACPair bad_last[] = {{0, 1}, {11, 2}, {12, 3}};
    const KorvalDACPair bad_first[] = {{12, 3}, {0, 1}};
    EXPECT_EQ(DACMultiDirect(0, bad_last, 3), 487u);
    EXPECT_EQ(DACMultiDirect(0, bad_first, 2), 487u);
    EXPECT_EQ(DACMultiDirect(0, bad_last, -1), 87u);
    EXPECT_EQ(DACMultiDirect(0, nullptr, 1), 87u);
    GuardedPages pages;
    ASSERT_TRUE(pages.ok());
    EXPECT_EQ(DACMultiDirect(0, reinterpret_cast<const KorvalDACPair*>(pages.hole()), 1), 998u);
    auto* end = reinterpret_cast<const KorvalDACPair*>(pages.before_hole(8));
    EXPECT_EQ(DACMultiDirect(0, end, 3), 998u);  // runs into the hole
    EXPECT_TRUE(log(board).empty());
    EXPECT_EQ(values(board), std::vector<uint16_t>(12, 0));
}

// A list longer than the pieces it is read in: every pair counts, the last one for a channel wins.
TEST_P(Dac, LongListsAreReadWhole)
{
    const uint32_t board = install_one(0x8060, path());
    std::vector<KorvalDACPair> pairs;
    for (uint16_t i = 0; i < 1000; ++i) pairs.push_back({static_cast<uint16_t>(i % 10), i});
    pairs.push_back({15, 0xF00F});
    ASSERT_EQ(DACMultiDirect(0, pairs.data(), static_cast<int32_t>(pairs.size())), 0u);
    const auto v = values(board);
    for (uint16_t c = 0; c < 10; ++c) EXPECT_EQ(v[c], 990 + c) << c;
    EXPECT_EQ(v[15], 0xF00F);
    EXPECT_EQ(log(board).at(0).data.size(), 34u);
    pairs.push_back({16, 0});
    EXPECT_EQ(DACMultiDirect(0, pairs.data(), static_cast<int32_t>(pairs.size())), 487u);
}

// Waveform output owns a streaming board's DACs while it is open or closing; other boards ignore the flags.
TEST_P(Dac, BusyOnlyOnStreamingBoards)
{
    install_one(0x4001, path());
    const KorvalDACPair pair{0, 1};
    TDeviceData& d = device(0);
    for (const bool closing : {false, true}) {
        d.bDACOpen = !closing;
        d.bDACClosing = closing;
        EXPECT_EQ(DACDirect(0, 0, 1), 4u);
        EXPECT_EQ(DACDirect(0, 8, 1), 4u);  // before the channel is looked at
        EXPECT_EQ(DACMultiDirect(0, &pair, 1), 4u);
        EXPECT_EQ(DACMultiDirect(0, nullptr, 0), 4u);
    }
    d.bDACOpen = false;
    d.bDACClosing = false;
    EXPECT_EQ(DACDirect(0, 0, 1), 0u);
}

TEST_P(Dac, FlagsOfANonStreamingBoardAreNotLookedAt)
{
    install_one(0x8070, path());
    device(0).bDACOpen = true;
    device(0).bDACClosing = true;
    EXPECT_EQ(DACDirect(0, 0, 1), 0u);
    device(0).bDACOpen = false;
    device(0).bDACClosing = false;
}

TEST_P(Dac, BoardRange)
{
    const uint32_t board = install_one(0x8145, path());
    ASSERT_EQ(DACSetBoardRange(0, 0xABCD), 0u);
    EXPECT_EQ(control_log(board), (std::vector<Expected>{{0x40, 0xB7, 0xABCD, 0, {}}}));
    uint32_t range = 0;
    ASSERT_EQ(KorvalSim_GetDacRange(sim_, board, &range), 0u);
    EXPECT_EQ(range, 0xABCDu);
}

TEST_P(Dac, IndexAndOpenCheckComeFirst)
{
    install_one(0x8060, path());
    EXPECT_EQ(DACDirect(32, 0, 0), 1413u);
    EXPECT_EQ(DACMultiDirect(5, nullptr, 0), 2u);
    EXPECT_EQ(DACSetBoardRange(5, 0), 2u);
    EXPECT_EQ(DACSetChannelCal(5, 99, nullptr), 2u);
    KorvalSim_Unplug(sim_, 1);
    EXPECT_EQ(DACDirect(0, 0, 0), 1617u);
    EXPECT_EQ(DACDirect(0, 0, 0), 1617u);
}

// A failing request comes back unchanged; on the WinUSB path a removal code marks the board gone.
TEST_P(Dac, RequestFailuresPassThrough)
{
    const uint32_t board = install_one(0x8140, path());
    fail_next(board, KORVAL_SIM_CONTROL, 0xB3, 121);
    EXPECT_EQ(DACDirect(0, 0, 0), 121u);
    fail_next(board, KORVAL_SIM_CONTROL, 0xB7, 0);
    EXPECT_EQ(DACSetBoardRange(0, 0), 31u);
}

// ---- Calibration tables ----

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
        const auto file = dir_ / name;
        std::ofstream(file, std::ios::binary) << text;
        return file.string();
    }

    std::vector<uint8_t> flash(uint32_t board, uint32_t address, uint32_t size) const
    {
        std::vector<uint8_t> bytes(size);
        EXPECT_EQ(KorvalSim_FlashRead(sim_, board, address, size, bytes.data()), 0u);
        return bytes;
    }

    std::filesystem::path dir_;
};

// The table: entry i = i * 7 (mod 65536), written in several notations.
std::string table_text(const char* line_end = "\n")
{
    std::string text;
    for (uint32_t i = 0; i < 65536; ++i) {
        const uint32_t v = i * 7 % 65536;
        switch (i % 4) {
        case 0: text += std::to_string(v); break;
        case 1: text += "0x" + [&] { char h[8]; std::snprintf(h, sizeof h, "%X", v); return std::string(h); }(); break;
        case 2: text += std::to_string(static_cast<int32_t>(v) - 65536); break;  // negative, same low 16 bits
        default: text += "$" + [&] { char h[8]; std::snprintf(h, sizeof h, "%x", v); return std::string(h); }();
        }
        text += line_end;
    }
    return text;
}

std::vector<uint8_t> table_bytes()
{
    std::vector<uint8_t> bytes(kTableBytes);
    for (uint32_t i = 0; i < 65536; ++i) {
        const uint32_t v = i * 7 % 65536;
        bytes[2 * i] = static_cast<uint8_t>(v);
        bytes[2 * i + 1] = static_cast<uint8_t>(v >> 8);
    }
    return bytes;
}

TEST_P(DacCal, FileLoadErasesTheChannelsSectorsThenWritesItsTable)
{
    const uint32_t board = install_one(0x8060, path());
    const std::vector<uint8_t> old(2 * kTableBytes, 0x5A);
    ASSERT_EQ(KorvalSim_FlashLoad(sim_, board, 0x20000 * 2, static_cast<uint32_t>(old.size()), old.data()), 0u);
    const std::string file = write_file("cal.txt", table_text("\r\n"));
    ASSERT_EQ(DACSetChannelCal(0, 3, file.c_str()), 0u);

    const auto wire = control_log(board);
    ASSERT_EQ(wire.size(), 2u + 32u);
    EXPECT_EQ(wire[0], (Expected{0x40, 0xFC, 0, 6, {}}));
    EXPECT_EQ(wire[1], (Expected{0x40, 0xFC, 0, 7, {}}));
    for (size_t i = 2; i < wire.size(); ++i) {
        const uint32_t byte_address = 3 * kTableBytes + static_cast<uint32_t>(i - 2) * 4096;
        EXPECT_EQ(wire[i].request, 0xB5);
        EXPECT_EQ(wire[i].value, static_cast<uint16_t>(byte_address >> 1)) << i;
        EXPECT_EQ(wire[i].index, byte_address >> 17) << i;
        EXPECT_EQ(wire[i].data.size(), 4096u);
    }
    EXPECT_EQ(flash(board, 3 * kTableBytes, kTableBytes), table_bytes());
    // The neighbouring channels' tables are as they were; no 0xF0 on this path.
    EXPECT_EQ(flash(board, 2 * kTableBytes, kTableBytes), std::vector<uint8_t>(kTableBytes, 0x5A));
    uint32_t resets = 1;
    ASSERT_EQ(KorvalSim_GetDacCalResets(sim_, board, 3, &resets), 0u);
    EXPECT_EQ(resets, 0u);
}

TEST_P(DacCal, SpecialNamesClearTheTable)
{
    const uint32_t board = install_one(0x8070, path());
    for (const char* name : {":1TO1:", ":NONE:"}) {
        const std::vector<uint8_t> old(kTableBytes, 0x00);
        KorvalSim_FlashLoad(sim_, board, 15 * kTableBytes, kTableBytes, old.data());
        clear_log(board);
        ASSERT_EQ(DACSetChannelCal(0, 15, name), 0u);
        EXPECT_EQ(control_log(board), (std::vector<Expected>{{0x40, 0xFC, 0, 30, {}},
                                                            {0x40, 0xFC, 0, 31, {}},
                                                            {0x40, 0xF0, 0, 15, {}}}));
        EXPECT_EQ(flash(board, 15 * kTableBytes, kTableBytes), std::vector<uint8_t>(kTableBytes, 0xFF));
    }
    uint32_t resets = 0;
    ASSERT_EQ(KorvalSim_GetDacCalResets(sim_, board, 15, &resets), 0u);
    EXPECT_EQ(resets, 2u);
}

TEST_P(DacCal, ChecksComeInOrder)
{
    const uint32_t board = install_one(0x8073, path());  // 12 channels
    // The channel is checked before the name is looked at.
    EXPECT_EQ(DACSetChannelCal(0, 12, nullptr), 487u);
    EXPECT_EQ(DACSetChannelCal(0, 12, ":NONE:"), 487u);
    EXPECT_EQ(DACSetChannelCal(0, 0, nullptr), 87u);
    GuardedPages pages;
    ASSERT_TRUE(pages.ok());
    EXPECT_EQ(DACSetChannelCal(0, 0, reinterpret_cast<const char*>(pages.hole())), 998u);
    // A name that ends right before unreadable memory is read whole.
    std::memcpy(pages.before_hole(7), ":NONE:", 7);
    EXPECT_EQ(DACSetChannelCal(0, 0, reinterpret_cast<const char*>(pages.before_hole(7))), 0u);
    clear_log(board);
    // Lower case is a file name, and there is no such file.
    EXPECT_EQ(DACSetChannelCal(0, 0, ":none:"), 2u);
    EXPECT_EQ(DACSetChannelCal(0, 0, (dir_ / "missing" / "cal.txt").string().c_str()), 2u);
    EXPECT_TRUE(log(board).empty());
}

// A file that fails leaves the flash as it was and sends nothing.
TEST_P(DacCal, AFailingFileLeavesTheFlashUntouched)
{
    const uint32_t board = install_one(0x8060, path());
    const std::vector<uint8_t> old(kTableBytes, 0x3C);
    KorvalSim_FlashLoad(sim_, board, 0, kTableBytes, old.data());
    std::string short_by_one = table_text();
    short_by_one.resize(short_by_one.rfind('\n', short_by_one.size() - 2) + 1);
    struct Case {
        const char* name;
        std::string text;
        uint32_t result;
    };
    const Case cases[] = {
        {"empty", "", 38},
        {"too_few", short_by_one, 38},
        {"letters", "12\nabc\n" + table_text(), 13},
        {"blanks", "12\n  \t \n" + table_text(), 13},
        {"last_bad", short_by_one + "1.5\n", 13},
    };
    for (const Case& c : cases) {
        clear_log(board);
        EXPECT_EQ(DACSetChannelCal(0, 0, write_file(c.name, c.text).c_str()), c.result) << c.name;
        EXPECT_TRUE(log(board).empty()) << c.name;
    }
    EXPECT_EQ(DACSetChannelCal(0, 0, dir_.string().c_str()), 5u);  // a directory
    EXPECT_EQ(flash(board, 0, kTableBytes), old);
    uint32_t erases = 0;
    KorvalSim_FlashEraseCount(sim_, board, &erases);
    EXPECT_EQ(erases, 0u);
}

// The first failure of erase or write ends the load; what was erased stays erased.
TEST_P(DacCal, FlashFailuresPassThrough)
{
    const uint32_t board = install_one(0x8060, path());
    const std::string file = write_file("cal.txt", table_text());
    fail_next(board, KORVAL_SIM_CONTROL, 0xFC, 121);
    EXPECT_EQ(DACSetChannelCal(0, 1, file.c_str()), 121u);
    EXPECT_EQ(control_log(board).size(), 1u);

    clear_log(board);
    const std::vector<uint8_t> zeros(kTableBytes, 0);
    KorvalSim_FlashLoad(sim_, board, kTableBytes, kTableBytes, zeros.data());
    fail_next(board, KORVAL_SIM_CONTROL, 0xB5, 121);
    EXPECT_EQ(DACSetChannelCal(0, 1, file.c_str()), 121u);
    EXPECT_EQ(control_log(board).size(), 3u);  // two erases, one failed write
    EXPECT_EQ(flash(board, kTableBytes, kTableBytes), std::vector<uint8_t>(kTableBytes, 0xFF));

    fail_next(board, KORVAL_SIM_CONTROL, 0xF0, 121);
    EXPECT_EQ(DACSetChannelCal(0, 1, ":1TO1:"), 121u);
}

KORVAL_BOTH_PATHS(Dac);
KORVAL_BOTH_PATHS(DacCal);

// ---- The calibration file's syntax ----

struct EntryCase {
    const char* text;
    bool ok;
    int32_t value;
};

class CalEntry : public ::testing::TestWithParam<EntryCase> {};

TEST_P(CalEntry, Converts)
{
    const EntryCase c = GetParam();
    const std::string text = c.text;
    int32_t value = 0x7777;
    EXPECT_EQ(dac::parse_cal_entry(text.data(), text.data() + text.size(), value), c.ok) << '"' << c.text << '"';
    if (c.ok) {
        EXPECT_EQ(value, c.value) << '"' << c.text << '"';
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CalEntry,
    ::testing::Values(EntryCase{"16", true, 16}, EntryCase{"+16", true, 16}, EntryCase{"-1", true, -1},
                      EntryCase{"0010", true, 10}, EntryCase{"70000", true, 70000},
                      EntryCase{"2147483647", true, 2147483647}, EntryCase{"-2147483648", true, INT32_MIN},
                      EntryCase{"2147483648", false, 0}, EntryCase{"-2147483649", false, 0},
                      EntryCase{"0x10", true, 16}, EntryCase{"0X1f", true, 31}, EntryCase{"$ff", true, 255},
                      EntryCase{"x10", true, 16}, EntryCase{"XaB", true, 0xAB}, EntryCase{"$FFFFFFFF", true, -1},
                      EntryCase{"0x000000012", true, 0x12}, EntryCase{"0x100000000", false, 0},
                      EntryCase{" \t42\x01 ", true, 42}, EntryCase{"", false, 0}, EntryCase{"  \t ", false, 0},
                      EntryCase{"abc", false, 0}, EntryCase{"1 2", false, 0}, EntryCase{"1.5", false, 0},
                      EntryCase{"-", false, 0}, EntryCase{"+-1", false, 0}, EntryCase{"$", false, 0},
                      EntryCase{"0x", false, 0}, EntryCase{"x", false, 0}, EntryCase{"0xg", false, 0},
                      EntryCase{"-0x10", false, 0}, EntryCase{"$-1", false, 0}, EntryCase{"1e3", false, 0},
                      EntryCase{"\xB9", false, 0}));

struct TextCase {
    const char* name;
    std::string text;
    uint32_t result;
};

std::string numbers(uint32_t count, const std::string& line_end, uint32_t first = 0)
{
    std::string text;
    for (uint32_t i = 0; i < count; ++i) text += std::to_string(first + i) + line_end;
    return text;
}

// Line ends and counting: every case that succeeds holds the entries 0, 1, 2, ... in order.
TEST(CalText, LineEndsAndCounting)
{
    std::string no_last_end = numbers(65536, "\n");
    no_last_end.pop_back();
    std::string blank_lines;
    for (uint32_t i = 0; i < 65536; ++i) blank_lines += "\r\n\r\n" + std::to_string(i) + "\r\n\n\r";
    std::string mixed;
    for (uint32_t i = 0; i < 65536; ++i) mixed += std::to_string(i) + (i % 3 == 0 ? "\r" : i % 3 == 1 ? "\n" : "\r\n");
    const TextCase cases[] = {
        {"lf", numbers(65536, "\n"), 0},
        {"cr", numbers(65536, "\r"), 0},
        {"crlf", numbers(65536, "\r\n"), 0},
        {"mixed", mixed, 0},
        {"blank lines skipped", blank_lines, 0},
        {"no end on the last line", no_last_end, 0},
        {"entries after the last ignored", numbers(65536, "\n") + "junk\n\n  \n", 0},
        {"one short", numbers(65535, "\n"), 38},
        {"one short and empty lines", numbers(65535, "\n") + "\n\r\n\r", 38},
        {"one short and a blank line", numbers(65535, "\n") + " \n", 13},
        {"bad entry before the end", numbers(10, "\n") + "ten\n", 13},
        {"nothing", "", 38},
    };
    std::vector<uint8_t> expected(kTableBytes);
    for (uint32_t i = 0; i < 65536; ++i) {
        expected[2 * i] = static_cast<uint8_t>(i);
        expected[2 * i + 1] = static_cast<uint8_t>(i >> 8);
    }
    for (const TextCase& c : cases) {
        std::vector<uint8_t> table;
        EXPECT_EQ(dac::parse_cal_text(c.text.data(), c.text.size(), table), c.result) << c.name;
        if (c.result == 0) {
            EXPECT_EQ(table, expected) << c.name;
        }
    }
}

// Only the first `limit` bytes of a file are read: the line the limit cuts still counts as far as it goes.
TEST(CalText, OnlyTheFirstBytesOfAFileAreRead)
{
    const auto file = std::filesystem::temp_directory_path() / ("korval_dac_limit_" + std::to_string(getpid()));
    const std::string text = numbers(65536, "\n", 100);  // 65536 lines of "100".."65635"
    std::ofstream(file, std::ios::binary) << text;
    std::vector<uint8_t> table;
    EXPECT_EQ(dac::read_cal_file(file.string(), table, text.size()), 0u);
    EXPECT_EQ(dac::read_cal_file(file.string(), table, text.size() - 1), 0u);  // only the last LF missing
    EXPECT_EQ(table[2 * 65535] | table[2 * 65535 + 1] << 8, 65635 - 65536);
    EXPECT_EQ(dac::read_cal_file(file.string(), table, text.size() - 2), 0u);  // the last entry is cut short
    EXPECT_EQ(table[2 * 65535] | table[2 * 65535 + 1] << 8, 6563);
    EXPECT_EQ(dac::read_cal_file(file.string(), table, text.size() - 6), 38u);  // the last line is gone
    std::filesystem::remove(file);
}

}  // namespace
}  // namespace korval::test
