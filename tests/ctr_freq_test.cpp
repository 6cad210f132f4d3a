// Frequency output, gate waits and the global tick on simulated boards: the divisor search's worked
// values and edges, what goes on the wire, and gate waits that end by event, by the end call and by
// unplug.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <future>
#include <limits>

#include "support/sim_fixture.h"

namespace korval::test {
namespace {

constexpr uint32_t kThreeMHz = 0x8001;  // 3 blocks at 3 MHz
constexpr uint32_t kGates = 0x8020;     // 5 blocks at 10 MHz, selectable gates
constexpr uint32_t kOneBlock = 0x8040;  // 1 block at 10 MHz
constexpr auto kPatience = std::chrono::seconds(10);

// The counter requests of a log: request, wValue, wIndex.
std::vector<std::array<uint32_t, 3>> counter_requests(const std::vector<Expected>& log)
{
    std::vector<std::array<uint32_t, 3>> out;
    for (const Expected& e : log) out.push_back({e.request, e.value, e.index});
    return out;
}

TEST_F(SimTest, OutputFrequencyWorkedValues)
{
    struct Case {
        uint32_t pid;
        double asked;
        uint16_t low, high;
        double obtained;
    } const cases[] = {
        {kGates, 1000, 100, 100, 1000},          {kGates, 3000, 101, 33, 3000.30003},
        {kGates, 12345, 30, 27, 12345.679},      {kGates, 60, 499, 334, 60.00024},
        {kGates, 0.5, 5000, 4000, 0.5},          {kGates, 2400000, 2, 2, 2500000},
        {kGates, 3000000, 2, 2, 2500000},        {kGates, 2500000, 2, 2, 2500000},
        {kGates, 1e12, 2, 2, 2500000},           {kThreeMHz, 1000, 60, 50, 1000},
        {kThreeMHz, 60, 250, 200, 60},
        // The lowest frequency two 16-bit divisors reach.
        {kGates, 10e6 / (65535.0 * 65535.0), 65535, 65535, 10e6 / (65535.0 * 65535.0)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.pid << std::dec << " " << c.asked << " Hz");
        const uint32_t board = install_one(c.pid);
        double hz = c.asked;
        ASSERT_EQ(CTR_StartOutputFreq(0, 1, &hz), 0u);
        EXPECT_NEAR(hz, c.obtained, c.obtained * 1e-7);  // the table's values are rounded
        // Block 1: counter 1 in mode 2 (control word 0x74) loaded with L, counter 2 in mode 3 (0xB6) with H.
        EXPECT_EQ(counter_requests(control_log(board)),
                  (std::vector<std::array<uint32_t, 3>>{{0x23, 0x7401, c.low}, {0x23, 0xB601, c.high}}));
        // The simulated counters put out what was written back.
        double out = 0;
        ASSERT_EQ(KorvalSim_GetCounterFrequency(sim_, board, 5, &out), 0u);
        EXPECT_NEAR(out, hz, hz * 1e-9);
    }
}

TEST_F(SimTest, OutputFrequencyRefusalsAndStops)
{
    const uint32_t board = install_one(kOneBlock);
    struct Case {
        uint32_t block;
        double asked;
        uint32_t result;
        std::vector<std::array<uint32_t, 3>> wire;
        double left;  // *pHz afterwards
    } const cases[] = {
        // 0 Hz and below: both counters get their modes and no count.
        {0, 0.0, 0, {{0x21, 0x7400, 0}, {0x21, 0xB600, 0}}, 0.0},
        {0, -5.0, 0, {{0x21, 0x7400, 0}, {0x21, 0xB600, 0}}, -5.0},
        {1, 1000, 487, {}, 1000},
        // Too low for two 16-bit divisors, or not a number: refused, nothing programmed.
        {0, 0.002, 87, {}, 0.002},
        {0, 10e6 / (65535.0 * 65535.0) * 0.999, 87, {}, 10e6 / (65535.0 * 65535.0) * 0.999},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.asked);
        clear_log(board);
        double hz = c.asked;
        EXPECT_EQ(CTR_StartOutputFreq(0, c.block, &hz), c.result);
        EXPECT_EQ(counter_requests(control_log(board)), c.wire);
        EXPECT_EQ(hz, c.left);
    }
    double nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(CTR_StartOutputFreq(0, 0, &nan), 87u);
    EXPECT_EQ(CTR_StartOutputFreq(0, 0, nullptr), 87u);
    EXPECT_TRUE(control_log(board).empty());
}

// A failure of the first counter call is reported, and the second counter is left alone.
TEST_F(SimTest, OutputFrequencyReportsTheFirstCounterFailure)
{
    const uint32_t board = install_one(kGates);
    fail_next(board, KORVAL_SIM_CONTROL, 0x23, 31);
    double hz = 1000;
    EXPECT_EQ(CTR_StartOutputFreq(0, 0, &hz), 31u);
    EXPECT_EQ(control_log(board).size(), 1u);
    fail_next(board, KORVAL_SIM_CONTROL, 0x21, 31);
    hz = 0;
    clear_log(board);
    EXPECT_EQ(CTR_StartOutputFreq(0, 0, &hz), 31u);
    EXPECT_EQ(control_log(board).size(), 1u);
}

TEST_F(SimTest, GlobalTickValues)
{
    const uint32_t board = install_one(kGates);
    struct Case {
        double hz;
        uint16_t value;
    } const cases[] = {{1000, 0xD11F}, {0, 0x0000}, {100, 0x0000}, {-1, 0xFFFF}, {12e6, 0xFFFE}, {183.0, 0x0000}};
    const double first = 1;
    EXPECT_EQ(KORVAL_SetGlobalTickRate(0, &first), 0u);  // the firmware is asked once per slot
    for (const Case& c : cases) {
        clear_log(board);
        EXPECT_EQ(KORVAL_SetGlobalTickRate(0, &c.hz), 0u) << c.hz;
        EXPECT_EQ(control_log(board), (std::vector<Expected>{{0x40, 0x3C, c.value, 0x8001, {}}})) << c.hz;
        uint32_t value = 0;
        EXPECT_EQ(KorvalSim_GetGlobalTick(sim_, board, &value, nullptr), 0u);
        EXPECT_EQ(value, c.value);
    }
    const uint8_t older[3] = {0x02, 0x00, 0x00};
    const uint32_t second = add(0x8002);
    KorvalSim_SetFirmwareLevel(sim_, second, older);
    GetDevices();
    const double hz = 1000;
    EXPECT_EQ(KORVAL_SetGlobalTickRate(1, &hz), 50u);
}

class GateWaits : public PathTest {
protected:
    // A gate wait on another thread: its result and content.
    std::future<std::pair<uint32_t, uint16_t>> wait_async(uint32_t gate_id)
    {
        return std::async(std::launch::async, [gate_id] {
            uint16_t content = 0;
            return std::make_pair(CTR_WaitForGate(0, gate_id, &content), content);
        });
    }
    // Repeats `end` until the wait has ended, within a bounded time.
    template <class End>
    bool ends(std::future<std::pair<uint32_t, uint16_t>>& wait, End end)
    {
        const auto deadline = std::chrono::steady_clock::now() + kPatience;
        while (std::chrono::steady_clock::now() < deadline) {
            end();
            if (wait.wait_for(std::chrono::milliseconds(5)) == std::future_status::ready) return true;
        }
        return false;
    }
};

TEST_P(GateWaits, SetUpAndChecks)
{
    const uint32_t board = install_one(kGates, path());
    struct Case {
        uint32_t a, b, result;
        uint16_t index;
    } const cases[] = {{0, 14, 0, 0x0E00}, {3, 7, 0, 0x0703}, {15, 0, 487, 0}, {0, 15, 487, 0}, {256 + 2, 512 + 4, 0, 0x0402}};
    for (const Case& c : cases) {
        clear_log(board);
        EXPECT_EQ(CTR_SetWaitGates(0, c.a, c.b), c.result) << c.a << "," << c.b;
        if (c.result == 0) EXPECT_EQ(control_log(board), (std::vector<Expected>{{0x40, 0x27, 0, c.index, {}}}));
        else EXPECT_TRUE(control_log(board).empty());
    }
    clear_log(board);
    uint16_t content = 0;
    EXPECT_EQ(CTR_WaitForGate(0, 2, &content), 487u);
    EXPECT_EQ(CTR_WaitForGate(0, 0, nullptr), 87u);
    EXPECT_TRUE(log(board).empty());
    EXPECT_EQ(CTR_EndWaitGates(0), 0u);
    EXPECT_EQ(control_log(board), (std::vector<Expected>{{0x40, 0x29, 0, 0, {}}}));
}

TEST_P(GateWaits, EndByEventOnEitherEndpoint)
{
    const uint32_t board = install_one(kGates, path());
    ASSERT_EQ(CTR_SetWaitGates(0, 4, 9), 0u);
    auto a = wait_async(0);
    auto b = wait_async(1);
    // Rising edges of the watched gates: one of gate A, two of gate B.
    for (const auto& [counter, level] : {std::pair{4u, 0}, {4u, 1}, {9u, 0}, {9u, 1}, {9u, 0}, {9u, 1}})
        KorvalSim_SetCounterGate(sim_, board, counter, level);
    ASSERT_EQ(a.wait_for(kPatience), std::future_status::ready);
    ASSERT_EQ(b.wait_for(kPatience), std::future_status::ready);
    EXPECT_EQ(a.get(), std::make_pair(0u, uint16_t{1}));
    EXPECT_EQ(b.get(), std::make_pair(0u, uint16_t{1}));
    uint16_t content = 0;
    EXPECT_EQ(CTR_WaitForGate(0, 1, &content), 0u);
    EXPECT_EQ(content, 2u);
    std::vector<uint8_t> endpoints;
    for (const Transfer& t : log(board))
        if (t.info.kind == KORVAL_SIM_BULK_IN) endpoints.push_back(t.info.endpoint);
    std::sort(endpoints.begin(), endpoints.end());
    EXPECT_EQ(endpoints, (std::vector<uint8_t>{0x82, 0x86, 0x86}));
}

// A pulse train on a watched gate reports its edges as the board's time passes.
TEST_P(GateWaits, PulseTrainEdgesAreReported)
{
    const uint32_t board = install_one(kGates, path());
    ASSERT_EQ(CTR_SetWaitGates(0, 1, 2), 0u);
    ASSERT_EQ(KorvalSim_SetGatePulseTrain(sim_, board, 1, 1000000, 1000000), 0u);
    auto a = wait_async(0);
    ASSERT_EQ(a.wait_for(kPatience), std::future_status::ready);
    EXPECT_EQ(a.get(), std::make_pair(0u, uint16_t{1}));
}

// A blocked wait ends by the end call (995) and by unplug (1617).
TEST_P(GateWaits, EndCallAndUnplugEndABlockedWait)
{
    const uint32_t board = install_one(kGates, path());
    ASSERT_EQ(CTR_SetWaitGates(0, 0, 1), 0u);
    auto a = wait_async(0);
    ASSERT_TRUE(ends(a, [] { CTR_EndWaitGates(0); }));
    EXPECT_EQ(a.get().first, 995u);
    auto b = wait_async(1);
    ASSERT_TRUE(ends(b, [&] { KorvalSim_Unplug(sim_, board); }));
    EXPECT_EQ(b.get().first, 1617u);
}

KORVAL_BOTH_PATHS(GateWaits);

// Each family with counters has the functions; gate waits only where gates are selectable.
TEST_F(SimTest, CounterFamiliesAndTheRest)
{
    for (const uint32_t pid : {kThreeMHz, kGates, kOneBlock, 0x8002u}) add(pid);
    install();
    const uint32_t gates[] = {1349, 0, 1349, 1349};
    for (uint32_t slot = 0; slot < 4; ++slot) {
        double hz = 1000;
        EXPECT_EQ(CTR_StartOutputFreq(slot, 0, &hz), slot == 3 ? 1349u : 0u) << slot;
        EXPECT_EQ(CTR_SetWaitGates(slot, 0, 1), slot == 3 ? 1349u : gates[slot]) << slot;
        EXPECT_EQ(CTR_EndWaitGates(slot), slot == 3 ? 1349u : gates[slot]) << slot;
        uint16_t content = 0;
        if (gates[slot] != 0 || slot == 3) {
            EXPECT_EQ(CTR_WaitForGate(slot, 0, &content), 1349u) << slot;
        }
    }
}

}  // namespace
}  // namespace korval::test
