// One-shot bulk acquisition on both driver paths: the sample-count request, reads sized by the
// streaming block straight into the caller's buffer, polling, the busy rules, abort, time-out, unplug.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

#include "support/guarded_pages.h"
#include "support/sim_fixture.h"

namespace korval::test {
namespace {

class Acquire : public PathTest {
protected:
    // A board that starts sampling by itself after the sample count (trigger byte start source 1).
    uint32_t self_starting_board(uint32_t pid = 0x8040)
    {
        const uint32_t board = install_one(pid, path());
        std::vector<uint8_t> block = adc_block(board);
        block[17] = 1;
        EXPECT_EQ(KorvalSim_SetAdcConfig(sim_, board, block.data(), static_cast<uint32_t>(block.size())), 0u);
        return board;
    }
    // Polls until the acquisition has ended; its result (the poll's code, or 0 when all bytes came).
    static uint32_t wait_for_end(std::chrono::seconds limit = std::chrono::seconds(20))
    {
        const auto until = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < until) {
            int32_t left = -1;
            const uint32_t r = ADC_BulkPoll(0, &left);
            if (r != 0 || left == 0) return r;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return 0xFFFFFFFF;
    }
    std::vector<uint32_t> read_lengths(uint32_t board) const
    {
        std::vector<uint32_t> lengths;
        for (const Transfer& t : log(board))
            if (t.info.kind == KORVAL_SIM_BULK_IN && t.info.error == 0) lengths.push_back(t.info.length_asked);
        return lengths;
    }
};

TEST_P(Acquire, AnnouncesTheSampleCountAndReadsByTheBlockSizeIntoTheBuffer)
{
    const uint32_t board = self_starting_board();
    std::vector<uint16_t> pattern(977);
    for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<uint16_t>(i * 67 + 3);
    ASSERT_EQ(KorvalSim_SetAdcPattern(sim_, board, pattern.data(), static_cast<uint32_t>(pattern.size())), 0u);

    std::vector<uint16_t> buffer(50000, 0xEEEE);
    ASSERT_EQ(ADC_BulkAcquire(0, 100000, buffer.data()), 0u);
    ASSERT_EQ(wait_for_end(), 0u);
    EXPECT_EQ(control_log(board), (std::vector<Expected>{{0x40, 0xBC, 0, 50000, {}}}));
    EXPECT_EQ(read_lengths(board), (std::vector<uint32_t>{31744, 31744, 31744, 4768}));
    for (size_t i = 0; i < buffer.size(); ++i) ASSERT_EQ(buffer[i], pattern[i % pattern.size()]) << i;
    // An acquisition that completed: the abort changes nothing and reports its success.
    EXPECT_EQ(ADC_BulkAbort(0), 0u);
    int32_t left = -1;
    EXPECT_EQ(ADC_BulkPoll(0, &left), 0u);
    EXPECT_EQ(left, 0);
}

TEST_P(Acquire, SampleCountsBeyond16BitsAndSmallerBlocks)
{
    const uint32_t board = self_starting_board();
    std::vector<uint8_t> buffer(0x40000);
    ASSERT_EQ(KORVAL_SetStreamingBlockSize(0, 0x10000), 0u);
    ASSERT_EQ(ADC_BulkAcquire(0, 0x40000, buffer.data()), 0u);
    ASSERT_EQ(wait_for_end(), 0u);
    EXPECT_EQ(control_log(board), (std::vector<Expected>{{0x40, 0xBC, 2, 0, {}}}));
    EXPECT_EQ(read_lengths(board), (std::vector<uint32_t>{0x10000, 0x10000, 0x10000, 0x10000}));
}

TEST_P(Acquire, OneAcquisitionAtATimeAndTheNextStartFreesTheLast)
{
    const uint32_t board = self_starting_board();
    ASSERT_EQ(KorvalSim_SetAdcStopped(sim_, board, 1), 0u);
    std::vector<uint8_t> first(1000), second(1000);
    ASSERT_EQ(ADC_BulkAcquire(0, 1000, first.data()), 0u);
    EXPECT_EQ(ADC_BulkAcquire(0, 1000, second.data()), 4u);
    uint16_t word = 0xFFFF;
    clear_log(board);
    EXPECT_EQ(ADC_GetImmediate(0, 0, &word), 4u);  // no start request beside a running acquisition
    EXPECT_TRUE(control_log(board).empty());
    ASSERT_EQ(KorvalSim_SetAdcStopped(sim_, board, 0), 0u);
    ASSERT_EQ(wait_for_end(), 0u);
    EXPECT_EQ(ADC_BulkAcquire(0, 1000, second.data()), 0u);
    EXPECT_EQ(wait_for_end(), 0u);
}

TEST_P(Acquire, AbortEndsAReadTheBoardNeverAnswers)
{
    const uint32_t board = self_starting_board();
    ASSERT_EQ(KorvalSim_SetAdcStopped(sim_, board, 1), 0u);
    std::vector<uint8_t> buffer(4096);
    ASSERT_EQ(ADC_BulkAcquire(0, 4096, buffer.data()), 0u);
    EXPECT_EQ(ADC_BulkAbort(0), 0u);
    int32_t left = 77;
    EXPECT_EQ(ADC_BulkPoll(0, &left), 995u);
    EXPECT_EQ(left, 77);  // not written for a failed acquisition
    EXPECT_EQ(ADC_BulkAbort(0), 995u);
}

TEST_P(Acquire, ABoardThatStopsSendingTimesOut)
{
    const uint32_t board = self_starting_board();
    ASSERT_EQ(KorvalSim_SetAdcStopped(sim_, board, 1), 0u);
    std::vector<uint8_t> buffer(2);
    ASSERT_EQ(ADC_BulkAcquire(0, 2, buffer.data()), 0u);
    EXPECT_EQ(wait_for_end(), 1460u);
}

TEST_P(Acquire, UnplugEndsTheAcquisitionAndTheWorkerIsStillFreed)
{
    const uint32_t board = self_starting_board();
    ASSERT_EQ(KorvalSim_SetAdcStopped(sim_, board, 1), 0u);
    std::vector<uint8_t> buffer(4096);
    ASSERT_EQ(ADC_BulkAcquire(0, 4096, buffer.data()), 0u);
    ASSERT_EQ(KorvalSim_Unplug(sim_, board), 0u);
    // The slot is removed: every call says so, and the abort still ends the worker.
    EXPECT_EQ(wait_for_end(), 1617u);
    EXPECT_EQ(ADC_BulkAbort(0), 1617u);
}

TEST_P(Acquire, ChecksInOrder)
{
    install_one(0x8001, path());  // digital board: no analog input
    uint8_t buffer[4];
    int32_t left = 0;
    EXPECT_EQ(ADC_BulkAcquire(0, 4, buffer), 1349u);
    EXPECT_EQ(ADC_BulkPoll(0, &left), 1349u);
    EXPECT_EQ(ADC_BulkAbort(0), 1349u);
    EXPECT_EQ(ADC_Start(0), 1349u);
    EXPECT_EQ(ADC_Stop(0), 1349u);
    EXPECT_EQ(ADC_BulkAcquire(40, 4, buffer), 1413u);
}

TEST_P(Acquire, BadArgumentsAndNoWorker)
{
    const uint32_t board = install_one(0x8040, path());
    GuardedPages pages;
    ASSERT_TRUE(pages.ok());
    uint8_t buffer[8];
    int32_t left = 0;
    EXPECT_EQ(ADC_Start(0), 0u);
    EXPECT_EQ(ADC_Stop(0), 0u);
    EXPECT_EQ(ADC_BulkPoll(0, &left), 2u);
    EXPECT_EQ(ADC_BulkAbort(0), 2u);
    struct Case {
        uint32_t size;
        void* buffer;
        uint32_t result;
    };
    for (const Case& c : {Case{0, buffer, 87}, Case{7, buffer, 87}, Case{8, nullptr, 87},
                          Case{0x80000000u, buffer, 87}, Case{8, pages.hole(), 998}, Case{8, pages.read_only(), 998}})
        EXPECT_EQ(ADC_BulkAcquire(0, c.size, c.buffer), c.result) << c.size;
    EXPECT_TRUE(control_log(board).empty());
}

TEST_P(Acquire, APacedBoardSendsAsSimulatedTimePassesAndNoiseRepeatsByItsSeed)
{
    const uint32_t board = self_starting_board();
    ASSERT_EQ(KorvalSim_SetManualClock(sim_, 1), 0u);
    ASSERT_EQ(KorvalSim_SetAdcRate(sim_, board, 1000.0), 0u);
    KorvalSimAdcSignal noise{KORVAL_SIM_SIGNAL_NOISE, 42, 5.0, 4.0, 0.0};
    ASSERT_EQ(KorvalSim_SetAdcSignal(sim_, board, 0, &noise), 0u);
    std::vector<uint16_t> first(100), second(100);
    ASSERT_EQ(ADC_BulkAcquire(0, 200, first.data()), 0u);
    // 51 of the 100 samples have been taken after 50 ms: the read goes on waiting.
    ASSERT_EQ(KorvalSim_AdvanceClock(sim_, 50'000'000), 0u);
    int32_t left = 0;
    EXPECT_EQ(ADC_BulkPoll(0, &left), 0u);
    EXPECT_EQ(left, 200);
    ASSERT_EQ(KorvalSim_AdvanceClock(sim_, 50'000'000), 0u);
    ASSERT_EQ(wait_for_end(), 0u);
    ASSERT_EQ(ADC_BulkAcquire(0, 200, second.data()), 0u);
    ASSERT_EQ(KorvalSim_AdvanceClock(sim_, 100'000'000), 0u);
    ASSERT_EQ(wait_for_end(), 0u);
    EXPECT_EQ(first, second);
    const auto [low, high] = std::minmax_element(first.begin(), first.end());
    EXPECT_GE(*low, 6553);   // 1 V
    EXPECT_LE(*high, 58982);  // 9 V
    EXPECT_GT(*high - *low, 20000);
}

TEST_P(Acquire, WithoutCancellingTheHostReadsInSlicesThatSeeTheAbort)
{
    const uint32_t board = add(0x8040, path());
    KorvalHost host = *KorvalSim_Host(sim_);
    host.winusb_abort_pipe = nullptr;
    host.cancel_io = nullptr;
    ASSERT_EQ(KORVAL_InstallHost(&host), 0u);
    ASSERT_EQ(GetDevices(), 1u);
    uint8_t block[20] = {};
    block[17] = 1;
    ASSERT_EQ(KorvalSim_SetAdcConfig(sim_, board, block, sizeof block), 0u);
    ASSERT_EQ(KorvalSim_SetAdcStopped(sim_, board, 1), 0u);
    std::vector<uint8_t> buffer(4096);
    ASSERT_EQ(ADC_BulkAcquire(0, 4096, buffer.data()), 0u);
    EXPECT_EQ(ADC_BulkAbort(0), 0u);
    ASSERT_EQ(KorvalSim_SetAdcStopped(sim_, board, 0), 0u);
    EXPECT_EQ(wait_for_end(), 995u);
    // At most the one slice in progress was read (none when the abort came before it).
    EXPECT_LE(read_lengths(board).size(), 1u);
    for (const Transfer& t : log(board))
        if (t.info.kind == KORVAL_SIM_BULK_IN) {
            EXPECT_EQ(t.info.length_asked, 512u);
        }
}

KORVAL_BOTH_PATHS(Acquire);

}  // namespace
}  // namespace korval::test
