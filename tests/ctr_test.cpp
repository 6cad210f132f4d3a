// 8254 counter access on simulated boards: addressing and the order of checks, the wire bytes of every
// request on both driver paths, the replies, and the simulated counters themselves.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "board/board.h"
#include "support/guarded_pages.h"
#include "support/sim_fixture.h"

extern "C" uint32_t VBCTR_8254ModeLoad(uint32_t, uint32_t, uint32_t, uint32_t, uint16_t);

namespace korval::test {
namespace {

constexpr uint32_t kThreeBlocks = 0x8001;  // 3 blocks at 3 MHz, no gate selection
constexpr uint32_t kFiveBlocks = 0x8020;   // 5 blocks at 10 MHz, selectable gates
constexpr uint32_t kOneBlock = 0x8040;     // 1 block at 10 MHz (analog input board)

// One request as it must appear on the wire: type, request, wValue, wIndex, wLength.
struct Wire {
    uint8_t type, request;
    uint16_t value, index, length;
    bool operator==(const Wire&) const = default;
};
std::ostream& operator<<(std::ostream& os, const Wire& w)
{
    return os << std::hex << "{0x" << int(w.type) << " 0x" << int(w.request) << " value 0x" << w.value << " index 0x"
              << w.index << " length " << std::dec << w.length << "}";
}

class Counters : public PathTest {
protected:
    std::vector<Wire> wire(uint32_t board) const
    {
        std::vector<Wire> out;
        for (const Transfer& t : log(board))
            if (t.info.kind == KORVAL_SIM_CONTROL) out.push_back({t.request_type(), t.request(), t.value(), t.index(), t.length()});
        return out;
    }
    KorvalSimCounter counter(uint32_t board, uint32_t flat) const
    {
        KorvalSimCounter s{};
        EXPECT_EQ(KorvalSim_GetCounter(sim_, board, flat, &s), 0u);
        return s;
    }
    void advance_us(uint64_t us) const { KorvalSim_AdvanceClock(sim_, us * 1000); }
};

TEST_P(Counters, EveryRequestOnTheWire)
{
    const uint32_t board = install_one(kFiveBlocks, path());
    uint16_t value = 0;
    uint8_t status = 0;
    uint8_t all[31];
    struct Case {
        const char* what;
        std::function<uint32_t()> call;
        Wire wire;
    };
    const Case cases[] = {
        {"mode", [] { return CTR_8254Mode(0, 2, 1, 3); }, {0x40, 0x21, 0x7602, 0, 0}},
        {"load", [] { return CTR_8254Load(0, 2, 1, 0x1234); }, {0x40, 0x22, 0x4002, 0x1234, 0}},
        {"mode and load, flat", [] { return CTR_8254ModeLoad(0, 0, 4, 3, 1000); }, {0x40, 0x23, 0x7601, 0x03E8, 0}},
        {"read mode load", [&] { return CTR_8254ReadModeLoad(0, 0, 14, 2, 7, &value); }, {0xC0, 0x23, 0xB404, 7, 2}},
        {"read", [&] { return CTR_8254Read(0, 4, 2, &value); }, {0xC0, 0x20, 0x0204, 0, 2}},
        {"read status, flat", [&] { return CTR_8254ReadStatus(0, 0, 5, &value, &status); }, {0xC0, 0x20, 0x0201, 0, 3}},
        {"read all", [&] { return CTR_8254ReadAll(0, all); }, {0xC0, 0x25, 0, 0, 30}},
        {"read latched", [&] { return CTR_8254ReadLatched(0, all); }, {0xC0, 0x26, 0, 0, 31}},
        {"select gate", [] { return CTR_8254SelectGate(0, 14); }, {0x40, 0x24, 14, 0, 0}},
    };
    for (const Case& c : cases) {
        clear_log(board);
        EXPECT_EQ(c.call(), 0u) << c.what;
        EXPECT_EQ(wire(board), std::vector<Wire>{c.wire}) << c.what;
    }
    uint32_t gate = 0;
    EXPECT_EQ(KorvalSim_GetSelectedGate(sim_, board, &gate), 0u);
    EXPECT_EQ(gate, 14u);
}

// Block 0 takes flat numbers over all blocks; other blocks take counters 0 to 2 only.
TEST_P(Counters, AddressingOverBlocks)
{
    const uint32_t board = install_one(kThreeBlocks, path());
    struct Case {
        uint32_t block, counter;
        uint32_t result;
        uint16_t value;  // wValue of the mode request (mode 0)
    } const cases[] = {
        {0, 0, 0, 0x3000},   {0, 5, 0, 0xB001},   {0, 8, 0, 0xB002}, {0, 9, 487, 0},
        {1, 2, 0, 0xB001},   {1, 3, 487, 0},      {2, 0, 0, 0x3002}, {3, 0, 487, 0},
        {0xFFFFFFFF, 0, 487, 0}, {0, 0xFFFFFFFF, 487, 0},
    };
    for (const Case& c : cases) {
        clear_log(board);
        EXPECT_EQ(CTR_8254Mode(0, c.block, c.counter, 0), c.result) << c.block << "," << c.counter;
        const auto w = wire(board);
        if (c.result == 0) EXPECT_EQ(w, (std::vector<Wire>{{0x40, 0x21, c.value, 0, 0}})) << c.block << "," << c.counter;
        else EXPECT_TRUE(w.empty()) << c.block << "," << c.counter;
    }
}

// Every product with counters runs every function; gate selection only where the product has it.
TEST_F(SimTest, EveryCounterFamilyHasTheFunctions)
{
    struct Product {
        uint32_t pid;
        uint32_t blocks;
        bool gates;
    } const products[] = {{0x8001, 3, false}, {0x8020, 5, true}, {0x8044, 1, false},
                          {0x8049, 1, false}, {0x8144, 1, false}, {0x815F, 1, false}};
    for (const Product& p : products) add(p.pid);
    install();
    for (uint32_t slot = 0; slot < std::size(products); ++slot) {
        const Product& p = products[slot];
        const uint32_t last = 3 * p.blocks - 1;
        uint16_t value = 0;
        uint8_t status = 0;
        uint8_t all[31];
        EXPECT_EQ(CTR_8254Mode(slot, 0, last, 2), 0u) << std::hex << p.pid;
        EXPECT_EQ(CTR_8254Load(slot, 0, last, 100), 0u) << std::hex << p.pid;
        EXPECT_EQ(CTR_8254ModeLoad(slot, 0, last, 3, 100), 0u) << std::hex << p.pid;
        EXPECT_EQ(CTR_8254ReadModeLoad(slot, 0, last, 0, 100, &value), 0u) << std::hex << p.pid;
        EXPECT_EQ(CTR_8254Read(slot, 0, last, &value), 0u) << std::hex << p.pid;
        EXPECT_EQ(CTR_8254ReadStatus(slot, 0, last, &value, &status), 0u) << std::hex << p.pid;
        EXPECT_EQ(CTR_8254ReadAll(slot, all), 0u) << std::hex << p.pid;
        EXPECT_EQ(CTR_8254ReadLatched(slot, all), 0u) << std::hex << p.pid;
        EXPECT_EQ(CTR_8254SelectGate(slot, last), p.gates ? 0u : 1349u) << std::hex << p.pid;
        EXPECT_EQ(CTR_8254Mode(slot, 0, last + 1, 2), 487u) << std::hex << p.pid;
    }
}

// No counters: 1349 before any argument is looked at.
TEST_F(SimTest, WithoutCountersEveryFunctionIs1349)
{
    const uint32_t board = install_one(0x8002);
    uint16_t value = 0;
    EXPECT_EQ(CTR_8254Mode(0, 9, 9, 9), 1349u);
    EXPECT_EQ(CTR_8254Load(0, 9, 9, 1), 1349u);
    EXPECT_EQ(CTR_8254ModeLoad(0, 9, 9, 9, 1), 1349u);
    EXPECT_EQ(CTR_8254ReadModeLoad(0, 9, 9, 9, 1, nullptr), 1349u);
    EXPECT_EQ(CTR_8254Read(0, 9, 9, nullptr), 1349u);
    EXPECT_EQ(CTR_8254ReadStatus(0, 9, 9, nullptr, nullptr), 1349u);
    EXPECT_EQ(CTR_8254ReadAll(0, nullptr), 1349u);
    EXPECT_EQ(CTR_8254ReadLatched(0, nullptr), 1349u);
    EXPECT_EQ(CTR_8254SelectGate(0, 99), 1349u);
    EXPECT_TRUE(control_log(board).empty());
    EXPECT_EQ(CTR_8254Mode(32, 0, 0, 0), 1413u);
    EXPECT_EQ(CTR_8254Read(3, 0, 0, &value), 2u);
}

// Then the address, then the mode, then the pointers; nothing is sent for a failed check.
TEST_F(SimTest, CounterChecksComeInOrder)
{
    const uint32_t board = install_one(kOneBlock);
    uint16_t value = 0;
    EXPECT_EQ(CTR_8254Mode(0, 0, 3, 0), 487u);        // block 1 of a one-block board
    EXPECT_EQ(CTR_8254Mode(0, 0, 2, 6), 487u);        // mode 6
    EXPECT_EQ(CTR_8254Read(0, 1, 0, nullptr), 487u);  // the address before the pointer
    EXPECT_EQ(CTR_8254Read(0, 0, 0, nullptr), 87u);
    EXPECT_EQ(CTR_8254ReadModeLoad(0, 0, 0, 6, 1, nullptr), 487u);
    EXPECT_EQ(CTR_8254ReadModeLoad(0, 0, 0, 5, 1, nullptr), 87u);
    EXPECT_EQ(CTR_8254ReadStatus(0, 0, 0, &value, nullptr), 87u);
    EXPECT_EQ(CTR_8254ReadAll(0, nullptr), 87u);
    EXPECT_EQ(CTR_8254SelectGate(0, 0), 1349u);  // counters, but no selectable gates
    EXPECT_TRUE(control_log(board).empty());
    EXPECT_EQ(CTR_8254Mode(0, 0, 2, 5), 0u);
}

TEST_F(SimTest, GateIndexIsBoundByTheBoardsCounters)
{
    const uint32_t board = install_one(kFiveBlocks);
    EXPECT_EQ(CTR_8254SelectGate(0, 15), 487u);
    EXPECT_EQ(CTR_8254SelectGate(0, 0x10000), 487u);
    EXPECT_TRUE(control_log(board).empty());
    EXPECT_EQ(CTR_8254SelectGate(0, 0), 0u);
}

// The counters run at the root clock in simulated time; every read path gives what the board counts.
TEST_P(Counters, ReadsFollowTheCountingBoard)
{
    KorvalSim_SetManualClock(sim_, 1);
    const uint32_t board = install_one(kThreeBlocks, path());  // 3 MHz: 3 pulses per microsecond
    uint16_t value = 0;
    EXPECT_EQ(CTR_8254ReadModeLoad(0, 1, 1, 2, 3000, &value), 0u);  // rate generator, flat counter 4
    EXPECT_EQ(value, 3000);
    advance_us(100);
    EXPECT_EQ(CTR_8254Read(0, 0, 4, &value), 0u);
    EXPECT_EQ(value, 2700);
    uint8_t status = 0;
    EXPECT_EQ(CTR_8254ReadStatus(0, 1, 1, &value, &status), 0u);
    EXPECT_EQ(value, 2700);
    EXPECT_EQ(status, 0xB4);  // output high, count loaded, LSB then MSB, mode 2
    // Programming a counter moves its output, which clocks a counter cascaded from it: upstream first.
    EXPECT_EQ(CTR_8254ModeLoad(0, 2, 1, 2, 3), 0u);   // counter 7 divides by 3
    EXPECT_EQ(CTR_8254ModeLoad(0, 2, 2, 0, 10), 0u);  // flat counter 8, clocked by counter 7
    advance_us(10);                                    // 30 pulses: 10 on counter 8
    uint8_t all[19];
    EXPECT_EQ(CTR_8254ReadLatched(0, all), 0u);
    const auto count_at = [&](int flat) { return all[2 * flat] | all[2 * flat + 1] << 8; };
    EXPECT_EQ(count_at(4), 2700 - 30);
    EXPECT_EQ(count_at(8), 0);
    EXPECT_EQ(all[18] & 0x10, 0x10);  // counter 4's output
    EXPECT_EQ(counter(board, 8).out, 1u);  // terminal count reached
}

TEST_P(Counters, FailuresPassThroughAndLeaveOutputs)
{
    const uint32_t board = install_one(kOneBlock, path());
    fail_next(board, KORVAL_SIM_CONTROL, 0x20, 121);
    uint16_t value = 0x5555;
    uint8_t status = 0x66;
    EXPECT_EQ(CTR_8254ReadStatus(0, 0, 0, &value, &status), 121u);
    EXPECT_EQ(value, 0x5555);
    EXPECT_EQ(status, 0x66);
    fail_next(board, KORVAL_SIM_CONTROL, 0x21, 0);
    EXPECT_EQ(CTR_8254Mode(0, 0, 0, 0), 31u);
    KorvalSim_Unplug(sim_, board);
    EXPECT_EQ(CTR_8254Read(0, 0, 0, &value), ioctl() ? 1167u : 1617u);
}

TEST_P(Counters, CallerMemoryOutOfReachGives998)
{
    GuardedPages memory;
    ASSERT_TRUE(memory.ok());
    const uint32_t board = install_one(kOneBlock, path());
    EXPECT_EQ(CTR_8254ReadAll(0, memory.hole()), 998u);
    EXPECT_EQ(CTR_8254Read(0, 0, 0, reinterpret_cast<uint16_t*>(memory.hole())), 998u);
    EXPECT_TRUE(control_log(board).empty());
    uint8_t status = 0;
    EXPECT_EQ(CTR_8254ReadStatus(0, 0, 0, reinterpret_cast<uint16_t*>(memory.read_only()), &status), 998u);
}

KORVAL_BOTH_PATHS(Counters);

TEST_F(SimTest, VisualBasicFormTakesTheSixteenBitCount)
{
    const uint32_t board = install_one(kOneBlock);
    EXPECT_EQ(VBCTR_8254ModeLoad(0, 0, 2, 3, 0xFFFF), 0u);
    EXPECT_EQ(VBCTR_8254ModeLoad(0, 0, 3, 3, 1), 487u);
    EXPECT_EQ(control_log(board), (std::vector<Expected>{{0x40, 0x23, 0xB600, 0xFFFF, {}}}));
}

// ---- The simulated 8254 ----

class SimCounters : public SimTest {
protected:
    uint32_t start(uint32_t pid = kFiveBlocks)
    {
        KorvalSim_SetManualClock(sim_, 1);
        return install_one(pid);
    }
    KorvalSimCounter counter(uint32_t board, uint32_t flat) const
    {
        KorvalSimCounter s{};
        EXPECT_EQ(KorvalSim_GetCounter(sim_, board, flat, &s), 0u);
        return s;
    }
    void advance_us(uint64_t us) const { KorvalSim_AdvanceClock(sim_, us * 1000); }
};

// Counter 1 as rate generator and counter 2 as square wave give root / (L x H), as frequency output
// programs them.
TEST_F(SimCounters, CascadedPairDividesTheRootClock)
{
    const uint32_t board = start();
    ASSERT_EQ(CTR_8254ModeLoad(0, 1, 1, 2, 100), 0u);
    ASSERT_EQ(CTR_8254ModeLoad(0, 1, 2, 3, 100), 0u);
    const uint64_t before = counter(board, 5).rising_edges;
    KorvalSim_AdvanceClock(sim_, 1000000000);  // one second
    EXPECT_EQ(counter(board, 5).rising_edges - before, 1000u);
    EXPECT_EQ(counter(board, 4).count, 100u);  // back at the top of its period
    // On the root clock instead, counter 2 divides the root clock alone.
    ASSERT_EQ(KorvalSim_SetCounterClock(sim_, board, 5, KORVAL_SIM_CLOCK_ROOT), 0u);
    const uint64_t again = counter(board, 5).rising_edges;
    KorvalSim_AdvanceClock(sim_, 1000000);  // 1 ms
    EXPECT_EQ(counter(board, 5).rising_edges - again, 100u);
    EXPECT_EQ(KorvalSim_SetCounterClock(sim_, board, 3, KORVAL_SIM_CLOCK_CASCADE), 87u);
}

// A count that stops while the gate is low: what pulse-width measurement reads.
TEST_F(SimCounters, GateHoldsTheCountInModeZero)
{
    const uint32_t board = start();
    ASSERT_EQ(KorvalSim_SetCounterGate(sim_, board, 0, 0), 0u);
    ASSERT_EQ(CTR_8254ModeLoad(0, 0, 0, 0, 50000), 0u);
    advance_us(50);
    EXPECT_EQ(counter(board, 0).count, 50000u);
    KorvalSim_SetCounterGate(sim_, board, 0, 1);
    advance_us(123);
    KorvalSim_SetCounterGate(sim_, board, 0, 0);
    advance_us(500);
    uint16_t value = 0;
    EXPECT_EQ(CTR_8254Read(0, 0, 0, &value), 0u);
    EXPECT_EQ(value, 50000 - 1230);
    EXPECT_EQ(counter(board, 0).out, 0u);
}

TEST_F(SimCounters, OneShotAndStrobesFollowTheirTriggers)
{
    const uint32_t board = start(kOneBlock);
    ASSERT_EQ(CTR_8254ModeLoad(0, 0, 0, 1, 500), 0u);  // one-shot: waits for a gate rising edge
    ASSERT_EQ(CTR_8254ModeLoad(0, 0, 1, 5, 200), 0u);  // hardware strobe
    ASSERT_EQ(CTR_8254ModeLoad(0, 0, 2, 4, 300), 0u);  // software strobe: starts at once
    KorvalSim_SetCounterClock(sim_, board, 2, KORVAL_SIM_CLOCK_ROOT);
    advance_us(10);
    EXPECT_EQ(counter(board, 0).out, 1u);
    EXPECT_EQ(counter(board, 0).null_count, 1u);
    for (uint32_t c : {0u, 1u}) {
        KorvalSim_SetCounterGate(sim_, board, c, 0);
        KorvalSim_SetCounterGate(sim_, board, c, 1);
    }
    EXPECT_EQ(counter(board, 0).out, 0u);
    advance_us(20);  // 200 pulses since the trigger; the software strobe is at 100 of 300 left
    EXPECT_EQ(counter(board, 0).count, 300u);
    EXPECT_EQ(counter(board, 1).out, 0u);  // the strobe, one pulse long
    EXPECT_EQ(counter(board, 2).count, 0u);
    EXPECT_EQ(counter(board, 2).out, 0u);
    KorvalSim_AdvanceClock(sim_, 100);
    EXPECT_EQ(counter(board, 1).out, 1u);
    EXPECT_EQ(counter(board, 2).out, 1u);
    advance_us(30);
    EXPECT_EQ(counter(board, 0).out, 1u);
    EXPECT_EQ(counter(board, 0).count, 0xFFFFu);  // counts on past zero, as the chip does
}

// A counter-latch command keeps the count of its instant for the next read.
TEST_F(SimCounters, LatchCommandKeepsTheCountForOneRead)
{
    start(kOneBlock);
    ASSERT_EQ(CTR_8254ModeLoad(0, 0, 1, 0, 1000), 0u);
    advance_us(10);
    ASSERT_EQ(GenericVendorWrite(0, 0x21, 0x4000, 0, 0, nullptr), 0u);  // latch counter 1
    advance_us(10);
    uint16_t value = 0;
    EXPECT_EQ(CTR_8254Read(0, 0, 1, &value), 0u);
    EXPECT_EQ(value, 900);
    EXPECT_EQ(CTR_8254Read(0, 0, 1, &value), 0u);
    EXPECT_EQ(value, 800);
}

}  // namespace
}  // namespace korval::test
