// The product capability table, every row, its two computed columns, and the firmware check.
#include <gtest/gtest.h>

#include "core/device_table.h"
#include "core/registry.h"
#include "support/sim_fixture.h"

namespace korval::test {
namespace {

struct Caps {
    uint32_t pid;
    uint32_t dio = 0, config_bits = 0, counters = 0, tristates = 0;
    double root_clock = 0;
    bool gate_select = false;
    bool adc = false;
    uint32_t adc_channels = 0, mux = 0, config_bytes = 0, range_shift = 0;
    uint32_t imm_adcs = 0, imm_dacs = 0;
    bool board_range = false, channel_cal = false, dac_stream = false;
    int dacs_used = 0;
    bool get_name = true, custom_clocks = false, debounce = false, dio_stream = false, spi = false, fifo = false;
    uint32_t wdg = 0;
    int flash = 0;
};

std::ostream& operator<<(std::ostream& os, const Caps& c) { return os << std::hex << "PID 0x" << c.pid; }

Caps analog_input(uint32_t pid, uint32_t mux, uint32_t config_bytes, uint32_t shift)
{
    Caps c{pid};
    c.dio = c.config_bits = 2;
    c.counters = 1;
    c.root_clock = 10e6;
    c.adc = true;
    c.adc_channels = 16;
    c.mux = mux;
    c.config_bytes = config_bytes;
    c.range_shift = shift;
    c.fifo = true;
    if (pid & 0x100) {
        c.board_range = true;
        c.imm_dacs = 2;
    }
    return c;
}

Caps dio(uint32_t pid, uint32_t ports)
{
    Caps c{pid};
    c.dio = c.config_bits = ports;
    return c;
}

Caps dac_cal(uint32_t pid, uint32_t dacs)
{
    Caps c = dio(pid, 2);
    c.imm_dacs = dacs;
    c.imm_adcs = pid % 2 == 0 ? 2 : 0;
    c.board_range = c.channel_cal = true;
    c.flash = 32;
    return c;
}

std::vector<Caps> table()
{
    std::vector<Caps> rows;
    for (uint32_t pid : {0x4001u, 0x4002u}) {
        Caps c{pid};
        c.imm_dacs = 8;
        c.dac_stream = true;
        c.dacs_used = 5;
        rows.push_back(c);
    }
    {
        Caps c{0x4003};
        c.imm_dacs = 8;
        rows.push_back(c);
    }
    {
        Caps c = dio(0x8001, 4);
        c.counters = 3;
        c.root_clock = 3e6;
        c.custom_clocks = c.debounce = true;
        rows.push_back(c);
    }
    rows.push_back(dio(0x8002, 6));
    rows.push_back(dio(0x8003, 12));
    {
        Caps c = dio(0x8004, 4);
        c.config_bits = 32;
        c.custom_clocks = true;
        rows.push_back(c);
    }
    for (uint32_t pid : {0x8008u, 0x8009u, 0x800Au, 0x800Cu, 0x800Fu}) {
        Caps c = dio(pid, pid <= 0x800A ? 1 : 4);
        c.tristates = pid <= 0x800A ? 0 : 2;
        c.dio_stream = c.spi = c.fifo = true;
        rows.push_back(c);
    }
    for (uint32_t pid : {0x8010u, 0x8012u, 0x8014u, 0x8016u, 0x8018u, 0x801Au, 0x801Cu, 0x801Fu}) {
        Caps c = dio(pid, 4);
        c.wdg = 2;
        rows.push_back(c);
    }
    {
        Caps c{0x8020};
        c.counters = 5;
        c.gate_select = true;
        c.root_clock = 10e6;
        rows.push_back(c);
    }
    rows.push_back(dio(0x8030, 2));
    rows.push_back(dio(0x8031, 2));
    rows.push_back(dio(0x8032, 3));
    rows.push_back(dio(0x8033, 3));
    for (uint32_t pid : {0x8036u, 0x8037u}) {
        Caps c = dio(pid, 2);
        c.imm_adcs = 2;
        rows.push_back(c);
    }
    for (uint32_t pid : {0x8040u, 0x8044u, 0x8140u, 0x8144u}) rows.push_back(analog_input(pid, 16, 20, 0));
    for (uint32_t pid : {0x8045u, 0x8049u, 0x8145u, 0x8149u}) rows.push_back(analog_input(pid, 64, 21, 2));
    // 32 more channels every five product IDs, the same with bit 8.
    const std::pair<uint32_t, uint32_t> mux[] = {{0x804A, 32}, {0x804E, 32}, {0x804F, 64},  {0x8053, 64},
                                                 {0x8054, 96}, {0x8058, 96}, {0x8059, 128}, {0x805D, 128},
                                                 {0x805E, 160}, {0x805F, 160}};
    for (const auto& [pid, channels] : mux) {
        rows.push_back(analog_input(pid, channels, 21, 3));
        rows.push_back(analog_input(pid + 0x100, channels, 21, 3));
    }
    const std::pair<uint32_t, uint32_t> dacs[] = {{0x8060, 16}, {0x8070, 16}, {0x8071, 16}, {0x8072, 12},
                                                  {0x8073, 12}, {0x8074, 8},  {0x8075, 8},  {0x8076, 4},
                                                  {0x8077, 4},  {0x8078, 16}, {0x807E, 4},  {0x807F, 4}};
    for (const auto& [pid, n] : dacs) rows.push_back(dac_cal(pid, n));
    // IDs between the rows set nothing.
    for (uint32_t pid : {0x8000u, 0x8005u, 0x8007u, 0x800Bu, 0x8013u, 0x8017u, 0x801Bu, 0x8021u, 0x802Fu, 0x8034u,
                         0x8035u, 0x8038u, 0x803Fu, 0x8061u, 0x806Fu, 0x8080u, 0x813Fu, 0x8160u, 0x1234u}) {
        Caps c{pid};
        c.get_name = false;
        rows.push_back(c);
    }
    return rows;
}

class ProductTable : public SimTest, public ::testing::WithParamInterface<Caps> {};

TEST_P(ProductTable, OpenCheckAppliesTheRow)
{
    const Caps& c = GetParam();
    install_one(c.pid);
    const TDeviceData& d = device(0);
    EXPECT_EQ(d.PID, c.pid);
    EXPECT_EQ(d.DIOBytes, c.dio);
    EXPECT_EQ(d.DIOConfigBits, c.config_bits);
    EXPECT_EQ(d.LastDIOData.size(), c.dio);
    EXPECT_EQ(d.Counters, c.counters);
    EXPECT_EQ(d.Tristates, c.tristates);
    EXPECT_EQ(d.RootClock, c.root_clock);
    EXPECT_EQ(d.bGateSelectable, c.gate_select);
    EXPECT_EQ(d.bADCBulk, c.adc);
    EXPECT_EQ(d.ADCChannels, c.adc_channels);
    EXPECT_EQ(d.ADCMUXChannels, c.mux);
    EXPECT_EQ(d.ConfigBytes, c.config_bytes);
    EXPECT_EQ(d.RangeShift, c.range_shift);
    EXPECT_EQ(d.ImmADCs, c.imm_adcs);
    EXPECT_EQ(d.ImmDACs, c.imm_dacs);
    EXPECT_EQ(d.bDACBoardRange, c.board_range);
    EXPECT_EQ(d.bDACChannelCal, c.channel_cal);
    EXPECT_EQ(d.bDACStream, c.dac_stream);
    EXPECT_EQ(d.DACsUsed, c.dacs_used);
    EXPECT_EQ(d.bGetName, c.get_name);
    EXPECT_EQ(d.bSetCustomClocks, c.custom_clocks);
    EXPECT_EQ(d.bDIODebounce, c.debounce);
    EXPECT_EQ(d.bDIOStream, c.dio_stream);
    EXPECT_EQ(d.bDIOSPI, c.spi);
    EXPECT_EQ(d.bClearFIFO, c.fifo);
    EXPECT_EQ(d.WDGBytes, c.wdg);
    EXPECT_EQ(d.FlashSectors, c.flash);
    EXPECT_EQ(d.StreamingBlockSize, 0x7C00u);
    EXPECT_FALSE(d.bFirmware20);
}

INSTANTIATE_TEST_SUITE_P(Rows, ProductTable, ::testing::ValuesIn(table()),
                         [](const auto& info) { return "PID" + std::to_string(info.param.pid); });

// A second board in a slot gets the capabilities of its own product, not a mix; the output cache
// keeps its bytes and takes the new length; DACsUsed is not reset.
TEST(ProductTableReset, EachBoardStartsFromTheResetValues)
{
    TDeviceData& d = device(5);
    d.PID = 0x8040;
    set_up_capabilities(d);
    d.LastDIOData[1] = 0xAB;
    d.DACsUsed = 7;
    d.StreamingBlockSize = 512;
    d.PID = 0x8001;
    set_up_capabilities(d);
    EXPECT_FALSE(d.bADCBulk);
    EXPECT_EQ(d.ADCMUXChannels, 0u);
    EXPECT_EQ(d.ConfigBytes, 0u);
    EXPECT_EQ(d.DIOBytes, 4u);
    ASSERT_EQ(d.LastDIOData.size(), 4u);
    EXPECT_EQ(d.LastDIOData[1], 0xAB);
    EXPECT_EQ(d.LastDIOData[3], 0);
    EXPECT_EQ(d.DACsUsed, 7);
    EXPECT_EQ(d.StreamingBlockSize, 0x7C00u);
    zero_device_table();
}

struct LevelCase {
    std::vector<uint8_t> reply;  // what the board answers (shorter than 3: a short reply)
    uint32_t result;
};

class FirmwareCheck : public SimTest, public ::testing::WithParamInterface<LevelCase> {};

TEST_P(FirmwareCheck, PassesOnVersionThreeWithTheFeatureBit)
{
    const uint32_t board = install_one(0x8001);
    uint8_t reply[3] = {};
    std::copy(GetParam().reply.begin(), GetParam().reply.end(), reply);
    KorvalSim_SetFirmwareLevel(sim_, board, reply);
    if (GetParam().reply.size() < 3) short_next(board, KORVAL_SIM_CONTROL, 0xA3, GetParam().reply.size());
    EXPECT_EQ(firmware_check(0), GetParam().result);
    EXPECT_EQ(device(0).bFirmware20, GetParam().result == 0);
    EXPECT_EQ(control_log(board), (std::vector<Expected>{{0xC0, 0xA3, 0x8000, 1, {}}}));
    // A pass is kept for the slot; a failure asks again next time.
    firmware_check(0);
    EXPECT_EQ(control_log(board).size(), GetParam().result == 0 ? 1u : 2u);
}

INSTANTIATE_TEST_SUITE_P(Replies, FirmwareCheck,
                         ::testing::Values(LevelCase{{3, 0, 2}, 0}, LevelCase{{4, 0, 0xFF}, 0},
                                           LevelCase{{0xFF, 0, 2}, 50}, LevelCase{{2, 0, 2}, 50},
                                           LevelCase{{3, 0, 1}, 50}, LevelCase{{3, 0}, 50}));

TEST_F(SimTest, FirmwareCheckPassesOnTheRequestsFailure)
{
    const uint32_t board = install_one(0x8001);
    fail_next(board, KORVAL_SIM_CONTROL, 0xA3, 121);
    EXPECT_EQ(firmware_check(0), 121u);
    EXPECT_FALSE(device(0).bFirmware20);
}

}  // namespace
}  // namespace korval::test
