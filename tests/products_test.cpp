// The product capability table against the simulated boards' catalogue, and the firmware check.
#include <gtest/gtest.h>

#include "board/board.h"
#include "board/products.h"
#include "core/registry.h"
#include "dac/dac_state.h"
#include "dio/dio_state.h"
#include "host/sim/catalog.h"
#include "support/sim_fixture.h"

namespace korval::test {
namespace {

// Two independent descriptions of the product family must agree: the library's product table, as
// KORVAL_GetCapabilities reports it for a board, and the simulated boards' own catalogue.
KorvalCapabilities expected_from_catalogue(const sim::Product& p)
{
    KorvalCapabilities c{};
    c.Size = sizeof c;
    c.ProductID = p.pid;
    c.DIOBytes = p.dio_ports;
    c.DIOConfigBits = p.direction_bits;
    c.Tristates = p.tristate_bits;
    c.Counters = p.counter_blocks;
    c.GateSelectable = p.gate_select;
    c.RootClock = p.root_clock_hz;
    c.ADCBulk = p.adc_inputs > 0;
    c.ADCChannels = p.adc_range_slots;
    c.ADCMUXChannels = p.adc_inputs;
    c.ConfigBytes = p.adc_config_bytes;
    c.RangeShift = p.adc_range_shift;
    c.ImmADCs = p.immediate_adcs;
    c.ImmDACs = p.dacs;
    c.DACBoardRange = p.dac_board_range;
    c.DACChannelCal = p.dac_channel_cal;
    c.DACStream = p.dac_stream;
    c.DIOStream = p.dio_stream;
    c.DIOSPI = p.spi;
    c.DIODebounce = p.debounce;
    c.ClearFIFO = p.fifo_control;
    c.SetCustomClocks = p.custom_clocks;
    c.WDGBytes = p.watchdog_bytes;
    c.FlashSectors = static_cast<int32_t>(p.flash_sectors);
    return c;
}

void expect_same(const KorvalCapabilities& got, const KorvalCapabilities& want)
{
#define KORVAL_EXPECT_FIELD(type, field, public_name) EXPECT_EQ(got.public_name, want.public_name) << #public_name;
    KORVAL_PRODUCT_FIELDS(KORVAL_EXPECT_FIELD)
#undef KORVAL_EXPECT_FIELD
    EXPECT_EQ(got.ProductID, want.ProductID);
}

std::vector<uint32_t> catalogue_products()
{
    std::vector<uint32_t> pids;
    for (uint32_t pid = 0; pid <= 0xFFFF; ++pid)
        if (sim::describe_product(static_cast<uint16_t>(pid)).known) pids.push_back(pid);
    return pids;
}

TEST(ProductList, NamesTheCataloguesProducts)
{
    uint32_t count = 0;
    ASSERT_EQ(::KORVAL_ListProducts(&count, nullptr), ERROR_SUCCESS);
    std::vector<uint32_t> listed(count);
    ASSERT_EQ(::KORVAL_ListProducts(&count, listed.data()), ERROR_SUCCESS);
    EXPECT_EQ(listed, catalogue_products());
}

TEST_F(SimTest, EveryProductsCapabilitiesAgreeWithTheCatalogue)
{
    std::vector<uint32_t> pids = catalogue_products();
    // IDs between the rows and outside the family open with no capabilities on both sides.
    for (uint32_t pid : {0x8000u, 0x8005u, 0x8013u, 0x8021u, 0x8034u, 0x8061u, 0x8080u, 0x813Fu, 0x8160u, 0x1234u})
        pids.push_back(pid);
    for (uint32_t pid : pids) {
        SCOPED_TRACE(::testing::Message() << "PID 0x" << std::hex << pid);
        const sim::Product product = sim::describe_product(static_cast<uint16_t>(pid));
        const KorvalCapabilities want = expected_from_catalogue(product);
        const uint32_t board = KorvalSim_AddBoard(sim_, pid, KORVAL_SIM_WINUSB);
        ASSERT_EQ(KORVAL_InstallHost(KorvalSim_Host(sim_)), ERROR_SUCCESS);
        KorvalCapabilities got{};
        got.Size = sizeof got;
        ASSERT_EQ(::KORVAL_GetCapabilities(0, &got), ERROR_SUCCESS);
        expect_same(got, want);
        // The same row without a board, and the record the open check filled from it.
        KorvalCapabilities by_id{};
        by_id.Size = sizeof by_id;
        EXPECT_EQ(::KORVAL_GetProductCapabilities(pid, &by_id), product.known ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND);
        expect_same(by_id, want);
        EXPECT_EQ(korval::board(0).row().bGetName, product.known);
        EXPECT_EQ(dio_state(0).LastDIOData.size(), product.dio_ports);
        EXPECT_EQ(korval::board(0).StreamingBlockSize, kDefaultStreamingBlockSize);
        EXPECT_EQ(dac_state(0).DACsUsed, product.dac_stream ? 5 : 0);
        KorvalSim_Unplug(sim_, board);  // the next ID's board takes slot 0
    }
}

// A second board in a slot gets the capabilities of its own product, not a mix; the output cache
// keeps its bytes and takes the new length; DACsUsed is not reset.
TEST_F(SimTest, EachBoardInASlotHasItsOwnProductsRow)
{
    const uint32_t first = install_one(0x8040);
    dio_state(0).LastDIOData[1] = 0xAB;
    dac_state(0).DACsUsed = 7;
    set_streaming_block_size(0, 512);
    ASSERT_EQ(KORVAL_CloseDevice(0), ERROR_SUCCESS);
    KorvalSim_Unplug(sim_, first);
    KorvalSim_AddBoard(sim_, 0x8001, KORVAL_SIM_WINUSB);
    ASSERT_EQ(GetDevices(), 1u);
    ASSERT_EQ(open_check(0), ERROR_SUCCESS);
    EXPECT_EQ(board(0).PID, 0x8001u);
    EXPECT_FALSE(board(0).row().bADCBulk);
    EXPECT_EQ(board(0).row().ADCMUXChannels, 0u);
    EXPECT_EQ(board(0).row().ConfigBytes, 0u);
    EXPECT_EQ(board(0).row().DIOBytes, 4u);
    ASSERT_EQ(dio_state(0).LastDIOData.size(), 4u);
    EXPECT_EQ(dio_state(0).LastDIOData[1], 0xAB);
    EXPECT_EQ(dio_state(0).LastDIOData[3], 0);
    EXPECT_EQ(dac_state(0).DACsUsed, 7);
    EXPECT_EQ(board(0).StreamingBlockSize, 0x7C00u);
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
    EXPECT_EQ(board_record(0).bFirmware20, GetParam().result == 0);
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
    EXPECT_FALSE(board_record(0).bFirmware20);
}

}  // namespace
}  // namespace korval::test
