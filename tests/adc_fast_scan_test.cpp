// Fast internal-trigger scans on simulated boards: the fast block built from the board's block, the
// switch request, the scan under a one-shot acquisition with the counter pulses, the first-sample rule,
// the time-out that stops the acquisition, and the reset that puts the caller's block back.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cmath>
#include <vector>

#include "support/sim_fixture.h"

namespace korval::test {
namespace {

class FastScan : public SimTest {
protected:
    void set_board_block(std::vector<uint8_t> block) const
    {
        ASSERT_EQ(KorvalSim_SetAdcConfig(sim_, board_, block.data(), static_cast<uint32_t>(block.size())), 0u);
    }
    std::array<uint32_t, 2> fast_setting() const
    {
        std::array<uint32_t, 2> s{9, 9};
        KorvalSim_GetAdcFastScan(sim_, board_, &s[0], &s[1]);
        return s;
    }
    std::vector<Expected> requests(uint8_t request) const
    {
        std::vector<Expected> out;
        for (const Expected& e : control_log(board_))
            if (e.request == request) out.push_back(e);
        return out;
    }

    uint32_t board_ = 0;
};

TEST_F(FastScan, FastBlockByProduct)
{
    struct Case {
        uint32_t pid;
        uint32_t channels_set;  // 0: only the init
        uint8_t byte18;
        int byte20;  // -1: a 20-byte block
    } cases[] = {
        {0x8040, 0, 0xF0, -1},    // 16 channels
        {0x8045, 0, 0xF0, 0x30},  // 64 channels
        {0x8059, 0, 0xF0, 0x30},  // 128 channels: the init scans 64
        {0x8059, 128, 0xF0, 0x70},
        {0x8059, 200, 0xF0, 0x70},  // no more than the board has
        {0x8045, 5, 0x40, 0x00},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pid);
        TearDown();
        SetUp();
        board_ = install_one(c.pid);
        std::vector<uint8_t> saved = adc_block(board_);
        for (size_t i = 0; i < 16; ++i) saved[i] = static_cast<uint8_t>(i | 0x08);
        saved[17] = 0x13;  // bit 4 is kept, the start source is replaced
        saved[19] = 0;     // raised to 3
        set_board_block(saved);
        ASSERT_EQ(ADC_InitFastITScanV(0), 0u);
        if (c.channels_set != 0) {
            ASSERT_EQ(ADC_SetFastITScanVChannels(0, c.channels_set), 0u);
        }

        std::vector<uint8_t> fast = adc_block(board_);
        ASSERT_EQ(fast.size(), c.byte20 < 0 ? 20u : 21u);
        EXPECT_EQ(std::vector<uint8_t>(fast.begin(), fast.begin() + 16),
                  std::vector<uint8_t>(saved.begin(), saved.begin() + 16));
        EXPECT_EQ(fast[17], 0x15);
        EXPECT_EQ(fast[18], c.byte18);
        EXPECT_EQ(fast[19], 3);
        if (c.byte20 >= 0) {
            EXPECT_EQ(fast[20], c.byte20);
        }
        EXPECT_EQ(requests(0xD4), (std::vector<Expected>{{0x40, 0xD4, 0x1E, 0, {1}}}));
        EXPECT_EQ(fast_setting(), (std::array<uint32_t, 2>{1, 1}));
    }
}

TEST_F(FastScan, ScanUsesCounterPulsesAndTheFirstSampleRule)
{
    board_ = install_one(0x8045);  // 64 channels, four per range slot
    std::vector<uint8_t> block = adc_block(board_);
    for (size_t i = 0; i < 16; ++i) block[i] = 1;  // ±10 V
    set_board_block(block);
    // Each channel's four samples: 0, 0, 0, 49152. Range slot 0 (channels 0-3) uses only its last
    // sample (5 V); the others average samples 1 to 3 (16384: -5 V).
    const std::vector<uint16_t> pattern = {0, 0, 0, 49152};
    ASSERT_EQ(KorvalSim_SetAdcPattern(sim_, board_, pattern.data(), 4), 0u);
    std::vector<double> volts(64, NAN);
    ASSERT_EQ(ADC_GetITScanV(0, volts.data()), 0u);
    for (size_t c = 0; c < 64; ++c) EXPECT_DOUBLE_EQ(volts[c], c < 4 ? 5.0 : -5.0) << "channel " << c;

    // 64 channels x 4 samples announced; counter 2 to mode 0 and then mode 1; no start request.
    EXPECT_EQ(requests(0xBC), (std::vector<Expected>{{0x40, 0xBC, 0, 256, {}}}));
    EXPECT_EQ(requests(0x21).size(), 2u);
    KorvalSimCounter counter{};
    ASSERT_EQ(KorvalSim_GetCounter(sim_, board_, 2, &counter), 0u);
    EXPECT_EQ(counter.mode, 1u);
    EXPECT_TRUE(requests(0xBF).empty());
    // The caller's block is back and the setting off.
    EXPECT_EQ(adc_block(board_), block);
    EXPECT_EQ(fast_setting(), (std::array<uint32_t, 2>{0, 2}));
}

TEST_F(FastScan, TimeOutStopsTheAcquisitionBeforeReturning)
{
    board_ = install_one(0x8040);
    ASSERT_EQ(KorvalSim_SetAdcStopped(sim_, board_, 1), 0u);
    std::vector<uint8_t> block = adc_block(board_);
    std::vector<double> volts(16, NAN);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(ADC_GetITScanV(0, volts.data()), 1460u);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
    EXPECT_TRUE(std::isnan(volts[0]));
    // The one-shot worker was aborted and has ended; the board is set back and free again.
    int32_t left = 0;
    EXPECT_EQ(ADC_BulkPoll(0, &left), 995u);
    EXPECT_EQ(adc_block(board_), block);
    EXPECT_EQ(fast_setting()[0], 0u);
    uint16_t buf[8];
    EXPECT_EQ(ADC_BulkAcquire(0, sizeof buf, buf), 0u);
    EXPECT_EQ(ADC_BulkAbort(0), 0u);
}

TEST_F(FastScan, RefusalsBeforeSetupAndBadArguments)
{
    board_ = install_one(0x8040);
    double volts[16];
    EXPECT_EQ(ADC_SetFastITScanVChannels(0, 4), 21u);
    EXPECT_EQ(ADC_GetFastITScanV(0, volts), 21u);
    EXPECT_EQ(ADC_ResetFastITScanV(0), 122u);
    EXPECT_TRUE(requests(0xD4).empty());
    ASSERT_EQ(ADC_InitFastITScanV(0), 0u);
    EXPECT_EQ(ADC_SetFastITScanVChannels(0, 0), 87u);
    EXPECT_EQ(ADC_GetFastITScanV(0, nullptr), 87u);
    // A failed switch puts the caller's block back.
    ASSERT_EQ(ADC_ResetFastITScanV(0), 0u);
    const std::vector<uint8_t> block = adc_block(board_);
    fail_next(board_, KORVAL_SIM_CONTROL, 0xD4, 31);
    EXPECT_EQ(ADC_InitFastITScanV(0), 31u);
    EXPECT_EQ(adc_block(board_), block);

    TearDown();
    SetUp();
    install_one(0x8001);
    EXPECT_EQ(ADC_InitFastITScanV(0), 1349u);
    EXPECT_EQ(ADC_GetITScanV(0, volts), 1349u);
}

}  // namespace
}  // namespace korval::test
