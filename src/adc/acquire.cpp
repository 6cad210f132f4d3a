// One-shot bulk acquisition: ADC_BulkAcquire starts a TADCWorker, ADC_BulkPoll reports on it,
// ADC_BulkAbort ends it. ADC_Start and ADC_Stop only check the board.
#include "adc/acquire.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <new>

#include "adc/adc.h"
#include "adc/adc_state.h"
#include "adc/config_block.h"
#include "base/caller_memory.h"
#include "board/board.h"
#include "core/registry.h"
#include "korval/korval.h"
#include "usb/bulk.h"
#include "usb/control.h"

namespace korval {

namespace {

// Where the host cannot cancel a read, reads are one USB packet long so that an abort is seen soon.
constexpr uint32_t kUncancellableSlice = 512;
// The start allowance of each read: the board may wait for its own trigger before it sends.
constexpr std::chrono::milliseconds kReadBase{5000};

constexpr FeatureTest kHasBulkAdc = [](const ProductRow& d) { return d.bADCBulk; };

// The start of the functions that end or replace an acquisition: when the board has gone (or its slot
// no longer opens), the worker it left is still stopped, joined and freed, so no thread outlives it.
Result open_adc_board_ending(uint32_t DeviceIndex, uint32_t& slot)
{
    if (const Result r = resolve_index(DeviceIndex, slot)) return r;
    const Result r = open_for_feature(DeviceIndex, slot, kHasBulkAdc);
    if (r == ERROR_DEVICE_REMOVED || r == ERROR_FILE_NOT_FOUND) adc_state(slot).ADCWorker = nullptr;
    return r;
}

}  // namespace

void EndAdcWorker::operator()(TADCWorker* worker) const noexcept { delete worker; }

TADCWorker::TADCWorker(uint32_t slot, uint32_t bytes, uint8_t* target, uint32_t read_size)
    : DI(slot), BytesLeft(static_cast<int32_t>(bytes)), ReadSize(read_size), pTar(target), guard_(slot, 0x86)
{
}

TADCWorker::~TADCWorker()
{
    abort();
    join();
    guard_.stop();
}

bool TADCWorker::start()
{
    // Without its guard the reads would have no bound; an acquisition is not started without one.
    if (!guard_.start()) return false;
    // The guard ends with the acquisition, so an ended acquisition leaves no thread running.
    return thread_.start(
        [this] {
            Execute();
            guard_.stop();
        },
        WorkerPriority::time_critical);
}

void TADCWorker::abort()
{
    bAbort = true;
    guard_.cancel();
}

void TADCWorker::join() { thread_.join(); }

void TADCWorker::Execute()
{
    uint32_t left = static_cast<uint32_t>(BytesLeft.load());
    const auto finish = [this](uint32_t code) {
        thread_.result = code;  // before BytesLeft: a caller seeing 0 bytes left finds the result set
        BytesLeft = 0;
    };
    while (left > 0) {
        if (bAbort) return finish(ERROR_OPERATION_ABORTED);
        const uint32_t size = std::min(ReadSize, left);
        uint32_t got = 0;
        Result r = usb::bulk_read(DI, static_cast<uint8_t>(TargetPipe), pTar, size, got,
                                  guard_.within(adc::read_allowance(kReadBase, size / 2)));
        if (r != ERROR_SUCCESS) {
            if (bAbort) r = ERROR_OPERATION_ABORTED;
            else if (guard_.timed_out()) r = ERROR_TIMEOUT;
            return finish(r);
        }
        // Byte-exact: a read that ends on an odd byte leaves the next read to continue right after it.
        pTar += got;
        left -= got;
        BytesLeft = static_cast<int32_t>(left);
    }
    finish(ERROR_SUCCESS);
}

namespace adc {

bool one_shot_running(uint32_t slot)
{
    const TADCWorker* worker = adc_state(slot).ADCWorker.get();
    return worker != nullptr && worker->BytesLeft != 0;
}

bool bulk_busy(uint32_t slot)
{
    const AdcState& d = adc_state(slot);
    return one_shot_running(slot) || d.ADCContAcqWorker != nullptr || d.ADCContBufWorker != nullptr ||
           d.adc_cont_ending;
}

}  // namespace adc

uint32_t ADC_Start(uint32_t DeviceIndex)
{
    uint32_t slot = 0;
    return open_for_feature(DeviceIndex, slot, kHasBulkAdc);
}

uint32_t ADC_Stop(uint32_t DeviceIndex)
{
    uint32_t slot = 0;
    return open_for_feature(DeviceIndex, slot, kHasBulkAdc);
}

uint32_t ADC_BulkAcquire(uint32_t DeviceIndex, uint32_t BufSize, void* pBuf)
{
    uint32_t slot = 0;
    if (const Result r = resolve_index(DeviceIndex, slot)) return r;
    const Board& b = board(slot);
    AdcState& d = adc_state(slot);
    std::lock_guard lock(d.adc_bulk_lock);
    if (const Result r = open_adc_board_ending(DeviceIndex, slot)) return r;
    if (adc::bulk_busy(slot)) return ERROR_TOO_MANY_OPEN_FILES;
    // Two bytes per sample, and a count the signed byte count of ADC_BulkPoll can report.
    if (pBuf == nullptr || BufSize == 0 || BufSize % 2 != 0 || BufSize > INT32_MAX) return ERROR_INVALID_PARAMETER;
    if (const Result r = require_caller_range(pBuf, BufSize, true)) return r;

    // A board that did not take the sample count would send nothing, so its failure ends the call here.
    if (const Result r = adc::request_samples(slot, BufSize / 2)) return r;

    // The last acquisition has ended (its BytesLeft is 0); its thread is joined and it is freed before
    // the new one reads the same pipe.
    d.ADCWorker = nullptr;
    uint32_t read_size = std::min<uint32_t>(std::max<uint32_t>(b.StreamingBlockSize, 1), BufSize);
    if (!usb::can_cancel_transfers(slot)) read_size = std::min(read_size, kUncancellableSlice);
    std::unique_ptr<TADCWorker, EndAdcWorker> worker(
        new (std::nothrow) TADCWorker(slot, BufSize, static_cast<uint8_t*>(pBuf), read_size));
    if (worker == nullptr || !worker->start()) return ERROR_NOT_ENOUGH_MEMORY;
    d.ADCWorker = std::move(worker);
    return ERROR_SUCCESS;
}

uint32_t ADC_BulkPoll(uint32_t DeviceIndex, int32_t* pBytesLeft)
{
    uint32_t slot = 0;
    if (const Result r = open_for_feature(DeviceIndex, slot, kHasBulkAdc)) return r;
    std::lock_guard lock(adc_state(slot).adc_bulk_lock);  // the worker is not freed under the poll
    const TADCWorker* worker = adc_state(slot).ADCWorker.get();
    if (worker == nullptr) return ERROR_FILE_NOT_FOUND;
    // An acquisition has ended once its count is 0 (its thread may still be finishing): its result
    // was set before the count, so a failure is never reported as a finished acquisition.
    const int32_t left = worker->BytesLeft.load();
    if ((left == 0 || worker->ended()) && worker->result() != ERROR_SUCCESS) return worker->result();
    return write_caller(pBytesLeft, left);
}

uint32_t ADC_BulkAbort(uint32_t DeviceIndex)
{
    uint32_t slot = 0;
    if (const Result r = resolve_index(DeviceIndex, slot)) return r;
    std::lock_guard lock(adc_state(slot).adc_bulk_lock);
    if (const Result r = open_adc_board_ending(DeviceIndex, slot)) return r;
    TADCWorker* worker = adc_state(slot).ADCWorker.get();
    if (worker == nullptr) return ERROR_FILE_NOT_FOUND;
    if (worker->BytesLeft == 0) {  // the result was set before the count
        worker->join();  // its thread is finishing: nothing of it runs after the end function
        return worker->result();
    }
    worker->abort();
    // Where the host cancels the pending read the worker ends at once, so it is waited for and a poll
    // that follows reports 995. Elsewhere it ends after its current slice; the next start joins it.
    if (usb::can_cancel_transfers(slot)) worker->join();
    return ERROR_SUCCESS;
}

}  // namespace korval
