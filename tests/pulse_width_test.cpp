// Pulse-width measurement on simulated boards: known widths from pulse trains on counter gates, the
// addressing and order of checks, start, stop and fetch racing from several threads, and a stop after
// the board has gone.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "support/guarded_pages.h"
#include "support/sim_fixture.h"

namespace korval::test {
namespace {

constexpr uint32_t kGates = 0x8020;      // 5 blocks at 10 MHz
constexpr uint32_t kThreeBlocks = 0x8001;  // 3 blocks at 3 MHz
constexpr auto kPatience = std::chrono::seconds(10);

class PulseWidth : public SimTest {
protected:
    void TearDown() override
    {
        CTR_StopMeasuringPulseWidth(0);
        SimTest::TearDown();
    }
    // Fetches until the counter reports `want`, within a bounded time; the last value fetched.
    uint16_t fetch_until(uint32_t block, uint32_t counter, uint16_t want)
    {
        uint16_t value = 0;
        const auto deadline = std::chrono::steady_clock::now() + kPatience;
        while (std::chrono::steady_clock::now() < deadline) {
            if (CTR_GetPulseWidthMeasurement(0, block, counter, &value) == 0 && value == want) break;
            std::this_thread::yield();
        }
        return value;
    }
};

TEST_F(PulseWidth, MeasuresTheWidthOfGatePulses)
{
    const uint32_t board = install_one(kGates);
    KorvalSim_SetManualClock(sim_, 1);
    // Counter 4 restarts from 50,000 at each rising edge of its gate and counts 10 MHz pulses while the
    // gate is high: 1 ms high leaves it at 40,000 through the low stretch.
    ASSERT_EQ(CTR_8254ModeLoad(0, 0, 4, 2, 50000), 0u);
    ASSERT_EQ(KorvalSim_SetGatePulseTrain(sim_, board, 4, 1000000, 1000000), 0u);
    clear_log(board);
    ASSERT_EQ(CTR_StartMeasuringPulseWidth(0), 0u);
    KorvalSim_AdvanceClock(sim_, 2500000);
    EXPECT_EQ(fetch_until(1, 1, 40000), 40000u);
    // Still settled: the same value again once the monitor has passed again.
    EXPECT_EQ(fetch_until(0, 4, 40000), 40000u);
    // A counter that never counted reads 0, which is no measurement.
    uint16_t value = 7;
    EXPECT_EQ(CTR_GetPulseWidthMeasurement(0, 0, 0, &value), 1104u);
    EXPECT_EQ(value, 0u);
    // Through the next pulse into its low stretch: the counter restarted and measured it again.
    KorvalSim_AdvanceClock(sim_, 2000000);
    EXPECT_EQ(fetch_until(0, 4, 40000), 40000u);
    EXPECT_EQ(CTR_StopMeasuringPulseWidth(0), 0u);
    // Every pass is one whole-board read of 30 bytes.
    for (const Transfer& t : log(board)) {
        EXPECT_EQ(t.info.kind, KORVAL_SIM_CONTROL);
        EXPECT_EQ(std::make_pair(t.request(), t.length()), std::make_pair(uint8_t{0x25}, uint16_t{30}));
    }
}

TEST_F(PulseWidth, ChecksAndAddressing)
{
    install_one(kThreeBlocks);
    uint16_t value = 0;
    // Nothing running: the address is checked first, then 2.
    EXPECT_EQ(CTR_GetPulseWidthMeasurement(0, 3, 0, &value), 487u);
    EXPECT_EQ(CTR_GetPulseWidthMeasurement(0, 0, 9, &value), 487u);
    EXPECT_EQ(CTR_GetPulseWidthMeasurement(0, 0, 8, &value), 2u);
    EXPECT_EQ(CTR_StopMeasuringPulseWidth(0), 2u);

    KorvalSim_SetManualClock(sim_, 1);
    ASSERT_EQ(CTR_8254ModeLoad(0, 1, 2, 0, 1234), 0u);  // flat counter 5, standing still
    ASSERT_EQ(CTR_StartMeasuringPulseWidth(0), 0u);
    // (0, 5) and (1, 2) are the same counter.
    EXPECT_EQ(fetch_until(0, 5, 1234), 1234u);
    EXPECT_EQ(fetch_until(1, 2, 1234), 1234u);
    EXPECT_EQ(CTR_GetPulseWidthMeasurement(0, 0, 5, nullptr), 87u);
    GuardedPages pages;
    ASSERT_TRUE(pages.ok());
    EXPECT_EQ(CTR_GetPulseWidthMeasurement(0, 0, 5, reinterpret_cast<uint16_t*>(pages.read_only())), 998u);
    // The measurement that could not be handed over is still there.
    EXPECT_EQ(fetch_until(0, 5, 1234), 1234u);
}

TEST_F(PulseWidth, WithoutCounters)
{
    install_one(0x8002);
    uint16_t value = 0;
    EXPECT_EQ(CTR_StartMeasuringPulseWidth(0), 1349u);
    EXPECT_EQ(CTR_StopMeasuringPulseWidth(0), 1349u);
    EXPECT_EQ(CTR_GetPulseWidthMeasurement(0, 0, 0, &value), 1349u);
}

// Start, stop and fetch on one board from several threads at once: every call answers with one of its
// codes and nothing touches a freed monitor (the sanitizer builds check that part).
TEST_F(PulseWidth, StartStopAndFetchRace)
{
    install_one(kGates);
    std::vector<std::thread> threads;
    std::atomic<int> unexpected{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &unexpected] {
            for (int i = 0; i < 200; ++i) {
                uint16_t value = 0;
                uint32_t r = 0;
                switch ((t + i) % 3) {
                case 0: r = CTR_StartMeasuringPulseWidth(0); break;
                case 1: r = CTR_StopMeasuringPulseWidth(0); r = r == 2 ? 0 : r; break;
                default: r = CTR_GetPulseWidthMeasurement(0, 0, t, &value); r = r == 2 || r == 1104 ? 0 : r; break;
                }
                if (r != 0) ++unexpected;
            }
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(unexpected.load(), 0);
}

// A board that has gone still has its monitor stopped and joined.
TEST_F(PulseWidth, StopAfterUnplug)
{
    const uint32_t board = install_one(kGates);
    ASSERT_EQ(CTR_StartMeasuringPulseWidth(0), 0u);
    KorvalSim_Unplug(sim_, board);
    uint16_t value = 0;
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (CTR_GetPulseWidthMeasurement(0, 0, 0, &value) != 1617 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();
    EXPECT_EQ(CTR_StopMeasuringPulseWidth(0), ERROR_DEVICE_REMOVED);
    EXPECT_EQ(CTR_StopMeasuringPulseWidth(0), ERROR_DEVICE_REMOVED);
}

}  // namespace
}  // namespace korval::test
