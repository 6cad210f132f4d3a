// Digital ports: the wire bytes of every request, the output cache through failed writes, the order of
// checks, short replies, caller memory, and the simulated ports behaving as a board's.
#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "board/board.h"
#include "dio/dio_state.h"
#include "support/guarded_pages.h"
#include "support/sim_fixture.h"

namespace korval::test {
namespace {

using Bytes = std::vector<uint8_t>;

class Dio : public PathTest {};

TEST_P(Dio, SingleWritesSendTheWholeOutputCache)
{
    const uint32_t board = install_one(0x8030, path());  // two ports
    EXPECT_EQ(DIO_Write1(0, 9, 1), 0u);                    // a fresh slot sends zeros for the other lines
    EXPECT_EQ(DIO_Write8(0, 0, 0x81), 0u);
    EXPECT_EQ(DIO_Write1(0, 9, 0), 0u);
    EXPECT_EQ(DIO_Write1(0, 15, 0xF0), 0u);  // any non-zero value sets the line
    EXPECT_EQ(control_log(board), (std::vector<Expected>{{0x40, 0x10, 0, 0, {0x00, 0x02}},
                                                         {0x40, 0x10, 0, 0, {0x81, 0x02}},
                                                         {0x40, 0x10, 0, 0, {0x81, 0x00}},
                                                         {0x40, 0x10, 0, 0, {0x81, 0x80}}}));
    EXPECT_EQ(dio_state(0).LastDIOData, (Bytes{0x81, 0x80}));
}

TEST_P(Dio, AFailedWriteStillChangesTheCache)
{
    const uint32_t board = install_one(0x8001, path());  // four ports
    const Bytes ones(4, 0xFF);
    EXPECT_EQ(DIO_WriteAll(0, ones.data()), 0u);
    fail_next(board, KORVAL_SIM_CONTROL, 0x10, 121);
    EXPECT_EQ(DIO_Write8(0, 2, 0x55), 121u);
    clear_log(board);
    EXPECT_EQ(DIO_Write1(0, 0, 0), 0u);
    EXPECT_EQ(control_log(board), (std::vector<Expected>{{0x40, 0x10, 0, 0, {0xFE, 0xFF, 0x55, 0xFF}}}));

    // A configuration that fails is cached too.
    const uint8_t mask = 0x0F;
    const Bytes levels = {1, 2, 3, 4};
    fail_next(board, KORVAL_SIM_CONTROL, 0x12, 121);
    EXPECT_EQ(DIO_Configure(0, 0, &mask, levels.data()), 121u);
    EXPECT_EQ(dio_state(0).LastDIOData, levels);
}

TEST_P(Dio, LinesAndPortsBeyondTheBoardAre487WithoutARequest)
{
    const uint32_t board = install_one(0x8032, path());  // three ports
    uint8_t value = 0x77;
    EXPECT_EQ(DIO_Write1(0, 24, 1), 487u);
    EXPECT_EQ(DIO_Write1(0, 0xFFFFFFFF, 1), 487u);
    EXPECT_EQ(DIO_Write8(0, 3, 1), 487u);
    EXPECT_EQ(DIO_Read1(0, 24, &value), 487u);
    EXPECT_EQ(DIO_Read8(0, 3, &value), 487u);
    EXPECT_TRUE(log(board).empty());
    EXPECT_EQ(value, 0x77);
    EXPECT_EQ(DIO_Write1(0, 23, 1), 0u);
    EXPECT_EQ(DIO_Read1(0, 23, &value), 0u);
    EXPECT_EQ(DIO_Read8(0, 2, &value), 0u);
}

TEST_P(Dio, ConfigureBuildsTheOldForm)
{
    // Four ports, one direction bit per port, two tristate bits: 4 levels, 1 mask byte, 1 zero byte.
    uint32_t board = install_one(0x800C, path());
    const Bytes levels = {0x11, 0x22, 0x33, 0x44};
    const uint8_t mask = 0x05;
    EXPECT_EQ(DIO_Configure(0, 0xFF, &mask, levels.data()), 0u);
    EXPECT_EQ(DIO_Configure(0, 1, &mask, levels.data()), 0u);
    EXPECT_EQ(control_log(board), (std::vector<Expected>{{0x40, 0x12, 0xFFFF, 0, {0x11, 0x22, 0x33, 0x44, 0x05, 0}},
                                                         {0x40, 0x12, 0x0001, 0, {0x11, 0x22, 0x33, 0x44, 0x05, 0}}}));
    EXPECT_EQ(dio_state(0).LastDIOData, levels);
}

TEST_P(Dio, ConfigureWithOneDirectionBitPerLine)
{
    const uint32_t board = install_one(0x8004, path());  // 4 ports, 32 direction bits
    const Bytes levels = {1, 2, 3, 4};
    const Bytes mask = {0xF0, 0x0F, 0xFF, 0x00};
    EXPECT_EQ(DIO_Configure(0, 0, mask.data(), levels.data()), 0u);
    EXPECT_EQ(control_log(board),
              (std::vector<Expected>{{0x40, 0x12, 0, 0, {1, 2, 3, 4, 0xF0, 0x0F, 0xFF, 0x00, 0, 0, 0, 0}}}));
    // The board drives the lines set as outputs and reads the outside levels (high) on the rest.
    std::array<uint8_t, 4> read{};
    EXPECT_EQ(DIO_ReadAll(0, read.data()), 0u);
    EXPECT_EQ(read, (std::array<uint8_t, 4>{0x0F, 0xF2, 0x03, 0xFF}));
}

TEST_P(Dio, TristateConfigurationAndItsQuery)
{
    const uint32_t board = install_one(0x800C, path());
    const Bytes levels = {0xA0, 0xA1, 0xA2, 0xA3};
    const uint8_t mask = 0x0F;      // every port an output
    const uint8_t tristate = 0x02;  // ports 2 and 3 floating
    EXPECT_EQ(DIO_ConfigureEx(0, &mask, levels.data(), &tristate), 0u);
    uint8_t got_mask = 0, got_tristate = 0;
    EXPECT_EQ(DIO_ConfigurationQuery(0, &got_mask, &got_tristate), 0u);
    EXPECT_EQ(got_mask, 0x0F);
    EXPECT_EQ(got_tristate, 0x02);
    EXPECT_EQ(control_log(board, true), (std::vector<Expected>{{0x40, 0x12, 0, 4, {0xA0, 0xA1, 0xA2, 0xA3, 0x0F, 0x02}},
                                                               {0xC0, 0x13, 0, 4, {0x0F, 0x02}}}));
    KorvalSim_SetDigitalInputs(sim_, board, Bytes{0, 0, 0x3C, 0x3D}.data(), 4);
    std::array<uint8_t, 4> read{};
    EXPECT_EQ(DIO_ReadAll(0, read.data()), 0u);
    EXPECT_EQ(read, (std::array<uint8_t, 4>{0xA0, 0xA1, 0x3C, 0x3D}));

    // A short answer leaves the missing mask bytes 0; a failed one hands over zeros with its code.
    got_mask = got_tristate = 0x77;
    short_next(board, KORVAL_SIM_CONTROL, 0x13, 1);
    EXPECT_EQ(DIO_ConfigurationQuery(0, &got_mask, &got_tristate), 0u);
    EXPECT_EQ(got_mask, 0x0F);
    EXPECT_EQ(got_tristate, 0x00);
    fail_next(board, KORVAL_SIM_CONTROL, 0x13, 121);
    EXPECT_EQ(DIO_ConfigurationQuery(0, &got_mask, &got_tristate), 121u);
}

TEST_P(Dio, PortsReadBackWhatTheyDriveAndTheOutsideOtherwise)
{
    const uint32_t board = install_one(0x8030, path());
    const uint8_t mask = 0x01;  // port 0 output, port 1 input
    const Bytes levels = {0x00, 0xEE};
    ASSERT_EQ(DIO_Configure(0, 0, &mask, levels.data()), 0u);
    ASSERT_EQ(DIO_Write8(0, 0, 0x5A), 0u);
    const uint8_t outside[2] = {0x00, 0x3C};
    KorvalSim_SetDigitalInputs(sim_, board, outside, 2);
    uint8_t byte = 0, bit = 9;
    EXPECT_EQ(DIO_Read8(0, 0, &byte), 0u);
    EXPECT_EQ(byte, 0x5A);
    EXPECT_EQ(DIO_Read8(0, 1, &byte), 0u);
    EXPECT_EQ(byte, 0x3C);
    EXPECT_EQ(DIO_Read1(0, 10, &bit), 0u);
    EXPECT_EQ(bit, 1);
    EXPECT_EQ(DIO_Read1(0, 8, &bit), 0u);
    EXPECT_EQ(bit, 0);
    KorvalSimDigitalState s{};
    ASSERT_EQ(KorvalSim_GetDigitalState(sim_, board, &s), 0u);
    EXPECT_EQ(s.outputs[0], 0x5A);
    EXPECT_EQ(s.outputs[1], 0xEE);
    EXPECT_EQ(s.direction[0], 0x01);
    // Reads never touch the cache.
    EXPECT_EQ(dio_state(0).LastDIOData, (Bytes{0x5A, 0xEE}));
    for (const Expected& e : control_log(board)) {
        if (e.request != 0x11) continue;
        EXPECT_EQ(e, (Expected{0xC0, 0x11, 0, 0, {}}));
    }
}

TEST_P(Dio, ReadsOfShortOrFailedRepliesAreDefined)
{
    const uint32_t board = install_one(0x8030, path());
    uint8_t byte = 0x77;
    fail_next(board, KORVAL_SIM_CONTROL, 0x11, 121);
    EXPECT_EQ(DIO_Read8(0, 1, &byte), 121u);
    EXPECT_EQ(DIO_Read1(40, 1, &byte), 1413u);
    EXPECT_EQ(byte, 0x77);
    // A port the board did not answer reads 0, not stale memory.
    short_next(board, KORVAL_SIM_CONTROL, 0x11, 1);
    EXPECT_EQ(DIO_Read8(0, 1, &byte), 0u);
    EXPECT_EQ(byte, 0x00);
    // ReadAll leaves the bytes the board did not send as they were.
    std::array<uint8_t, 2> all = {0x99, 0x99};
    short_next(board, KORVAL_SIM_CONTROL, 0x11, 1);
    EXPECT_EQ(DIO_ReadAll(0, all.data()), 0u);
    EXPECT_EQ(all, (std::array<uint8_t, 2>{0xFF, 0x99}));
}

TEST_P(Dio, OfflineWordsTravelLowByteFirst)
{
    const uint32_t board = install_one(0x8001, path());
    EXPECT_EQ(KORVAL_OfflineWrite1(0, 0x00010002, 0x1234), 0u);
    uint16_t value = 0;
    EXPECT_EQ(KORVAL_OfflineRead1(0, 0x00010002, &value), 0u);
    EXPECT_EQ(value, 0x1234);
    EXPECT_EQ(control_log(board, true), (std::vector<Expected>{{0x40, 0x50, 0x0002, 0x0001, {0x34, 0x12}},
                                                               {0xC0, 0x50, 0x0002, 0x0001, {0x34, 0x12}}}));
    value = 0xBEEF;
    fail_next(board, KORVAL_SIM_CONTROL, 0x50, 121);
    EXPECT_EQ(KORVAL_OfflineRead1(0, 7, &value), 121u);
    EXPECT_EQ(value, 0xBEEF);
    EXPECT_EQ(KORVAL_OfflineRead1(0, 7, nullptr), 87u);
}

KORVAL_BOTH_PATHS(Dio);

class DioChecks : public SimTest {};

// Every function on a board of each family with ports, and 1349 on boards without, before the arguments.
TEST_F(DioChecks, CapabilitiesAreTestedBeforeArguments)
{
    struct Case {
        uint32_t pid;
        uint32_t ports;
        bool tristate;
    };
    const Case cases[] = {{0x8001, 4, false}, {0x8002, 6, false}, {0x8003, 12, false}, {0x8004, 4, false},
                          {0x8008, 1, false}, {0x800C, 4, true},  {0x8010, 4, false},  {0x8030, 2, false},
                          {0x8032, 3, false}, {0x8036, 2, false}, {0x8040, 2, false},  {0x8149, 2, false},
                          {0x8060, 2, false}, {0x8075, 2, false}, {0x4001, 0, false},  {0x8020, 0, false},
                          {0x8013, 0, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << "pid 0x" << c.pid);
        TearDown();
        SetUp();
        const uint32_t board = install_one(c.pid);
        std::array<uint8_t, 16> buf{};
        uint8_t byte = 0;
        const uint32_t no_ports = c.ports == 0 ? 1349u : 0u;
        const uint32_t no_tristate = c.tristate ? 0u : 1349u;
        EXPECT_EQ(DIO_Configure(0, 0, nullptr, nullptr), c.ports == 0 ? 1349u : 87u);
        EXPECT_EQ(DIO_ConfigureEx(0, nullptr, nullptr, nullptr), c.ports && c.tristate ? 87u : 1349u);
        EXPECT_EQ(DIO_ConfigurationQuery(0, nullptr, nullptr), c.tristate ? 87u : 1349u);
        EXPECT_TRUE(log(board).empty());
        EXPECT_EQ(DIO_Configure(0, 0, buf.data(), buf.data()), no_ports);
        EXPECT_EQ(DIO_ConfigureEx(0, buf.data(), buf.data(), buf.data()), no_tristate);
        EXPECT_EQ(DIO_ConfigurationQuery(0, buf.data(), buf.data()), no_tristate);
        EXPECT_EQ(DIO_Write1(0, 0, 1), no_ports);
        EXPECT_EQ(DIO_Write8(0, 0, 1), no_ports);
        EXPECT_EQ(DIO_WriteAll(0, buf.data()), no_ports);
        EXPECT_EQ(DIO_Read1(0, 0, &byte), no_ports);
        EXPECT_EQ(DIO_Read8(0, 0, &byte), no_ports);
        EXPECT_EQ(DIO_ReadAll(0, buf.data()), no_ports);
        if (c.ports > 0) {
            // wLength of each request follows the product's shape.
            for (const Transfer& t : log(board)) {
                if (t.request() == 0x10 || t.request() == 0x11) {
                    EXPECT_EQ(t.length(), c.ports);
                }
                if (t.request() == 0x12 && t.index() == 0) {
                    const uint32_t mask_bytes = ((c.pid == 0x8004 ? 32 : c.ports) + 7) / 8;
                    EXPECT_EQ(t.length(), c.ports + 2 * mask_bytes);
                }
            }
        }
    }
}

TEST_F(DioChecks, UnusableCallerMemory)
{
    const uint32_t board = install_one(0x8001);
    GuardedPages pages;
    ASSERT_TRUE(pages.ok());
    const Bytes levels = {1, 2, 3, 4};
    ASSERT_EQ(DIO_WriteAll(0, levels.data()), 0u);
    clear_log(board);
    // Writes: a fault (null included) is 1359, nothing is sent and the cache keeps its bytes.
    EXPECT_EQ(DIO_WriteAll(0, nullptr), 1359u);
    EXPECT_EQ(DIO_WriteAll(0, pages.before_hole(2)), 1359u);
    EXPECT_TRUE(log(board).empty());
    EXPECT_EQ(dio_state(0).LastDIOData, levels);
    // Configure: memory it cannot read is 998 before anything changes.
    const uint8_t mask = 0x0F;
    EXPECT_EQ(DIO_Configure(0, 0, pages.hole(), levels.data()), 998u);
    EXPECT_EQ(DIO_Configure(0, 0, &mask, pages.before_hole(3)), 998u);
    EXPECT_TRUE(log(board).empty());
    EXPECT_EQ(dio_state(0).LastDIOData, levels);
    // Reads: the answer cannot be stored.
    EXPECT_EQ(DIO_ReadAll(0, pages.read_only()), 1359u);
    EXPECT_EQ(DIO_ReadAll(0, nullptr), 1359u);
    EXPECT_EQ(DIO_Read1(0, 0, nullptr), 1359u);
    EXPECT_EQ(DIO_Read8(0, 0, pages.read_only()), 1359u);
    EXPECT_EQ(KORVAL_OfflineRead1(0, 0, reinterpret_cast<uint16_t*>(pages.read_only())), 998u);
}

}  // namespace
}  // namespace korval::test
