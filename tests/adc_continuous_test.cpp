// Continuous acquisition on simulated boards: the data reaches the callback once and in fill order,
// the sample-count requests and the flags, growth under a lagging callback, and ends that always
// return (silent board, unplugged board, the callback's own thread).
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/guarded_pages.h"
#include "support/sim_fixture.h"

namespace korval::test {
namespace {

using namespace std::chrono_literals;

// What the callback saw, one entry per call.
struct Call {
    uint32_t flags;
    uint32_t size;
    std::vector<uint16_t> words;
};

// Records callbacks; a test may hold the callback back (a lagging consumer) or make it throw.
struct Recorder {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Call> calls;
    uint64_t bytes = 0;
    bool hold = false;
    bool throw_once = false;
    uint32_t end_result = 0xFFFFFFFF;  // End called from inside the callback, when asked
    bool call_end = false;

    template <class Pred>
    bool wait(Pred pred, std::chrono::milliseconds timeout = 10s)
    {
        // Some conditions (the ring's counts) change without a notification: look again every millisecond.
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        std::unique_lock lock(mutex);
        while (!pred()) {
            if (std::chrono::steady_clock::now() >= deadline) return false;
            changed.wait_for(lock, 1ms);
        }
        return true;
    }
    void release()
    {
        std::lock_guard lock(mutex);
        hold = false;
        changed.notify_all();
    }
    bool finished()
    {
        return !calls.empty() && calls.back().flags == KORVAL_CONT_FINAL;
    }
};

Recorder* g_recorder = nullptr;

void record(uint16_t* buf, uint32_t size, uint32_t flags, uint32_t context)
{
    Recorder& r = *g_recorder;
    EXPECT_EQ(context, 0xC0FFEEu);
    std::unique_lock lock(r.mutex);
    r.changed.wait(lock, [&] { return !r.hold; });
    r.calls.push_back({flags, size, buf ? std::vector<uint16_t>(buf, buf + size / 2) : std::vector<uint16_t>{}});
    r.bytes += size;
    r.changed.notify_all();
    if (r.call_end) {
        r.call_end = false;
        r.end_result = ADC_BulkContinuousEnd(0, nullptr);
    }
    if (r.throw_once) {
        r.throw_once = false;
        lock.unlock();
        throw std::runtime_error("callback failed");
    }
}

std::vector<uint16_t> counting_words(uint32_t count, uint16_t first = 0)
{
    std::vector<uint16_t> words(count);
    for (uint32_t i = 0; i < count; ++i) words[i] = static_cast<uint16_t>(first + i);
    return words;
}

class Continuous : public SimTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        recorder_.calls.clear();
        recorder_.bytes = 0;
        g_recorder = &recorder_;
    }
    void TearDown() override
    {
        ADC_BulkContinuousEnd(0, nullptr);  // never leaves threads behind a failed test
        SimTest::TearDown();
    }
    void feed(const std::vector<uint16_t>& words)
    {
        ASSERT_EQ(KorvalSim_FeedBulkIn(sim_, board_, 0x86, words.data(), static_cast<uint32_t>(words.size() * 2)), 0u);
    }
    uint32_t start(uint32_t buf_size, int32_t buf_count)
    {
        return ADC_BulkContinuousStart(0, buf_size, buf_count, 0xC0FFEE, record);
    }
    std::array<int32_t, 3> debug()
    {
        std::array<int32_t, 3> s{-1, -1, -1};
        EXPECT_EQ(ADC_BulkContinuousDebug(0, &s[0], &s[1], &s[2]), 0u);
        return s;
    }
    // Every sample word delivered, in delivery order.
    std::vector<uint16_t> delivered()
    {
        std::lock_guard lock(recorder_.mutex);
        std::vector<uint16_t> all;
        for (const Call& c : recorder_.calls) all.insert(all.end(), c.words.begin(), c.words.end());
        return all;
    }
    std::vector<Expected> sample_count_requests()
    {
        std::vector<Expected> out;
        for (const Expected& e : control_log(board_))
            if (e.request == 0xBC) out.push_back(e);
        return out;
    }

    Recorder recorder_;
    uint32_t board_ = 0;
};

TEST_F(Continuous, RefusesBadArgumentsAndMissingAcquisitions)
{
    board_ = install_one(0x8040);
    struct Case {
        uint32_t size;
        int32_t count;
        PContCallback callback;
        uint32_t expected;
    } cases[] = {
        {1000, 4, record, 1784},      // not a multiple of 512
        {0, 4, record, 87},           // empty buffers
        {4096, 0, record, 87},        // empty ring
        {4096, -3, record, 87},
        {4096, 4, nullptr, 87},
        {0x100000, 4096, record, 87},  // 4 GiB per sample-count request does not fit its 32 bits
    };
    for (const Case& c : cases)
        EXPECT_EQ(ADC_BulkContinuousStart(0, c.size, c.count, 0, c.callback), c.expected) << c.size << " x " << c.count;
    int32_t n = 0;
    uint32_t status = 0;
    EXPECT_EQ(ADC_BulkContinuousEnd(0, &status), 38u);
    EXPECT_EQ(ADC_BulkContinuousDebug(0, &n, &n, &n), 38u);
    EXPECT_TRUE(sample_count_requests().empty());
}

TEST_F(Continuous, BoardWithoutBulkInputIsRefused)
{
    board_ = install_one(0x8001);
    EXPECT_EQ(start(4096, 4), 1349u);
    EXPECT_EQ(ADC_BulkContinuousEnd(0, nullptr), 1349u);
}

TEST_F(Continuous, SampleCountRequestEveryRingfulAndFlagOneAfterIt)
{
    board_ = install_one(0x8040);
    const auto words = counting_words(3 * 8192 + 2048);  // three ringfuls and one buffer
    feed(words);
    ASSERT_EQ(start(4096, 4), 0u);
    ASSERT_TRUE(recorder_.wait([&] { return recorder_.bytes == words.size() * 2; }));
    // A second start while one runs is refused.
    EXPECT_EQ(start(4096, 4), 4u);
    uint32_t status = 0xFF;
    ASSERT_EQ(ADC_BulkContinuousEnd(0, &status), 0u);
    EXPECT_EQ(status, 0u);

    EXPECT_EQ(delivered(), words);
    std::vector<uint32_t> new_block;
    for (size_t i = 0; i < recorder_.calls.size(); ++i)
        if (recorder_.calls[i].flags & KORVAL_CONT_NEW_BLOCK) new_block.push_back(static_cast<uint32_t>(i));
    EXPECT_EQ(new_block, (std::vector<uint32_t>{0, 4, 8, 12}));
    EXPECT_EQ(recorder_.calls.back().flags, KORVAL_CONT_FINAL);
    EXPECT_EQ(recorder_.calls.back().size, 0u);
    // 16,384 bytes are 8,192 samples: wValue 0, wIndex 8192; one request per ringful started.
    const Expected request{0x40, 0xBC, 0, 8192, {}};
    EXPECT_EQ(sample_count_requests(), std::vector<Expected>(4, request));
}

TEST_F(Continuous, LaggingCallbackGrowsTheRingAndLosesNothing)
{
    board_ = install_one(0x8040);
    recorder_.hold = true;  // the callback blocks on its first buffer
    ASSERT_EQ(start(512, 2), 0u);
    const auto words = counting_words(10 * 256);
    feed(words);
    // The reader takes all ten buffers: one sits in the callback, nine wait filled, and the reader has
    // added one more for its next read: two at the start, eight added for data, one for the read.
    ASSERT_TRUE(recorder_.wait([&] { return debug() == std::array<int32_t, 3>{0, 2, 9}; }));
    recorder_.release();
    ASSERT_TRUE(recorder_.wait([&] { return recorder_.bytes == words.size() * 2; }));
    ASSERT_EQ(ADC_BulkContinuousEnd(0, nullptr), 0u);

    EXPECT_EQ(delivered(), words);
    ASSERT_EQ(recorder_.calls.size(), 11u);
    // Buffers 0 and 1 used the ring as built; each later one was added for its data.
    for (size_t i = 0; i < 10; ++i)
        EXPECT_EQ((recorder_.calls[i].flags & KORVAL_CONT_GROWN) != 0, i >= 2) << "buffer " << i;
}

TEST_F(Continuous, EndReturnsWhileTheBoardIsSilent)
{
    board_ = install_one(0x8040);
    ASSERT_EQ(start(4096, 8), 0u);
    // Right after the start: the ring as built, one buffer with the reader.
    ASSERT_TRUE(recorder_.wait([&] { return debug()[1] == 1; }));
    EXPECT_EQ(debug(), (std::array<int32_t, 3>{7, 1, 0}));
    uint32_t status = 0xFF;
    EXPECT_EQ(ADC_BulkContinuousEnd(0, &status), 0u);
    EXPECT_EQ(status, 0u);
    ASSERT_EQ(recorder_.calls.size(), 1u);
    EXPECT_EQ(recorder_.calls[0].flags, KORVAL_CONT_FINAL);
    // The board is free for a one-shot acquisition, which in turn keeps a stream from starting until
    // it has ended.
    uint16_t samples[256];
    ASSERT_EQ(ADC_BulkAcquire(0, sizeof samples, samples), 0u);
    EXPECT_EQ(start(4096, 8), 4u);
    ASSERT_EQ(ADC_BulkAbort(0), 0u);
    int32_t left = 0;
    ASSERT_EQ(ADC_BulkPoll(0, &left), 995u);
    EXPECT_EQ(start(4096, 8), 0u);
    EXPECT_EQ(ADC_BulkPoll(0, &left), 2u);  // the ended one-shot acquisition was freed
}

TEST_F(Continuous, EveryFamilyOnBothDriverPaths)
{
    // 16, 64 and 128 channels; the end cancels the silent board's read on either path.
    const std::array<std::pair<uint32_t, uint32_t>, 4> boards = {{{0x8040, KORVAL_SIM_WINUSB},
                                                                 {0x8145, KORVAL_SIM_IOCTL},
                                                                 {0x8059, KORVAL_SIM_WINUSB},
                                                                 {0x8040, KORVAL_SIM_IOCTL}}};
    for (const auto& [pid, path] : boards) {
        SCOPED_TRACE(pid);
        TearDown();
        SetUp();
        board_ = install_one(pid, path);
        const auto words = counting_words(1024, static_cast<uint16_t>(pid));
        feed(words);
        ASSERT_EQ(start(1024, 2), 0u);
        ASSERT_TRUE(recorder_.wait([&] { return recorder_.bytes == words.size() * 2; }));
        uint32_t status = 0xFF;
        EXPECT_EQ(ADC_BulkContinuousEnd(0, &status), 0u);
        EXPECT_EQ(status, 0u);
        EXPECT_EQ(delivered(), words);
        EXPECT_TRUE(recorder_.finished());
    }
}

TEST_F(Continuous, UnplugEndsTheStreamAndEndStillFreesIt)
{
    board_ = install_one(0x8040);
    const auto words = counting_words(512);
    feed(words);
    ASSERT_EQ(start(1024, 4), 0u);
    ASSERT_TRUE(recorder_.wait([&] { return recorder_.bytes == 1024; }));
    ASSERT_EQ(KorvalSim_Unplug(sim_, board_), 0u);
    // The failed read ends the stream: the final call comes without an End.
    ASSERT_TRUE(recorder_.wait([&] { return recorder_.finished(); }));
    uint32_t status = 0;
    EXPECT_EQ(ADC_BulkContinuousEnd(0, &status), 1617u);
    EXPECT_EQ(status, 1617u);
    EXPECT_EQ(delivered(), words);
    EXPECT_EQ(ADC_BulkContinuousEnd(0, &status), 1617u);
}

TEST_F(Continuous, ClosingTheBoardEndsTheStream)
{
    board_ = install_one(0x8040);
    ASSERT_EQ(start(1024, 4), 0u);
    ASSERT_TRUE(recorder_.wait([&] { return debug()[1] == 1; }));  // the read waits on a silent board
    ASSERT_EQ(KORVAL_CloseDevice(0), 0u);
    ASSERT_TRUE(recorder_.wait([&] { return recorder_.finished(); }));
    uint32_t status = 0;
    EXPECT_EQ(ADC_BulkContinuousEnd(0, &status), 2u);  // the slot is empty now
    EXPECT_EQ(status, 995u);
    EXPECT_EQ(ADC_BulkContinuousEnd(0, &status), 2u);
}

TEST_F(Continuous, ZeroLengthReadIsDeliveredOnlyWithAFlag)
{
    board_ = install_one(0x8040);
    short_next(board_, KORVAL_SIM_BULK_IN, KORVAL_SIM_ANY, 0, 2);
    const auto words = counting_words(256);
    feed(words);
    ASSERT_EQ(start(512, 4), 0u);
    ASSERT_TRUE(recorder_.wait([&] { return recorder_.bytes == 512; }));
    ASSERT_EQ(ADC_BulkContinuousEnd(0, nullptr), 0u);
    ASSERT_EQ(recorder_.calls.size(), 3u);
    EXPECT_EQ(recorder_.calls[0].flags, KORVAL_CONT_NEW_BLOCK);  // empty, but the first of its block
    EXPECT_EQ(recorder_.calls[0].size, 0u);
    EXPECT_EQ(recorder_.calls[1].flags, 0u);  // the second empty read was not delivered
    EXPECT_EQ(recorder_.calls[1].words, words);
}

TEST_F(Continuous, ThrowingCallbackAndEndFromTheCallbackStopNothing)
{
    board_ = install_one(0x8040);
    recorder_.throw_once = true;
    recorder_.call_end = true;
    ASSERT_EQ(start(512, 4), 0u);
    const auto words = counting_words(1024);
    feed(words);
    ASSERT_TRUE(recorder_.wait([&] { return recorder_.bytes == words.size() * 2; }));
    EXPECT_EQ(recorder_.end_result, 50u);
    EXPECT_EQ(ADC_BulkContinuousEnd(0, nullptr), 0u);
    EXPECT_EQ(delivered(), words);
}

TEST_F(Continuous, UnusableStatusAndCountMemory)
{
    board_ = install_one(0x8040);
    GuardedPages pages;
    ASSERT_EQ(start(512, 4), 0u);
    int32_t n = 0;
    EXPECT_EQ(ADC_BulkContinuousDebug(0, nullptr, &n, &n), 87u);
    EXPECT_EQ(ADC_BulkContinuousDebug(0, &n, reinterpret_cast<int32_t*>(pages.hole()), &n), 998u);
    // The acquisition is ended and freed even when its status cannot be stored.
    EXPECT_EQ(ADC_BulkContinuousEnd(0, reinterpret_cast<uint32_t*>(pages.hole())), 998u);
    EXPECT_EQ(ADC_BulkContinuousEnd(0, nullptr), 38u);
}


// The soak: the simulated converter streams a counting pattern at a paced rate while the callback
// sleeps at random, so the ring grows in bursts. Every word must follow the one before it, across
// buffers and sample-count requests, and every ringful must start with flag 1. KORVAL_SOAK_SECONDS
// sets the length (2 s by default; run 600 by hand).
struct Soak {
    std::mutex mutex;
    std::condition_variable changed;
    uint32_t next = 0;
    uint64_t bytes = 0;
    uint64_t faults = 0;
    uint64_t grown = 0;
    bool final_seen = false;
    std::mt19937 random{12345};
};
Soak* g_soak = nullptr;
constexpr uint32_t kSoakPattern = 8192;  // words per ringful of 4 x 4,096 bytes

void soak_record(uint16_t* buf, uint32_t size, uint32_t flags, uint32_t)
{
    Soak& s = *g_soak;
    std::unique_lock lock(s.mutex);
    if (flags & KORVAL_CONT_FINAL) {
        s.final_seen = true;
        s.changed.notify_all();
        return;
    }
    if (flags & KORVAL_CONT_GROWN) ++s.grown;
    if (((flags & KORVAL_CONT_NEW_BLOCK) != 0) != (s.next == 0)) ++s.faults;
    for (uint32_t i = 0; i < size / 2; ++i) {
        if (buf[i] != s.next) ++s.faults;
        s.next = (buf[i] + 1u) % kSoakPattern;
    }
    s.bytes += size;
    if (s.faults != 0) s.changed.notify_all();
    // Half the calls return at once, the others sleep up to 5 ms: 1.25 ms a buffer on average against
    // 2 ms of data, with bursts that outrun the ring.
    const uint32_t sleep_us = s.random() % 2 ? s.random() % 5000 : 0;
    lock.unlock();
    std::this_thread::sleep_for(std::chrono::microseconds(sleep_us));
}

TEST_F(Continuous, SoakWithARandomlySleepingCallback)
{
    board_ = install_one(0x8040);
    Soak soak;
    g_soak = &soak;
    std::vector<uint8_t> block(20, 0);
    block[17] = 1;  // the board's pacing clock starts each announced count at once
    ASSERT_EQ(KorvalSim_SetAdcConfig(sim_, board_, block.data(), 20), 0u);
    const auto pattern = counting_words(kSoakPattern);
    ASSERT_EQ(KorvalSim_SetAdcPattern(sim_, board_, pattern.data(), kSoakPattern), 0u);
    ASSERT_EQ(KorvalSim_SetAdcRate(sim_, board_, 1e6), 0u);  // 2 MB/s
    ASSERT_EQ(KorvalSim_SetLogLimits(sim_, board_, 1024, 0), 0u);

    const char* env = std::getenv("KORVAL_SOAK_SECONDS");
    const auto seconds = std::chrono::seconds(env != nullptr ? std::atoi(env) : 2);
    ASSERT_EQ(ADC_BulkContinuousStart(0, 4096, 4, 0, soak_record), 0u);
    {
        std::unique_lock lock(soak.mutex);
        soak.changed.wait_for(lock, seconds, [&] { return soak.faults != 0; });
    }
    uint32_t status = 0xFF;
    ASSERT_EQ(ADC_BulkContinuousEnd(0, &status), 0u);
    EXPECT_EQ(status, 0u);
    std::lock_guard lock(soak.mutex);
    EXPECT_TRUE(soak.final_seen);
    EXPECT_EQ(soak.faults, 0u);
    EXPECT_GT(soak.bytes, 0u);
    RecordProperty("bytes", std::to_string(soak.bytes));
    RecordProperty("grown", std::to_string(soak.grown));
}

}  // namespace
}  // namespace korval::test
