#include "support/sim_fixture.h"

#include <iomanip>

#ifdef KORVAL_TEST_REMOTE
#include <memory>

#include "host/remote/server.h"
#endif

namespace korval::test {

std::ostream& operator<<(std::ostream& os, const Expected& e)
{
    os << std::hex << "{type 0x" << int(e.request_type) << ", request 0x" << int(e.request) << ", value 0x"
       << e.value << ", index 0x" << e.index << ", data [";
    for (size_t i = 0; i < e.data.size(); ++i) os << (i ? " " : "") << std::setw(2) << std::setfill('0') << int(e.data[i]);
    return os << "]}" << std::dec;
}

#ifdef KORVAL_TEST_REMOTE
// The suites built again with the simulated boards behind a server on loopback: one server per test
// program, serving each test's simulation in turn; the library has no local boards and reaches the
// simulated ones as a remote server's.
namespace {

KorvalHost no_boards()
{
    KorvalHost none{};
    none.version = KORVAL_HOST_VERSION;
    return none;
}

remote::Server& loopback_server()
{
    static std::unique_ptr<remote::Server> server = [] {
        remote::ServerOptions options;
        options.listen = "127.0.0.1:0";
        std::string error;
        auto s = remote::Server::start(no_boards(), options, error);
        if (!s) ADD_FAILURE() << error;
        return s;
    }();
    return *server;
}

void install_remote(const KorvalHost& host)
{
    static bool added = false;
    loopback_server().set_host(host);
    const KorvalHost none = no_boards();
    ASSERT_EQ(KORVAL_InstallHost(&none), 0u);
    if (!added) {
        const std::string address = "127.0.0.1:" + std::to_string(loopback_server().port());
        ASSERT_EQ(KORVAL_AddRemote(address.c_str(), nullptr, nullptr), 0u);
        added = true;
    }
}

}  // namespace
#endif

void SimTest::SetUp()
{
    sim_ = KorvalSim_Create();
    ASSERT_NE(sim_, nullptr);
}

void SimTest::TearDown()
{
#ifdef KORVAL_TEST_REMOTE
    // The server lets go of the simulation before it goes.
    loopback_server().set_host(no_boards());
#endif
    KORVAL_InstallHost(nullptr);
    KorvalSim_Destroy(sim_);
}

uint32_t SimTest::add(uint32_t pid, uint32_t path)
{
    const uint32_t board = KorvalSim_AddBoard(sim_, pid, path);
    EXPECT_NE(board, 0u);
    return board;
}

void SimTest::install()
{
#ifdef KORVAL_TEST_REMOTE
    install_remote(*KorvalSim_Host(sim_));
#else
    ASSERT_EQ(KORVAL_InstallHost(KorvalSim_Host(sim_)), 0u);
#endif
}

uint32_t SimTest::install_one(uint32_t pid, uint32_t path)
{
    const uint32_t board = add(pid, path);
    install();
    EXPECT_EQ(GetDevices(), 1u);
    clear_log(board);
    return board;
}

std::vector<Transfer> sim_log(KorvalSim* sim, uint32_t board)
{
    std::vector<Transfer> out;
    const uint32_t n = KorvalSim_LogCount(sim, board);
    for (uint32_t i = 0; i < n; ++i) {
        Transfer t;
        KorvalSim_LogEntry(sim, board, i, &t.info, nullptr, 0);
        t.data.resize(t.info.data_size);
        KorvalSim_LogEntry(sim, board, i, &t.info, t.data.data(), static_cast<uint32_t>(t.data.size()));
        out.push_back(std::move(t));
    }
    return out;
}

std::vector<uint8_t> SimTest::adc_block(uint32_t board) const
{
    std::vector<uint8_t> block(21);
    uint32_t size = 0;
    KorvalSim_GetAdcConfig(sim_, board, block.data(), 21, &size);
    block.resize(size);
    return block;
}

std::vector<Expected> SimTest::control_log(uint32_t board, bool with_in_data) const
{
    std::vector<Expected> out;
    for (const Transfer& t : log(board)) {
        if (t.info.kind != KORVAL_SIM_CONTROL) continue;
        if (t.request_type() == 0x80 && t.request() == 0x06 && t.value() == 0x0100) continue;  // open check
        const bool in = (t.request_type() & 0x80) != 0;
        out.push_back({t.request_type(), t.request(), t.value(), t.index(),
                       in && !with_in_data ? std::vector<uint8_t>{} : t.data});
    }
    return out;
}

namespace {

void inject(KorvalSim* sim, uint32_t board, uint32_t action, uint32_t kind, uint32_t request, uint32_t error,
            uint32_t bytes, uint32_t count)
{
    KorvalSimFault f{};
    f.action = action;
    f.kind = kind;
    f.request = kind == KORVAL_SIM_CONTROL || kind == KORVAL_SIM_DESCRIPTOR ? request : KORVAL_SIM_ANY;
    f.endpoint = kind == KORVAL_SIM_BULK_IN || kind == KORVAL_SIM_BULK_OUT ? request : KORVAL_SIM_ANY;
    f.count = count;
    f.error = error;
    f.bytes = bytes;
    ASSERT_EQ(KorvalSim_InjectFault(sim, board, &f), 0u);
}

}  // namespace

void SimTest::fail_next(uint32_t board, uint32_t kind, uint32_t request, uint32_t error, uint32_t count) const
{
    inject(sim_, board, KORVAL_SIM_FAULT_FAIL, kind, request, error, 0, count);
}

void SimTest::short_next(uint32_t board, uint32_t kind, uint32_t request, uint32_t bytes, uint32_t count) const
{
    inject(sim_, board, KORVAL_SIM_FAULT_SHORT, kind, request, 0, bytes, count);
}

void SimTest::report_next(uint32_t board, uint32_t kind, uint32_t request, uint32_t bytes, uint32_t count) const
{
    inject(sim_, board, KORVAL_SIM_FAULT_REPORT, kind, request, 0, bytes, count);
}

std::string path_name(const ::testing::TestParamInfo<uint32_t>& info)
{
    return info.param == KORVAL_SIM_IOCTL ? "DeviceIoControl" : "WinUSB";
}

}  // namespace korval::test
