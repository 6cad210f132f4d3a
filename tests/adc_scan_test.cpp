// Immediate and triggered scans: wire traffic on both driver paths, the block handling, averaging and
// rounding, counts to volts, the immediate inputs, trigger time-outs, boards that stop or go.
#include <gtest/gtest.h>

#include <bit>
#include <chrono>
#include <cmath>
#include <thread>
#include <vector>

#include "support/sim_fixture.h"

namespace korval::test {
namespace {

class Scan : public PathTest {
protected:
    // Installs a board and gives it a block: all ranges `gain`, channels first to last, oversample.
    uint32_t board_with(uint32_t pid, uint8_t gain, uint32_t first, uint32_t last, uint8_t oversample,
                        uint8_t trigger = 0)
    {
        const uint32_t board = install_one(pid, path());
        set_block(board, gain, first, last, oversample, trigger);
        return board;
    }
    void set_block(uint32_t board, uint8_t gain, uint32_t first, uint32_t last, uint8_t oversample,
                   uint8_t trigger = 0) const
    {
        std::vector<uint8_t> block(21, gain);
        uint32_t size = 0;
        KorvalSim_GetAdcConfig(sim_, board, nullptr, 0, &size);
        block[16] = 0;
        block[17] = trigger;
        block[18] = static_cast<uint8_t>((first & 0x0F) | (last & 0x0F) << 4);
        block[19] = oversample;
        block[20] = static_cast<uint8_t>((first >> 4) | (last & 0xF0));
        EXPECT_EQ(KorvalSim_SetAdcConfig(sim_, board, block.data(), size), 0u);
    }
    void pattern(uint32_t board, std::vector<uint16_t> counts) const
    {
        ASSERT_EQ(KorvalSim_SetAdcPattern(sim_, board, counts.data(), static_cast<uint32_t>(counts.size())), 0u);
    }
    void constant(uint32_t board, uint32_t channel, double volts) const
    {
        KorvalSimAdcSignal s{};
        s.kind = KORVAL_SIM_SIGNAL_CONSTANT;
        s.offset = volts;
        ASSERT_EQ(KorvalSim_SetAdcSignal(sim_, board, channel, &s), 0u);
    }
    // Runs `action` on another thread once the board has been told how many samples to take.
    std::thread when_armed(uint32_t board, void (*action)(KorvalSim*, uint32_t)) const
    {
        return std::thread([this, board, action] {
            const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            KorvalSimAdcState s{};
            while (std::chrono::steady_clock::now() < until) {
                KorvalSim_GetAdcState(sim_, board, &s);
                if (s.announced > 0) break;
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            action(sim_, board);
        });
    }
};

TEST_P(Scan, WireTrafficAndTheBlockTheBoardKeeps)
{
    // 16 channels x 256 samples is too many: oversample comes down to 63 (1,024 samples), the start
    // source goes to the start request, and the board keeps the block as the scan wrote it.
    const uint32_t board = board_with(0x8040, 1, 0, 15, 255, 0x03);
    std::vector<uint8_t> expected = adc_block(board);
    expected[17] = 0x04;
    expected[19] = 63;
    std::vector<double> volts(16);
    ASSERT_EQ(ADC_GetScanV(0, volts.data()), 0u);
    EXPECT_EQ(control_log(board), (std::vector<Expected>{{0xC0, 0xD2, 0, 0, {}},
                                                         {0x40, 0xBE, 0, 0, expected},
                                                         {0x40, 0xBC, 0, 1024, {}},
                                                         {0x40, 0xBF, 0, 0, {}}}));
    EXPECT_EQ(adc_block(board), expected);
    uint32_t read = 0;
    for (const Transfer& t : log(board))
        if (t.info.kind == KORVAL_SIM_BULK_IN) read += t.info.length_moved;
    EXPECT_EQ(read, 2048u);
}

TEST_P(Scan, AveragesWithoutTheFirstSampleRoundingHalvesToEven)
{
    struct Case {
        uint8_t oversample;
        std::vector<uint16_t> samples;  // one channel's group
        uint16_t counts;
        double mean;
    };
    const Case cases[] = {
        {2, {60000, 10, 11}, 10, 10.5},        // 10.5 to the even 10; the first sample dropped
        {2, {0, 11, 12}, 12, 11.5},            // 11.5 to 12
        {3, {9, 10, 11, 11}, 11, 32.0 / 3},    // 10.67
        {0, {500, 700}, 700, 700.0},           // oversample 0 becomes 1: the second sample as it came
        {255, {0, 65535, 65535, 65535}, 65535, 65535.0},  // lowered to 63 for 16 channels; no overflow
    };
    const uint32_t board = install_one(0x8040, path());
    for (const Case& c : cases) {
        set_block(board, 0, 0, 0, c.oversample);
        std::vector<uint16_t> group = c.samples;
        if (c.oversample == 255) group.resize(256, 65535);
        pattern(board, group);
        uint16_t counts = 0;
        double volts = 0;
        ASSERT_EQ(ADC_GetScan(0, &counts), 0u);
        ASSERT_EQ(ADC_GetScanV(0, &volts), 0u);
        EXPECT_EQ(counts, c.counts) << int(c.oversample);
        EXPECT_DOUBLE_EQ(volts, c.mean / 65536.0 * 10.0) << int(c.oversample);
    }
}

TEST_P(Scan, CountsToVoltsByRange)
{
    struct Case {
        uint8_t gain;
        uint16_t count;
        double volts;
    };
    const Case cases[] = {{0, 32768, 5.0},  {1, 49152, 5.0},  {1, 32768, 0.0}, {2, 16384, 1.25},
                          {3, 0, -5.0},     {4, 65535, 2.0 * 65535 / 65536}, {5, 16384, -1.0},
                          {6, 32768, 0.5},  {7, 49152, 0.5}};
    const uint32_t board = install_one(0x8040, path());
    for (const Case& c : cases) {
        set_block(board, c.gain, 2, 2, 1);
        pattern(board, {c.count});
        double volts[3] = {-99, -99, -99};
        ASSERT_EQ(ADC_GetScanV(0, volts), 0u);
        EXPECT_DOUBLE_EQ(volts[2], c.volts) << int(c.gain);
        EXPECT_EQ(volts[0], -99);  // only the scanned channel is written
    }
}

TEST_P(Scan, WritesOnlyTheScannedChannelsAndSignalsFollowTheirRanges)
{
    // A 64-channel board: range slot 1 covers channels 4 to 7.
    const uint32_t board = board_with(0x8045, 0, 3, 5, 4);
    std::vector<uint8_t> block = adc_block(board);
    block[0] = 1;  // channel 3: ±10 V
    block[1] = 6;  // channels 4 and 5: 0 to 1 V
    ASSERT_EQ(KorvalSim_SetAdcConfig(sim_, board, block.data(), static_cast<uint32_t>(block.size())), 0u);
    constant(board, 3, -2.5);
    constant(board, 4, 0.25);
    constant(board, 5, 0.75);
    std::vector<uint16_t> counts(8, 0xAAAA);
    ASSERT_EQ(ADC_GetScan(0, counts.data()), 0u);
    EXPECT_EQ(counts, (std::vector<uint16_t>{0xAAAA, 0xAAAA, 0xAAAA, 24576, 16384, 49152, 0xAAAA, 0xAAAA}));
    double volts = 0;
    ASSERT_EQ(ADC_GetChannelV(0, 4, &volts), 0u);
    EXPECT_DOUBLE_EQ(volts, 0.25);
    // A channel outside the scan is a NaN.
    ASSERT_EQ(ADC_GetChannelV(0, 10, &volts), 0u);
    EXPECT_EQ(std::bit_cast<uint64_t>(volts), 0xFFF8000000000000u);
    EXPECT_EQ(ADC_GetChannelV(0, 64, &volts), 1413u);
}

TEST_P(Scan, BlocksNamingEveryChannelOrRunningBackwards)
{
    // Channels 0 to 255 on a 64-channel board: 256 channels (not 0), four samples each.
    const uint32_t board = board_with(0x8045, 0, 0, 255, 9);
    std::vector<uint16_t> counts(256);
    ASSERT_EQ(ADC_GetScan(0, counts.data()), 0u);
    EXPECT_EQ(adc_block(board)[19], 3);
    double volts = 0;
    EXPECT_EQ(ADC_GetChannelV(0, 63, &volts), 0u);
    set_block(board, 0, 9, 8, 1);
    clear_log(board);
    EXPECT_EQ(ADC_GetScan(0, counts.data()), 13u);
    EXPECT_EQ(control_log(board).size(), 1u);  // the block was read, nothing written
}

TEST_P(Scan, ImmediateInputsOfBoardsWithoutTheBulkSection)
{
    const uint32_t board = install_one(0x8036, path());
    constant(board, 0, 1.25);
    constant(board, 1, 5.0 * 65535 / 65536);
    double volts[2] = {};
    ASSERT_EQ(ADC_GetScanV(0, volts), 0u);
    EXPECT_DOUBLE_EQ(volts[0], 1.25);
    EXPECT_DOUBLE_EQ(volts[1], 5.0 * 65535 / 65536);
    EXPECT_EQ(control_log(board), (std::vector<Expected>{{0xC0, 0xBF, 0, 0, {}}}));
    uint16_t word = 0;
    EXPECT_EQ(ADC_GetImmediate(0, 0, &word), 1349u);
    EXPECT_EQ(ADC_GetChannelV(0, 0, volts), 1349u);
}

TEST_P(Scan, TriggeredScanTakesTheBoardsTrigger)
{
    const uint32_t board = board_with(0x8040, 0, 0, 1, 1, 0x02);
    constant(board, KORVAL_SIM_ALL_CHANNELS, 2.5);
    std::thread trigger = when_armed(board, [](KorvalSim* sim, uint32_t b) { KorvalSim_AdcTrigger(sim, b); });
    uint16_t counts[2] = {};
    EXPECT_EQ(ADC_GetTrigScan(0, counts, 10000), 0u);
    trigger.join();
    EXPECT_EQ(counts[1], 16384);
    // The start source is the caller's; no start request was needed.
    EXPECT_EQ(adc_block(board)[17], 0x06);
    for (const Expected& e : control_log(board)) EXPECT_NE(e.request, 0xBF);
}

TEST_P(Scan, TriggerTimeOutStartsTheScanAndOnlyTheVoltsScanDelivers)
{
    const uint32_t board = board_with(0x8040, 0, 0, 0, 1, 0x02);
    constant(board, 0, 2.5);
    double volts = -1;
    EXPECT_EQ(ADC_GetTrigScanV(0, &volts, 0), 1460u);  // 0 waits 1 ms
    EXPECT_DOUBLE_EQ(volts, 2.5);
    EXPECT_EQ(control_log(board).back(), (Expected{0x40, 0xBF, 0, 0, {}}));
    uint16_t counts = 7;
    EXPECT_EQ(ADC_GetTrigScan(0, &counts, 20), 1460u);
    EXPECT_EQ(counts, 7);
}

TEST_P(Scan, ABoardThatStopsSendingTimesOutAndUnplugIsReported)
{
    const uint32_t board = board_with(0x8040, 0, 0, 0, 1);
    ASSERT_EQ(KorvalSim_SetAdcStopped(sim_, board, 1), 0u);
    double volts = -1;
    EXPECT_EQ(ADC_GetScanV(0, &volts), 1460u);
    EXPECT_EQ(volts, -1);
    std::thread unplug = when_armed(board, [](KorvalSim* sim, uint32_t b) { KorvalSim_Unplug(sim, b); });
    // On the DeviceIoControl path a control read that meets the unplug reports the driver's own code
    // (1167) and leaves the slot open; whether the unplug comes before the block read or during the
    // bulk read depends on timing.
    const auto removed = [this](uint32_t r) { return r == 1617u || (ioctl() && r == 1167u); };
    const uint32_t during = ADC_GetTrigScanV(0, &volts, 100000);
    EXPECT_TRUE(removed(during)) << during;
    unplug.join();
    EXPECT_EQ(volts, -1);
    const uint32_t after = ADC_GetScanV(0, &volts);
    EXPECT_TRUE(removed(after)) << after;
}

KORVAL_BOTH_PATHS(Scan);

}  // namespace
}  // namespace korval::test
