// Digital streaming: 16-bit points between the host and the board over a bulk endpoint (0x86 from the
// board, 0x02 to it), paced by two clocks the board makes with programmable oscillators. Opening tells
// the board the direction; frames move on the caller's thread, block by block, straight between the
// caller's buffer and the driver. No thread is started.
#include <cmath>
#include <cstdint>

#include "base/caller_memory.h"
#include "board/board.h"
#include "core/registry.h"
#include "core/rounding.h"
#include "dio/dio.h"
#include "dio/dio_state.h"
#include "korval/korval.h"
#include "usb/bulk.h"
#include "usb/control.h"
#include "usb/requests.h"

namespace korval {

namespace dio {

namespace {

constexpr uint32_t kBytesPerPoint = 2;

// The oscillator runs at 2078 x 2^octave / (2 - offset / 1024) Hz: 1039 Hz at octave 0, offset 0.
constexpr double kOscillatorBaseHz = 2078.0;
constexpr double kLowestHz = 1039.0;
constexpr double kHighestHz = 40'000'000.0;
constexpr uint32_t kOffsetSteps = 1024;

}  // namespace

ClockSetting clock_setting(double hz)
{
    if (hz == 0) return {0, 0.0};
    hz = std::fmin(hz, kHighestHz);
    // The octave from a decimal logarithm scaled by 3.322, as the boards' own software computes it; it
    // may come out one octave high just below a boundary, where the offset then rounds to 0.
    const double octave_estimate = std::floor(std::log10(hz / kLowestHz) * 3.322);
    if (octave_estimate < 0) return {0, kLowestHz};
    auto octave = static_cast<uint32_t>(octave_estimate);
    double offset = round_half_even(2 * kOffsetSteps - std::ldexp(kOscillatorBaseHz, static_cast<int>(octave) + 10) / hz);
    if (offset < 0) offset = 0;
    // Just below an octave boundary the offset rounds to 1024, which the 10-bit field cannot hold: the
    // same frequency is octave + 1 with offset 0.
    if (offset >= kOffsetSteps) {
        ++octave;
        offset = 0;
    }
    const auto word = static_cast<uint16_t>(octave << 12 | static_cast<uint32_t>(offset) << 2);
    const double obtained = std::ldexp(kOscillatorBaseHz, static_cast<int>(octave)) / (2 - offset / kOffsetSteps);
    return {word, obtained};
}

}  // namespace dio

namespace {

constexpr FeatureTest kHasStreaming = [](const ProductRow& d) { return d.bDIOStream; };

}  // namespace

uint32_t DIO_StreamOpen(uint32_t DeviceIndex, uint32_t bIsRead)
{
    uint32_t slot = 0;
    if (const Result r = open_for_feature(DeviceIndex, slot, kHasStreaming)) return r;
    DioState& d = dio_state(slot);
    if (d.bDIOOpen.exchange(true)) return ERROR_TOO_MANY_OPEN_FILES;
    // The flags stay set when the request fails: the stream counts as open until it is closed.
    d.bDIORead = bIsRead != 0;
    const uint8_t request = bIsRead != 0 ? usb::kDioStreamOpenForReadingRequest : usb::kDioStreamOpenForWritingRequest;
    return usb::vendor_write(slot, request, 0, 0, 0, nullptr);
}

uint32_t DIO_StreamClose(uint32_t DeviceIndex)
{
    uint32_t slot = 0;
    if (const Result r = open_for_feature(DeviceIndex, slot, kHasStreaming)) return r;
    DioState& d = dio_state(slot);
    if (!d.bDIOOpen.exchange(false)) return ERROR_FILE_NOT_FOUND;
    // Nothing is sent to the board. A frame still moving on another thread (perhaps on a board that has
    // stopped sending or taking points) is cancelled, so that closing always ends the stream. A frame
    // counted in flight may not have reached the driver yet, so the cancel is repeated for a while.
    usb::cancel_counted(slot, {d.bDIORead ? usb::kDioStreamPipeIn : usb::kDioStreamPipeOut}, d.dio_frames_in_flight);
    return ERROR_SUCCESS;
}

uint32_t DIO_StreamSetClocks(uint32_t DeviceIndex, double* pClockAHz, double* pClockBHz)
{
    uint32_t slot = 0;
    if (const Result r = open_for_feature(DeviceIndex, slot, kHasStreaming)) return r;
    if (pClockAHz == nullptr || pClockBHz == nullptr) return ERROR_INVALID_PARAMETER;
    double a = 0;
    double b = 0;
    if (const Result r = read_caller<double>(pClockAHz, a)) return r;
    if (const Result r = read_caller<double>(pClockBHz, b)) return r;
    // Frequencies without a logarithm are refused before anything is sent or written back.
    if (std::isnan(a) || std::isnan(b) || a < 0 || b < 0) return ERROR_INVALID_PARAMETER;

    const dio::ClockSetting clock_b = dio::clock_setting(b);
    const dio::ClockSetting clock_a = dio::clock_setting(a);
    // Clock words go high byte first.
    const uint8_t block[5] = {
        static_cast<uint8_t>((b == 0 ? 1 : 0) | (a == 0 ? 2 : 0)),
        static_cast<uint8_t>(clock_b.word >> 8), static_cast<uint8_t>(clock_b.word),
        static_cast<uint8_t>(clock_a.word >> 8), static_cast<uint8_t>(clock_a.word),
    };
    // The frequencies the board will make are written back whatever the request answers.
    if (const Result r = write_caller<double>(pClockBHz, clock_b.hz)) return r;
    if (const Result r = write_caller<double>(pClockAHz, clock_a.hz)) return r;
    return usb::vendor_write(slot, usb::kDioStreamClocksRequest, 0, 0, sizeof block, block);
}

uint32_t DIO_StreamFrame(uint32_t DeviceIndex, uint32_t FramePoints, void* pFrameData, uint32_t* pBytesTransferred)
{
    // The count is 0 before anything else is looked at, so every failure leaves it 0 unless bytes moved.
    // Memory that cannot take it or the frame is an unexpected fault here (1359).
    if (pBytesTransferred == nullptr) return ERROR_INVALID_PARAMETER;
    if (!store_to_caller(pBytesTransferred, 0)) return ERROR_INTERNAL_ERROR;

    uint32_t slot = 0;
    if (const Result r = open_for_feature(DeviceIndex, slot, kHasStreaming)) return r;
    const Board& b = board(slot);
    DioState& d = dio_state(slot);
    // Counted in flight before the stream is looked at, so that a close from another thread either finds
    // the stream closed here or finds this frame to cancel.
    usb::CountedTransfer in_flight(d.dio_frames_in_flight);
    if (!d.bDIOOpen) return ERROR_FILE_NOT_FOUND;
    if (FramePoints == 0) return ERROR_INVALID_PARAMETER;
    // The count of bytes moved must fit its 32 bits.
    const uint64_t frame_bytes = uint64_t{FramePoints} * dio::kBytesPerPoint;
    if (frame_bytes > UINT32_MAX || pFrameData == nullptr) return ERROR_INVALID_PARAMETER;
    const bool reading = d.bDIORead;
    // The driver moves the points straight to or from the caller's buffer, so it must be usable whole.
    if (!caller_range_usable(pFrameData, frame_bytes, reading)) return ERROR_INTERNAL_ERROR;

    auto move = [&](uint8_t* at, uint32_t bytes, uint32_t& moved) {
        return reading ? usb::bulk_read(slot, usb::kDioStreamPipeIn, at, bytes, moved)
                       : usb::bulk_write(slot, usb::kDioStreamPipeOut, at, bytes, moved);
    };

    auto* position = static_cast<uint8_t*>(pFrameData);
    uint64_t points_left = FramePoints;
    uint32_t count = 0;
    Result result = ERROR_SUCCESS;
    uint32_t block_points = b.StreamingBlockSize;
    if (block_points == 0) block_points = kDefaultStreamingBlockSize;
    // Full blocks while more than one block is left: a block that moves less than asked ends the frame
    // with 38, its bytes counted, whether or not the transfer reported a failure of its own.
    while (points_left > block_points) {
        if (!d.bDIOOpen) {  // closed from another thread meanwhile
            result = ERROR_OPERATION_ABORTED;
            break;
        }
        const uint32_t block_bytes = block_points * dio::kBytesPerPoint;
        uint32_t moved = 0;
        if (move(position, block_bytes, moved) != ERROR_SUCCESS || moved < block_bytes) result = ERROR_HANDLE_EOF;
        count += moved;
        if (result != ERROR_SUCCESS) break;
        position += block_bytes;
        points_left -= block_points;
    }
    // The rest in one transfer; a short one is not an error, a failed one adds nothing.
    if (result == ERROR_SUCCESS && points_left > 0) {
        uint32_t moved = 0;
        result = move(position, static_cast<uint32_t>(points_left * dio::kBytesPerPoint), moved);
        if (result == ERROR_SUCCESS) count += moved;
    }
    if (!store_to_caller(pBytesTransferred, count)) return ERROR_INTERNAL_ERROR;
    return result;
}

}  // namespace korval
