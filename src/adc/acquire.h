// One-shot bulk acquisition: the worker that reads a caller-given number of sample bytes from the
// board's bulk IN pipe straight into the caller's buffer, in the background.
#pragma once

#include <atomic>
#include <cstdint>

#include "adc/read_guard.h"
#include "base/relaxed.h"
#include "base/worker.h"

namespace korval {

class TADCWorker {
public:
    TADCWorker(uint32_t slot, uint32_t bytes, uint8_t* target, uint32_t read_size);
    TADCWorker(const TADCWorker&) = delete;
    TADCWorker& operator=(const TADCWorker&) = delete;
    // Ends the acquisition if it still runs: abort, cancel the pending read, join.
    ~TADCWorker();

    // Starts the reader at time-critical priority (normal where the system refuses) and its guard.
    bool start();
    // Asks the reader to stop before its next read and cancels the read in progress.
    void abort();
    // Waits for the reader to end. Bounded when the host can cancel (abort() has ended the read).
    void join();
    bool ended() const { return thread_.finished(); }
    uint32_t result() const { return thread_.result; }

    const uint32_t DI;                 // the slot
    const uint32_t TargetPipe = 0x86;  // bulk IN endpoint 6
    // 0 once the acquisition has ended, for any reason. Sequentially consistent rather than relaxed: its
    // store publishes the result set before it (a fence would do too, but ThreadSanitizer cannot see one).
    std::atomic<int32_t> BytesLeft;
    Relaxed<bool> bAbort;
    // The length of one read (the board's streaming block size, or less for the last read). The reads
    // go straight into the caller's buffer, so there is no buffer of the worker's own.
    const uint32_t ReadSize;

private:
    void Execute();

    uint8_t* pTar;  // where the next bytes go; only the reader touches it
    adc::ReadGuard guard_;
    Worker thread_;
};

namespace adc {

// Whether a one-shot acquisition still has bytes to read on the slot (the busy test of the functions
// that must not run beside one).
bool one_shot_running(uint32_t slot);

// Whether a bulk acquisition, one-shot or continuous (running or being ended), holds the sample pipe:
// a new one is refused with 4 meanwhile. Under the slot's adc_bulk_lock.
bool bulk_busy(uint32_t slot);

}  // namespace adc

}  // namespace korval
