// Continuous acquisition: an endless stream of ADC samples handed to the caller's callback in
// fixed-size buffers.
//
// Two threads share a ring of buffers. The acquisition thread (TADCContAcqWorker, time-critical) takes a
// blank buffer, reads the bulk IN pipe straight into it and marks it filled; the buffer thread
// (TADCContBufWorker) takes the filled buffers in the order they were filled, calls the callback with
// the buffer's own memory and returns it to the ring. No byte is copied between the host and the
// callback.
//
// The reader never waits for a blank buffer: when the callback lags and none is left, the ring grows by
// one buffer (flagged 4) instead of dropping data. Every BufSize x BufCount bytes the board is told the
// next sample count, and the buffer read after that request is flagged 1. The last call the callback
// gets is the flag-2 call with no data.
#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <semaphore>
#include <thread>
#include <vector>

#include "adc/acquire.h"
#include "adc/adc.h"
#include "adc/adc_state.h"
#include "adc/config_block.h"
#include "base/caller_memory.h"
#include "base/worker.h"
#include "board/board.h"
#include "core/registry.h"
#include "korval/korval.h"
#include "usb/bulk.h"
#include "usb/control.h"
#include "usb/requests.h"

namespace korval {

namespace {

constexpr uint32_t kFlagNewBlock = 1;  // first buffer after a sample-count request
constexpr uint32_t kFlagFinal = 2;     // last call: no data
constexpr uint32_t kFlagGrown = 4;     // this buffer was added to the ring for the data it holds

constexpr std::ptrdiff_t kSemaphoreMax = 0xFFFFFF;
using Semaphore = std::counting_semaphore<kSemaphoreMax>;

}  // namespace

// One buffer of the ring.
struct TContBuf {
    std::unique_ptr<uint8_t[]> ADBuf;  // BytesPerBuf long; not zeroed, every byte delivered was read
    int32_t Index = 0;                 // fill sequence number
    uint32_t UsedSize = 0;             // bytes the last read put in ADBuf
    uint32_t Flags = 0;                // flags for the callback
    size_t position = 0;               // where it is in the ring's BufBuf
};
using PContBuf = TContBuf*;

// The ring and the thread that delivers it.
class TADCContBufWorker {
public:
    TADCContBufWorker(uint32_t bytes_per_buf, int32_t buf_count, PContCallback callback, uint32_t context)
        : BytesPerBuf(bytes_per_buf), hBlankBufSem(buf_count), Callback(callback), CallbackContext(context)
    {
        // Allocation failures throw std::bad_alloc, which the start function turns into a result code.
        const auto count = static_cast<size_t>(buf_count);
        BufBuf.reserve(count);
        blanks_.reserve(count);
        filled_.reserve(count);
        for (size_t i = 0; i < count; ++i) {
            BufBuf.push_back(new_buffer());
            BufBuf.back()->position = i;
            blanks_.push_back(i);  // ascending: already a min-heap
        }
    }

    // Appends a buffer being filled. Throws std::bad_alloc when the memory is not there.
    PContBuf AddBuf()
    {
        std::unique_ptr<TContBuf> buf = new_buffer();  // allocated outside the lock
        std::lock_guard lock(hBufMutex);
        // Room for every buffer in every list, taken here, where a failure can still be reported:
        // the other ring operations then never allocate.
        const size_t count = BufBuf.size() + 1;
        BufBuf.reserve(count);
        blanks_.reserve(count);
        filled_.reserve(count);
        buf->position = BufBuf.size();
        BufBuf.push_back(std::move(buf));
        return BufBuf.back().get();
    }

    // A blank buffer for the reader, never a wait: the ring grows when none is blank.
    PContBuf GetBlankBuf(uint32_t flag)
    {
        if (hBlankBufSem.try_acquire()) {
            std::lock_guard lock(hBufMutex);
            if (!blanks_.empty()) {
                // The first blank buffer in the order the buffers were added.
                std::pop_heap(blanks_.begin(), blanks_.end(), std::greater<>());
                TContBuf* buf = BufBuf[blanks_.back()].get();
                blanks_.pop_back();
                buf->Flags = flag;
                return buf;
            }
        }
        PContBuf buf = AddBuf();
        buf->Flags = flag | kFlagGrown;
        return buf;
    }

    void PutDataBuf(PContBuf buf)
    {
        {
            std::lock_guard lock(hBufMutex);
            buf->Index = NextIndexIn;
            NextIndexIn = next_index(NextIndexIn);
            if (filled_.size() == filled_.capacity()) {
                // Drop the delivered entries at the front; the capacity holds the whole ring.
                filled_.erase(filled_.begin(), filled_.begin() + static_cast<std::ptrdiff_t>(filled_head_));
                filled_head_ = 0;
            }
            filled_.push_back(buf);
        }
        hDataBufSem.release();
    }

    // The next buffer in fill order, or none when the end was signalled and the next one is not there.
    PContBuf GetDataBuf()
    {
        for (;;) {
            hDataBufSem.acquire();
            {
                std::lock_guard lock(hBufMutex);
                // Filled buffers queue in the order their indexes were given, so the next one to
                // deliver, when it is there, is at the front.
                if (filled_head_ < filled_.size() && filled_[filled_head_]->Index == NextIndexOut) {
                    PContBuf buf = filled_[filled_head_++];
                    if (filled_head_ == filled_.size()) {
                        filled_.clear();
                        filled_head_ = 0;
                    }
                    NextIndexOut = next_index(NextIndexOut);
                    return buf;
                }
            }
            if (hKillSem.try_acquire()) return nullptr;
        }
    }

    void ReleaseBuf(PContBuf buf)
    {
        {
            std::lock_guard lock(hBufMutex);
            blanks_.push_back(buf->position);
            std::push_heap(blanks_.begin(), blanks_.end(), std::greater<>());
        }
        hBlankBufSem.release();
    }

    void GetDebugStats(int32_t& Blanks, int32_t& Accessings, int32_t& GotDatas)
    {
        std::lock_guard lock(hBufMutex);
        Blanks = static_cast<int32_t>(blanks_.size());
        GotDatas = static_cast<int32_t>(filled_.size() - filled_head_);
        Accessings = static_cast<int32_t>(BufBuf.size()) - Blanks - GotDatas;
    }

    // Wakes the delivery loop for the end: once the filled buffers are out, it makes the final call.
    void signal_end()
    {
        hKillSem.release();
        hDataBufSem.release();
    }

    void body();
    bool on_this_thread() const;

    Worker thread;
    const uint32_t BytesPerBuf;

private:
    std::unique_ptr<TContBuf> new_buffer() const
    {
        auto buf = std::make_unique<TContBuf>();
        buf->ADBuf.reset(new uint8_t[BytesPerBuf]);
        return buf;
    }
    // Sequence numbers wrap after 2^32 buffers; equality is all the ring compares.
    static int32_t next_index(int32_t index)
    {
        return static_cast<int32_t>(static_cast<uint32_t>(index) + 1u);
    }
    void deliver(uint8_t* data, uint32_t size, uint32_t flags) const noexcept;

    std::mutex hBufMutex;  // guards BufBuf, every buffer's state, index and flags, and the two indexes
    Semaphore hBlankBufSem;
    Semaphore hDataBufSem{0};
    Semaphore hKillSem{0};
    std::vector<std::unique_ptr<TContBuf>> BufBuf;  // in the order the buffers were added
    // Where the states are, so that no ring operation walks the ring: the positions in BufBuf of the
    // blank buffers (a min-heap: the first blank one is on top), and the filled buffers in fill order
    // from filled_head_ on.
    std::vector<size_t> blanks_;
    std::vector<PContBuf> filled_;
    size_t filled_head_ = 0;
    int32_t NextIndexIn = 0;
    int32_t NextIndexOut = 0;
    const PContCallback Callback;
    const uint32_t CallbackContext;
};

class TADCContAcqWorker {
public:
    TADCContAcqWorker(uint32_t slot, uint32_t bytes_per_bc, TADCContBufWorker* buffers)
        : DI(slot), BytesPerBC(bytes_per_bc), MyBufThread(buffers)
    {
    }

    void body();

    Worker thread;
    const uint32_t DI;
    const uint8_t TargetPipe = usb::kAdcSamplePipe;
    const uint32_t BytesPerBC;
    Relaxed<uint32_t> IOStatus;  // 0, or the code of the failure that ended the acquisition
    TADCContBufWorker* const MyBufThread;

private:
    void fail(Result code)
    {
        IOStatus = code;
        thread.result = code;
        MyBufThread->signal_end();
    }
};

namespace {

// The buffer thread the calling thread is, while it runs a callback (End must not wait for itself).
thread_local const TADCContBufWorker* t_delivering = nullptr;

}  // namespace

bool TADCContBufWorker::on_this_thread() const { return t_delivering == this; }

void TADCContBufWorker::deliver(uint8_t* data, uint32_t size, uint32_t flags) const noexcept
{
    try {
        Callback(reinterpret_cast<uint16_t*>(data), size, flags, CallbackContext);
    } catch (...) {
        // A callback's exception ends neither the thread nor the stream.
    }
}

void TADCContBufWorker::body()
{
    t_delivering = this;
    // Nobody asks this thread to stop: it ends when the end is signalled and no filled buffer is next.
    for (;;) {
        PContBuf buf = GetDataBuf();
        if (buf == nullptr) {
            deliver(nullptr, 0, kFlagFinal);
            break;
        }
        // A buffer without data (a zero-length read) goes to the callback only when it carries a flag.
        if (buf->UsedSize != 0 || buf->Flags != 0) deliver(buf->ADBuf.get(), buf->UsedSize, buf->Flags);
        ReleaseBuf(buf);
    }
    t_delivering = nullptr;
    thread.result = ERROR_OPERATION_ABORTED;
}

void TADCContAcqWorker::body()
{
    IOStatus = 0;
    uint32_t outstanding = 0;  // bytes still due from the last sample-count request
    uint32_t flag = 0;
    while (!thread.stop_requested()) {
        if (outstanding == 0) {
            // The request's result is not used: a board that missed it sends nothing and the read says so.
            (void)adc::request_samples(DI, BytesPerBC / 2);
            outstanding = BytesPerBC;
            flag |= kFlagNewBlock;
        }
        PContBuf buf = nullptr;
        try {
            buf = MyBufThread->GetBlankBuf(flag);
        } catch (const std::bad_alloc&) {
            // The ring cannot grow: the data cannot be taken, and the stream ends saying why.
            fail(ERROR_NOT_ENOUGH_MEMORY);
            return;
        }
        flag = 0;
        buf->UsedSize = 0;
        uint32_t received = 0;
        const Result r = usb::bulk_read(DI, TargetPipe, buf->ADBuf.get(), MyBufThread->BytesPerBuf, received);
        if (r != ERROR_SUCCESS) {
            // A read cancelled by the end function is the stop it asked for, not a failure of the stream.
            if (r == ERROR_OPERATION_ABORTED && thread.stop_requested()) break;
            fail(r);  // the buffer stays with the reader, its bytes undelivered
            return;
        }
        buf->UsedSize = received;
        // A board that sends more than it was asked for does not stop the sample-count requests.
        outstanding = received >= outstanding ? 0 : outstanding - received;
        MyBufThread->PutDataBuf(buf);
    }
    thread.result = ERROR_OPERATION_ABORTED;
}

namespace {

// The checks the three functions share after index resolution: the open check and the feature.
Result open_adc_board(uint32_t slot)
{
    if (const Result r = open_check(slot)) return r;
    return board(slot).row().bADCBulk ? ERROR_SUCCESS : ERROR_BAD_TOKEN_TYPE;
}

// Stops both threads; the buffer thread has made its final call when this returns. The reader stops
// first, so that every buffer it filled is delivered before the final call: data the board sent is
// never dropped by the end. Always returns: a read pending on a silent board is cancelled through the
// host (again, until the thread has seen it, since the cancel may come between two reads), and a board
// that was unplugged has already failed it.
void stop_both(uint32_t slot, TADCContAcqWorker* acq, TADCContBufWorker* bufs)
{
    acq->thread.request_stop();
    while (!acq->thread.finished()) {
        if (!usb::cancel_transfers(slot, usb::kAdcSamplePipe)) {
            // This host cannot cancel (or the slot's handles are closed after an unplug, when the read
            // has failed already): the read in flight returns by itself.
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    acq->thread.join();
    bufs->signal_end();
    bufs->thread.join();
}

}  // namespace

uint32_t ADC_BulkContinuousStart(uint32_t DeviceIndex, uint32_t BufSize, int32_t BufCount, uint32_t Context,
                                 PContCallback pCallback)
{
    uint32_t slot = 0;
    if (const Result r = resolve_index(DeviceIndex, slot)) return r;
    if (const Result r = open_adc_board(slot)) return r;
    if ((BufSize & 0x1FF) != 0) return ERROR_INVALID_USER_BUFFER;
    // An empty ring or empty buffers could never hold data, and the sample count the board is told is
    // a 32-bit byte count: BufSize x BufCount must fit it.
    if (BufSize == 0 || BufCount < 1 || pCallback == nullptr) return ERROR_INVALID_PARAMETER;
    if (static_cast<uint64_t>(BufSize) * static_cast<uint64_t>(BufCount) > 0xFFFFFFFFull)
        return ERROR_INVALID_PARAMETER;
    AdcState& d = adc_state(slot);
    std::lock_guard lock(d.adc_bulk_lock);
    if (adc::bulk_busy(slot)) return ERROR_TOO_MANY_OPEN_FILES;

    std::unique_ptr<TADCContBufWorker> bufs;
    std::unique_ptr<TADCContAcqWorker> acq;
    try {
        bufs = std::make_unique<TADCContBufWorker>(BufSize, BufCount, pCallback, Context);
        acq = std::make_unique<TADCContAcqWorker>(slot, BufSize * static_cast<uint32_t>(BufCount), bufs.get());
    } catch (const std::bad_alloc&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }

    TADCContBufWorker* b = bufs.get();
    if (!bufs->thread.start([b] { b->body(); })) return ERROR_NOT_ENOUGH_MEMORY;
    TADCContAcqWorker* a = acq.get();
    if (!acq->thread.start([a] { a->body(); }, WorkerPriority::time_critical)) {
        // The buffer thread is running: it gets its end signal and its final call like any other end.
        bufs->signal_end();
        bufs->thread.join();
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    d.ADCContAcqWorker.reset(acq.release());
    d.ADCContBufWorker.reset(bufs.release());
    d.ADCWorker = nullptr;  // a one-shot acquisition that had ended: joined and freed
    return ERROR_SUCCESS;
}

uint32_t ADC_BulkContinuousEnd(uint32_t DeviceIndex, uint32_t* pIOStatus)
{
    uint32_t slot = 0;
    if (const Result r = resolve_index(DeviceIndex, slot)) return r;
    AdcState& d = adc_state(slot);
    // An acquisition that is running is ended even when the open check fails (the board was unplugged
    // or closed): its threads would otherwise run on with no way left to stop them.
    const Result opened = open_adc_board(slot);
    std::unique_lock lock(d.adc_bulk_lock);
    if (d.ADCContAcqWorker == nullptr || d.ADCContBufWorker == nullptr) return opened ? opened : ERROR_HANDLE_EOF;
    // From inside the callback the wait for the buffer thread would be a wait for itself.
    if (d.ADCContBufWorker->on_this_thread()) return ERROR_NOT_SUPPORTED;

    // One caller takes the acquisition; it is stopped outside the lock, since the callback it waits
    // for may call into the library, and a start waits for the stop through adc_cont_ending.
    auto acq = std::move(d.ADCContAcqWorker);
    auto bufs = std::move(d.ADCContBufWorker);
    d.adc_cont_ending = true;
    lock.unlock();
    stop_both(slot, acq.get(), bufs.get());
    // The status is read once the reader has stopped, so that a failure racing the end is reported as
    // well; the stop itself never shows as a failure. The ring and its buffers go with the two objects.
    const uint32_t status = acq->IOStatus;
    acq.reset();
    bufs.reset();
    d.adc_cont_ending = false;
    if (pIOStatus != nullptr && !store_to_caller(pIOStatus, status)) return opened ? opened : ERROR_NOACCESS;
    return opened;
}

uint32_t ADC_BulkContinuousDebug(uint32_t DeviceIndex, int32_t* pBlanks, int32_t* pAccessings, int32_t* pGotDatas)
{
    uint32_t slot = 0;
    if (const Result r = resolve_index(DeviceIndex, slot)) return r;
    if (const Result r = open_adc_board(slot)) return r;
    AdcState& d = adc_state(slot);
    std::lock_guard lock(d.adc_bulk_lock);  // the ring is not freed under the read of its counts
    if (d.ADCContAcqWorker == nullptr || d.ADCContBufWorker == nullptr) return ERROR_HANDLE_EOF;
    if (pBlanks == nullptr || pAccessings == nullptr || pGotDatas == nullptr) return ERROR_INVALID_PARAMETER;
    int32_t blanks = 0, accessings = 0, got_datas = 0;
    d.ADCContBufWorker->GetDebugStats(blanks, accessings, got_datas);
    if (const Result r = write_caller(pBlanks, blanks)) return r;
    if (const Result r = write_caller(pAccessings, accessings)) return r;
    return write_caller(pGotDatas, got_datas);
}

void FreeContAcqWorker::operator()(TADCContAcqWorker* worker) const noexcept { delete worker; }
void FreeContBufWorker::operator()(TADCContBufWorker* worker) const noexcept { delete worker; }

}  // namespace korval
