// Identification: product and name, serial numbers, finding boards by serial number or EEPROM contents,
// and the driver facts (handle, pipes).
#include <gtest/gtest.h>

#include <cstring>

#include "board/board.h"
#include "core/core_api.h"
#include "pipes/pipes.h"
#include "support/guarded_pages.h"
#include "support/pages.h"
#include "support/sim_fixture.h"

namespace korval::test {
namespace {

class Identify : public SimTest {};

TEST_F(Identify, QueryDeviceInfoReportsTheProductAndTheFullNameLength)
{
    const uint32_t board = install_one(0x8001);
    KorvalSim_SetProductName(sim_, board, "Abc");
    uint32_t pid = 0, dio = 0, counters = 0, name_size = 0;
    ASSERT_EQ(QueryDeviceInfo(0, &pid, &name_size, nullptr, &dio, &counters), 0u);
    EXPECT_EQ(pid, 0x8001u);
    EXPECT_EQ(dio, 4u);
    EXPECT_EQ(counters, 3u);
    EXPECT_EQ(name_size, 3u);
    EXPECT_EQ(control_log(board), (std::vector<Expected>{{0xC0, 0x06, 0x0302, 0, {}}}));
    EXPECT_EQ(log(board)[0].length(), 2);

    char name[8];
    std::memset(name, '#', sizeof name);
    name_size = 2;  // room for two characters: two are copied, the full length is reported
    ASSERT_EQ(QueryDeviceInfo(0, nullptr, &name_size, name, nullptr, nullptr), 0u);
    EXPECT_EQ(name_size, 3u);
    EXPECT_EQ(std::string(name, 3), "Ab#");
    name_size = 3;
    ASSERT_EQ(QueryDeviceInfo(0, nullptr, &name_size, name, nullptr, nullptr), 0u);
    EXPECT_EQ(std::string(name, 4), "Abc#");
    EXPECT_EQ(QueryDeviceInfo(0, nullptr, nullptr, nullptr, nullptr, nullptr), 0u);
}

// A board whose length byte claims more than it sent: only what it sent is used.
TEST_F(Identify, QueryDeviceInfoNeverReadsBeyondTheReply)
{
    const uint32_t board = install_one(0x8001);
    KorvalSim_SetProductName(sim_, board, "Abcdef");
    short_next(board, KORVAL_SIM_CONTROL, 0x06, 6);  // header and two characters
    char name[8];
    std::memset(name, '#', sizeof name);
    uint32_t name_size = 6;
    ASSERT_EQ(QueryDeviceInfo(0, nullptr, &name_size, name, nullptr, nullptr), 0u);
    EXPECT_EQ(name_size, 6u);
    EXPECT_EQ(std::string(name, 3), "Ab#");
    short_next(board, KORVAL_SIM_CONTROL, 0x06, 0);
    name_size = 6;
    ASSERT_EQ(QueryDeviceInfo(0, nullptr, &name_size, name, nullptr, nullptr), 0u);
    EXPECT_EQ(name_size, 0u);
}

TEST_F(Identify, QueryDeviceInfoNameReadFailuresAndUnnamedProducts)
{
    const uint32_t board = install_one(0x8001);
    fail_next(board, KORVAL_SIM_CONTROL, 0x06, 121);
    uint32_t name_size = 4;
    char name[4];
    EXPECT_EQ(QueryDeviceInfo(0, nullptr, &name_size, name, nullptr, nullptr), 121u);
    EXPECT_EQ(name_size, 4u);
    // A room so large that twice it would wrap the request's 16-bit length still gets the whole name.
    char big[64] = {};
    name_size = 0x8000;
    ASSERT_EQ(QueryDeviceInfo(0, nullptr, &name_size, big, nullptr, nullptr), 0u);
    EXPECT_EQ(log(board).back().length(), 0xFFFE);
    EXPECT_EQ(std::string(big, 6), "Korval");

    const uint32_t unknown = add(0x8013);
    ASSERT_EQ(GetDevices(), 3u);
    clear_log(unknown);
    name_size = 4;
    ASSERT_EQ(QueryDeviceInfo(1, nullptr, &name_size, name, nullptr, nullptr), 0u);
    EXPECT_EQ(name_size, 0u);
    EXPECT_EQ(KorvalSim_LogCount(sim_, unknown), 0u);  // no name request
}

TEST_F(Identify, QueryDeviceInfoUnusableMemoryIsAnInternalError)
{
    install_one(0x8001);
    void* page = test::map_pages(1, test::PageAccess::read);
    uint32_t name_size = 4;
    EXPECT_EQ(QueryDeviceInfo(0, static_cast<uint32_t*>(page), nullptr, nullptr, nullptr, nullptr), 1359u);
    EXPECT_EQ(QueryDeviceInfo(0, nullptr, &name_size, page, nullptr, nullptr), 1359u);
    test::unmap_pages(page, 1);
}

TEST_F(Identify, QueryDeviceInfoOnAnEmptySlotLooksForNewBoards)
{
    install();
    uint32_t pid = 0;
    EXPECT_EQ(QueryDeviceInfo(0, &pid, nullptr, nullptr, nullptr, nullptr), 2u);
    add(0x8002);
    EXPECT_EQ(QueryDeviceInfo(0, &pid, nullptr, nullptr, nullptr, nullptr), 0u);
    EXPECT_EQ(pid, 0x8002u);
    EXPECT_EQ(QueryDeviceInfo(33, &pid, nullptr, nullptr, nullptr, nullptr), 1413u);
}

TEST_F(Identify, SerialNumbers)
{
    const uint32_t board = install_one(0x8001);
    KorvalSim_SetSerialNumber(sim_, board, 0x0123456789ABCDEFull);
    uint64_t serial = 0;
    ASSERT_EQ(GetDeviceSerialNumber(0, &serial), 0u);
    EXPECT_EQ(serial, 0x0123456789ABCDEFull);
    EXPECT_EQ(control_log(board), (std::vector<Expected>{{0xC0, 0xA2, 0x1DF8, 0, {}}}));
    uint8_t unique[8] = {};
    const uint32_t four = 4;
    ASSERT_EQ(GetDeviceUniqueStr(0, &four, unique), 0u);
    EXPECT_EQ(std::vector<uint8_t>(unique, unique + 8), (std::vector<uint8_t>{0xEF, 0xCD, 0xAB, 0x89, 0, 0, 0, 0}));

    for (const uint64_t none : {0ull, 0xFFFFFFFFFFFFFFFFull}) {
        KorvalSim_SetSerialNumber(sim_, board, none);
        serial = 1;
        EXPECT_EQ(GetDeviceSerialNumber(0, &serial), 50u);
        EXPECT_EQ(serial, 0xFFFFFFFFFFFFFFFFull);
        unique[0] = 0x77;
        EXPECT_EQ(GetDeviceUniqueStr(0, &four, unique), 50u);
        EXPECT_EQ(unique[0], 0x77);
        EXPECT_EQ(GetDeviceBySerialNumber(none), KORVAL_NO_SLOT);
    }
    EXPECT_EQ(GetDeviceSerialNumber(0, nullptr), 87u);
}

// A read that succeeds with the wrong length must not be mapped by a stale error: that would close a
// healthy board.
TEST_F(Identify, ShortSerialNumberReadIsAGeneralFailureAndKeepsTheBoard)
{
    const uint32_t board = install_one(0x8001);
    short_next(board, KORVAL_SIM_CONTROL, 0xA2, 6);
    KORVAL_SetLastError(ERROR_DEVICE_REMOVED);
    uint64_t serial = 0;
    EXPECT_EQ(GetDeviceSerialNumber(0, &serial), 31u);
    EXPECT_NE(board_record(0).Handle, 0u);
    EXPECT_FALSE(board_record(0).bDeviceWasHere);
    KorvalSim_Unplug(sim_, board);
    EXPECT_EQ(GetDeviceSerialNumber(0, &serial), 1617u);
    EXPECT_TRUE(board_record(0).bDeviceWasHere);
}

TEST_F(Identify, FindingBoardsBySerialNumber)
{
    const uint32_t a = add(0x8001);
    const uint32_t b = add(0x8002, KORVAL_SIM_IOCTL);
    install();
    KorvalSim_SetSerialNumber(sim_, a, 1111);
    KorvalSim_SetSerialNumber(sim_, b, 2222);
    KORVAL_SetLastError(4242);
    EXPECT_EQ(GetDeviceBySerialNumber(2222), 0u);  // DeviceIoControl boards take the first slots
    EXPECT_EQ(GetDeviceBySerialNumber(1111), 1u);
    EXPECT_EQ(GetDeviceBySerialNumber(3333), KORVAL_NO_SLOT);
    EXPECT_EQ(KORVAL_GetLastError(), 4242u);
}

TEST_F(Identify, FindingBoardsByEepromContents)
{
    const uint32_t a = add(0x8001);
    const uint32_t b = add(0x8002);
    const uint32_t c = add(0x8003);
    install();
    const uint8_t tag_a[3] = {0x42, 1, 2};
    const uint8_t tag_b[3] = {0x42, 1, 3};
    const uint8_t tag_c[3] = {0x17, 1, 2};
    KorvalSim_EepromWrite(sim_, a, 0x1E00, 3, tag_a);
    KorvalSim_EepromWrite(sim_, b, 0x1E00, 3, tag_b);
    KorvalSim_EepromWrite(sim_, c, 0x1E00, 3, tag_c);

    struct Case {
        uint32_t result;
        uint32_t error;
    };
    auto byte = [](uint8_t v) { return Case{GetDeviceByEEPROMByte(v), KORVAL_GetLastError()}; };
    auto data = [](uint32_t start, uint32_t size, const void* bytes) {
        return Case{GetDeviceByEEPROMData(start, size, bytes), KORVAL_GetLastError()};
    };
    auto eq = [](Case x, Case y) { return x.result == y.result && x.error == y.error; };
    EXPECT_TRUE(eq(byte(0x42), {0, 52}));  // two boards match: the lower slot, and 52
    EXPECT_EQ(control_log(a), (std::vector<Expected>{{0xC0, 0xA2, 0x1E00, 0, {}}}));  // one byte per board
    EXPECT_TRUE(eq(byte(0x17), {2, 0}));
    EXPECT_TRUE(eq(byte(0x99), {KORVAL_NO_SLOT, 2}));
    EXPECT_TRUE(eq(data(0, 3, tag_b), {1, 0}));
    EXPECT_TRUE(eq(data(1, 2, tag_a + 1), {0, 52}));
    EXPECT_TRUE(eq(data(0xFF, 2, tag_a), {KORVAL_NO_SLOT, 2}));  // past the area: no board can match
    EXPECT_TRUE(eq(data(0, 257, tag_a), {KORVAL_NO_SLOT, 24}));
    EXPECT_TRUE(eq(data(0, 0, nullptr), {0, 0}));
    EXPECT_TRUE(eq(data(0, 3, nullptr), {KORVAL_NO_SLOT, 87}));
}

TEST_F(Identify, HandleAndPipes)
{
    add(0x8040);
    add(0x8002, KORVAL_SIM_IOCTL);
    install();
    ASSERT_EQ(GetDevices(), 3u);
    uint32_t handle = 0;
    ASSERT_EQ(GetDeviceHandle(1, &handle), 0u);
    EXPECT_EQ(handle, static_cast<uint32_t>(board_record(1).Handle));
    EXPECT_EQ(GetDeviceHandle(5, &handle), 2u);

    uint32_t pipes[4] = {1, 1, 1, 1};
    uint32_t count = 0;
    ASSERT_EQ(GetPipes(1, &count, pipes), 0u);
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(pipes[0], 1u);
    count = 2;
    ASSERT_EQ(GetPipes(1, &count, pipes), 0u);
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(pipes[0], 0x202u);
    EXPECT_EQ(pipes[1], 0x282u);
    EXPECT_EQ(pipes[2], 1u);
    count = 4;
    ASSERT_EQ(GetPipes(1, &count, pipes), 0u);
    EXPECT_EQ(pipes[2], 0x286u);  // bulk IN endpoint 6
    EXPECT_EQ(pipes[3], 1u);
    EXPECT_EQ(GetPipes(0, &count, pipes), 50u);  // the DeviceIoControl path
}

TEST_F(Identify, PipeQueryFailures)
{
    const uint32_t board = install_one(0x8040);
    uint32_t pipes[3] = {1, 1, 1};
    uint32_t count = 3;
    fail_next(board, KORVAL_SIM_PIPE_QUERY, KORVAL_SIM_ANY, 121);
    EXPECT_EQ(GetPipes(0, &count, pipes), 121u);
    EXPECT_EQ(count, 0u);
    // The second pipe query fails: entries from there on stay unfilled.
    count = 3;
    KorvalSimFault pass{KORVAL_SIM_FAULT_REPORT, KORVAL_SIM_PIPE_QUERY, KORVAL_SIM_ANY, KORVAL_SIM_ANY, 2, 0, 0};
    KorvalSim_InjectFault(sim_, board, &pass);
    fail_next(board, KORVAL_SIM_PIPE_QUERY, KORVAL_SIM_ANY, 0);
    EXPECT_EQ(GetPipes(0, &count, pipes), 31u);
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(pipes[0], 0x202u);
    EXPECT_EQ(pipes[1], 0xFFFFFFFFu);
    EXPECT_EQ(pipes[2], 0xFFFFFFFFu);
}

TEST_F(Identify, CapabilitiesFollowTheProductAndTheCallersSize)
{
    struct Case {
        uint32_t pid;
        uint32_t path, dio, counters, adc_channels, config_bytes, range_shift, imm_dacs, imm_adcs, flash;
    };
    const Case cases[] = {
        {0x8040, KORVAL_SIM_WINUSB, 2, 1, 16, 20, 0, 0, 0, 0},
        {0x8145, KORVAL_SIM_WINUSB, 2, 1, 64, 21, 2, 2, 0, 0},
        {0x8001, KORVAL_SIM_IOCTL, 4, 3, 0, 0, 0, 0, 0, 0},
        {0x8074, KORVAL_SIM_WINUSB, 2, 0, 0, 0, 0, 8, 2, 32},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pid);
        KorvalSim* sim = KorvalSim_Create();
        KorvalSim_AddBoard(sim, c.pid, c.path);
        ASSERT_EQ(KORVAL_InstallHost(KorvalSim_Host(sim)), 0u);
        KorvalCapabilities caps{};
        caps.Size = sizeof caps;
        const uint32_t result = ::KORVAL_GetCapabilities(0, &caps);
        KORVAL_InstallHost(nullptr);
        KorvalSim_Destroy(sim);
        ASSERT_EQ(result, 0u);
        EXPECT_EQ(caps.Size, sizeof caps);
        EXPECT_EQ(caps.ProductID, c.pid);
        EXPECT_EQ(caps.DriverPath, c.path == KORVAL_SIM_IOCTL ? 1u : 0u);
        EXPECT_EQ(caps.DIOBytes, c.dio);
        EXPECT_EQ(caps.Counters, c.counters);
        EXPECT_EQ(caps.ADCBulk != 0, c.adc_channels != 0);
        EXPECT_EQ(caps.ADCMUXChannels, c.adc_channels);
        EXPECT_EQ(caps.ConfigBytes, c.config_bytes);
        EXPECT_EQ(caps.RangeShift, c.range_shift);
        EXPECT_EQ(caps.ImmDACs, c.imm_dacs);
        EXPECT_EQ(caps.ImmADCs, c.imm_adcs);
        EXPECT_EQ(caps.FlashSectors, static_cast<int32_t>(c.flash));
    }

    install_one(0x8074);
    // An older caller's smaller structure is filled only as far as it reaches.
    uint32_t small[4] = {12, 0xAAAAAAAA, 0xAAAAAAAA, 0xAAAAAAAA};
    EXPECT_EQ(::KORVAL_GetCapabilities(0, reinterpret_cast<KorvalCapabilities*>(small)), 0u);
    EXPECT_EQ(small[0], 12u);
    EXPECT_EQ(small[1], 0x8074u);
    EXPECT_EQ(small[3], 0xAAAAAAAAu);

    KorvalCapabilities caps{};
    caps.Size = 4;
    EXPECT_EQ(::KORVAL_GetCapabilities(0, &caps), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(::KORVAL_GetCapabilities(0, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(::KORVAL_GetCapabilities(5, &caps), ERROR_FILE_NOT_FOUND);
    GuardedPages pages;
    ASSERT_TRUE(pages.ok());
    EXPECT_EQ(::KORVAL_GetCapabilities(0, reinterpret_cast<KorvalCapabilities*>(pages.hole())), ERROR_NOACCESS);
    auto* read_only = reinterpret_cast<KorvalCapabilities*>(pages.read_only());  // Size reads as 0 there
    EXPECT_EQ(::KORVAL_GetCapabilities(0, read_only), ERROR_INVALID_PARAMETER);
    auto* straddling = reinterpret_cast<KorvalCapabilities*>(pages.before_hole(8));
    straddling->Size = sizeof(KorvalCapabilities);
    EXPECT_EQ(::KORVAL_GetCapabilities(0, straddling), ERROR_NOACCESS);
}

}  // namespace
}  // namespace korval::test
