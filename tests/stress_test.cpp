// Several callers on one board at once, and the board unplugged while they run. Run under
// ThreadSanitizer in continuous integration, where these are the data-race checks of the transport.
#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/worker.h"
#include "support/sim_fixture.h"
#include "support/thread_count.h"
#include "usb/deadline.h"

namespace korval::test {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kPatience = std::chrono::seconds(30);

// Threads of this process (the library's workers among them).
int threads_now()
{
    // A sanitizer's runtime (and Wine) starts a thread of its own with the first thread a program
    // makes: make one before counting, so that counts compare the library's threads only.
    static const bool runtime_threads_started = [] {
        std::thread([] {}).join();
        return true;
    }();
    (void)runtime_threads_started;
    return thread_count();
}

// Waits, bounded, for the library's threads to be gone: the process back to `threads` threads. A
// joined thread can still be listed for a moment after the join returns.
bool threads_back_to(int threads)
{
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (threads_now() > threads && Clock::now() < deadline) std::this_thread::yield();
    return threads_now() <= threads;
}

// One caller's round of work on slot 0: reads and writes of its own part of the board's state, each
// checked. Returns the first failure's code, 0 when the round went through.
using Round = std::function<uint32_t(int caller, int round)>;

uint32_t mixed_round(int caller, int round)
{
    // Each caller keeps to its own EEPROM bytes, so what it reads back must be what it wrote.
    const uint32_t address = 0x40 * static_cast<uint32_t>(caller);
    uint8_t wrote[8];
    for (int i = 0; i < 8; ++i) wrote[i] = static_cast<uint8_t>(round * 7 + i + caller);
    if (const uint32_t r = CustomEEPROMWrite(0, address, sizeof wrote, wrote)) return r;
    uint8_t read[8] = {};
    uint32_t size = sizeof read;
    if (const uint32_t r = CustomEEPROMRead(0, address, &size, read)) return r;
    if (size != sizeof read || std::memcmp(read, wrote, sizeof read) != 0) return ERROR_INVALID_DATA;

    uint8_t ports[2] = {};
    if (const uint32_t r = DIO_ReadAll(0, ports)) return r;
    uint16_t count = 0;
    if (const uint32_t r = CTR_8254Read(0, 0, 0, &count)) return r;
    uint32_t pid = 0, name_size = 32;
    char name[32];
    if (const uint32_t r = QueryDeviceInfo(0, &pid, &name_size, name, nullptr, nullptr)) return r;
    return pid == 0x8140 ? ERROR_SUCCESS : ERROR_INVALID_DATA;
}

class Stress : public PathTest {
protected:
    // Runs `callers` threads doing rounds until `rounds` are done or one fails; `during` runs on this
    // thread once every caller has done a few rounds (or ended). Returns each caller's last result. A
    // caller still busy after the time limit is asked to stop, so the test ends either way.
    std::vector<uint32_t> run(int callers, int rounds, const std::function<void()>& during = {})
    {
        std::atomic<int> warmed_up{0};
        std::atomic<int> ended{0};
        std::atomic<bool> stop{false};
        std::vector<uint32_t> results(static_cast<size_t>(callers), 0);
        std::vector<std::thread> threads;
        for (int c = 0; c < callers; ++c) {
            threads.emplace_back([&, c] {
                uint32_t& result = results[static_cast<size_t>(c)];
                bool warm = false;
                for (int round = 0; round < rounds && !stop.load(); ++round) {
                    result = mixed_round(c, round);
                    if (round == 3) {
                        warm = true;
                        warmed_up.fetch_add(1);
                    }
                    if (result != ERROR_SUCCESS) break;
                }
                if (!warm) warmed_up.fetch_add(1);  // ended before warming up: do not hold up `during`
                ended.fetch_add(1);
            });
        }
        auto wait_until = [](const std::atomic<int>& count, int wanted) {
            const auto deadline = Clock::now() + kPatience;
            while (count.load() < wanted && Clock::now() < deadline) std::this_thread::yield();
        };
        if (during) {
            wait_until(warmed_up, callers);
            during();
        }
        wait_until(ended, callers);
        stop = true;
        for (auto& t : threads) t.join();
        return results;
    }
};

TEST_P(Stress, TwoCallersOnOneBoardEachSeeTheirOwnData)
{
    install_one(0x8140, path());
    for (uint32_t r : run(2, 200)) EXPECT_EQ(r, 0u);
}

TEST_P(Stress, UnplugWhileTwoCallersRunEndsBothWithTheBoardGone)
{
    const uint32_t board = install_one(0x8140, path());
    const auto results = run(2, 1000000, [&] { KorvalSim_Unplug(sim_, board); });
    // On the DeviceIoControl path a failed read reports the driver's code and leaves the slot open: 1167
    // for the unplugged board, or 6 when the other caller's failed write closed the handle first. A
    // failed write marks the slot removed. Either way every caller stops with the board's absence.
    for (uint32_t r : results)
        EXPECT_TRUE(r == ERROR_DEVICE_REMOVED ||
                    (ioctl() && (r == ERROR_DEVICE_NOT_CONNECTED || r == ERROR_INVALID_HANDLE)))
            << r;
    EXPECT_EQ(CustomEEPROMWrite(0, 0, 1, "x"), ERROR_DEVICE_REMOVED);
    uint32_t handle = 0;
    EXPECT_EQ(GetDeviceHandle(0, &handle), ERROR_DEVICE_REMOVED);
}

KORVAL_BOTH_PATHS(Stress);

// The threads one call starts: a worker only where the call has one of its own (a triggered scan's
// time-out thread); the deadlines of the reads and writes are kept by the library's one timer.
TEST_P(Stress, ACallStartsOnlyItsOwnWorkers)
{
    // Board 0 scans, board 1 plays waveforms.
    add(0x8040, path());
    add(0x4001, path());
    install();
    struct Case {
        const char* name;
        uint32_t result;
        uint64_t workers;
        std::function<uint32_t()> call;
    };
    const Case cases[] = {
        {"ADC_GetScan", 0, 0,
         [] {
             std::array<uint16_t, 256> b{};
             return ADC_GetScan(0, b.data());
         }},
        {"ADC_GetTrigScan", ERROR_TIMEOUT, 1,
         [] {
             std::array<uint16_t, 256> b{};
             return ADC_GetTrigScan(0, b.data(), 1);
         }},
        {"DACOutputProcess", 0, 0,
         [] {
             double hz = 1000;
             const uint16_t points[4] = {};
             return DACOutputProcess(1, &hz, 4, points);
         }},
    };
    for (const Case& c : cases) {
        for (int round = 0; round < 2; ++round) {
            const uint64_t before = Worker::started_count();
            const int threads = threads_now();
            const bool timer = usb::deadline_timer_running();
            EXPECT_EQ(c.call(), c.result) << c.name;
            EXPECT_EQ(Worker::started_count() - before, c.workers) << c.name;
            EXPECT_TRUE(usb::deadline_timer_running()) << c.name;
            // The call's own worker has been joined; only the timer, started by this call, may stay.
            const int allowed = threads + (timer ? 0 : 1);
            EXPECT_TRUE(threads_back_to(allowed))
                << c.name << ": " << threads_now() << " threads, " << threads << " before";
        }
    }
}

// The background operations, each as a begin (which may start a worker, or block as a gate wait does)
// and an end, with the result codes each may return on a board that is there.
struct BackgroundOp {
    const char* name;
    uint32_t pid;
    std::function<uint32_t(int caller)> begin;
    std::function<uint32_t()> end;
    std::set<uint32_t> begin_codes;
    std::set<uint32_t> end_codes;
    // What a begin returns once the board is gone. A continuous acquisition's start sends nothing, so
    // it may still start one whose reader then finds the board gone.
    std::set<uint32_t> unplugged_codes = {ERROR_DEVICE_REMOVED};
};

void on_samples(uint16_t*, uint32_t, uint32_t, uint32_t) {}

// Per caller: a one-shot acquisition's target, and a frame of points; they outlive every worker.
constexpr int kCallers = 4;
std::array<std::array<uint16_t, 2048>, kCallers> g_buffers{};

uint32_t dac_begin(int caller)
{
    double hz = 100000;
    const uint32_t r = DACOutputOpen(0, &hz);
    if (r != ERROR_SUCCESS && r != ERROR_TOO_MANY_OPEN_FILES) return r;
    // Frames are queued whoever opened the output; one closed meanwhile answers 2.
    return DACOutputFrame(0, 256, g_buffers[static_cast<size_t>(caller)].data());
}

uint32_t dio_begin(int caller)
{
    const uint32_t r = DIO_StreamOpen(0, caller % 2 == 0);
    if (r != ERROR_SUCCESS && r != ERROR_TOO_MANY_OPEN_FILES) return r;
    uint32_t moved = 0;
    return DIO_StreamFrame(0, 1024, g_buffers[static_cast<size_t>(caller)].data(), &moved);
}

const std::vector<BackgroundOp>& background_ops()
{
    static const std::vector<BackgroundOp> ops = {
        {"one_shot", 0x8040,
         [](int c) { return ADC_BulkAcquire(0, sizeof g_buffers[0], g_buffers[static_cast<size_t>(c)].data()); },
         [] { return ADC_BulkAbort(0); }, {0, 4}, {0, 2, 995}},
        {"continuous", 0x8040, [](int c) { return ADC_BulkContinuousStart(0, 1024, 4, static_cast<uint32_t>(c), on_samples); },
         [] {
             uint32_t status = 0;
             return ADC_BulkContinuousEnd(0, &status);
         },
         {0, 4}, {0, 38}, {0, ERROR_DEVICE_REMOVED}},
        {"waveform", 0x4001, dac_begin, [] { return DACOutputClose(0); }, {0, 2, 21}, {0, 2}},
        {"digital_stream", 0x800C, dio_begin, [] { return DIO_StreamClose(0); }, {0, 2, 995}, {0, 2}},
        {"gate_wait", 0x8020,
         [](int c) {
             uint8_t content[2];
             return CTR_WaitForGate(0, static_cast<uint32_t>(c % 2), content);
         },
         [] { return CTR_EndWaitGates(0); }, {0, 995}, {0}},
        {"pulse_width", 0x8020, [](int) { return CTR_StartMeasuringPulseWidth(0); },
         [] { return CTR_StopMeasuringPulseWidth(0); }, {0}, {0, 2}},
    };
    return ops;
}

class BackgroundStress : public SimTest, public ::testing::WithParamInterface<size_t> {
protected:
    const BackgroundOp& op() const { return background_ops()[GetParam()]; }

    // Runs kCallers threads, each beginning and ending the operation `rounds` times (or until `stop`),
    // and one more that keeps ending it until they are done, so that a begin that blocks is ended too.
    // `during` runs once kCallers rounds are done, and the callers stop a few rounds after it. Returns
    // the calls that returned a code outside their kind's set.
    std::vector<std::string> hammer(int rounds, const std::function<void()>& during = {})
    {
        std::mutex lock;
        std::vector<std::string> unexpected;
        const auto note = [&](const char* what, uint32_t code, const std::set<uint32_t>& allowed) {
            if (allowed.count(code) != 0) return;
            std::lock_guard guard(lock);
            unexpected.push_back(std::string(what) + " " + std::to_string(code));
        };
        std::atomic<int> rounds_done{0}, ended{0};
        std::atomic<bool> stop{false};
        std::vector<std::thread> threads;
        for (int c = 0; c < kCallers; ++c) {
            threads.emplace_back([&, c] {
                for (int round = 0; round < rounds && !stop.load(); ++round) {
                    note("begin", op().begin(c), begin_codes_);
                    note("end", op().end(), end_codes_);
                    rounds_done.fetch_add(1);
                }
                ended.fetch_add(1);
            });
        }
        threads.emplace_back([&] {
            while (ended.load() < kCallers && !stop.load()) note("end", op().end(), end_codes_);
        });
        const auto deadline = Clock::now() + kPatience;
        const auto wait_for_rounds = [&](int wanted) {
            while (rounds_done.load() < wanted && ended.load() < kCallers && Clock::now() < deadline)
                std::this_thread::yield();
        };
        if (during) {
            wait_for_rounds(kCallers);
            during();
            wait_for_rounds(rounds_done.load() + 4 * kCallers);
            stop = true;
        }
        while (ended.load() < kCallers && Clock::now() < deadline) std::this_thread::yield();
        EXPECT_EQ(ended.load(), kCallers) << "callers still blocked";
        stop = true;
        // A caller blocked past the patience (a hang) is ended by ending the operation again.
        while (ended.load() < kCallers) op().end();
        for (auto& t : threads) t.join();
        return unexpected;
    }

    std::set<uint32_t> begin_codes_, end_codes_;
};

TEST_P(BackgroundStress, BeginAndEndFromSeveralThreadsAtOnce)
{
    install_one(op().pid);
    const int before = threads_now();
    begin_codes_ = op().begin_codes;
    end_codes_ = op().end_codes;
    EXPECT_EQ(hammer(20), std::vector<std::string>{});
    op().end();
    EXPECT_TRUE(threads_back_to(before)) << threads_now() << " threads, " << before << " before";
}

TEST_P(BackgroundStress, UnplugWhileSeveralThreadsRunIt)
{
    const uint32_t board = install_one(op().pid);
    const int before = threads_now();
    // Once the board is gone, a call may also report its absence the way the transfer that found it
    // failed: 1617, or 31 for a request the board did not answer.
    begin_codes_ = op().begin_codes;
    end_codes_ = op().end_codes;
    for (auto* codes : {&begin_codes_, &end_codes_}) codes->insert({ERROR_DEVICE_REMOVED, ERROR_GEN_FAILURE});
    EXPECT_EQ(hammer(1000000, [&] { KorvalSim_Unplug(sim_, board); }), std::vector<std::string>{});
    const uint32_t later = op().begin(0);
    EXPECT_EQ(op().unplugged_codes.count(later), 1u) << later;
    op().end();
    EXPECT_TRUE(threads_back_to(before)) << threads_now() << " threads, " << before << " before";
}

INSTANTIATE_TEST_SUITE_P(Ops, BackgroundStress, ::testing::Range<size_t>(0, 6),
                         [](const ::testing::TestParamInfo<size_t>& info) {
                             return std::string(background_ops()[info.param].name);
                         });

}  // namespace
}  // namespace korval::test
