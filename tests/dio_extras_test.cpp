// Automap, PWM, latch and debounce on simulated boards: the firmware check before each, the requests and
// their data stages on both driver paths, the latch layout, bad lengths and caller memory.
#include <gtest/gtest.h>

#include <functional>
#include <numeric>

#include "board/board.h"
#include "support/guarded_pages.h"
#include "support/sim_fixture.h"

namespace korval::test {
namespace {

constexpr uint32_t kFourPorts = 0x8004;
const uint8_t kOlderFirmware[3] = {0x02, 0x00, 0x00};
const Expected kFirmwareQuery{0xC0, 0xA3, 0x8000, 1, {}};

std::vector<uint8_t> bytes(uint8_t first, size_t n)
{
    std::vector<uint8_t> v(n);
    std::iota(v.begin(), v.end(), first);
    return v;
}

// Every function of the family, with arguments that succeed on any digital board (up to 16 ports).
struct Call {
    const char* name;
    std::function<uint32_t()> run;
};
std::vector<Call> every_function(uint32_t index = 0)
{
    static uint8_t table[64] = {1, 2, 3, 4};
    static uint32_t size = 4;
    static uint16_t entry = 0x0102;
    static uint8_t byte = 3;
    static uint8_t groups[3][16];
    static uint32_t length = 16;
    return {
        {"DIO_Automap_ClearTable", [=] { return DIO_Automap_ClearTable(index); }},
        {"DIO_Automap_SetTable", [=] { size = 4; return DIO_Automap_SetTable(index, table, &size); }},
        {"DIO_Automap_AddEntry", [=] { return DIO_Automap_AddEntry(index, &entry); }},
        {"DIO_Automap_SetTickDivisor", [=] { return DIO_Automap_SetTickDivisor(index, &byte); }},
        {"DIO_PWM_SetAll", [=] { size = 4; return DIO_PWM_SetAll(index, &byte, table, &size); }},
        {"DIO_Latch_SetDivisor", [=] { return DIO_Latch_SetDivisor(index, &byte); }},
        {"DIO_Latch_Reset", [=] { return DIO_Latch_Reset(index); }},
        {"DIO_Latch_Read",
         [=] { length = 16; return DIO_Latch_Read(index, groups[1], groups[2], groups[0], &length); }},
        {"DIO_Deb_SetConfig", [=] { size = 4; return DIO_Deb_SetConfig(index, table, &size); }},
        {"DIO_Deb_ReadAll", [=] { return DIO_Deb_ReadAll(index, groups[0]); }},
    };
}

// Every digital product family answers every function; the latch read asks for three bytes per port.
TEST_F(SimTest, EveryDigitalFamilyHasTheFunctions)
{
    const uint32_t pids[] = {0x8001, 0x8002, 0x8003, 0x8004, 0x8008, 0x800C, 0x8010,
                             0x8030, 0x8032, 0x8036, 0x8040, 0x8145, 0x8060, 0x8071};
    std::vector<uint32_t> boards;
    for (uint32_t pid : pids) boards.push_back(add(pid));
    install();
    ASSERT_EQ(GetDevices(), (1u << boards.size()) - 1);
    for (uint32_t slot = 0; slot < boards.size(); ++slot) {
        for (const Call& c : every_function(slot)) EXPECT_EQ(c.run(), 0u) << c.name << " on 0x" << std::hex << pids[slot];
        uint32_t length = 0;
        for (const Transfer& t : log(boards[slot]))
            if (t.info.kind == KORVAL_SIM_CONTROL && t.request() == 0x14) length = t.length();
        EXPECT_EQ(length, 3 * board(slot).row().DIOBytes) << std::hex << pids[slot];
    }
}

class NewerFirmware : public PathTest {};

// Older firmware: 50 from the check, which is asked again on every call; nothing else is sent.
TEST_P(NewerFirmware, OlderFirmwareGetsNotSupportedAndIsAskedEachTime)
{
    const uint32_t board = install_one(kFourPorts, path());
    KorvalSim_SetFirmwareLevel(sim_, board, kOlderFirmware);
    const auto calls = every_function();
    for (const Call& c : calls) EXPECT_EQ(c.run(), 50u) << c.name;
    EXPECT_EQ(control_log(board), std::vector<Expected>(calls.size(), kFirmwareQuery));
    EXPECT_FALSE(board_record(0).bFirmware20);
}

// Newer firmware: asked once per slot, then never again; a board in another slot is asked for itself.
TEST_P(NewerFirmware, CheckPassesOncePerSlot)
{
    const uint32_t first = add(kFourPorts, path());
    const uint32_t second = add(kFourPorts, path());
    KorvalSim_SetFirmwareLevel(sim_, second, kOlderFirmware);
    install();
    ASSERT_EQ(GetDevices(), 3u);
    clear_log(first);
    const auto calls = every_function();
    for (const Call& c : calls) EXPECT_EQ(c.run(), 0u) << c.name;
    const auto l = control_log(first);
    ASSERT_EQ(l.size(), calls.size() + 1);
    EXPECT_EQ(l[0], kFirmwareQuery);
    for (size_t i = 1; i < l.size(); ++i) EXPECT_NE(l[i].request, 0xA3) << i;
    EXPECT_EQ(DIO_Latch_Reset(1), 50u);
    EXPECT_FALSE(board_record(1).bFirmware20);
}

TEST_P(NewerFirmware, RequestsAndDataStages)
{
    const uint32_t board = install_one(kFourPorts, path());
    ASSERT_EQ(DIO_Automap_ClearTable(0), 0u);  // passes the firmware check once
    const std::vector<uint8_t> table = bytes(1, 16);
    const std::vector<uint8_t> config = bytes(0, 1024);
    uint32_t size = 0;
    uint16_t entry = 0x1234;
    uint8_t first = 0xAA, divisor = 9;
    uint8_t groups[3][4] = {};
    uint32_t length = 4;
    struct Case {
        const char* what;
        std::function<uint32_t()> call;
        Expected wire;
        uint16_t length;    // wLength
        uint32_t size_after;  // the size variable after the call
    };
    const Case cases[] = {
        {"clear", [] { return DIO_Automap_ClearTable(0); }, {0x40, 0x3C, 0, 0x82, {}}, 0, 0},
        {"odd table", [&] { size = 7; return DIO_Automap_SetTable(0, table.data(), &size); },
         {0x40, 0x3C, 0, 0x81, bytes(1, 6)}, 6, 6},
        {"empty table", [&] { size = 0; return DIO_Automap_SetTable(0, nullptr, &size); },
         {0x40, 0x3C, 0, 0x81, {}}, 0, 0},
        {"entry", [&] { return DIO_Automap_AddEntry(0, &entry); }, {0x40, 0x3C, 0, 0x84, {0x34, 0x12}}, 2, 0},
        {"tick divisor", [&] { return DIO_Automap_SetTickDivisor(0, &divisor); }, {0x40, 0x3C, 0, 0x83, {9}}, 1, 0},
        // The first setting, then all but the last table byte: the even size counted from the block's start.
        {"pwm", [&] { size = 9; return DIO_PWM_SetAll(0, &first, table.data(), &size); },
         {0x40, 0x3C, 0, 0x71, {0xAA, 1, 2, 3, 4, 5, 6, 7}}, 8, 8},
        {"pwm full", [&] { size = 16; return DIO_PWM_SetAll(0, &first, table.data(), &size); },
         {0x40, 0x3C, 0, 0x71, [&] { auto v = bytes(1, 15); v.insert(v.begin(), 0xAA); return v; }()}, 16, 16},
        {"latch divisor", [&] { return DIO_Latch_SetDivisor(0, &divisor); }, {0x40, 0x3C, 0, 0x63, {9}}, 1, 0},
        {"latch reset", [] { return DIO_Latch_Reset(0); }, {0xC0, 0x14, 0, 0, {}}, 12, 0},
        {"latch read", [&] { return DIO_Latch_Read(0, groups[1], groups[2], groups[0], &length); },
         {0xC0, 0x14, 0, 0, {}}, 12, 0},
        {"debounce config", [&] { size = 1024; return DIO_Deb_SetConfig(0, config.data(), &size); },
         {0x40, 0x3C, 0, 0x51, config}, 1024, 1024},
        {"debounced state", [&] { return DIO_Deb_ReadAll(0, groups[0]); }, {0xC0, 0x15, 0, 0, {}}, 4, 0},
    };
    for (const Case& c : cases) {
        clear_log(board);
        size = 0;
        EXPECT_EQ(c.call(), 0u) << c.what;
        EXPECT_EQ(control_log(board), std::vector<Expected>{c.wire}) << c.what;
        EXPECT_EQ(log(board).at(0).length(), c.length) << c.what;
        EXPECT_EQ(size, c.size_after) << c.what;
    }
}

// What the board keeps: the automap table with its appended entry and divisor, the PWM data stage.
TEST_P(NewerFirmware, BoardKeepsTheTables)
{
    const uint32_t board = install_one(kFourPorts, path());
    const std::vector<uint8_t> table = bytes(1, 64);
    uint32_t size = 62;
    uint16_t entry = 0xBEEF;
    uint8_t divisor = 7;
    ASSERT_EQ(DIO_Automap_SetTable(0, table.data(), &size), 0u);
    ASSERT_EQ(DIO_Automap_AddEntry(0, &entry), 0u);
    ASSERT_EQ(DIO_Automap_SetTickDivisor(0, &divisor), 0u);
    EXPECT_EQ(DIO_Automap_AddEntry(0, &entry), 31u);  // the table is full: the board refuses
    uint8_t kept[80] = {};
    uint32_t kept_size = 0;
    uint8_t kept_divisor = 0;
    ASSERT_EQ(KorvalSim_GetAutomap(sim_, board, kept, sizeof kept, &kept_size, &kept_divisor), 0u);
    std::vector<uint8_t> expected = bytes(1, 62);
    expected.insert(expected.end(), {0xEF, 0xBE});
    EXPECT_EQ(std::vector<uint8_t>(kept, kept + kept_size), expected);
    EXPECT_EQ(kept_divisor, 7);
    ASSERT_EQ(DIO_Automap_ClearTable(0), 0u);
    ASSERT_EQ(KorvalSim_GetAutomap(sim_, board, nullptr, 0, &kept_size, nullptr), 0u);
    EXPECT_EQ(kept_size, 0u);
}

// Over-long tables: 24, nothing sent, the size left as it was.
TEST_P(NewerFirmware, OverLongTablesAreRefused)
{
    const uint32_t board = install_one(kFourPorts, path());
    ASSERT_EQ(DIO_Automap_ClearTable(0), 0u);
    clear_log(board);
    const std::vector<uint8_t> table = bytes(0, 1025);
    uint8_t first = 0;
    uint32_t size = 65;
    EXPECT_EQ(DIO_Automap_SetTable(0, table.data(), &size), 24u);
    EXPECT_EQ(size, 65u);
    size = 17;
    EXPECT_EQ(DIO_PWM_SetAll(0, &first, table.data(), &size), 24u);
    EXPECT_EQ(size, 17u);
    size = 1025;
    EXPECT_EQ(DIO_Deb_SetConfig(0, table.data(), &size), 24u);
    EXPECT_TRUE(control_log(board).empty());
}

// Group 1 to the first buffer, group 2 to the second, group 0 to the last; the count becomes the ports.
TEST_P(NewerFirmware, LatchGroupsGoToTheirBuffers)
{
    const uint32_t board = install_one(kFourPorts, path());
    const std::vector<uint8_t> latched = bytes(1, 12);
    ASSERT_EQ(KorvalSim_SetLatches(sim_, board, latched.data(), 12), 0u);
    uint8_t g0[4], g1[4], g2[4];
    std::memset(g0, 0xEE, 4), std::memset(g1, 0xEE, 4), std::memset(g2, 0xEE, 4);
    uint32_t length = 2;
    ASSERT_EQ(DIO_Latch_Read(0, g1, g2, g0, &length), 0u);
    EXPECT_EQ(length, 4u);
    EXPECT_EQ(std::vector<uint8_t>(g0, g0 + 4), (std::vector<uint8_t>{1, 2, 0xEE, 0xEE}));
    EXPECT_EQ(std::vector<uint8_t>(g1, g1 + 4), (std::vector<uint8_t>{5, 6, 0xEE, 0xEE}));
    EXPECT_EQ(std::vector<uint8_t>(g2, g2 + 4), (std::vector<uint8_t>{9, 10, 0xEE, 0xEE}));
    // Reading cleared the board's latches.
    uint8_t now[12];
    ASSERT_EQ(KorvalSim_GetLatches(sim_, board, now, sizeof now, nullptr), 0u);
    EXPECT_EQ(std::vector<uint8_t>(now, now + 12), std::vector<uint8_t>(12, 0));

    // A reply one byte short: 13, and neither the buffers nor the count change.
    ASSERT_EQ(KorvalSim_SetLatches(sim_, board, latched.data(), 12), 0u);
    short_next(board, KORVAL_SIM_CONTROL, 0x14, 11);
    length = 9;
    EXPECT_EQ(DIO_Latch_Read(0, g1, g2, g0, &length), 13u);
    EXPECT_EQ(length, 9u);
    EXPECT_EQ(g0[2], 0xEE);
    fail_next(board, KORVAL_SIM_CONTROL, 0x14, 121);
    EXPECT_EQ(DIO_Latch_Read(0, g1, g2, g0, &length), 121u);
}

TEST_P(NewerFirmware, DebouncedStateIsCopied)
{
    const uint32_t board = install_one(kFourPorts, path());
    const uint8_t state[4] = {0x0F, 0xF0, 0x55, 0xAA};
    ASSERT_EQ(KorvalSim_SetDebouncedInputs(sim_, board, state, 4), 0u);
    uint8_t data[5] = {0, 0, 0, 0, 0x77};
    ASSERT_EQ(DIO_Deb_ReadAll(0, data), 0u);
    EXPECT_EQ(std::vector<uint8_t>(data, data + 5), (std::vector<uint8_t>{0x0F, 0xF0, 0x55, 0xAA, 0x77}));
}

// Caller memory out of reach gives 998 before anything is sent (latches stay on the board); missing
// pointers give 87.
TEST_P(NewerFirmware, CallerMemoryIsGuarded)
{
    GuardedPages memory;
    ASSERT_TRUE(memory.ok());
    const uint32_t board = install_one(kFourPorts, path());
    ASSERT_EQ(DIO_Latch_Reset(0), 0u);
    const std::vector<uint8_t> latched = bytes(1, 12);
    ASSERT_EQ(KorvalSim_SetLatches(sim_, board, latched.data(), 12), 0u);
    clear_log(board);
    uint8_t buffer[4];
    uint32_t size = 4;
    uint8_t byte = 0;
    EXPECT_EQ(DIO_Automap_SetTable(0, memory.before_hole(2), &size), 998u);
    EXPECT_EQ(DIO_Automap_SetTable(0, buffer, reinterpret_cast<uint32_t*>(memory.hole())), 998u);
    EXPECT_EQ(DIO_Automap_AddEntry(0, reinterpret_cast<uint16_t*>(memory.hole())), 998u);
    EXPECT_EQ(DIO_PWM_SetAll(0, memory.hole(), buffer, &size), 998u);
    EXPECT_EQ(DIO_Latch_Read(0, buffer, memory.read_only(), buffer, &size), 998u);
    EXPECT_EQ(DIO_Deb_ReadAll(0, memory.hole()), 998u);
    EXPECT_EQ(DIO_Deb_SetConfig(0, memory.hole(), &size), 998u);
    EXPECT_EQ(DIO_Automap_SetTickDivisor(0, nullptr), 87u);
    EXPECT_EQ(DIO_Latch_SetDivisor(0, nullptr), 87u);
    EXPECT_EQ(DIO_Automap_SetTable(0, nullptr, &size), 87u);
    EXPECT_EQ(DIO_Latch_Read(0, buffer, buffer, buffer, nullptr), 87u);
    EXPECT_EQ(DIO_Deb_ReadAll(0, nullptr), 87u);
    EXPECT_TRUE(control_log(board).empty());
    uint8_t now[12];
    ASSERT_EQ(KorvalSim_GetLatches(sim_, board, now, sizeof now, &byte), 0u);
    EXPECT_EQ(std::vector<uint8_t>(now, now + 12), latched);
    // An odd size is written back before the table is copied.
    size = 5;
    EXPECT_EQ(DIO_Automap_SetTable(0, memory.hole(), &size), 998u);
    EXPECT_EQ(size, 4u);
}

KORVAL_BOTH_PATHS(NewerFirmware);

}  // namespace
}  // namespace korval::test
