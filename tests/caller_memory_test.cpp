// Guarded copies of caller memory: by process_vm_*, through the pipe fallback, and by taking the fault
// inside a call into the library.
#include <gtest/gtest.h>

#include <csetjmp>
#include <csignal>
#include <cstring>
#include <functional>
#include <vector>

#include "base/caller_memory.h"
#include "support/guarded_pages.h"
#include "support/pages.h"
#include "support/sim_fixture.h"

namespace korval {
namespace {

enum class Way { process_vm, pipe, fault };

class Guard : public ::testing::TestWithParam<Way> {
protected:
    void SetUp() override
    {
        use_pipe_copies(GetParam() == Way::pipe);
        if (GetParam() == Way::fault) enter_library_call();
        page_ = test::page_size();
        region_ = test::map_pages(3, test::PageAccess::read_write);
        ASSERT_NE(region_, nullptr);
        for (size_t i = 0; i < 3 * page_; ++i) region_[i] = static_cast<uint8_t>(i);
        test::protect_pages(region_ + page_, 1, test::PageAccess::none);
        test::protect_pages(region_ + 2 * page_, 1, test::PageAccess::read);
    }
    void TearDown() override
    {
        if (GetParam() == Way::fault) leave_library_call();
        test::unmap_pages(region_, 3);
        use_pipe_copies(false);
    }
    size_t page_ = 0;
    uint8_t* region_ = nullptr;
};

TEST_P(Guard, CopiesAccessibleMemoryWhole)
{
    // Larger than a pipe piece, to cross the fallback's piece boundaries.
    std::vector<uint8_t> source(70000), target(70000, 0);
    for (size_t i = 0; i < source.size(); ++i) source[i] = static_cast<uint8_t>(i * 7);
    EXPECT_TRUE(copy_from_caller(target.data(), source.data(), source.size()));
    EXPECT_EQ(target, source);
    std::fill(target.begin(), target.end(), 0);
    EXPECT_TRUE(copy_to_caller(target.data(), source.data(), source.size()));
    EXPECT_EQ(target, source);
    EXPECT_TRUE(copy_from_caller(nullptr, nullptr, 0));
}

TEST_P(Guard, RefusesRangesThatReachAnInaccessiblePage)
{
    uint8_t buffer[64] = {};
    EXPECT_FALSE(copy_from_caller(buffer, region_ + page_, 8));
    EXPECT_FALSE(copy_from_caller(buffer, region_ + page_ - 8, 16));  // straddles into the hole
    EXPECT_FALSE(copy_from_caller(buffer, nullptr, 8));
    EXPECT_TRUE(copy_from_caller(buffer, region_ + page_ - 8, 8));
    EXPECT_FALSE(copy_to_caller(region_ + 2 * page_, buffer, 8));  // read-only
    EXPECT_FALSE(copy_to_caller(region_ + page_ - 4, buffer, 8));
    EXPECT_TRUE(copy_from_caller(buffer, region_ + 2 * page_, 8));
    // After a refusal the next copy is whole again (the fallback's pipe holds nothing left over).
    uint8_t again[8];
    EXPECT_TRUE(copy_from_caller(again, region_, 8));
    EXPECT_EQ(std::memcmp(again, region_, 8), 0);
}

// A count and the buffer it sizes, read in one go and written back in one go: the buffer's readable
// prefix is told apart from the count, and a count is never written after a buffer that was not.
TEST_P(Guard, CountAndBufferTogether)
{
    uint32_t count = 5;
    uint8_t head[64] = {};
    size_t readable = 99;
    ASSERT_TRUE(load_count_and_head(&count, count, region_ + page_ - 16, head, sizeof head, readable));
    EXPECT_EQ(count, 5u);
    // The pipe, and Windows' ReadProcessMemory, move a range whole or not at all.
#ifdef _WIN32
    constexpr bool whole_ranges_only = true;
#else
    constexpr bool whole_ranges_only = false;
#endif
    EXPECT_EQ(readable, GetParam() == Way::pipe || whole_ranges_only ? 0u : 16u);
    EXPECT_TRUE(load_count_and_head(&count, count, region_, head, sizeof head, readable));
    EXPECT_EQ(readable, sizeof head);
    EXPECT_EQ(std::memcmp(head, region_, sizeof head), 0);
    EXPECT_FALSE(load_count_and_head(reinterpret_cast<uint32_t*>(region_ + page_), count, region_, head, 8, readable));

    const uint8_t data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    uint32_t written = 0;
    EXPECT_TRUE(store_data_and_count(region_, data, sizeof data, &written, 8));
    EXPECT_EQ(written, 8u);
    EXPECT_EQ(std::memcmp(region_, data, sizeof data), 0);
    written = 0;
    EXPECT_FALSE(store_data_and_count(region_ + page_ - 4, data, sizeof data, &written, 8));
    EXPECT_FALSE(store_data_and_count(region_ + 2 * page_, data, sizeof data, &written, 8));
    EXPECT_EQ(written, 0u);
    EXPECT_FALSE(store_data_and_count(region_, data, sizeof data, reinterpret_cast<uint32_t*>(region_ + 2 * page_), 8));
    EXPECT_TRUE(store_data_and_count(nullptr, nullptr, 0, &written, 3));
    EXPECT_EQ(written, 3u);
}

INSTANTIATE_TEST_SUITE_P(Ways, Guard, ::testing::Values(Way::process_vm, Way::pipe, Way::fault), [](const auto& info) {
    return info.param == Way::pipe ? "Pipe" : info.param == Way::fault ? "Fault" : "ProcessVm";
});

// The small in/out variables of the exported functions (counts, sizes, results) are caller memory like
// the buffers: one that cannot be read, or written where the function writes, gives 998.
class CallerVariables : public test::SimTest {};

TEST_F(CallerVariables, UnusableCountsAndResultsGive998)
{
    add(0x8073);  // slot 0: flash, EEPROM, the newer firmware
    add(0x8140);  // slot 1: bulk pipes
    install();
    ASSERT_EQ(GetDevices(), 3u);
    test::GuardedPages pages;
    ASSERT_TRUE(pages.ok());
    auto* unreadable = reinterpret_cast<uint32_t*>(pages.hole());
    auto* read_only = reinterpret_cast<uint32_t*>(pages.read_only());  // holds 0
    uint8_t buffer[64] = {};
    uint32_t sixteen = 16;

    struct Case {
        const char* what;
        std::function<uint32_t()> call;
    };
    const Case cases[] = {
        {"GenericVendorRead count unreadable",
         [&] { return GenericVendorRead(0, 0xA2, 0x1E00, 0, unreadable, buffer); }},
        {"GenericVendorRead count read-only", [&] { return GenericVendorRead(0, 0xA2, 0x1E00, 0, read_only, buffer); }},
        {"CustomEEPROMRead count unreadable", [&] { return CustomEEPROMRead(0, 0, unreadable, buffer); }},
        {"CustomEEPROMRead count read-only", [&] { return CustomEEPROMRead(0, 0, read_only, buffer); }},
        {"KORVAL_FlashRead count unreadable", [&] { return KORVAL_FlashRead(0, 0, unreadable, buffer); }},
        {"KORVAL_FlashRead count read-only", [&] { return KORVAL_FlashRead(0, 0, read_only, buffer); }},
        {"KORVAL_SetDefaultsTable count unreadable", [&] { return KORVAL_SetDefaultsTable(0, buffer, unreadable); }},
        {"KORVAL_GetDefaultsTable count unreadable", [&] { return KORVAL_GetDefaultsTable(0, buffer, unreadable); }},
        {"KORVAL_GetDefaultsTable count read-only", [&] { return KORVAL_GetDefaultsTable(0, buffer, read_only); }},
        {"GetDeviceSerialNumber unwritable",
         [&] { return GetDeviceSerialNumber(0, reinterpret_cast<uint64_t*>(read_only)); }},
        {"GetDeviceUniqueStr size unreadable", [&] { return GetDeviceUniqueStr(0, unreadable, buffer); }},
        {"GetDeviceHandle unwritable", [&] { return GetDeviceHandle(0, read_only); }},
        {"GetPipes count unreadable", [&] { return GetPipes(0, unreadable, reinterpret_cast<uint32_t*>(buffer)); }},
        {"GetPipes count read-only", [&] { return GetPipes(0, read_only, reinterpret_cast<uint32_t*>(buffer)); }},
        {"GetPipes entries unwritable", [&] { return GetPipes(1, &sixteen, read_only); }},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.call(), ERROR_NOACCESS) << c.what;
        EXPECT_EQ(*read_only, 0u) << c.what;
    }
    // The board is still usable and the counts still work when they can be used.
    uint32_t count = 8;
    EXPECT_EQ(CustomEEPROMRead(0, 0, &count, buffer), 0u);
    EXPECT_EQ(count, 8u);
}

// A control request costs at most two guard system calls, and the batched copies keep
// every result: a buffer the count does not fit in the readable memory gives 998 and leaves the count.
TEST_F(CallerVariables, ControlRequestsGuardOnceEachWay)
{
    add(0x8073);
    install();
    uint8_t data[8] = {};
    uint32_t size = sizeof data;
    uint64_t before = guard_system_calls();
    ASSERT_EQ(GenericVendorRead(0, 0xA2, 0x1E00, 0, &size, data), ERROR_SUCCESS);
    EXPECT_LE(guard_system_calls() - before, 2u);
    before = guard_system_calls();
    ASSERT_EQ(GenericVendorWrite(0, 0xA2, 0x1E00, 0, sizeof data, data), ERROR_SUCCESS);
    EXPECT_LE(guard_system_calls() - before, 2u);

    test::GuardedPages pages;
    ASSERT_TRUE(pages.ok());
    size = 8;
    EXPECT_EQ(GenericVendorRead(0, 0xA2, 0x1E00, 0, &size, pages.before_hole(4)), ERROR_NOACCESS);
    EXPECT_EQ(size, 8u);
    EXPECT_EQ(GenericVendorRead(0, 0xA2, 0x1E00, 0, &size, pages.read_only()), ERROR_NOACCESS);
    EXPECT_EQ(size, 8u);
    // Larger than what is read with the count, and across a page boundary: the rest is read on its own.
    std::vector<uint8_t> eeprom(0x100), back(0x100);
    for (size_t i = 0; i < eeprom.size(); ++i) eeprom[i] = static_cast<uint8_t>(i * 3);
    ASSERT_EQ(CustomEEPROMWrite(0, 0, static_cast<uint32_t>(eeprom.size()), eeprom.data()), ERROR_SUCCESS);
    std::vector<uint8_t> big(test::page_size() + 0x100);
    const uintptr_t boundary = (reinterpret_cast<uintptr_t>(big.data()) + 0x80 + 0xFFF) & ~uintptr_t{0xFFF};
    uint8_t* across = reinterpret_cast<uint8_t*>(boundary - 0x80);
    size = 0x100;
    ASSERT_EQ(GenericVendorRead(0, 0xA2, 0x1E00, 0, &size, across), ERROR_SUCCESS);
    EXPECT_EQ(size, 0x100u);
    EXPECT_EQ(std::vector<uint8_t>(across, across + 0x100), eeprom);
}

#if !defined(_WIN32) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
// Copies that take the fault share SIGSEGV with the program. Each case runs in a child, since it
// changes the process's handlers: a bad pointer still gives 998 when the program has put a handler of
// its own in the library's place or blocked the signal on the calling thread (both taken back as they
// were), and a fault of the program's own still reaches the handler the library replaced.
sigjmp_buf g_program_landing;
volatile sig_atomic_t g_program_faults = 0;
void program_handler(int, siginfo_t*, void*)
{
    g_program_faults = g_program_faults + 1;
    siglongjmp(g_program_landing, 1);
}
void set_program_handler()
{
    struct sigaction handler = {};
    handler.sa_sigaction = program_handler;
    handler.sa_flags = SA_SIGINFO | SA_NODEFER;
    sigaction(SIGSEGV, &handler, nullptr);
}

TEST_F(CallerVariables, FaultCopiesLeaveTheProgramsSignalsAlone)
{
    add(0x8073);
    install();
    test::GuardedPages pages;
    ASSERT_TRUE(pages.ok());
    uint32_t size = 8;
    auto bad_read = [&] { return ::GenericVendorRead(0, 0xA2, 0x1E00, 0, &size, pages.hole()); };
    struct Case {
        const char* what;
        std::function<bool()> run;  // true when all went as it should
    };
    const Case cases[] = {
        {"the program's handler installed after the library's",
         [&] {
             bad_read();  // the library's handler is installed
             set_program_handler();
             return bad_read() == ERROR_NOACCESS && g_program_faults == 0;
         }},
        {"the signal blocked on the calling thread",
         [&] {
             sigset_t faults, now;
             sigemptyset(&faults);
             sigaddset(&faults, SIGSEGV);
             pthread_sigmask(SIG_BLOCK, &faults, nullptr);
             const bool refused = bad_read() == ERROR_NOACCESS;
             pthread_sigmask(SIG_BLOCK, nullptr, &now);
             return refused && sigismember(&now, SIGSEGV) == 1;
         }},
        {"a fault of the program's own, with its handler installed first",
         [&] {
             set_program_handler();
             if (bad_read() != ERROR_NOACCESS || g_program_faults != 0) return false;
             if (sigsetjmp(g_program_landing, 1) == 0) (void)*static_cast<volatile uint8_t*>(pages.hole());
             return g_program_faults == 1 && bad_read() == ERROR_NOACCESS;
         }},
    };
    for (const Case& c : cases) EXPECT_EXIT(std::exit(c.run() ? 0 : 1), ::testing::ExitedWithCode(0), "") << c.what;
}
#endif

}  // namespace
}  // namespace korval
