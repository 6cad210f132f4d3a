// Streamed waveform output. The caller's frames are tagged (end of point, end of frame), joined into one
// byte stream and cut into 8,192-byte blocks; a worker per board (TDACWorker) writes the blocks to bulk
// endpoint 0x02 in order and starts the output itself once 163,840 bytes are on their way. The bytes
// that do not fill a block wait in PendingDACData for the next frame, or for the close, which marks the
// end of the waveform, hands the last blocks to the worker and waits until every one has reached the
// board. DACOutputProcess plays one buffer without a worker.
//
// The queue (DACData) is touched only under hDACDataMutex; hDACDataSem carries one wake-up per block
// queued and one more at close. PendingDACData and the worker belong to the caller holding dac_stream_lock.
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <bit>
#include <new>
#include <utility>
#include <vector>

#include "base/caller_memory.h"
#include "base/worker.h"
#include "board/board.h"
#include "core/registry.h"
#include "core/rounding.h"
#include "dac/dac.h"
#include "dac/dac_state.h"
#include "korval/korval.h"
#include "usb/bulk.h"
#include "usb/control.h"
#include "usb/deadline.h"
#include "usb/requests.h"

namespace korval {

namespace {

constexpr double kBaseClockHz = 12'000'000.0;
constexpr size_t kBlockSize = 0x2000;
constexpr size_t kQueueLimit = 32;          // a frame is refused while more blocks than this wait
constexpr uint32_t kMaxFramePoints = 6400;
constexpr uint32_t kMaxChannels = 8;
constexpr uint32_t kAutoStartBytes = 0x28000;
constexpr uint32_t kProcessLimit = 0x20000;  // samples; DACOutputProcess takes fewer
constexpr uint32_t kProcessChunk = 0x7C00;   // bytes per bulk write of DACOutputProcess
constexpr std::chrono::seconds kProcessStall{2};  // DACOutputProcess gives up a write after this
constexpr size_t kSpareLimit = 48;  // blocks kept for reuse: a full queue and one frame's worth

// Tag bits as they stand in a sample's high byte.
constexpr uint8_t kEndOfPoint = 0x20;
constexpr uint8_t kEndOfFrame = 0x40;
constexpr uint8_t kEndOfData = 0x80;

// How long a close waits for a board that takes no data at all before it gives the queued blocks up.
// A board that plays takes a block in at most the time it needs to play one, so the bound grows with
// that time at slow rates.
std::chrono::milliseconds stall_limit(uint16_t divisor)
{
    const double block_seconds = (kBlockSize / 2) * (divisor != 0 ? divisor : 65535) / kBaseClockHz;
    return std::chrono::milliseconds(1000 + static_cast<int64_t>(2000.0 * block_seconds));
}

}  // namespace

// The worker of one board's waveform output, with what the close calls and the worker share: the
// close's hand-off flag (its own, so that the device-gone mapping clearing bDACClosing never strands
// a worker or a close) and the progress a close watches while the last blocks drain.
class TDACWorker {
public:
    explicit TDACWorker(uint32_t slot) : Index(slot) {}

    const uint32_t Index;  // the slot the worker serves
    Worker thread;
    std::atomic<bool> closing{false};
    // Whole blocks the worker has sent, for the frame calls to fill again instead of allocating (and
    // clearing) new ones; under hDACDataMutex.
    std::vector<std::vector<uint8_t>> spares;

    void wrote(size_t bytes)
    {
        {
            std::lock_guard lock(mutex_);
            written_ += bytes;
        }
        changed_.notify_all();
    }
    void ended()
    {
        {
            std::lock_guard lock(mutex_);
            ended_ = true;
        }
        changed_.notify_all();
    }

    // Waits until the worker has ended. false when it wrote nothing for `stall` (the board has stopped
    // taking data): the caller then stops it.
    bool wait_drained(std::chrono::milliseconds stall)
    {
        std::unique_lock lock(mutex_);
        uint64_t seen = written_;
        auto since = std::chrono::steady_clock::now();
        while (!ended_) {
            changed_.wait_for(lock, std::chrono::milliseconds(20));
            const auto now = std::chrono::steady_clock::now();
            if (written_ != seen) {
                seen = written_;
                since = now;
            } else if (!ended_ && now - since > stall) {
                return false;
            }
        }
        return true;
    }

    // Wakes the worker wherever it waits and joins it. A write the board does not finish is cancelled,
    // again and again, since the worker may enter a new one between a cancel and its check of the stop.
    void stop(DacState& d)
    {
        thread.request_stop();
        d.hDACDataSem.release();
        std::unique_lock lock(mutex_);
        while (!ended_) {
            lock.unlock();
            usb::cancel_transfers(Index, usb::kDacSamplePipe);
            lock.lock();
            changed_.wait_for(lock, std::chrono::milliseconds(20), [this] { return ended_; });
        }
        lock.unlock();
        thread.join();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    uint64_t written_ = 0;
    bool ended_ = false;
};

namespace {

// DACOutputStart after its first checks; the worker's own start (a request to a board that has gone
// fails in the open check the control routine makes).
Result start_output(uint32_t slot)
{
    DacState& d = dac_state(slot);
    if (!d.bDACOpen) return ERROR_FILE_NOT_FOUND;
    if (d.bDACStarted) return ERROR_ALREADY_EXISTS;
    const Result r = usb::vendor_write(slot, usb::kDacStreamControlRequest, usb::kDacStreamStart, 0, 0, nullptr);
    if (r == ERROR_SUCCESS) d.bDACStarted = true;
    return r;
}

// The worker: takes the oldest block, writes it, counts down to the automatic start; ends when a close
// has been asked for and the queue is empty, when it is told to stop, or when the board has gone.
void run_worker(TDACWorker& w)
{
    DacState& d = dac_state(w.Index);
    uint32_t countdown = kAutoStartBytes;
    std::vector<uint8_t> block;
    for (;;) {
        // Bounded, so that a stop request is seen even if its wake-up went to an earlier wait.
        bool woken = false;
        while (!woken && !w.thread.stop_requested())
            woken = d.hDACDataSem.try_acquire_for(std::chrono::milliseconds(250));
        if (!woken) break;

        bool took = false;
        bool done = false;
        {
            std::lock_guard lock(d.hDACDataMutex);
            if (block.size() == kBlockSize && w.spares.size() < kSpareLimit) w.spares.push_back(std::move(block));
            if (d.DACData.empty()) {
                done = w.closing;
            } else {
                block = std::move(d.DACData.front());
                d.DACData.erase(d.DACData.begin());
                took = true;
            }
        }
        if (done || w.thread.stop_requested()) break;
        if (!took) continue;  // a wake-up with nothing queued: nothing to send

        uint32_t moved = 0;
        const Result r =
            usb::bulk_write(w.Index, usb::kDacSamplePipe, block.data(), static_cast<uint32_t>(block.size()), moved);
        if (r == ERROR_DEVICE_REMOVED || w.thread.stop_requested()) {
            w.thread.result = r != ERROR_SUCCESS ? r : ERROR_OPERATION_ABORTED;
            break;
        }
        // The output goes on after a failed write; the close reports the first failure.
        if (r != ERROR_SUCCESS && w.thread.result == ERROR_SUCCESS) w.thread.result = r;
        w.wrote(block.size());

        if (countdown != 0) {
            countdown = block.size() >= countdown ? 0 : countdown - static_cast<uint32_t>(block.size());
            // Refused once a close has begun: output that has not started by then stays unstarted.
            if (countdown == 0) start_output(w.Index);
        }
    }
    {
        std::lock_guard lock(d.hDACDataMutex);
        d.DACData.clear();
    }
    d.bDACClosing = false;
    d.bDACStarted = false;
    w.ended();
}

// Stops, joins and frees the slot's worker, if it has one, and drops what its stream still held. For
// a stream the board's disappearance abandoned, and for the close that gave up on a stalled board.
void discard_stream(uint32_t slot)
{
    DacState& d = dac_state(slot);
    if (TDACWorker* w = d.WorkerThread.get()) {
        w->stop(d);
        d.WorkerThread.reset();
    }
    std::lock_guard lock(d.hDACDataMutex);
    d.DACData.clear();
    d.PendingDACData.clear();
    while (d.hDACDataSem.try_acquire()) {
    }
}

// Index resolution, the open check and the capability test that begin every function here. A slot
// whose board has gone while its output ran gets its worker stopped on the way out. The functions run
// one at a time per board (under `lock`, held until they return): callers on several threads would
// otherwise free the worker twice or grow the pending tail together.
Result open_stream_board(uint32_t device_index, uint32_t& slot, std::unique_lock<std::mutex>& lock)
{
    if (const Result r = resolve_index(device_index, slot)) return r;
    lock = std::unique_lock(dac_state(slot).dac_stream_lock);
    if (const Result r = open_check(slot)) {
        if (dac_state(slot).WorkerThread != nullptr) {
            discard_stream(slot);
            dac_state(slot).bDACOpen = false;
        }
        return r;
    }
    return board(slot).row().bDACStream ? ERROR_SUCCESS : ERROR_BAD_TOKEN_TYPE;
}

// The divisor for the rate at pClockHz: 12 MHz over the rate, to the nearest integer with halves to
// even. Refused with 87 (before anything is sent) for rates that are not numbers, not above 0, or whose
// divisor does not fit 1 to 65,535; the variable must be writable for the rate obtained.
Result point_divisor(const double* pClockHz, uint16_t& divisor)
{
    double rate = 0;
    if (const uint32_t r = read_caller(pClockHz, rate)) return r;
    if (const uint32_t r = require_caller_range(pClockHz, sizeof rate, true)) return r;
    if (!std::isfinite(rate) || rate <= 0) return ERROR_INVALID_PARAMETER;
    const double exact = kBaseClockHz / rate;
    if (!(exact < 65535.5)) return ERROR_INVALID_PARAMETER;
    const double rounded = round_half_even(exact);
    if (rounded < 1 || rounded > 65535) return ERROR_INVALID_PARAMETER;
    divisor = static_cast<uint16_t>(rounded);
    return ERROR_SUCCESS;
}

// Resets the board's output, prepares it and programs the point rate, writing the rate obtained back.
Result program_rate(uint32_t slot, double* pClockHz, uint16_t divisor)
{
    if (const Result r = usb::vendor_write(slot, usb::kDacStreamControlRequest, usb::kDacStreamReset, 0, 0, nullptr))
        return r;
    if (const Result r = usb::vendor_write(slot, usb::kDacStreamPrepareRequest, 0, 0, 0, nullptr)) return r;
    dac_state(slot).dac_divisor = divisor;
    if (const Result r = write_caller(pClockHz, kBaseClockHz / divisor)) return r;
    return usb::vendor_write(slot, usb::kDacStreamDivisorRequest, 0, divisor, 0, nullptr);
}

static_assert(std::endian::native == std::endian::little, "samples are tagged as little-endian words in place");

// Clears the top four bits of each sample and sets the end-of-point bit on the last channel of each
// point, on bytes of a frame's stream starting `offset` bytes into the frame. Works on four samples at a
// time, through masks that repeat every `channels` words of 64 bits (4 × channels samples).
class Tagger {
public:
    explicit Tagger(uint32_t channels) : channels_(channels) {}

    void apply(uint8_t* bytes, size_t size, size_t offset) const
    {
        const size_t first = offset / 2;  // the frame's sample at bytes[0]
        uint64_t set[kMaxChannels];
        for (size_t k = 0; k < channels_; ++k) {
            set[k] = 0;
            for (size_t s = 0; s < 4; ++s)
                if ((first + 4 * k + s + 1) % channels_ == 0) set[k] |= uint64_t{kEndOfPoint} << (16 * s + 8);
        }
        constexpr uint64_t kKeep = 0x0FFF0FFF0FFF0FFFull;
        size_t i = 0;
        for (size_t k = 0; i + 8 <= size; i += 8) {
            uint64_t word;
            std::memcpy(&word, bytes + i, 8);
            word = (word & kKeep) | set[k];
            std::memcpy(bytes + i, &word, 8);
            k = k + 1 == channels_ ? 0 : k + 1;
        }
        for (size_t s = first + i / 2; i + 2 <= size; i += 2, ++s) {
            bytes[i + 1] &= 0x0F;
            if ((s + 1) % channels_ == 0) bytes[i + 1] |= kEndOfPoint;
        }
    }

private:
    size_t channels_;
};

// Copies `size` bytes of the caller's frame, from `offset` on, to `target`, tagging them when asked.
bool take_frame_bytes(uint8_t* target, const uint8_t* frame, size_t offset, size_t size, const Tagger* tagger)
{
    if (!copy_from_caller(target, frame + offset, size)) return false;
    if (tagger != nullptr) tagger->apply(target, size, offset);
    return true;
}

// Queues one frame: the pending tail and the frame's bytes are cut into whole blocks, copied straight
// from the caller's memory into them; what is left becomes the new pending tail. Nothing changes when
// the caller's memory cannot be read.
Result queue_frame(uint32_t slot, uint32_t points, const uint16_t* pFrameData, bool tag)
{
    DacState& d = dac_state(slot);
    if (!d.bDACOpen) return ERROR_FILE_NOT_FOUND;
    if (points == 0) return ERROR_INVALID_PARAMETER;
    if (points > kMaxFramePoints) return ERROR_OUTOFMEMORY;
    if (pFrameData == nullptr) return ERROR_INVALID_PARAMETER;
    const int32_t channels = d.DACsUsed;
    if (channels < 1 || channels > static_cast<int32_t>(kMaxChannels)) return ERROR_INTERNAL_ERROR;
    TDACWorker* w = d.WorkerThread.get();
    if (w == nullptr) return ERROR_INTERNAL_ERROR;

    try {
        const auto* frame = reinterpret_cast<const uint8_t*>(pFrameData);
        const size_t frame_bytes = size_t{points} * static_cast<size_t>(channels) * 2;
        std::vector<uint8_t>& pending = d.PendingDACData;
        const size_t whole = (pending.size() + frame_bytes) / kBlockSize;
        std::vector<std::vector<uint8_t>> blocks;
        blocks.reserve(whole);
        std::vector<std::vector<uint8_t>> spares;
        spares.reserve(whole);
        {
            std::lock_guard lock(d.hDACDataMutex);
            if (d.DACData.size() > kQueueLimit) return ERROR_NOT_READY;
            d.DACData.reserve(d.DACData.size() + whole);
            for (size_t i = 0; i < whole && !w->spares.empty(); ++i) {
                spares.push_back(std::move(w->spares.back()));
                w->spares.pop_back();
            }
        }
        const Tagger tagger(static_cast<uint32_t>(channels));
        const Tagger* tagging = tag ? &tagger : nullptr;

        size_t taken = 0;  // frame bytes placed so far
        // The pending tail goes in front of the first block only.
        while ((blocks.empty() ? pending.size() : 0) + frame_bytes - taken >= kBlockSize) {
            std::vector<uint8_t> block;
            if (!spares.empty()) {
                block = std::move(spares.back());
                spares.pop_back();
            } else {
                block.resize(kBlockSize);
            }
            size_t at = 0;
            if (blocks.empty() && !pending.empty()) {
                std::memcpy(block.data(), pending.data(), pending.size());
                at = pending.size();
            }
            if (!take_frame_bytes(block.data() + at, frame, taken, kBlockSize - at, tagging)) return ERROR_NOACCESS;
            taken += kBlockSize - at;
            blocks.push_back(std::move(block));
        }
        // The rest becomes the pending tail: after the old one when no block took that, else in its
        // place (the old tail is then in the first block, from where a failed copy restores it).
        const size_t old = pending.size();
        const size_t kept = blocks.empty() ? old : 0;
        const size_t rest = frame_bytes - taken;
        pending.reserve(kBlockSize);
        pending.resize(kept + rest);
        if (!take_frame_bytes(pending.data() + kept, frame, taken, rest, tagging)) {
            if (blocks.empty()) pending.resize(old);
            else pending.assign(blocks.front().begin(), blocks.front().begin() + static_cast<std::ptrdiff_t>(old));
            return ERROR_NOACCESS;
        }
        if (tag) (rest > 0 ? pending.back() : blocks.back().back()) |= kEndOfFrame;

        // Room was made beforehand, so that nothing can fail once the tail has changed.
        const auto appended = static_cast<std::ptrdiff_t>(blocks.size());
        {
            std::lock_guard lock(d.hDACDataMutex);
            for (std::vector<uint8_t>& block : blocks) d.DACData.push_back(std::move(block));
        }
        if (appended > 0) d.hDACDataSem.release(appended);
        return ERROR_SUCCESS;
    } catch (const std::bad_alloc&) {
        return ERROR_OUTOFMEMORY;
    }
}

// The close calls: mark the end of the waveform (when asked), queue the tail, let the worker send every
// block and end, then join and free it. A board that stops taking data ends the wait after a bound,
// with 1460; one that goes before all blocks reached it gives 1617.
Result close_stream(uint32_t DeviceIndex, bool mark_end)
{
    uint32_t slot = 0;
    std::unique_lock<std::mutex> lock;
    if (const Result r = open_stream_board(DeviceIndex, slot, lock)) return r;
    DacState& d = dac_state(slot);
    if (!d.bDACOpen) return ERROR_FILE_NOT_FOUND;
    d.bDACOpen = false;

    std::vector<uint8_t>& pending = d.PendingDACData;
    std::ptrdiff_t wakeups = 1;
    {
        std::lock_guard lock(d.hDACDataMutex);
        if (!pending.empty()) {
            if (mark_end) pending.back() |= kEndOfData;
            d.DACData.push_back(std::move(pending));
            ++wakeups;
        } else if (mark_end && d.DACData.empty()) {
            d.DACData.push_back({0x00, 0xE0});  // code 0 with end of point, frame and data
            ++wakeups;
        } else if (mark_end) {
            d.DACData.back().back() |= kEndOfData;
        }
    }
    pending.clear();
    d.bDACClosing = true;

    TDACWorker* w = d.WorkerThread.get();
    if (w == nullptr) {  // never so for an open stream; nothing can send the blocks
        discard_stream(slot);
        d.bDACClosing = false;
        return ERROR_SUCCESS;
    }
    w->closing = true;
    d.hDACDataSem.release(wakeups);
    const bool drained = w->wait_drained(stall_limit(d.dac_divisor));
    w->stop(d);
    const Result worker_result = w->thread.result;
    d.WorkerThread.reset();
    d.bDACClosing = false;
    if (!drained) return ERROR_TIMEOUT;
    return worker_result;
}

}  // namespace

uint32_t DACOutputOpen(uint32_t DeviceIndex, double* pClockHz)
{
    uint32_t slot = 0;
    std::unique_lock<std::mutex> lock;
    if (const Result r = open_stream_board(DeviceIndex, slot, lock)) return r;
    DacState& d = dac_state(slot);
    if (d.bDACOpen || d.bDACClosing) return ERROR_TOO_MANY_OPEN_FILES;
    uint16_t divisor = 0;
    if (const Result r = point_divisor(pClockHz, divisor)) return r;
    // A worker left behind by a board that went away, and the data of its stream, end here.
    discard_stream(slot);
    if (const Result r = program_rate(slot, pClockHz, divisor)) return r;

    auto* w = new (std::nothrow) TDACWorker(slot);
    if (w == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
    if (!w->thread.start([w] { run_worker(*w); })) {
        delete w;
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    d.WorkerThread.reset(w);
    d.bDACOpen = true;
    return ERROR_SUCCESS;
}

uint32_t DACOutputSetCount(uint32_t DeviceIndex, uint32_t NewCount)
{
    uint32_t slot = 0;
    std::unique_lock<std::mutex> lock;
    if (const Result r = open_stream_board(DeviceIndex, slot, lock)) return r;
    DacState& d = dac_state(slot);
    if (!d.bDACOpen) return ERROR_FILE_NOT_FOUND;
    if (NewCount == 0) return ERROR_INVALID_PARAMETER;
    if (NewCount > kMaxChannels) return ERROR_OUTOFMEMORY;
    d.DACsUsed = static_cast<int32_t>(NewCount);
    return ERROR_SUCCESS;
}

uint32_t DACOutputFrame(uint32_t DeviceIndex, uint32_t FramePoints, const uint16_t* pFrameData)
{
    uint32_t slot = 0;
    std::unique_lock<std::mutex> lock;
    if (const Result r = open_stream_board(DeviceIndex, slot, lock)) return r;
    return queue_frame(slot, FramePoints, pFrameData, true);
}

uint32_t DACOutputFrameRaw(uint32_t DeviceIndex, uint32_t FramePoints, const uint16_t* pFrameData)
{
    uint32_t slot = 0;
    std::unique_lock<std::mutex> lock;
    if (const Result r = open_stream_board(DeviceIndex, slot, lock)) return r;
    return queue_frame(slot, FramePoints, pFrameData, false);
}

uint32_t DACOutputStart(uint32_t DeviceIndex)
{
    uint32_t slot = 0;
    std::unique_lock<std::mutex> lock;
    if (const Result r = open_stream_board(DeviceIndex, slot, lock)) return r;
    return start_output(slot);
}

uint32_t DACOutputSetInterlock(uint32_t DeviceIndex, uint32_t bInterlock)
{
    uint32_t slot = 0;
    std::unique_lock<std::mutex> lock;
    if (const Result r = open_stream_board(DeviceIndex, slot, lock)) return r;
    if (!dac_state(slot).bDACOpen) return ERROR_FILE_NOT_FOUND;
    return usb::vendor_write(slot, usb::kDacStreamControlRequest,
                             bInterlock != 0 ? usb::kDacInterlockOn : usb::kDacInterlockOff, 0, 0, nullptr);
}

uint32_t DACOutputClose(uint32_t DeviceIndex) { return close_stream(DeviceIndex, true); }

uint32_t DACOutputCloseNoEnd(uint32_t DeviceIndex) { return close_stream(DeviceIndex, false); }

// The caller's words go to the board as they are, straight from the caller's buffer, in writes of
// 31,744 bytes and one for the rest (a zero-length one when there is none).
uint32_t DACOutputProcess(uint32_t DeviceIndex, double* pClockHz, uint32_t NumSamples, const uint16_t* pSampleData)
{
    uint32_t slot = 0;
    std::unique_lock<std::mutex> lock;
    if (const Result r = open_stream_board(DeviceIndex, slot, lock)) return r;
    DacState& d = dac_state(slot);
    if (d.bDACOpen || d.bDACClosing) return ERROR_TOO_MANY_OPEN_FILES;
    if (NumSamples >= kProcessLimit) return ERROR_OUTOFMEMORY;
    uint16_t divisor = 0;
    if (const Result r = point_divisor(pClockHz, divisor)) return r;
    const size_t total = size_t{NumSamples} * 2;
    if (total > 0)
        if (const Result r = require_caller_range(pSampleData, total, false)) return r;
    if (const Result r = program_rate(slot, pClockHz, divisor)) return r;

    // The board has been reset and does not play until the start below, so it takes each piece into
    // its buffer at once. A write it does not finish within the bound is cancelled at its deadline, so
    // the call returns (1460) even from a board that has stopped taking data.
    usb::Deadline deadline(slot, usb::kDacSamplePipe);
    const auto* bytes = reinterpret_cast<const uint8_t*>(pSampleData);
    Result result = ERROR_SUCCESS;
    for (size_t done = 0;;) {
        const size_t piece = total - done > kProcessChunk ? kProcessChunk : total - done;
        uint32_t moved = 0;
        result = usb::bulk_write(slot, usb::kDacSamplePipe, bytes != nullptr ? bytes + done : nullptr,
                                 static_cast<uint32_t>(piece), moved, {&deadline, kProcessStall});
        done += piece;
        if (result != ERROR_SUCCESS || done == total) break;
    }
    const bool timed_out = deadline.timed_out();
    if (result != ERROR_SUCCESS) return timed_out ? ERROR_TIMEOUT : result;
    return usb::vendor_write(slot, usb::kDacStreamControlRequest, usb::kDacStreamStart, 0, 0, nullptr);
}

uint32_t DACOutputAbort(uint32_t) { return ERROR_NOT_SUPPORTED; }

uint32_t DACOutputStatus(uint32_t) { return ERROR_NOT_SUPPORTED; }

void FreeDacWorker::operator()(TDACWorker* worker) const noexcept { delete worker; }

}  // namespace korval
