// The EEPROM's custom area, the flash and the power-on defaults: address checks, piece boundaries, word
// addresses on the wire, written-back counts, and what a failure leaves behind.
#include <gtest/gtest.h>

#include <cstring>
#include <numeric>

#include "board/board.h"
#include "memory/memory.h"
#include "support/pages.h"
#include "support/sim_fixture.h"

namespace korval::test {
namespace {

class Eeprom : public PathTest {};

std::vector<uint8_t> pattern(size_t n, uint8_t seed = 1)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + i * 3);
    return v;
}

struct RangeCase {
    uint32_t address;
    uint32_t count;
    uint32_t result;
};

TEST_P(Eeprom, AddressAndLengthAreCheckedBeforeTheIndex)
{
    const uint32_t board = install_one(0x8001, path());
    for (const RangeCase c : {RangeCase{0xF0, 16, 0}, RangeCase{0xF0, 17, 24}, RangeCase{0x100, 0, 25},
                              RangeCase{0, 0x100, 0}, RangeCase{0, 0x101, 24}, RangeCase{0xFF, 1, 0}}) {
        std::vector<uint8_t> data(c.count + 1);
        uint32_t size = c.count;
        EXPECT_EQ(CustomEEPROMRead(0, c.address, &size, data.data()), c.result) << c.address << " " << c.count;
        EXPECT_EQ(CustomEEPROMWrite(0, c.address, c.count, data.data()), c.result) << c.address << " " << c.count;
        // Reported even for an empty slot.
        if (c.result != 0) {
            EXPECT_EQ(CustomEEPROMRead(7, c.address, &size, data.data()), c.result);
        }
    }
    EXPECT_EQ(control_log(board).at(0), (Expected{0xC0, 0xA2, 0x1EF0, 0, {}}));
    uint32_t size = 1;
    uint8_t byte = 0;
    EXPECT_EQ(CustomEEPROMRead(7, 0, &size, &byte), 2u);
    EXPECT_EQ(CustomEEPROMRead(0, 0, nullptr, &byte), 87u);
}

TEST_P(Eeprom, WritesGoInPiecesOf32)
{
    const uint32_t board = install_one(0x8001, path());
    const auto data = pattern(70);
    ASSERT_EQ(CustomEEPROMWrite(0, 0x10, 70, data.data()), 0u);
    EXPECT_EQ(control_log(board), (std::vector<Expected>{
                                      {0x40, 0xA2, 0x1E10, 0, {data.begin(), data.begin() + 32}},
                                      {0x40, 0xA2, 0x1E30, 0, {data.begin() + 32, data.begin() + 64}},
                                      {0x40, 0xA2, 0x1E50, 0, {data.begin() + 64, data.end()}},
                                  }));
    std::vector<uint8_t> back(70);
    uint32_t size = 70;
    ASSERT_EQ(CustomEEPROMRead(0, 0x10, &size, back.data()), 0u);
    EXPECT_EQ(size, 70u);
    EXPECT_EQ(back, data);

    struct Pieces {
        uint32_t count;
        std::vector<uint16_t> lengths;
    };
    for (const Pieces& c : {Pieces{0, {0}}, Pieces{32, {32}}, Pieces{33, {32, 1}}, Pieces{64, {32, 32}}}) {
        clear_log(board);
        ASSERT_EQ(CustomEEPROMWrite(0, 0, c.count, data.data()), 0u);
        std::vector<uint16_t> lengths;
        for (const Transfer& t : log(board)) lengths.push_back(t.length());
        EXPECT_EQ(lengths, c.lengths) << c.count;
    }
}

TEST_P(Eeprom, AFailedPieceStopsTheWriteAndKeepsTheEarlierOnes)
{
    const uint32_t board = install_one(0x8001, path());
    const auto data = pattern(70);
    short_next(board, KORVAL_SIM_CONTROL, 0xA2, 32);  // first piece whole
    fail_next(board, KORVAL_SIM_CONTROL, 0xA2, 121);
    // Rules apply in order: the short rule takes the first piece, the failure the second.
    EXPECT_EQ(CustomEEPROMWrite(0, 0, 70, data.data()), 121u);
    EXPECT_EQ(log(board).size(), 2u);
    uint8_t stored[40];
    KorvalSim_EepromRead(sim_, board, 0x1E00, sizeof stored, stored);
    EXPECT_EQ(std::memcmp(stored, data.data(), 32), 0);
    EXPECT_EQ(stored[32], 0xFF);
}

KORVAL_BOTH_PATHS(Eeprom);

class Flash : public PathTest {};

TEST_P(Flash, WordAddressesAndPieces)
{
    const uint32_t board = install_one(0x8070, path());
    ASSERT_EQ(KORVAL_FlashEraseSector(0, 2), 0u);
    ASSERT_EQ(KORVAL_FlashEraseSector(0, 3), 0u);
    clear_log(board);
    const auto data = pattern(8193);
    ASSERT_EQ(KORVAL_FlashWrite(0, 0x20000, 8193, data.data()), 0u);
    const auto writes = control_log(board);
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0], (Expected{0x40, 0xB5, 0x0000, 0x0001, {data.begin(), data.begin() + 4096}}));
    EXPECT_EQ(writes[1], (Expected{0x40, 0xB5, 0x0800, 0x0001, {data.begin() + 4096, data.begin() + 8192}}));

    clear_log(board);
    std::vector<uint8_t> back(0x10000);
    uint32_t size = 5;
    ASSERT_EQ(KORVAL_FlashRead(0, 0x30000, &size, back.data()), 0u);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(control_log(board), (std::vector<Expected>{{0xC0, 0xB5, 0x8000, 0x0001, {}}}));
    EXPECT_EQ(log(board)[0].length(), 4);
    size = 8192;
    ASSERT_EQ(KORVAL_FlashRead(0, 0x20000, &size, back.data()), 0u);
    EXPECT_EQ(std::vector<uint8_t>(back.begin(), back.begin() + 8192),
              std::vector<uint8_t>(data.begin(), data.begin() + 8192));
    EXPECT_EQ(back[8192 - 1], data[8191]);
}

// A read longer than a control request can carry arrives whole, in several requests.
TEST_P(Flash, ReadsLongerThanOneRequestArriveWhole)
{
    const uint32_t board = install_one(0x8070, path());
    const auto data = pattern(0x100000, 7);
    ASSERT_EQ(KorvalSim_FlashLoad(sim_, board, 0, static_cast<uint32_t>(data.size()), data.data()), 0u);
    for (const uint32_t start : {0u, 0x12346u}) {
        std::vector<uint8_t> back(0x100000 - start, 0);
        uint32_t size = static_cast<uint32_t>(back.size());
        ASSERT_EQ(KORVAL_FlashRead(0, start, &size, back.data()), 0u);
        EXPECT_EQ(size, back.size());
        EXPECT_TRUE(std::equal(back.begin(), back.end(), data.begin() + start)) << start;
    }
    // A board that answers short ends the read there, and the count says so.
    short_next(board, KORVAL_SIM_CONTROL, 0xB5, 100);
    std::vector<uint8_t> back(0x20000);
    uint32_t size = 0x20000;
    ASSERT_EQ(KORVAL_FlashRead(0, 0, &size, back.data()), 0u);
    EXPECT_EQ(size, 100u);
}

TEST_P(Flash, WritingWithoutEraseOnlyClearsBits)
{
    const uint32_t board = install_one(0x8070, path());
    const uint8_t first[2] = {0xF0, 0x0F};
    const uint8_t second[2] = {0x3C, 0xFF};
    ASSERT_EQ(KORVAL_FlashEraseSector(0, 0), 0u);
    ASSERT_EQ(KORVAL_FlashWrite(0, 0, 2, first), 0u);
    ASSERT_EQ(KORVAL_FlashWrite(0, 0, 2, second), 0u);
    uint8_t back[2];
    uint32_t size = 2;
    ASSERT_EQ(KORVAL_FlashRead(0, 0, &size, back), 0u);
    EXPECT_EQ(back[0], 0x30);
    EXPECT_EQ(back[1], 0x0F);
    ASSERT_EQ(KORVAL_FlashEraseSector(0, 0), 0u);
    ASSERT_EQ(KORVAL_FlashRead(0, 0, &size, back), 0u);
    EXPECT_EQ(back[0], 0xFF);
    const auto erase = control_log(board)[0];
    EXPECT_EQ(erase, (Expected{0x40, 0xFC, 0, 0, {}}));
}

TEST_P(Flash, BoundsAndCapability)
{
    install_one(0x8070, path());
    uint8_t data[4] = {};
    uint32_t size = 4;
    struct Case {
        uint32_t address;
        uint32_t count;
        uint32_t read;
        uint32_t write;
    };
    for (const Case c : {Case{0xFFFFF, 1, 0, 0}, Case{0x100000, 0, 25, 0}, Case{0xFFFFE, 4, 24, 0},
                         Case{0x1FFFFE, 2, 25, 0}, Case{0x200000, 0, 25, 25}, Case{0x1FFFFE, 4, 25, 24}}) {
        size = c.count;
        EXPECT_EQ(KORVAL_FlashRead(0, c.address, &size, data), c.read) << std::hex << c.address;
        EXPECT_EQ(KORVAL_FlashWrite(0, c.address, c.count, data), c.write) << std::hex << c.address;
    }
    EXPECT_EQ(KORVAL_FlashEraseSector(0, 32), 25u);
    EXPECT_EQ(KORVAL_FlashEraseSector(0, -1), 25u);
    EXPECT_EQ(KORVAL_FlashEraseSector(0, 31), 0u);
}

TEST_F(SimTest, FlashFunctionsNeedAFlash)
{
    const uint32_t board = install_one(0x8040);
    uint8_t data[4];
    uint32_t size = 4;
    EXPECT_EQ(KORVAL_FlashRead(0, 0x200000, &size, data), 1349u);  // before the address check
    EXPECT_EQ(KORVAL_FlashWrite(0, 0, 4, data), 1349u);
    EXPECT_EQ(KORVAL_FlashEraseSector(0, 0), 1349u);
    EXPECT_EQ(KorvalSim_LogCount(sim_, board), 0u);
}

KORVAL_BOTH_PATHS(Flash);

class Defaults : public SimTest {};

TEST_F(Defaults, NeedTheNewerFirmwareAndSendTheAccessCode)
{
    const uint32_t board = install_one(0x8001);
    const uint8_t older[3] = {2, 0, 2};
    KorvalSim_SetFirmwareLevel(sim_, board, older);
    EXPECT_EQ(KORVAL_SaveStateAsDefaults(0), 50u);
    EXPECT_EQ(KORVAL_RestoreFactoryDefaults(0), 50u);
    uint32_t size = 4;
    EXPECT_EQ(KORVAL_SetDefaultsTable(0, "abcd", &size), 50u);
    EXPECT_EQ(control_log(board).size(), 3u);  // three firmware checks, nothing else
    const uint8_t newer[3] = {3, 0, 2};
    KorvalSim_SetFirmwareLevel(sim_, board, newer);
    clear_log(board);
    EXPECT_EQ(KORVAL_SaveStateAsDefaults(0), 0u);
    EXPECT_EQ(KORVAL_RestoreFactoryDefaults(0), 0u);
    EXPECT_EQ(KORVAL_SetDefaultsTable(0, "abcd", &size), 0u);
    EXPECT_EQ(control_log(board), (std::vector<Expected>{{0xC0, 0xA3, 0x8000, 1, {}},
                                                        {0x40, 0x3C, 0x4E9B, 0x10, {}},
                                                        {0x40, 0x3C, 0x4E9B, 0x11, {}},
                                                        {0x40, 0x3C, 0x4E9B, 0x22, {'a', 'b', 'c', 'd'}}}));
    uint32_t saves = 0, restores = 0, table_size = 0;
    KorvalSim_GetDefaults(sim_, board, nullptr, &table_size, &saves, &restores);
    EXPECT_EQ(saves, 1u);
    EXPECT_EQ(restores, 1u);
    EXPECT_EQ(table_size, 4u);
}

TEST_F(Defaults, TableSizeLimit)
{
    const uint32_t board = install_one(0x8001);
    std::vector<uint8_t> table = pattern(1025);
    uint32_t size = 1025;
    EXPECT_EQ(KORVAL_SetDefaultsTable(0, table.data(), &size), 24u);
    EXPECT_EQ(KORVAL_GetDefaultsTable(0, table.data(), &size), 24u);
    size = 1024;
    EXPECT_EQ(KORVAL_SetDefaultsTable(0, table.data(), &size), 0u);
    EXPECT_EQ(log(board).back().data.size(), 1024u);
    EXPECT_EQ(KORVAL_SetDefaultsTable(0, table.data(), nullptr), 87u);
}

TEST_F(Defaults, GetLeavesWhatTheBoardDidNotSend)
{
    const uint32_t board = install_one(0x8001);
    const auto sent = pattern(10, 100);
    uint32_t size = 10;
    ASSERT_EQ(KORVAL_SetDefaultsTable(0, sent.data(), &size), 0u);

    std::vector<uint8_t> table(100, 0xEE);
    size = 100;
    ASSERT_EQ(KORVAL_GetDefaultsTable(0, table.data(), &size), 0u);
    EXPECT_EQ(size, 10u);
    EXPECT_TRUE(std::equal(sent.begin(), sent.end(), table.begin()));
    EXPECT_EQ(table[10], 0xEE);
    EXPECT_EQ(log(board).back().length(), 100);

    std::fill(table.begin(), table.end(), 0x55);
    size = 100;
    fail_next(board, KORVAL_SIM_CONTROL, 0x3C, 121);
    EXPECT_EQ(KORVAL_GetDefaultsTable(0, table.data(), &size), 121u);
    EXPECT_EQ(size, 100u);
    EXPECT_EQ(table, std::vector<uint8_t>(100, 0x55));
}

TEST_F(Defaults, UnreadableTablesGive998)
{
    install_one(0x8001);
    void* page = test::map_pages(1, test::PageAccess::none);
    ASSERT_NE(page, nullptr);
    uint32_t size = 16;
    EXPECT_EQ(KORVAL_SetDefaultsTable(0, page, &size), 998u);
    EXPECT_EQ(KORVAL_GetDefaultsTable(0, page, &size), 998u);
    EXPECT_EQ(size, 16u);
    test::unmap_pages(page, 1);
}

}  // namespace
}  // namespace korval::test
