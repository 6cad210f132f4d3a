// Sweeps over every exported function, generated from the export list so that a new function is swept
// without new test code:
//   - bad input: each parameter in turn made bad (null, unreadable, ending one byte before an unreadable
//     page, read-only where the function writes; sizes and counts 0, 1, odd, the largest 32-bit values;
//     device indexes out of range, special indexes with no board and with two; rates and times NaN,
//     infinite, negative, zero, huge), the others valid;
//   - unplug: the board unplugged just before each transfer a call makes.
// Every case runs in a forked child with a time limit: a crash or a hang is counted, never fatal to the
// run. After each call every background operation is ended, and no thread may be left running.
// KORVAL_SWEEP=full widens both sweeps (both driver paths, every index on every board set-up).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "korval/korval.h"
#include "korval/sim.h"
#include "support/exported_calls.h"
#include "support/forked_case.h"
#include "support/pages.h"

namespace korval::test {
namespace {

bool full_sweep()
{
    const char* v = std::getenv("KORVAL_SWEEP");
    return v != nullptr && std::strcmp(v, "full") == 0;
}

struct SimBoard {
    uint32_t pid;
    uint32_t path;
};
using BoardSet = std::vector<SimBoard>;

// Products that between them have every feature; each function is swept on the first that has its.
constexpr uint32_t kProducts[] = {0x8140, 0x800C, 0x8001, 0x8073, 0x4001, 0x8020};

// The library with simulated boards installed and opened, in a child.
class ChildSim {
public:
    explicit ChildSim(const BoardSet& boards)
    {
        sim_ = KorvalSim_Create();
        for (const auto& b : boards) KorvalSim_AddBoard(sim_, b.pid, b.path);
        KORVAL_InstallHost(KorvalSim_Host(sim_));
        GetDevices();
    }
    ~ChildSim() { end(); }
    ChildSim(const ChildSim&) = delete;
    ChildSim& operator=(const ChildSim&) = delete;
    KorvalSim* sim() const { return sim_; }
    void end()
    {
        if (sim_ == nullptr) return;
        KORVAL_InstallHost(nullptr);
        KorvalSim_Destroy(sim_);
        sim_ = nullptr;
    }

private:
    KorvalSim* sim_ = nullptr;
};

// The sweeps' own process holds simulated boards, not the operating system's host: a forked child
// then inherits no thread of a USB stack (the Linux host's event thread), which ThreadSanitizer cannot
// follow across a fork.
class ParentSim {
public:
    ParentSim() : sim_(KorvalSim_Create()) { KORVAL_InstallHost(KorvalSim_Host(sim_)); }
    ~ParentSim()
    {
        KORVAL_InstallHost(nullptr);
        KorvalSim_Destroy(sim_);
    }
    ParentSim(const ParentSim&) = delete;
    ParentSim& operator=(const ParentSim&) = delete;

private:
    KorvalSim* sim_;
};

// Memory for pointer arguments: each buffer ends right before an unreadable page, so that a function
// running past what it was given faults (and must catch it) instead of silently using other memory.
class ArgMemory {
public:
    static constexpr size_t kValid = 256 * 1024;

    ~ArgMemory()
    {
        for (auto [p, pages] : maps_) unmap_pages(p, pages);
    }

    // `size` usable bytes holding `content` (zeros after it), followed by an unreadable page.
    uint8_t* before_hole(size_t size, const std::vector<uint8_t>& content, bool read_only = false)
    {
        const size_t page = page_size();
        const size_t usable = (size + page - 1) / page;
        uint8_t* base = map_pages(usable + 1, PageAccess::read_write);
        if (base == nullptr) return nullptr;
        maps_.emplace_back(base, usable + 1);
        uint8_t* start = base + usable * page - size;
        if (!content.empty()) std::memcpy(start, content.data(), std::min(content.size(), size));
        protect_pages(base + usable * page, 1, PageAccess::none);
        if (read_only) protect_pages(base, usable, PageAccess::read);
        return start;
    }
    uint8_t* hole() { return before_hole(0, {}); }

private:
    std::vector<std::pair<void*, size_t>> maps_;  // each mapping and its pages
};

template <class T>
std::vector<uint8_t> bytes_of(T value)
{
    std::vector<uint8_t> out(sizeof value);
    std::memcpy(out.data(), &value, sizeof value);
    return out;
}

// What a valid pointer argument holds: a count of 16, a rate of 1 kHz, or zeros (an empty string, a
// cleared buffer).
std::vector<uint8_t> valid_content(const Param& p)
{
    if (p.count) return bytes_of<uint32_t>(16);
    if (p.to_real) return bytes_of<double>(1000.0);
    return {};
}

// Every argument valid: slot 0, small counts, zeros elsewhere, pointers to usable memory. The raw
// vendor requests ask for the EEPROM's custom area, which every board answers, so that their valid call
// succeeds and the bad values of the other parameters are tried on a request that goes through.
std::vector<Arg> valid_args(const ExportedFunction& f, ArgMemory& memory)
{
    std::vector<Arg> args(f.params.size());
    for (size_t i = 0; i < f.params.size(); ++i) {
        const Param& p = f.params[i];
        if (p.kind == ParamKind::pointer) args[i].pointer = memory.before_hole(ArgMemory::kValid, valid_content(p));
        if (p.kind == ParamKind::callback) args[i].pointer = p.callback;
        if (p.kind == ParamKind::integer && p.count) args[i].integer = 16;
        if (p.kind == ParamKind::integer && p.name == "Request") args[i].integer = 0xA2;
        if (p.kind == ParamKind::integer && p.name == "RequestValue") args[i].integer = 0x1E00;
        if (p.kind == ParamKind::real) args[i].real = 1000.0;
    }
    return args;
}

enum class Memory { valid, null, hole, edge, read_only };

struct Case {
    std::string what;
    BoardSet boards;
    int param = -1;  // the parameter made bad (-1: none)
    Memory memory = Memory::valid;
    std::vector<uint8_t> content;  // pointers: what the memory holds
    Arg arg;                       // by-value parameters: the value
};

struct Report {
    uint32_t result;
    int32_t threads_before;
    int32_t threads_after;
    uint32_t later;  // unplug sweep: the open check's result after the call
    uint32_t leaks;
};

// Calls `f`. A function that waits for an event (a gate wait) is ended from another thread once it has
// had a moment to block, as a program ends it: the call must then return, not hang the case.
uint32_t call_ending_waits(const ExportedFunction& f, const std::vector<Arg>& args)
{
    const ExportedFunction* ender = nullptr;
    if (const char* name = ender_of_wait(f.name)) ender = find_exported(name);
    if (ender == nullptr) return f.call(args);
    std::atomic<bool> returned{false};
    std::thread ending([&] {
        while (!returned.load()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            for (uint64_t slot : {0u, 1u}) {
                std::vector<Arg> end_args(ender->params.size());
                end_args[0].integer = slot;
                ender->call(end_args);
            }
        }
    });
    const uint32_t result = f.call(args);
    returned = true;
    ending.join();
    return result;
}

// Runs a function once in a child with `args`, ends every background operation, and reports.
ForkedOutcome run_case(const ExportedFunction& f, const BoardSet& boards, const std::vector<Arg>& args,
                       uint32_t unplug_at = 0)
{
    return run_forked(
        [&](int fd) {
            ChildSim sim(boards);
            if (unplug_at > 0) KorvalSim_UnplugBeforeTransfer(sim.sim(), 1, unplug_at);
            Report report{};
            report.threads_before = thread_count();
            report.result = call_ending_waits(f, args);
            uint32_t handle = 0;
            report.later = GetDeviceHandle(0, &handle);
            end_background_operations();
            // A joined thread can still be listed for a moment after it has exited (the kernel reaps
            // it after the join returns): the count is read again until it settles, for at most 2 s.
            const auto settle = std::chrono::steady_clock::now() + std::chrono::seconds(2);
            while ((report.threads_after = thread_count()) > report.threads_before &&
                   std::chrono::steady_clock::now() < settle)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            sim.end();
            report.leaks = unplug_at > 0 && leaks_found() ? 1 : 0;
            send_value(fd, report);
        },
        case_time_limit());
}

Case memory_case(Memory memory, std::vector<uint8_t> content = {})
{
    Case c;
    c.memory = memory;
    c.content = std::move(content);
    return c;
}

// Rates and times that are no rate or time, or far outside any board's.
const double kRates[] = {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
                         -std::numeric_limits<double>::infinity(), -1.0, 0.0, 1e300, 5e-324};

std::vector<Arg> case_args(const ExportedFunction& f, const Case& c, ArgMemory& memory)
{
    std::vector<Arg> args = valid_args(f, memory);
    if (c.param < 0) return args;
    const Param& p = f.params[static_cast<size_t>(c.param)];
    Arg& a = args[static_cast<size_t>(c.param)];
    if (p.kind != ParamKind::pointer) {
        a = c.arg;
        return args;
    }
    switch (c.memory) {
    case Memory::valid: a.pointer = memory.before_hole(ArgMemory::kValid, c.content); break;
    case Memory::null: a.pointer = nullptr; break;
    case Memory::hole: a.pointer = memory.hole(); break;
    case Memory::edge: a.pointer = memory.before_hole(1, c.content); break;
    case Memory::read_only: a.pointer = memory.before_hole(ArgMemory::kValid, c.content, true); break;
    }
    return args;
}

std::string hex(uint64_t v)
{
    char text[24];
    std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(v));
    return text;
}

// The bad values of one parameter, each with the others valid.
std::vector<Case> cases_for(const ExportedFunction& f, const BoardSet& one_board)
{
    std::vector<Case> cases;
    Case all_valid;
    all_valid.what = "all valid";
    all_valid.boards = one_board;
    cases.push_back(all_valid);
    const bool full = full_sweep();
    for (size_t i = 0; i < f.params.size(); ++i) {
        const Param& p = f.params[i];
        const int at = static_cast<int>(i);
        auto add = [&](std::string what, Case c) {
            c.what = p.name + " " + what;
            if (c.boards.empty() && p.kind != ParamKind::device_index) c.boards = one_board;
            c.param = at;
            cases.push_back(std::move(c));
        };
        switch (p.kind) {
        case ParamKind::device_index: {
            const BoardSet none{};
            const BoardSet two{one_board[0], one_board[0]};
            const uint32_t all[] = {0, 1, 31, 32, 0xFFFFFFFF, FirstDeviceIndex, OnlyDeviceIndex};
            for (const auto& [setup, label] : {std::pair{none, "no board"}, std::pair{one_board, "one board"},
                                               std::pair{two, "two boards"}}) {
                for (uint32_t v : all) {
                    const bool special = v == FirstDeviceIndex || v == OnlyDeviceIndex;
                    const bool wanted = full || (setup.empty() && (special || v == 0)) ||
                                        (setup.size() == 2 && (special || v == 1)) ||
                                        (setup.size() == 1 && (v == 31 || v == 32 || v == 0xFFFFFFFF));
                    if (!wanted) continue;
                    Case c;
                    c.boards = setup;
                    c.arg.integer = v;
                    add(hex(v) + " with " + label, c);
                }
            }
            break;
        }
        case ParamKind::integer: {
            const uint64_t mask = p.bits >= 64 ? ~0ull : (1ull << p.bits) - 1;
            std::vector<uint64_t> seen;
            // A time-out is waited out in full; the longest one tried is a few seconds, not weeks.
            const bool timeout = p.name.find("Timeout") != std::string::npos;
            for (uint64_t v : {0ull, 1ull, 3ull, 0x7FFFFFFFull, 0x80000000ull, 0xFFFFFFFFull, ~0ull}) {
                v &= mask;
                if (timeout && v == 0x7FFFFFFFull) v = 2000;
                if (std::find(seen.begin(), seen.end(), v) != seen.end()) continue;
                seen.push_back(v);
                Case c;
                c.arg.integer = v;
                add(hex(v), c);
            }
            break;
        }
        case ParamKind::real: {
            for (double v : kRates) {
                Case c;
                c.arg.real = v;
                add(std::to_string(v), c);
            }
            break;
        }
        case ParamKind::callback: {
            Case c;  // arg.pointer null: no function to call back
            add("null", c);
            break;
        }
        case ParamKind::pointer: {
            const std::vector<uint8_t> content = valid_content(p);
            add("null", memory_case(Memory::null));
            add("unreadable", memory_case(Memory::hole));
            add("one byte before an unreadable page", memory_case(Memory::edge, content));
            if (p.written) add("read-only", memory_case(Memory::read_only, content));
            if (p.count) {
                for (uint32_t v : {0u, 1u, 3u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
                    add("-> " + hex(v), memory_case(Memory::valid, bytes_of(v)));
                    if (p.written && full)
                        add("read-only -> " + hex(v), memory_case(Memory::read_only, bytes_of(v)));
                }
            }
            if (p.to_real) {
                for (double v : kRates)
                    add("-> " + std::to_string(v), memory_case(Memory::valid, bytes_of(v)));
            }
            break;
        }
        }
    }
    return cases;
}

// The product a function is swept on: the first whose board has the function's feature.
uint32_t product_for(const ExportedFunction& f, uint32_t path)
{
    for (uint32_t pid : kProducts) {
        ArgMemory memory;
        const ForkedOutcome o = run_case(f, {{pid, path}}, valid_args(f, memory));
        Report r{};
        if (o.status != ForkedOutcome::Status::finished || !outcome_value(o, r)) return pid;
        if (r.result != ERROR_BAD_TOKEN_TYPE && r.result != ERROR_NOT_SUPPORTED) return pid;
    }
    return kProducts[0];
}

bool acceptable(const ExportedFunction& f, uint32_t result)
{
    switch (f.returns) {
    case Returns::result: return known_result(result);
    case Returns::slot: return result < 32 || result == KORVAL_NO_SLOT;
    case Returns::mask: return true;
    }
    return false;
}

struct Tally {
    unsigned cases = 0, crashes = 0, hangs = 0, bad_results = 0, threads_left = 0, leaks = 0, wrong = 0;
    std::vector<std::string> failures;

    void fail(unsigned& counter, const std::string& line)
    {
        ++counter;
        if (failures.size() < 60) failures.push_back(line);
    }
    std::string failure_list() const
    {
        std::ostringstream out;
        for (const auto& l : failures) out << "  " << l << "\n";
        return out.str();
    }
};

// Counts what went wrong in one case; false when the child did not finish normally.
bool judge(const ForkedOutcome& o, const std::string& label, Tally& t, Report& r)
{
    ++t.cases;
    if (o.status == ForkedOutcome::Status::hung) {
        t.fail(t.hangs, label + ": hung");
        return false;
    }
    if (o.status != ForkedOutcome::Status::finished || !outcome_value(o, r)) {
        t.fail(t.crashes, label + ": crashed (" + std::to_string(o.signal) + ")");
        return false;
    }
    if (r.threads_after > r.threads_before)
        t.fail(t.threads_left, label + ": " + std::to_string(r.threads_after - r.threads_before) + " thread(s) left");
    if (r.leaks != 0) t.fail(t.leaks, label + ": leaked memory");
    return true;
}

std::vector<uint32_t> paths()
{
    if (full_sweep()) return {KORVAL_SIM_WINUSB, KORVAL_SIM_IOCTL};
    return {KORVAL_SIM_WINUSB};
}

TEST(Sweep, EveryExportedFunctionWithBadInput)
{
    const ParentSim parent;
    Tally t;
    const auto& functions = exported_functions();
    for (const ExportedFunction& f : functions) {
        ASSERT_FALSE(f.call == nullptr);
        for (uint32_t path : paths()) {
            const BoardSet one{{product_for(f, path), path}};
            for (const Case& c : cases_for(f, one)) {
                ArgMemory memory;
                const auto args = case_args(f, c, memory);
                const std::string label = f.name + "(" + c.what + ") on " + hex(one[0].pid);
                Report r{};
                if (!judge(run_case(f, c.boards, args), label, t, r)) continue;
                if (!acceptable(f, r.result)) t.fail(t.bad_results, label + ": returned " + std::to_string(r.result));
            }
        }
    }
    std::printf("bad-input sweep: %zu functions, %u cases, %u crashes, %u hangs, %u unexpected results, "
                "%u with threads left\n",
                functions.size(), t.cases, t.crashes, t.hangs, t.bad_results, t.threads_left);
    EXPECT_EQ(t.crashes + t.hangs + t.bad_results + t.threads_left, 0u) << t.failure_list();
}

// What a call returns when its board is unplugged in the middle of it, where that is not 1617: the
// functions that report no failure of a board.
uint32_t unplugged_result(const ExportedFunction& f)
{
    if (f.returns == Returns::slot) return KORVAL_NO_SLOT;
    if (f.name == "ClearDevices") return ERROR_SUCCESS;  // marks the slot removed and goes on
    return ERROR_DEVICE_REMOVED;
}

// Unplugs the board before each transfer that one call of `f` makes on `path`, up to `limit` of them.
// false when the call makes no transfer.
bool sweep_unplug(const ExportedFunction& f, uint32_t path, uint32_t limit, Tally& t)
{
    const bool ioctl = path == KORVAL_SIM_IOCTL;
    const uint32_t pid = product_for(f, path);
    const BoardSet one{{pid, path}};
    ArgMemory memory;
    const auto args = valid_args(f, memory);
    // How many transfers the call makes, once its board is open.
    struct Counted {
        uint32_t transfers;
        uint32_t result;
    };
    const ForkedOutcome counted = run_forked(
        [&](int fd) {
            ChildSim sim(one);
            KorvalSim_ClearLog(sim.sim(), 1);
            const uint32_t result = call_ending_waits(f, args);
            send_value(fd, Counted{KorvalSim_LogCount(sim.sim(), 1), result});
        },
        case_time_limit());
    Counted plugged{};
    if (!outcome_value(counted, plugged) || plugged.transfers == 0) return false;
    const uint32_t transfers = plugged.transfers;
    for (uint32_t k = 1; k <= transfers && k <= limit; ++k) {
        const std::string label = f.name + " unplugged before transfer " + std::to_string(k) + " of " +
                                  std::to_string(transfers) + " on " + hex(pid) + (ioctl ? " (ioctl)" : "");
        Report r{};
        if (!judge(run_case(f, one, args, k), label, t, r)) continue;
        // On the DeviceIoControl path a failed control read reports the driver's own code and leaves the
        // slot open; only the WinUSB path ends every such call with the slot marked removed.
        const bool driver_code = ioctl && r.result == ERROR_DEVICE_NOT_CONNECTED;
        // A call that fails before the unplug point with the board plugged in (a file it cannot open)
        // fails the same way unplugged; the transfers after its failure only tidy up.
        const bool own_failure = plugged.result != ERROR_SUCCESS && r.result == plugged.result;
        // A call that starts a background operation may have finished its own transfers before the
        // unplug point (how many of the counted transfers were the call's own, and how far its thread
        // has got when the slot is checked, depend on timing): it then succeeded, and its operation
        // meets the unplug on its own thread. No crash, hang, leak or thread left is still the rule.
        const bool in_background = r.result == ERROR_SUCCESS && starts_background(f.name);
        if (f.returns != Returns::mask && r.result != unplugged_result(f) && !driver_code && !own_failure &&
            !in_background)
            t.fail(t.wrong, label + ": returned " + std::to_string(r.result));
        if (!ioctl && !in_background && r.later != ERROR_DEVICE_REMOVED)
            t.fail(t.wrong, label + ": a later call returned " + std::to_string(r.later));
    }
    return true;
}

TEST(Sweep, UnplugBeforeEveryTransferOfEveryFunction)
{
    const ParentSim parent;
    Tally t;
    const uint32_t limit = full_sweep() ? 0xFFFFFFFF : 48;  // transfers swept per call
    unsigned operations = 0;
    for (const ExportedFunction& f : exported_functions())
        for (uint32_t path : paths())
            if (sweep_unplug(f, path, limit, t)) ++operations;
    std::printf("unplug sweep: %u operations, %u cases, %u crashes, %u hangs, %u wrong results, %u with threads "
                "left, %u with leaks\n",
                operations, t.cases, t.crashes, t.hangs, t.wrong, t.threads_left, t.leaks);
    EXPECT_EQ(t.crashes + t.hangs + t.wrong + t.threads_left + t.leaks, 0u) << t.failure_list();
}

}  // namespace
}  // namespace korval::test
