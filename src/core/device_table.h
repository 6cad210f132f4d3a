// The device table: one TDeviceData record per slot, 32 slots, for the life of the loaded library.
//
// Fields keep one name across the library (b for flags, h for handles and locks) so that every
// subsystem's code reads the record the same way. Fields that threads share without a lock (flags,
// handles, counts) are Relaxed<>; the strings and arrays are changed only by calls that the application
// serialises with every other use of the slot.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <semaphore>
#include <string>
#include <vector>

#include "core/relaxed.h"
#include "korval/host.h"

namespace korval {

// Worker threads of the long-running features; each feature defines its own.
class TDACWorker;
class TCtrMonitorThread;
class TADCWorker;
class TADCContAcqWorker;
class TADCContBufWorker;

// Ends a one-shot acquisition worker (stops it, joins its thread, frees it); defined with the worker.
struct TADCWorkerEnd {
    void operator()(TADCWorker* worker) const noexcept;
};

// Free a worker whose end function has already stopped and joined it; each is defined with its worker.
struct TDACWorkerFree {
    void operator()(TDACWorker* worker) const noexcept;
};
struct TCtrMonitorThreadFree {
    void operator()(TCtrMonitorThread* monitor) const noexcept;
};
struct TADCContAcqWorkerFree {
    void operator()(TADCContAcqWorker* worker) const noexcept;
};
struct TADCContBufWorkerFree {
    void operator()(TADCContBufWorker* worker) const noexcept;
};

inline constexpr uint32_t kSlotCount = 32;
inline constexpr uint32_t kDefaultStreamingBlockSize = 0x7C00;  // 31,744

struct TDeviceData {
    // Slot state and driver handles.
    Relaxed<bool> bOpen;           // the open check has read this board's descriptor
    Relaxed<bool> bDeviceWasHere;  // removal mark: the board has gone, the slot is not reused
    Relaxed<KorvalHandle> Handle;  // file handle (DeviceIoControl path) or WinUSB interface handle
    Relaxed<KorvalHandle> hWinUSBFile;
    Relaxed<bool> bCyUSB;          // true: DeviceIoControl driver path; false: WinUSB
    std::string DevPath;           // interface path, written on the DeviceIoControl path only

    // Digital ports.
    Relaxed<uint32_t> DIOBytes;
    Relaxed<uint32_t> DIOConfigBits;
    std::vector<uint8_t> LastDIOData;  // output cache, one byte per port

    // Counters.
    Relaxed<uint32_t> Counters;  // 8254 blocks of three counters
    Relaxed<uint32_t> Tristates;
    Relaxed<bool> bGateSelectable;
    Relaxed<double> RootClock;  // hertz

    Relaxed<uint32_t> PID;  // 0xFFFFFFFF while the open check reads the descriptor
    Relaxed<bool> bGetName;
    Relaxed<uint32_t> ConfigBytes;  // length of the ADC configuration block
    Relaxed<uint32_t> ImmDACs;
    Relaxed<uint32_t> ImmADCs;

    // Analog output.
    Relaxed<bool> bDACBoardRange;
    Relaxed<bool> bDACChannelCal;
    Relaxed<bool> bDACStream;
    Relaxed<int32_t> DACsUsed;  // channels per waveform point; not reset by the open check
    Relaxed<uint16_t> DACDivisor;  // the waveform clock's divisor last programmed
    Relaxed<bool> bDACOpen;
    Relaxed<bool> bDACClosing;
    Relaxed<bool> bDACAborting;
    Relaxed<bool> bDACStarted;
    std::vector<std::vector<uint8_t>> DACData;  // queued waveform blocks, under hDACDataMutex
    std::mutex hDACDataMutex;
    std::counting_semaphore<0x7FFFFFFF> hDACDataSem{0};  // one release per queued block
    std::vector<uint8_t> PendingDACData;
    std::unique_ptr<TDACWorker, TDACWorkerFree> WorkerThread;
    // Open, frame and close of waveform output from several threads take turns: WorkerThread and
    // PendingDACData change only under it.
    std::mutex DACStreamLock;

    std::unique_ptr<TCtrMonitorThread, TCtrMonitorThreadFree> CtrMonitorThread;
    std::mutex CtrMonitorLock;              // start, stop and fetch of pulse widths, from any thread
    std::atomic<uint32_t> GateWaits{0};     // gate waits blocked in their bulk read now

    // Analog input.
    Relaxed<bool> bADCBulk;
    Relaxed<uint32_t> ADCChannels;     // range slots
    Relaxed<uint32_t> ADCMUXChannels;  // input channels
    std::unique_ptr<TADCWorker, TADCWorkerEnd> ADCWorker;  // the current or last one-shot acquisition
    std::unique_ptr<TADCContAcqWorker, TADCContAcqWorkerFree> ADCContAcqWorker;
    std::unique_ptr<TADCContBufWorker, TADCContBufWorkerFree> ADCContBufWorker;
    // Starts and ends of bulk acquisitions (one-shot and continuous) from several threads take turns:
    // the worker pointers above change only under it. A continuous acquisition is stopped outside it
    // (its callback may call in), and ADCContEnding keeps a new one off the pipe meanwhile.
    std::mutex ADCBulkLock;
    Relaxed<bool> ADCContEnding;
    Relaxed<uint8_t> RangeShift;
    std::vector<uint8_t> FastITConfig;
    std::vector<uint8_t> FastITBakConfig;

    // Digital streaming and the rest.
    Relaxed<bool> bDIOStream;
    Relaxed<bool> bDIOOpen;
    Relaxed<bool> bDIORead;
    Relaxed<uint32_t> StreamingBlockSize;
    std::atomic<uint32_t> DIOFramesInFlight{0};  // frames moving now; closing the stream cancels them
    Relaxed<bool> bDIODebounce;
    Relaxed<bool> bDIOSPI;
    Relaxed<bool> bSetCustomClocks;
    Relaxed<uint32_t> WDGBytes;
    Relaxed<bool> bClearFIFO;
    Relaxed<int32_t> FlashSectors;  // 64 KiB sectors; 0 = no flash
    Relaxed<bool> bFirmware20;      // the firmware check has passed
};

// The record of a slot (0 to 31).
TDeviceData& device(uint32_t slot);

// Every slot zeroed: no handles, no flags, empty paths and arrays. Only while no other call runs.
void zero_device_table();

// Releases the strings and arrays of every record and nothing else (library unload).
void release_dynamic_fields();

}  // namespace korval
