// DAC waveform output: the tag bits, blocks and the carried tail as they reach the board, the queue bound,
// the automatic start, every close case, a board that stops taking data or goes away, the point rate at
// and beyond the divisor's limits, the one-shot output, and the simulated board playing what it got.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <functional>
#include <future>
#include <thread>
#include <vector>

#include "board/board.h"
#include "dac/dac_state.h"
#include "support/guarded_pages.h"
#include "support/sim_fixture.h"

namespace korval::test {
namespace {

using Bytes = std::vector<uint8_t>;

// Waits, up to a bound, for a condition another thread makes true.
bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit = std::chrono::seconds(10))
{
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::yield();
    }
    return true;
}

Bytes words(const std::vector<uint16_t>& w)
{
    Bytes b;
    for (uint16_t x : w) b.push_back(static_cast<uint8_t>(x)), b.push_back(static_cast<uint8_t>(x >> 8));
    return b;
}

class DacWave : public PathTest {
protected:
    uint32_t open(double rate = 1e6)
    {
        board_ = install_one(0x4001, path());
        KorvalSim_SetLogLimits(sim_, board_, 65536, 0x10000);
        EXPECT_EQ(DACOutputOpen(0, &rate), 0u);
        return board_;
    }
    // The data of every bulk write the board has finished, in order.
    std::vector<Bytes> writes() const
    {
        std::vector<Bytes> out;
        for (const Transfer& t : log(board_))
            if (t.info.kind == KORVAL_SIM_BULK_OUT && t.info.error == 0) out.push_back(t.data);
        return out;
    }
    bool started() const
    {
        for (const Expected& e : control_log(board_))
            if (e.request == 0xB0 && e.value == 0x01) return true;
        return false;
    }
    KorvalSimDacStream player() const
    {
        KorvalSimDacStream s{};
        EXPECT_EQ(KorvalSim_GetDacStream(sim_, board_, &s), 0u);
        return s;
    }
    // Queues whole blocks of one-channel points (one frame each).
    uint32_t queue_blocks(uint32_t blocks)
    {
        const std::vector<uint16_t> block(4096, 0x0123);
        EXPECT_EQ(DACOutputSetCount(0, 1), 0u);
        for (uint32_t i = 0; i < blocks; ++i)
            if (const uint32_t r = DACOutputFrame(0, 4096, block.data())) return r;
        return 0;
    }
    // Every block reached the board, and the end mark: on the last block, or as a sample of its own
    // when the worker had sent every block before the close came.
    void expect_delivered(uint32_t blocks) const
    {
        const uint64_t received = player().bytes_received;
        EXPECT_TRUE(received == blocks * 8192ull || received == blocks * 8192ull + 2) << received;
    }
    uint32_t board_ = 0;
};

TEST(DacWaveGates, ElevenFunctionsOnStreamingBoardsOnly)
{
    for (const uint32_t pid : {0x4003u, 0x8040u, 0x8060u}) {
        KorvalSim* sim = KorvalSim_Create();
        KorvalSim_AddBoard(sim, pid, KORVAL_SIM_WINUSB);
        KORVAL_InstallHost(KorvalSim_Host(sim));
        double rate = 1000;
        const uint16_t sample = 0;
        for (const uint32_t r : {DACOutputOpen(0, &rate), DACOutputOpenNoClear(0, nullptr), DACOutputSetCount(0, 0),
                                 DACOutputFrame(0, 0, nullptr), DACOutputFrameRaw(0, 1, &sample), DACOutputStart(0),
                                 DACOutputSetInterlock(0, 1), DACOutputClose(0), DACOutputCloseNoEnd(0),
                                 DACOutputProcess(0, &rate, 1, &sample)})
            EXPECT_EQ(r, 1349u) << pid;
        EXPECT_EQ(DACOutputAbort(0), 50u);
        EXPECT_EQ(DACOutputStatus(7777), 50u);
        KORVAL_InstallHost(nullptr);
        KorvalSim_Destroy(sim);
    }
}

// Nothing open: every call that needs open output says so; Open twice is refused either name.
TEST_P(DacWave, StateChecks)
{
    install_one(0x4002, path());
    const uint16_t sample = 0;
    for (const uint32_t r : {DACOutputSetCount(0, 9), DACOutputFrame(0, 1, &sample), DACOutputFrameRaw(0, 1, &sample),
                             DACOutputStart(0), DACOutputSetInterlock(0, 0), DACOutputClose(0), DACOutputCloseNoEnd(0)})
        EXPECT_EQ(r, 2u);
    double rate = 1000;
    ASSERT_EQ(DACOutputOpenNoClear(0, &rate), 0u);
    EXPECT_EQ(DACOutputOpen(0, &rate), 4u);
    EXPECT_EQ(DACOutputProcess(0, &rate, 1, &sample), 4u);
    EXPECT_EQ(DACDirect(0, 0, 1), 4u);  // waveform output owns the DACs
    EXPECT_EQ(DACOutputSetCount(0, 0), 87u);
    EXPECT_EQ(DACOutputSetCount(0, 9), 14u);
    EXPECT_EQ(DACOutputFrame(0, 0, &sample), 87u);
    EXPECT_EQ(DACOutputFrame(0, 6401, &sample), 14u);
    EXPECT_EQ(DACOutputFrame(0, 1, nullptr), 87u);
    GuardedPages pages;
    ASSERT_TRUE(pages.ok());
    EXPECT_EQ(DACOutputFrame(0, 6400, reinterpret_cast<const uint16_t*>(pages.before_hole(64))), 998u);
    EXPECT_EQ(DACOutputSetInterlock(0, 7), 0u);
    EXPECT_EQ(DACOutputSetInterlock(0, 0), 0u);
    EXPECT_EQ(DACOutputStart(0), 0u);
    EXPECT_EQ(DACOutputStart(0), 183u);
    EXPECT_EQ(DACOutputClose(0), 0u);
    EXPECT_EQ(DACOutputStart(0), 2u);
    EXPECT_EQ(DACDirect(0, 0, 1), 0u);
}

struct RateCase {
    double asked;
    uint16_t divisor;  // 0: refused with 87
};

// Open and the one-shot output program the same rate; halves go to the even divisor.
TEST_P(DacWave, PointRateRoundingAndLimits)
{
    const uint32_t board = install_one(0x4001, path());
    const RateCase cases[] = {{1e6, 12},       {7000, 1714},      {12e6 / 1.5, 2},  {12e6 / 2.5, 2},
                              {12e6 / 65535, 65535}, {183.1, 0},  {24e6, 0},        {12e6 / 0.6, 1},
                              {0, 0},          {-1000, 0},        {NAN, 0},         {INFINITY, 0}};
    const uint16_t sample = 0x0800;
    for (const RateCase& c : cases) {
        for (const bool one_shot : {false, true}) {
            SCOPED_TRACE(testing::Message() << c.asked << (one_shot ? " one-shot" : " open"));
            clear_log(board);
            double rate = c.asked;
            const uint32_t r = one_shot ? DACOutputProcess(0, &rate, 1, &sample) : DACOutputOpen(0, &rate);
            if (c.divisor == 0) {
                EXPECT_EQ(r, 87u);
                EXPECT_TRUE(log(board).empty());
                continue;
            }
            ASSERT_EQ(r, 0u);
            EXPECT_EQ(rate, 12e6 / c.divisor);
            const auto wire = control_log(board);
            ASSERT_GE(wire.size(), 3u);
            EXPECT_EQ(std::vector<Expected>(wire.begin(), wire.begin() + 3),
                      (std::vector<Expected>{{0x40, 0xB0, 0x80, 0, {}}, {0x40, 0xB1, 0, 0, {}}, {0x40, 0xB2, 0, c.divisor, {}}}));
            if (!one_shot) { EXPECT_EQ(DACOutputClose(0), 0u); }
        }
    }
    EXPECT_EQ(DACOutputOpen(0, nullptr), 87u);
    GuardedPages pages;
    ASSERT_TRUE(pages.ok());
    EXPECT_EQ(DACOutputOpen(0, reinterpret_cast<double*>(pages.before_hole(4))), 998u);
}

TEST_P(DacWave, FramesAreTaggedAndRawFramesAreNot)
{
    open();
    ASSERT_EQ(DACOutputSetCount(0, 2), 0u);
    const std::vector<uint16_t> frame(6, 0x0FFF);
    ASSERT_EQ(DACOutputFrame(0, 3, frame.data()), 0u);
    const std::vector<uint16_t> high = {0xF123, 0xFFFF};
    ASSERT_EQ(DACOutputFrame(0, 1, high.data()), 0u);
    ASSERT_EQ(DACOutputFrameRaw(0, 1, high.data()), 0u);
    ASSERT_EQ(DACOutputCloseNoEnd(0), 0u);
    EXPECT_EQ(writes(), (std::vector<Bytes>{words({0x0FFF, 0x2FFF, 0x0FFF, 0x2FFF, 0x0FFF, 0x6FFF, 0x0123, 0x6FFF,
                                                   0xF123, 0xFFFF})}));
}

// Frames of any size become whole 8,192-byte blocks with the tail carried into the next frame.
TEST_P(DacWave, StreamIsCutIntoWholeBlocks)
{
    open();
    ASSERT_EQ(DACOutputSetCount(0, 1), 0u);
    const std::vector<uint16_t> block(4096, 0x0001);
    ASSERT_EQ(DACOutputFrame(0, 4096, block.data()), 0u);  // exactly one block, nothing pending
    ASSERT_TRUE(eventually([&] { return writes().size() == 1; }));
    ASSERT_EQ(DACOutputSetCount(0, 5), 0u);
    std::vector<uint16_t> expected;
    for (uint32_t f = 0; f < 3; ++f) {
        std::vector<uint16_t> frame(5 * 1000);
        for (size_t i = 0; i < frame.size(); ++i) {
            frame[i] = static_cast<uint16_t>(0xA000 | (f * 5000 + i) % 4096);
            expected.push_back(static_cast<uint16_t>((frame[i] & 0x0FFF) | (i % 5 == 4 ? 0x2000 : 0)));
        }
        expected.back() |= 0x4000;
        ASSERT_EQ(DACOutputFrame(0, 1000, frame.data()), 0u);
    }
    ASSERT_EQ(DACOutputClose(0), 0u);
    expected.back() |= 0x8000;
    auto w = writes();
    ASSERT_EQ(w.size(), 1u + 3u + 1u);  // 30,000 bytes: three blocks and 5,424 bytes
    std::vector<uint16_t> first(4096, 0x2001);  // one channel: every sample ends a point
    first.back() = 0x6001;
    EXPECT_EQ(w[0], words(first));
    Bytes stream;
    for (size_t i = 1; i < w.size(); ++i) {
        if (i + 1 < w.size()) { EXPECT_EQ(w[i].size(), 8192u); }
        stream.insert(stream.end(), w[i].begin(), w[i].end());
    }
    EXPECT_EQ(stream, words(expected));
}

// What a close sends last, by what is queued and pending when it comes.
TEST_P(DacWave, CloseCases)
{
    struct Case {
        uint32_t blocks;
        uint32_t pending_samples;
        bool end;
        std::vector<size_t> sizes;  // of the writes
        Bytes last_bytes;           // the end of the last write
    };
    const Case cases[] = {
        {0, 0, true, {2}, {0x00, 0xE0}},
        {0, 5, true, {10}, {0x23, 0xE1}},
        {2, 3, true, {8192, 8192, 6}, {0x23, 0xE1}},
        {2, 0, true, {8192, 8192}, {0x23, 0xE1}},
        {0, 0, false, {}, {}},
        {0, 5, false, {10}, {0x23, 0x61}},
        {2, 0, false, {8192, 8192}, {0x23, 0x61}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.blocks << " blocks, " << c.pending_samples << " pending, end " << c.end);
        TearDown();
        SetUp();
        open();
        ASSERT_EQ(DACOutputSetCount(0, 1), 0u);
        // The board takes nothing until the close has marked the queue, so the blocks are still queued.
        KorvalSim_SetDacStreamBuffer(sim_, board_, 0);
        ASSERT_EQ(queue_blocks(c.blocks), 0u);
        const std::vector<uint16_t> tail(c.pending_samples, 0x0123);
        if (!tail.empty()) { ASSERT_EQ(DACOutputFrame(0, c.pending_samples, tail.data()), 0u); }
        auto closing = std::async(std::launch::async, [&] { return c.end ? DACOutputClose(0) : DACOutputCloseNoEnd(0); });
        ASSERT_TRUE(eventually([&] {  // the close has marked and queued what it adds
            return dac_state(0).bDACClosing || closing.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
        }));
        KorvalSim_SetDacStreamBuffer(sim_, board_, 1u << 20);
        EXPECT_EQ(closing.get(), 0u);
        const auto w = writes();
        std::vector<size_t> sizes;
        for (const Bytes& b : w) sizes.push_back(b.size());
        EXPECT_EQ(sizes, c.sizes);
        if (!w.empty()) { EXPECT_EQ(Bytes(w.back().end() - 2, w.back().end()), c.last_bytes); }
        EXPECT_EQ(player().bytes_received, c.blocks * 8192u + (c.sizes.empty() ? 0 : c.sizes.back() % 8192));
    }
}

// The worker starts the output after 20 whole blocks; before that only DACOutputStart does.
TEST_P(DacWave, OutputStartsByItselfAfterTwentyBlocks)
{
    open();
    ASSERT_EQ(DACOutputSetCount(0, 1), 0u);
    ASSERT_EQ(queue_blocks(19), 0u);
    ASSERT_TRUE(eventually([&] { return writes().size() == 19; }));
    EXPECT_FALSE(started());
    ASSERT_EQ(queue_blocks(1), 0u);
    ASSERT_TRUE(eventually([] { return dac_state(0).bDACStarted.load(); }));
    EXPECT_TRUE(started());
    EXPECT_EQ(DACOutputStart(0), 183u);
    ASSERT_EQ(queue_blocks(25), 0u);
    ASSERT_EQ(DACOutputClose(0), 0u);
    size_t starts = 0;
    for (const Expected& e : control_log(board_)) starts += e.request == 0xB0 && e.value == 0x01;
    EXPECT_EQ(starts, 1u);  // once per worker
    expect_delivered(45);
}

// More than 32 queued blocks refuse a frame until the board takes data again; nothing is lost.
TEST_P(DacWave, QueueBoundAndTheWaitItCauses)
{
    open();
    ASSERT_EQ(DACOutputSetCount(0, 1), 0u);
    KorvalSim_SetDacStreamBuffer(sim_, board_, 0);
    uint32_t accepted = 0;
    const std::vector<uint16_t> block(4096, 0x0456);
    while (DACOutputFrame(0, 4096, block.data()) == 0) ++accepted;
    EXPECT_GE(accepted, 33u);  // 33 queued, and one more if the worker held one already
    EXPECT_LE(accepted, 34u);
    EXPECT_EQ(DACOutputFrame(0, 4096, block.data()), 21u);
    KorvalSim_SetDacStreamBuffer(sim_, board_, 1u << 20);
    ASSERT_TRUE(eventually([&] { return DACOutputFrame(0, 4096, block.data()) == 0; }));
    ++accepted;
    ASSERT_EQ(DACOutputClose(0), 0u);
    expect_delivered(accepted);
}

TEST_P(DacWave, CloseGivesUpOnABoardThatTakesNoData)
{
    open();
    KorvalSim_SetDacStreamBuffer(sim_, board_, 0);
    ASSERT_EQ(DACOutputSetCount(0, 1), 0u);
    ASSERT_EQ(queue_blocks(3), 0u);
    EXPECT_EQ(DACOutputClose(0), 1460u);
    double rate = 1e6;
    EXPECT_EQ(DACOutputOpen(0, &rate), 0u);  // idle again
    EXPECT_EQ(DACOutputClose(0), 1460u);     // the board still takes nothing: not even the end mark
}

// An unplug while output runs, or while a close waits for the board, ends the worker; the close returns.
TEST_P(DacWave, UnplugDuringOutputAndDuringClose)
{
    for (const bool during_close : {false, true}) {
        SCOPED_TRACE(during_close ? "during close" : "during output");
        TearDown();
        SetUp();
        open();
        KorvalSim_SetDacStreamBuffer(sim_, board_, 0);
        ASSERT_EQ(queue_blocks(3), 0u);
        std::future<uint32_t> closing;
        if (during_close) {
            closing = std::async(std::launch::async, [] { return DACOutputClose(0); });
            ASSERT_TRUE(eventually([] { return !dac_state(0).bDACOpen; }));
        }
        KorvalSim_Unplug(sim_, board_);
        EXPECT_EQ(during_close ? closing.get() : DACOutputClose(0), 1617u);
        EXPECT_EQ(DACOutputClose(0), 1617u);
        EXPECT_EQ(dac_state(0).WorkerThread, nullptr);

        // The board comes back in a new slot life: output opens and plays again.
        KorvalSim_Replug(sim_, board_);
        ClearDevices();
        ASSERT_EQ(GetDevices(), 1u);
        KorvalSim_SetDacStreamBuffer(sim_, board_, 1u << 20);
        double rate = 1e6;
        ASSERT_EQ(DACOutputOpen(0, &rate), 0u);
        ASSERT_EQ(queue_blocks(1), 0u);
        EXPECT_EQ(DACOutputClose(0), 0u);
        expect_delivered(1);
    }
}

TEST_P(DacWave, OneShotOutputInPieces)
{
    const uint32_t board = install_one(0x4001, path());
    double rate = 10000;
    std::vector<uint16_t> samples(15873, 0x2345);
    ASSERT_EQ(DACOutputProcess(0, &rate, 15873, samples.data()), 0u);
    ASSERT_EQ(DACOutputProcess(0, &rate, 0, nullptr), 0u);
    std::vector<uint32_t> sizes;
    std::vector<uint16_t> controls;
    for (const Transfer& t : log(board)) {
        if (t.info.kind == KORVAL_SIM_BULK_OUT) sizes.push_back(t.info.length_moved);
        if (t.info.kind == KORVAL_SIM_CONTROL) controls.push_back(static_cast<uint16_t>(t.request() << 8 | t.value()));
    }
    EXPECT_EQ(sizes, (std::vector<uint32_t>{31744, 2, 0}));
    EXPECT_EQ(controls, (std::vector<uint16_t>{0xB080, 0xB100, 0xB200, 0xB001, 0xB080, 0xB100, 0xB200, 0xB001}));
    KorvalSim_SetDacStreamBuffer(sim_, board, 0);  // a board that takes nothing: the call still returns
    EXPECT_EQ(DACOutputProcess(0, &rate, 15873, samples.data()), 1460u);
    EXPECT_EQ(DACOutputProcess(0, &rate, 0x20000, samples.data()), 14u);
    EXPECT_EQ(DACOutputProcess(0, &rate, 1, nullptr), 87u);
    GuardedPages pages;
    ASSERT_TRUE(pages.ok());
    clear_log(board);
    EXPECT_EQ(DACOutputProcess(0, &rate, 3, reinterpret_cast<const uint16_t*>(pages.before_hole(4))), 998u);
    EXPECT_TRUE(log(board).empty());
}

// The board plays point by point at the programmed rate, in simulated time, and counts running dry.
TEST_P(DacWave, SimulatedBoardPlaysTheWaveform)
{
    KorvalSim_SetManualClock(sim_, 1);
    open(1000);  // a point per millisecond
    ASSERT_EQ(DACOutputSetCount(0, 2), 0u);
    ASSERT_EQ(DACOutputStart(0), 0u);
    const std::vector<uint16_t> frame = {1, 101, 2, 102, 3, 103};
    ASSERT_EQ(DACOutputFrame(0, 3, frame.data()), 0u);
    ASSERT_EQ(DACOutputFrame(0, 3, frame.data()), 0u);
    ASSERT_EQ(DACOutputClose(0), 0u);
    EXPECT_EQ(player().points, 1u);  // the first point went out when the data came
    KorvalSim_AdvanceClock(sim_, 2'500'000);
    EXPECT_EQ(player().points, 3u);
    KorvalSim_AdvanceClock(sim_, 10'000'000);
    const KorvalSimDacStream s = player();
    EXPECT_EQ(s.points, 6u);
    EXPECT_EQ(s.ended, 1u);
    EXPECT_EQ(s.underruns, 0u);
    EXPECT_EQ(s.divisor, 12000u);
    std::vector<uint16_t> played(8);
    uint32_t count = 8;
    ASSERT_EQ(KorvalSim_GetDacPlayed(sim_, board_, 1, 0, played.data(), &count), 0u);
    played.resize(count);
    EXPECT_EQ(played, (std::vector<uint16_t>{101, 102, 103, 101, 102, 103}));

    // Without the end mark the board runs dry: one underrun, however long it waits.
    double rate = 1000;
    ASSERT_EQ(DACOutputOpen(0, &rate), 0u);
    ASSERT_EQ(DACOutputStart(0), 0u);
    ASSERT_EQ(DACOutputFrame(0, 3, frame.data()), 0u);
    ASSERT_EQ(DACOutputCloseNoEnd(0), 0u);
    KorvalSim_AdvanceClock(sim_, 50'000'000);
    EXPECT_EQ(player().points, 3u);
    EXPECT_EQ(player().underruns, 1u);
    EXPECT_EQ(player().ended, 0u);
}

KORVAL_BOTH_PATHS(DacWave);

}  // namespace
}  // namespace korval::test
