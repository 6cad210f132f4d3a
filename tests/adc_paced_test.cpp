// Scans paced by the board's counters: with the trigger byte's counter start, a simulated board takes
// one scan per period of counter 2 of block 0, in simulated time, and none while that counter is stopped.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <numbers>
#include <thread>
#include <vector>

#include "support/sim_fixture.h"

namespace korval::test {
namespace {

constexpr uint64_t kMs = 1'000'000;

class Paced : public SimTest {
protected:
    // Channels 0-3 in ±10 V, no oversample, counter start; the manual clock.
    uint32_t paced_board()
    {
        const uint32_t board = install_one(0x8040);
        EXPECT_EQ(KorvalSim_SetManualClock(sim_, 1), 0u);
        const uint8_t gains[16] = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1};
        EXPECT_EQ(ADC_RangeAll(0, gains, 0), 0u);
        EXPECT_EQ(ADC_SetScanLimits(0, 0, 3), 0u);
        EXPECT_EQ(ADC_SetOversample(0, 0), 0u);
        EXPECT_EQ(ADC_ADMode(0, 0x01, 0), 0u);
        return board;
    }
    // Bytes still to come once the reader has taken all it can; waits up to 10 s for `until_left`.
    static int32_t left_after_settling(int32_t until_left)
    {
        int32_t left = -1;
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        do {
            if (const uint32_t r = ADC_BulkPoll(0, &left); r != 0) return -static_cast<int32_t>(r);
            if (left <= until_left) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        } while (std::chrono::steady_clock::now() < limit);
        return left;
    }
};

TEST_F(Paced, OneScanPerPeriodOfTheCounterInSimulatedTime)
{
    const uint32_t board = paced_board();
    const KorvalSimAdcSignal sine = {KORVAL_SIM_SIGNAL_SINE, 0, 0.0, 5.0, 50.0};
    ASSERT_EQ(KorvalSim_SetAdcSignal(sim_, board, 2, &sine), 0u);
    double hz = 1000.0;
    ASSERT_EQ(CTR_StartOutputFreq(0, 0, &hz), 0u);
    std::vector<uint16_t> buffer(500 * 4);
    const uint64_t start_ns = KorvalSim_ClockNanoseconds(sim_);
    ASSERT_EQ(ADC_BulkAcquire(0, static_cast<uint32_t>(buffer.size() * 2), buffer.data()), 0u);

    ASSERT_EQ(KorvalSim_AdvanceClock(sim_, 499 * kMs + kMs / 2), 0u);
    EXPECT_EQ(left_after_settling(8), 8);  // scan 500 is due at 0.5 s: the 499 before it have come
    ASSERT_EQ(KorvalSim_AdvanceClock(sim_, kMs / 2), 0u);
    ASSERT_EQ(left_after_settling(0), 0);
    // Scan k is taken (k + 1) ms after the start: channel 2 shows the sine at that time.
    for (size_t k = 0; k < 500; ++k) {
        const double volts = buffer[k * 4 + 2] / 65536.0 * 20.0 - 10.0;
        const double t = static_cast<double>(start_ns) / 1e9 + static_cast<double>(k + 1) / 1000.0;
        ASSERT_NEAR(volts, 5.0 * std::sin(2.0 * std::numbers::pi * 50.0 * t), 1e-3) << k;
    }
}

TEST_F(Paced, NothingWhileTheCounterIsStoppedAndSlowRatesStillDeliver)
{
    const uint32_t board = paced_board();
    double hz = 0.0;
    ASSERT_EQ(CTR_StartOutputFreq(0, 0, &hz), 0u);  // programmed, stopped
    std::vector<uint16_t> buffer(4 * 30);
    ASSERT_EQ(ADC_BulkAcquire(0, static_cast<uint32_t>(buffer.size() * 2), buffer.data()), 0u);
    ASSERT_EQ(KorvalSim_AdvanceClock(sim_, 1000 * kMs), 0u);
    int32_t left = 0;
    EXPECT_EQ(ADC_BulkPoll(0, &left), 0u);
    EXPECT_EQ(left, 240);
    KorvalSimAdcState state{};
    ASSERT_EQ(KorvalSim_GetAdcState(sim_, board, &state), 0u);
    EXPECT_EQ(state.bytes_sent, 0u);

    hz = 10.0;  // 30 scans would take 3 s; each comes once it has waited 10 ms for more
    ASSERT_EQ(CTR_StartOutputFreq(0, 0, &hz), 0u);
    ASSERT_EQ(KorvalSim_AdvanceClock(sim_, 10 * kMs), 0u);
    for (int32_t scans = 1; scans <= 3; ++scans) {
        ASSERT_EQ(KorvalSim_AdvanceClock(sim_, 100 * kMs), 0u);
        EXPECT_EQ(left_after_settling(240 - 8 * scans), 240 - 8 * scans) << scans;
    }
}

}  // namespace
}  // namespace korval::test
