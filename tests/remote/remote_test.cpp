// Remote boards on loopback: what a server refuses (no token, wrong token, a certificate the client
// does not trust, a transfer beyond the bound), and a server that dies under a running operation.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <thread>
#include <vector>

#include "adc/config_block.h"
#include "host/remote/server.h"
#include "korval/host.h"
#include "korval/korval.h"
#include "korval/sim.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

KorvalHost no_boards()
{
    KorvalHost none{};
    none.version = KORVAL_HOST_VERSION;
    return none;
}

std::string temp_dir()
{
    static const std::string dir = [] {
        char pattern[] = "/tmp/korval-remote-XXXXXX";
        return std::string(mkdtemp(pattern));
    }();
    return dir;
}

std::string write_file(const std::string& name, const std::string& text)
{
    const std::string path = temp_dir() + "/" + name;
    std::ofstream(path) << text;
    return path;
}

std::string read_file(const std::string& path)
{
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

int free_port()
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t size = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &size);
    close(fd);
    return ntohs(a.sin_port);
}

// One simulated board behind an in-process server; the library sees only remote boards.
class RemoteTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim_ = KorvalSim_Create();
        board_ = KorvalSim_AddBoard(sim_, 0x8040, KORVAL_SIM_WINUSB);
        const KorvalHost none = no_boards();
        ASSERT_EQ(KORVAL_InstallHost(&none), 0u);
    }
    void TearDown() override
    {
        server_.reset();
        KORVAL_InstallHost(nullptr);
        KorvalSim_Destroy(sim_);
    }

    // Starts the server; its log lines are kept.
    void serve(korval::remote::ServerOptions options)
    {
        options.listen = "127.0.0.1:0";
        options.log = [this](const std::string& line) {
            std::lock_guard lock(log_mutex_);
            log_ += line + "\n";
        };
        std::string error;
        server_ = korval::remote::Server::start(*KorvalSim_Host(sim_), options, error);
        ASSERT_TRUE(server_) << error;
        address_ = "127.0.0.1:" + std::to_string(server_->port());
    }
    // Adds the server; a port the system gave an earlier test's server is the same remote again.
    void add_remote()
    {
        const uint32_t r = KORVAL_AddRemote(address_.c_str(), nullptr, nullptr);
        ASSERT_TRUE(r == ERROR_SUCCESS || r == ERROR_ALREADY_EXISTS) << r;
    }
    std::string log() const
    {
        std::lock_guard lock(log_mutex_);
        return log_;
    }

    KorvalSim* sim_ = nullptr;
    uint32_t board_ = 0;
    std::unique_ptr<korval::remote::Server> server_;
    std::string address_;
    mutable std::mutex log_mutex_;
    std::string log_;
};

TEST_F(RemoteTest, TokenIsCheckedOnEveryCall)
{
    korval::remote::ServerOptions options;
    options.token = "right-token";
    serve(options);
    struct Case {
        const char* name;
        const char* token;  // null: no token file
        bool admitted;
        const char* logged;
    };
    for (const Case& c :
         {Case{"none", nullptr, false, "no token"}, Case{"wrong", "wrong-token\n", false, "wrong token"},
          Case{"right", "right-token\n", true, "opened"}}) {
        SCOPED_TRACE(c.name);
        // A server added once per address: each case reaches it under another name.
        const std::string address = std::string(c.admitted ? "localhost"
                                                : c.token  ? "127.0.0.1"
                                                           : "[::ffff:127.0.0.1]") +
                                    ":" + std::to_string(server_->port());
        const std::string token_file = c.token ? write_file(std::string("token-") + c.name, c.token) : "";
        ASSERT_EQ(KORVAL_AddRemote(address.c_str(), token_file.c_str(), nullptr), 0u);
        EXPECT_EQ(GetDevices() != 0, c.admitted);
        EXPECT_NE(log().find(c.logged), std::string::npos) << log();
        EXPECT_EQ(log().find("right-token"), std::string::npos) << "a token was logged";
        if (!c.admitted) {
            EXPECT_EQ(KorvalSim_LogCount(sim_, board_), 0u) << "a refused call reached the board";
        }
    }
    EXPECT_EQ(KORVAL_AddRemote(("localhost:" + std::to_string(server_->port())).c_str(), nullptr, nullptr),
              ERROR_ALREADY_EXISTS);
}

TEST_F(RemoteTest, AddressesAndFilesAreChecked)
{
    for (const char* bad : {"", "no-port", "host:1/path"})
        EXPECT_EQ(KORVAL_AddRemote(bad, nullptr, nullptr), ERROR_INVALID_PARAMETER) << bad;
    EXPECT_EQ(KORVAL_AddRemote(nullptr, nullptr, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(KORVAL_AddRemote("127.0.0.1:1", "/nonexistent/token", nullptr), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(KORVAL_AddRemote("127.0.0.1:1", nullptr, "/nonexistent/ca.pem"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(KORVAL_AddRemote(reinterpret_cast<const char*>(8), nullptr, nullptr), ERROR_NOACCESS);
}

TEST(RemoteServer, ListensBeyondLoopbackOnlyWithAToken)
{
    for (const char* address : {"127.0.0.1:0", "[::1]:0", "localhost:0"})
        EXPECT_TRUE(korval::remote::is_loopback(address));
    for (const char* address : {"0.0.0.0:0", "[::]:0", "192.168.1.2:0"})
        EXPECT_FALSE(korval::remote::is_loopback(address));
    korval::remote::ServerOptions options;
    options.listen = "0.0.0.0:0";
    std::string error;
    EXPECT_FALSE(korval::remote::Server::start(no_boards(), options, error));
    EXPECT_NE(error.find("token"), std::string::npos);
    options.token = "t";
    EXPECT_TRUE(korval::remote::Server::start(no_boards(), options, error)) << error;
}

TEST_F(RemoteTest, TlsServerIsCheckedAgainstTheGivenAuthority)
{
    // Two authorities made for the test: the server's certificate is signed by the first.
    const std::string d = temp_dir();
    const std::string script =
        "cd " + d +
        " && for ca in ca1 ca2; do openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=$ca "
        "-keyout $ca.key -out $ca.pem >/dev/null 2>&1 || exit 1; done && "
        "openssl req -newkey rsa:2048 -nodes -subj /CN=localhost -keyout server.key -out server.csr >/dev/null 2>&1 && "
        "printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\\n' > san.ext && "
        "openssl x509 -req -in server.csr -CA ca1.pem -CAkey ca1.key -CAcreateserial -days 1 -extfile san.ext "
        "-out server.pem >/dev/null 2>&1";
    if (std::system(script.c_str()) != 0) GTEST_SKIP() << "openssl could not make the test certificates";
    korval::remote::ServerOptions options;
    options.tls_cert_pem = read_file(d + "/server.pem");
    options.tls_key_pem = read_file(d + "/server.key");
    serve(options);
    const std::string port = std::to_string(server_->port());
    ASSERT_EQ(KORVAL_AddRemote(("127.0.0.1:" + port).c_str(), nullptr, (d + "/ca2.pem").c_str()), 0u);
    EXPECT_EQ(GetDevices(), 0u) << "a server the client cannot trust";
    EXPECT_EQ(KorvalSim_LogCount(sim_, board_), 0u);
    ASSERT_EQ(KORVAL_AddRemote(("localhost:" + port).c_str(), nullptr, (d + "/ca1.pem").c_str()), 0u);
    EXPECT_EQ(GetDevices(), 1u);
    uint8_t name[64];
    uint32_t size = sizeof name;
    EXPECT_EQ(GenericVendorRead(0, 0x06, 0x0302, 0, &size, name), 0u);
}

// A board the server's host cannot open is listed here under the server's address, after discovery.
TEST_F(RemoteTest, UnusableBoardOfTheServerIsListed)
{
    const uint32_t locked = KorvalSim_AddBoard(sim_, 0x8001, KORVAL_SIM_WINUSB);
    ASSERT_EQ(KorvalSim_SetUnusable(sim_, locked, ERROR_ACCESS_DENIED), 0u);
    serve({});
    add_remote();
    ASSERT_EQ(GetDevices(), 1u);
    KorvalUnusableBoard b{};
    b.Size = sizeof b;
    ASSERT_EQ(KORVAL_GetUnusableBoard(0, &b), 0u);
    EXPECT_EQ(b.Error, ERROR_ACCESS_DENIED);
    EXPECT_EQ(b.ProductID, 0x8001u);
    EXPECT_EQ(std::string(b.Path).rfind(address_ + "/", 0), 0u) << b.Path;
    EXPECT_EQ(KORVAL_GetUnusableBoard(1, &b), ERROR_NO_MORE_ITEMS);
}

TEST_F(RemoteTest, TransferBeyondTheBoundIsRefusedUnsent)
{
    serve({});
    add_remote();
    ASSERT_EQ(GetDevices(), 1u);
    KorvalSim_ClearLog(sim_, board_);
    const uint32_t huge = (16u << 20) + 512;
    std::vector<uint8_t> buffer(huge);
    uint32_t moved = 0;
    EXPECT_EQ(QBT_GenericBulkIn(0, 0x86, buffer.data(), huge, &moved), ERROR_BAD_LENGTH);
    EXPECT_EQ(QBT_GenericBulkOut(0, 0x02, buffer.data(), huge, &moved), ERROR_BAD_LENGTH);
    EXPECT_EQ(KorvalSim_LogCount(sim_, board_), 0u);
    // The board stays usable.
    uint8_t name[64];
    uint32_t size = sizeof name;
    EXPECT_EQ(GenericVendorRead(0, 0x06, 0x0302, 0, &size, name), 0u);
}

TEST_F(RemoteTest, InstallingAnotherLocalHostKeepsTheRemoteBoards)
{
    serve({});
    add_remote();
    ASSERT_EQ(GetDevices(), 1u);
    KorvalSim* local = KorvalSim_Create();
    KorvalSim_AddBoard(local, 0x8001, KORVAL_SIM_WINUSB);
    ASSERT_EQ(KORVAL_InstallHost(KorvalSim_Host(local)), 0u);
    EXPECT_EQ(GetDevices(), 3u) << "the local board, then the remote one again";
    KORVAL_InstallHost(nullptr);
    KorvalSim_Destroy(local);
}

// A server's boards have no events of their own: they are listed once a second while a program asks
// to be told, and what changed is told, under the path that names the server.
struct Told {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<KorvalBoardEvent> events;
};
void KORVAL_CALLBACK tell(void* context, const KorvalBoardEvent* event)
{
    auto* told = static_cast<Told*>(context);
    std::lock_guard lock(told->mutex);
    told->events.push_back(*event);
    told->changed.notify_all();
}

TEST_F(RemoteTest, BoardsOfAServerAreToldByListing)
{
    serve({});
    add_remote();
    ASSERT_EQ(GetDevices(), 1u);
    Told told;
    uint32_t registration = 0;
    ASSERT_EQ(KORVAL_RegisterBoardNotification(tell, &told, 0, &registration), 0u);
    ASSERT_EQ(KorvalSim_Unplug(sim_, board_), 0u);
    std::unique_lock lock(told.mutex);
    const bool came = told.changed.wait_for(lock, std::chrono::seconds(10), [&] { return !told.events.empty(); });
    lock.unlock();
    EXPECT_EQ(KORVAL_UnregisterBoardNotification(registration), 0u);
    ASSERT_TRUE(came);
    EXPECT_EQ(told.events[0].Kind, KORVAL_BOARD_LEFT);
    EXPECT_EQ(told.events[0].ProductID, 0x8040u);  // from the path
    EXPECT_EQ(std::string(told.events[0].Path).rfind(address_ + "/", 0), 0u) << told.events[0].Path;
}

TEST_F(RemoteTest, BoardsOfAVanishedClientAreClosed)
{
    serve({});
    add_remote();
    ASSERT_EQ(GetDevices(), 1u);
    // Another server on the same boards cannot open the board while this client holds it; once the
    // server ends the session (as it does when the client goes), the board is free again.
    KorvalHandle file = 0;
    uint32_t error = 0;
    const KorvalHost* host = KorvalSim_Host(sim_);
    std::vector<std::string> paths;
    KorvalGuid winusb = KORVAL_INTERFACE_CLASS_WINUSB;
    host->list_interfaces(
        host->context, &winusb,
        [](void* out, const char* p) { static_cast<std::vector<std::string>*>(out)->push_back(p); }, &paths);
    ASSERT_EQ(paths.size(), 1u);
    EXPECT_EQ(host->open_file(host->context, paths[0].c_str(), 1, &file, &error), 0);
    server_->stop();
    ASSERT_NE(host->open_file(host->context, paths[0].c_str(), 1, &file, &error), 0) << error;
    host->close_handle(host->context, file, &error);
    EXPECT_NE(log().find("2 handles closed"), std::string::npos) << log();
}

// A server in a process of its own (the korval tool), killed while an operation runs.
class ServerProcess : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (std::string(KORVAL_TOOL_FILE).empty()) GTEST_SKIP() << "the korval tool is not built";
        const KorvalHost none = no_boards();
        ASSERT_EQ(KORVAL_InstallHost(&none), 0u);
        port_ = free_port();
        address_ = "127.0.0.1:" + std::to_string(port_);
    }
    void TearDown() override
    {
        kill_server();
        KORVAL_InstallHost(nullptr);
    }

    // The times the servers started so far have said they serve (the log is kept across restarts).
    int serving_lines() const
    {
        std::ifstream log(temp_dir() + "/serve.log");
        int n = 0;
        for (std::string line; std::getline(log, line);) n += line.find("serving ") != std::string::npos ? 1 : 0;
        return n;
    }
    void start_server(const char* pid)
    {
        const int served_before = serving_lines();
        const std::string listen = address_;
        std::vector<std::string> args = {KORVAL_TOOL_FILE, "serve", "--sim", pid, "--listen", listen};
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 2, (temp_dir() + "/serve.log").c_str(),
                                         O_WRONLY | O_CREAT | O_APPEND, 0600);
        ASSERT_EQ(posix_spawn(&server_, KORVAL_TOOL_FILE, &actions, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        // Up when it accepts connections (bounded).
        const auto deadline = Clock::now() + 20s;
        for (;;) {
            const int fd = socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(static_cast<uint16_t>(port_));
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            const bool up = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
            close(fd);
            // Accepting is not yet serving: the server says when its boards are offered.
            if (up && serving_lines() > served_before) break;
            ASSERT_LT(Clock::now(), deadline) << "the server did not start";
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    void kill_server()
    {
        if (server_ == 0) return;
        kill(server_, SIGKILL);
        waitpid(server_, nullptr, 0);
        server_ = 0;
    }

    int port_ = 0;
    std::string address_;
    pid_t server_ = 0;
};

struct Delivered {
    std::mutex mutex;
    std::condition_variable cv;
    uint64_t bytes = 0;
};
Delivered g_delivered;

void KORVAL_CALLBACK count_bytes(uint16_t*, uint32_t size, uint32_t flags, uint32_t)
{
    if (flags & KORVAL_CONT_FINAL) return;
    std::lock_guard lock(g_delivered.mutex);
    g_delivered.bytes += size;
    g_delivered.cv.notify_all();
}

TEST_F(ServerProcess, KilledDuringContinuousAcquisition)
{
    start_server("0x8040");
    ASSERT_EQ(KORVAL_AddRemote(address_.c_str(), nullptr, nullptr), 0u);
    ASSERT_EQ(GetDevices(), 1u);
    // Samples on the board's own clock.
    std::vector<uint8_t> block(KORVAL_ADC_CONFIG_MAX);
    uint32_t block_size = KORVAL_ADC_CONFIG_MAX;
    ASSERT_EQ(ADC_GetConfig(0, block.data(), &block_size), 0u);
    block[korval::adc::kTriggerByte] = static_cast<uint8_t>((block[korval::adc::kTriggerByte] & ~0x03u) | 0x01u);
    ASSERT_EQ(ADC_SetConfig(0, block.data(), &block_size), 0u);
    ASSERT_EQ(ADC_BulkContinuousStart(0, 64 * 1024, 4, 0, count_bytes), 0u);
    {
        std::unique_lock lock(g_delivered.mutex);
        ASSERT_TRUE(g_delivered.cv.wait_for(lock, 20s, [] { return g_delivered.bytes > 256 * 1024; }));
    }
    kill_server();
    const auto before = Clock::now();
    // As for an unplugged board: calls fail with 1617, and the end returns with the failure as its
    // result and status.
    uint8_t name[64];
    uint32_t size = sizeof name;
    EXPECT_EQ(GenericVendorRead(0, 0x06, 0x0302, 0, &size, name), ERROR_DEVICE_REMOVED);
    uint32_t status = 0;
    EXPECT_EQ(ADC_BulkContinuousEnd(0, &status), ERROR_DEVICE_REMOVED);
    EXPECT_EQ(status, ERROR_DEVICE_REMOVED);
    EXPECT_LT(Clock::now() - before, 10s);

    // The server comes back: the next discovery finds its board again.
    start_server("0x8040");
    EXPECT_NE(GetDevices(), 0u);
}

TEST_F(ServerProcess, KilledDuringWaveformOutput)
{
    start_server("0x4001");
    ASSERT_EQ(KORVAL_AddRemote(address_.c_str(), nullptr, nullptr), 0u);
    ASSERT_EQ(GetDevices(), 1u);
    double rate = 100000;
    ASSERT_EQ(DACOutputOpen(0, &rate), 0u);
    ASSERT_EQ(DACOutputSetCount(0, 1), 0u);
    const std::vector<uint16_t> block(4096, 0x0123);
    for (int i = 0; i < 64; ++i) {
        const uint32_t r = DACOutputFrame(0, 4096, block.data());
        if (r == ERROR_NOT_READY) break;
        ASSERT_EQ(r, 0u);
    }
    kill_server();
    const auto before = Clock::now();
    const uint32_t closed = DACOutputClose(0);
    EXPECT_TRUE(closed == 0 || closed == ERROR_DEVICE_REMOVED) << closed;
    EXPECT_LT(Clock::now() - before, 10s);
    EXPECT_EQ(DACOutputStart(0), ERROR_DEVICE_REMOVED);
}

}  // namespace
