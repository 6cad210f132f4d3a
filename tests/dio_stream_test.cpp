// Digital streaming on simulated boards: open and close, the clock words and the octave boundaries,
// frames split by the streaming block size with the short-block rule, and points paced by the clocks.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <future>
#include <limits>
#include <numeric>
#include <vector>

#include "support/guarded_pages.h"
#include "support/sim_fixture.h"

namespace korval::test {
namespace {

constexpr uint32_t kStreaming = 0x800C;

class DioStream : public PathTest {
protected:
    // The bulk transfers of the log: endpoint and bytes asked.
    std::vector<std::pair<uint8_t, uint32_t>> bulk(uint32_t board) const
    {
        std::vector<std::pair<uint8_t, uint32_t>> out;
        for (const Transfer& t : log(board))
            if (t.info.kind == KORVAL_SIM_BULK_IN || t.info.kind == KORVAL_SIM_BULK_OUT)
                out.emplace_back(t.info.endpoint, t.info.length_asked);
        return out;
    }
};

TEST_P(DioStream, OpenAndClose)
{
    const uint32_t board = install_one(kStreaming, path());
    EXPECT_EQ(DIO_StreamClose(0), 2u);
    EXPECT_EQ(DIO_StreamOpen(0, 1), 0u);
    EXPECT_EQ(DIO_StreamOpen(0, 0), 4u);
    EXPECT_EQ(DIO_StreamClose(0), 0u);
    EXPECT_EQ(DIO_StreamClose(0), 2u);
    EXPECT_EQ(DIO_StreamOpen(0, 0), 0u);
    EXPECT_EQ(control_log(board), (std::vector<Expected>{{0x40, 0xBC, 0, 0, {}}, {0x40, 0xBB, 0, 0, {}}}));
    KorvalSimDigitalStream state{};
    KorvalSim_GetDigitalStream(sim_, board, &state);
    EXPECT_EQ(state.direction, KORVAL_SIM_STREAM_TO_BOARD);
    EXPECT_EQ(DIO_StreamClose(0), 0u);

    // An open whose request fails still leaves the stream open.
    fail_next(board, KORVAL_SIM_CONTROL, 0xBB, 31);
    EXPECT_EQ(DIO_StreamOpen(0, 0), 31u);
    uint16_t point = 0;
    uint32_t count = 0;
    EXPECT_EQ(DIO_StreamFrame(0, 1, &point, &count), 0u);
    EXPECT_EQ(DIO_StreamClose(0), 0u);
}

TEST_P(DioStream, ClockWords)
{
    const uint32_t board = install_one(kStreaming, path());
    struct Case {
        double a, b;
        std::vector<uint8_t> block;
        double a_back, b_back;
    } const cases[] = {
        {0, 0, {0x03, 0, 0, 0, 0}, 0, 0},
        {500, 0, {0x01, 0, 0, 0, 0}, 1039, 0},
        {10000, 1e6, {0x00, 0x9E, 0xFC, 0x35, 0x68}, 10001.748531139836, 1000432.0146923783},
        {50e6, 40e6, {0x00, 0xF4, 0xC4, 0xF4, 0xC4}, 40003505.27596099, 40003505.27596099},
        {1039, 2078, {0x00, 0x10, 0x00, 0x00, 0x00}, 1039, 2078},
        // Just below an octave boundary the offset rounds to 1024 and is carried into the next octave:
        // the word and the frequency written back agree.
        {4155.8, 1039 * 16 * 0.9999, {0x00, 0x40, 0x00, 0x20, 0x00}, 4156, 16624},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.a << " Hz, " << c.b << " Hz");
        clear_log(board);
        double a = c.a;
        double b = c.b;
        ASSERT_EQ(DIO_StreamSetClocks(0, &a, &b), 0u);
        EXPECT_EQ(control_log(board), (std::vector<Expected>{{0x40, 0xBD, 0, 0, c.block}}));
        EXPECT_NEAR(a, c.a_back, 1e-6);
        EXPECT_NEAR(b, c.b_back, 1e-6);
        KorvalSimDigitalStream state{};
        ASSERT_EQ(KorvalSim_GetDigitalStream(sim_, board, &state), 0u);
        EXPECT_NEAR(state.clock_a_hz, a, 1e-6);
        EXPECT_NEAR(state.clock_b_hz, b, 1e-6);
    }
    // Every word between two octaves gives back what the oscillator makes, across the whole range.
    for (double hz = 1039; hz < 40e6; hz *= 1.002) {
        double a = hz;
        double b = 0;
        ASSERT_EQ(DIO_StreamSetClocks(0, &a, &b), 0u);
        KorvalSimDigitalStream state{};
        KorvalSim_GetDigitalStream(sim_, board, &state);
        ASSERT_NEAR(state.clock_a_hz, a, a * 1e-12) << hz;
        ASSERT_LT(std::fabs(a - hz) / hz, 0.001) << hz;
    }
    // Negative and not-a-number frequencies are refused before anything is sent or written back.
    clear_log(board);
    for (const double bad : {-1.0, std::numeric_limits<double>::quiet_NaN()}) {
        double a = bad;
        double b = 1000;
        EXPECT_EQ(DIO_StreamSetClocks(0, &a, &b), 87u);
        EXPECT_EQ(b, 1000);
        EXPECT_EQ(DIO_StreamSetClocks(0, &b, &a), 87u);
    }
    double a = 1000;
    EXPECT_EQ(DIO_StreamSetClocks(0, &a, nullptr), 87u);
    EXPECT_TRUE(control_log(board).empty());
}

TEST_P(DioStream, FramesAcrossBlockSizes)
{
    const uint32_t board = install_one(kStreaming, path());
    std::vector<uint8_t> fill(80000, 0x5A);
    struct Case {
        uint32_t block_size, points;
        bool read;
        std::vector<uint32_t> transfers;
    } const cases[] = {
        {31744, 31744, true, {63488}},
        {31744, 31745, true, {63488, 2}},
        {31744, 1, false, {2}},
        {256, 1000, false, {512, 512, 512, 464}},
        {256, 512, true, {512, 512}},
    };
    std::vector<uint16_t> frame(40000);
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.block_size << " " << c.points << (c.read ? " in" : " out"));
        ASSERT_EQ(KORVAL_SetStreamingBlockSize(0, c.block_size), 0u);
        ASSERT_EQ(DIO_StreamOpen(0, c.read ? 1 : 0), 0u);
        if (c.read) KorvalSim_FeedBulkIn(sim_, board, 0x86, fill.data(), c.points * 2);
        clear_log(board);
        uint32_t count = 0;
        EXPECT_EQ(DIO_StreamFrame(0, c.points, frame.data(), &count), 0u);
        EXPECT_EQ(count, c.points * 2);
        std::vector<std::pair<uint8_t, uint32_t>> want;
        for (const uint32_t bytes : c.transfers) want.emplace_back(c.read ? 0x86 : 0x02, bytes);
        EXPECT_EQ(bulk(board), want);
        ASSERT_EQ(DIO_StreamClose(0), 0u);
    }
}

TEST_P(DioStream, ShortBlocks)
{
    const uint32_t board = install_one(kStreaming, path());
    std::vector<uint16_t> frame(70000);
    ASSERT_EQ(DIO_StreamOpen(0, 0), 0u);
    // A first block 100 bytes short ends the frame with 38; no further block is tried.
    clear_log(board);
    short_next(board, KORVAL_SIM_BULK_OUT, KORVAL_SIM_ANY, 63388);
    uint32_t count = 1;
    EXPECT_EQ(DIO_StreamFrame(0, 40000, frame.data(), &count), 38u);
    EXPECT_EQ(count, 63388u);
    EXPECT_EQ(bulk(board).size(), 1u);
    // A full block whose transfer fails: 38 too.
    fail_next(board, KORVAL_SIM_BULK_OUT, KORVAL_SIM_ANY, 31);
    EXPECT_EQ(DIO_StreamFrame(0, 40000, frame.data(), &count), 38u);
    EXPECT_EQ(count, 0u);
    // A short last (here only) block is no error; a failed one returns its code and adds nothing.
    short_next(board, KORVAL_SIM_BULK_OUT, KORVAL_SIM_ANY, 6);
    EXPECT_EQ(DIO_StreamFrame(0, 10, frame.data(), &count), 0u);
    EXPECT_EQ(count, 6u);
    fail_next(board, KORVAL_SIM_BULK_OUT, KORVAL_SIM_ANY, 31);
    EXPECT_EQ(DIO_StreamFrame(0, 10, frame.data(), &count), 31u);
    EXPECT_EQ(count, 0u);
}

TEST_P(DioStream, ChecksInOrder)
{
    install_one(kStreaming, path());
    uint16_t point = 0;
    uint32_t count = 7;
    EXPECT_EQ(DIO_StreamFrame(40, 1, &point, &count), 1413u);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(DIO_StreamFrame(0, 1, &point, nullptr), 87u);
    EXPECT_EQ(DIO_StreamFrame(0, 1, &point, &count), 2u);
    ASSERT_EQ(DIO_StreamOpen(0, 1), 0u);
    EXPECT_EQ(DIO_StreamFrame(0, 0, &point, &count), 87u);
    EXPECT_EQ(DIO_StreamFrame(0, 1, nullptr, &count), 87u);
    GuardedPages pages;
    ASSERT_TRUE(pages.ok());
    EXPECT_EQ(DIO_StreamFrame(0, 4, pages.before_hole(4), &count), 1359u);
    EXPECT_EQ(DIO_StreamFrame(0, 1, pages.read_only(), &count), 1359u);
    EXPECT_EQ(DIO_StreamFrame(0, 1, &point, reinterpret_cast<uint32_t*>(pages.read_only())), 1359u);
}

// Every streaming family has the functions; other boards answer 1349.
TEST_F(SimTest, StreamingFamilies)
{
    const uint32_t products[] = {0x8008, 0x800A, 0x800C, 0x800F, 0x8040, 0x8020};
    for (const uint32_t pid : products) add(pid);
    install();
    for (uint32_t slot = 0; slot < std::size(products); ++slot) {
        const uint32_t want = slot < 4 ? 0 : 1349;
        uint16_t points[4] = {};
        uint32_t count = 0;
        double a = 0, b = 1e6;
        EXPECT_EQ(DIO_StreamSetClocks(slot, &a, &b), want) << slot;
        EXPECT_EQ(DIO_StreamOpen(slot, 0), want) << slot;
        EXPECT_EQ(DIO_StreamFrame(slot, 4, points, &count), want) << slot;
        EXPECT_EQ(count, want == 0 ? 8u : 0u) << slot;
        EXPECT_EQ(DIO_StreamClose(slot), want) << slot;
    }
}

// Points go at the clocks' pace: from the board the program's sequence, to the board a record of what
// was put out.
TEST_P(DioStream, PointsAtTheClockRate)
{
    const uint32_t board = install_one(kStreaming, path());
    KorvalSim_SetManualClock(sim_, 1);
    double a = 1039 * 64;  // octave 6, offset 0: exactly 66,496 Hz
    double b = 1039 * 128;
    ASSERT_EQ(DIO_StreamSetClocks(0, &a, &b), 0u);
    const uint16_t sequence[3] = {0x1111, 0x2222, 0x3333};
    KorvalSim_SetDigitalStreamInput(sim_, board, sequence, 3);
    ASSERT_EQ(DIO_StreamOpen(0, 1), 0u);
    // 1 ms: 66 points taken.
    KorvalSim_AdvanceClock(sim_, 1000000);
    std::vector<uint16_t> in(66);
    uint32_t count = 0;
    ASSERT_EQ(DIO_StreamFrame(0, 66, in.data(), &count), 0u);
    EXPECT_EQ(count, 132u);
    EXPECT_EQ(in[0], 0x1111);
    EXPECT_EQ(in[65], 0x3333);
    // A frame wants more than the board has taken: it waits for the clock.
    auto later = std::async(std::launch::async, [] {
        uint16_t more[10];
        uint32_t moved = 0;
        return DIO_StreamFrame(0, 10, more, &moved) == 0 ? moved : 0u;
    });
    EXPECT_EQ(later.wait_for(std::chrono::milliseconds(20)), std::future_status::timeout);
    KorvalSim_AdvanceClock(sim_, 1000000);
    ASSERT_EQ(later.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(later.get(), 20u);
    ASSERT_EQ(DIO_StreamClose(0), 0u);

    std::vector<uint16_t> out(1000);
    std::iota(out.begin(), out.end(), uint16_t{7});
    ASSERT_EQ(DIO_StreamOpen(0, 0), 0u);
    ASSERT_EQ(DIO_StreamFrame(0, 1000, out.data(), &count), 0u);
    KorvalSim_AdvanceClock(sim_, 5000000);  // 664 points put out at 132,992 Hz
    std::vector<uint16_t> record(1000);
    uint32_t got = 0;
    ASSERT_EQ(KorvalSim_ReadDigitalStreamOutput(sim_, board, record.data(), 1000, &got), 0u);
    ASSERT_EQ(got, 664u);
    record.resize(got);
    EXPECT_EQ(record, std::vector<uint16_t>(out.begin(), out.begin() + 664));
}

// Closing ends a frame that waits on a board which sends nothing: 995 when the frame had reached the
// board, 2 when the close came first.
TEST_P(DioStream, CloseEndsAWaitingFrame)
{
    install_one(kStreaming, path());
    ASSERT_EQ(DIO_StreamOpen(0, 1), 0u);  // both clocks off: the board takes no points
    auto frame = std::async(std::launch::async, [] {
        uint16_t points[4];
        uint32_t count = 0;
        return DIO_StreamFrame(0, 4, points, &count);
    });
    EXPECT_EQ(DIO_StreamClose(0), 0u);
    ASSERT_EQ(frame.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    const uint32_t result = frame.get();
    EXPECT_TRUE(result == 995 || result == 2) << result;
}

KORVAL_BOTH_PATHS(DioStream);

}  // namespace
}  // namespace korval::test
