// Fakes of the Windows system functions the Windows host calls, built on the simulated boards: a
// SetupAPI whose device list holds the simulation's interface paths (plus any interfaces a test adds),
// CreateFileA and CloseHandle on the simulation's files, an overlapped DeviceIoControl that hands the
// 38-byte driver header to the simulated firmware, and a WinUSB that answers from it. Running the
// Windows host on this table exercises its own code: the listing, the flags and share modes it opens
// with, its completion waits, its setup packets and its cancellation.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/os/win_system.h"
#include "korval/sim.h"

namespace korval::test {

// An interface the fake device list holds besides the simulated boards' (for every class).
struct FakeInterface {
    std::string detail;         // the bytes the detail call gives after the size field, as they are
    bool detail_fails = false;  // the second detail call (with the buffer) fails
};

// A CreateFileA call as the fake saw it.
struct FakeOpen {
    std::string path;
    DWORD access, share, disposition, flags;
};

class FakeSystem {
public:
    // The fake answers from `sim`. Only one FakeSystem exists at a time.
    explicit FakeSystem(KorvalSim* sim);
    ~FakeSystem();
    FakeSystem(const FakeSystem&) = delete;
    FakeSystem& operator=(const FakeSystem&) = delete;

    // The table of fakes; change it (for instance drop an entry point) before building a host on it.
    os::win::System table;

    // Settings.
    std::vector<FakeInterface> extra_interfaces;
    bool class_devs_fail = false;            // SetupDiGetClassDevsA returns INVALID_HANDLE_VALUE
    std::atomic<bool> complete_later{true};  // DeviceIoControl returns ERROR_IO_PENDING and completes on a thread

    // What the fakes saw.
    std::vector<FakeOpen> opens() const;
    DWORD class_devs_flags() const { return class_devs_flags_; }
    int sets_created() const { return sets_created_; }
    int sets_destroyed() const { return sets_destroyed_; }
    // Calls made against the host's contract: DeviceIoControl without its own event, WinUSB with one.
    int contract_breaches() const { return breaches_; }
    // DeviceIoControl and WinUSB pipe transfers in progress.
    int in_flight() const { return in_flight_; }

    // For the fake functions.
    static FakeSystem& current();
    KorvalSim* sim() const { return sim_; }
    const KorvalHost& sim_host() const { return *sim_host_; }
    struct Pending;
    void record_open(const FakeOpen& open);
    void store(OVERLAPPED* overlapped, std::shared_ptr<Pending> pending);
    std::shared_ptr<Pending> take(OVERLAPPED* overlapped);

    std::atomic<DWORD> class_devs_flags_{0};
    std::atomic<int> sets_created_{0}, sets_destroyed_{0}, breaches_{0}, in_flight_{0};

private:
    KorvalSim* sim_;
    const KorvalHost* sim_host_;
    mutable std::mutex mutex_;
    std::vector<FakeOpen> opens_;
    std::map<OVERLAPPED*, std::shared_ptr<Pending>> pending_;
};

}  // namespace korval::test
