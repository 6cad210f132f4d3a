// korval-gadget: makes this Linux machine a board of the family on a USB device port. The board's
// firmware is a simulated board (korval/sim.h) reached through its host (korval/host.h), exactly as
// the library reaches it: every control request the USB host sends to the device is handed to the
// firmware as a control transfer, every bulk transfer as a pipe read or write, and the answers go back
// over the wire. The kernel side is a configfs gadget with one FunctionFS function, which receives
// the requests addressed to the device (FUNCTIONFS_ALL_CTRL_RECIP); the kernel answers the standard
// requests (descriptors, configuration) itself from what is written here.
//
//   korval-gadget --product 0x8040 [--serial HEX] [--udc NAME] [--name NAME] [--adc-noise SEED]
//
// --adc-noise gives every analog input a noise signal of that seed, which depends on the sample's place
// in the sample count only: a program that knows the seed knows every sample the board sends. SIGUSR2
// prints what the board's outputs did (the waveform player's points and codes, the digital stream's
// points put out, checked as counting up by one) and forgets the digital points reported; while the
// board still has points to put out it says how many, and reports none.
// Runs until SIGINT or SIGTERM, then unbinds the port and removes what it made. The port can be
// unbound and bound again meanwhile (echo > .../UDC): the bulk pipes stop and start with it.
#include <endian.h>
#include <fcntl.h>
#include <linux/usb/ch9.h>
#include <linux/usb/functionfs.h>
#include <poll.h>
#include <pthread.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "korval/host.h"
#include "korval/sim.h"

namespace {

// Fillers are endpoints declared only to use up a port's endpoint (endpoint_order); they carry the
// flag below besides their direction.
constexpr uint8_t kFiller = 0x40;
bool is_wanted(uint8_t address) { return (address & kFiller) == 0; }

std::atomic<bool> g_stop{false};
void on_signal(int) { g_stop = true; }
std::atomic<bool> g_report{false};
void on_report(int) { g_report = true; }
// Sent to a pipe's thread to end a wait in the kernel (FunctionFS waits for a disabled endpoint to
// come back); the handler does nothing, the call fails with EINTR.
void on_wake(int) {}

// The simulated board, opened through its host as the library opens a board.
struct Firmware {
    KorvalSim* sim = nullptr;
    const KorvalHost* host = nullptr;
    KorvalHandle file = 0;
    KorvalHandle interface = 0;
    uint32_t board = 0;
};

struct Pipe {
    uint8_t address = 0;  // as the firmware names it (and as the USB host must see it)
    int fd = -1;          // the FunctionFS endpoint file
    std::thread worker;
    std::atomic<bool> done{false};
};

struct Options {
    uint32_t product = 0x8040;
    std::string serial;  // hex; empty: the board's own
    std::string udc;     // empty: the first free one
    std::string name = "korval";
    long noise_seed = -1;  // -1: the board's own signals
};

bool write_file(const std::string& path, const std::string& text)
{
    std::ofstream f(path);
    f << text;
    f.close();
    if (!f) std::fprintf(stderr, "korval-gadget: cannot write %s\n", path.c_str());
    return static_cast<bool>(f);
}

std::string hex(unsigned value, int digits)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*x", digits, value);
    return text;
}

// A string descriptor of the firmware as UTF-8 (ASCII is what the boards answer).
std::string firmware_string(const Firmware& fw, uint8_t index)
{
    uint8_t d[256];
    uint32_t n = 0, error = 0;
    if (fw.host->winusb_get_descriptor(fw.host->context, fw.interface, 3, index, 0x0409, d, sizeof d, &n, &error) ==
            0 ||
        n < 2)
        return {};
    std::string text;
    for (uint32_t i = 2; i + 1 < n && i < d[0]; i += 2) text.push_back(d[i + 1] == 0 ? static_cast<char>(d[i]) : '?');
    return text;
}

bool open_firmware(const Options& o, Firmware& fw)
{
    fw.sim = KorvalSim_Create();
    const uint32_t board = fw.sim != nullptr ? KorvalSim_AddBoard(fw.sim, o.product, KORVAL_SIM_WINUSB) : 0;
    if (board == 0) {
        std::fprintf(stderr, "korval-gadget: no board with product ID 0x%04x\n", o.product);
        return false;
    }
    if (!o.serial.empty()) KorvalSim_SetSerialNumber(fw.sim, board, std::strtoull(o.serial.c_str(), nullptr, 16));
    if (o.noise_seed >= 0) {
        const KorvalSimAdcSignal noise{KORVAL_SIM_SIGNAL_NOISE, static_cast<uint32_t>(o.noise_seed), 0.0, 9.0, 0.0};
        for (uint32_t c = 0; c < 16; ++c) KorvalSim_SetAdcSignal(fw.sim, board, c, &noise);
    }
    fw.board = board;
    fw.host = KorvalSim_Host(fw.sim);
    char path[512];
    KorvalSim_GetInterfacePath(fw.sim, board, path, sizeof path);
    uint32_t error = 0;
    if (fw.host->open_file(fw.host->context, path, 1, &fw.file, &error) == 0 ||
        fw.host->winusb_initialize(fw.host->context, fw.file, &fw.interface, &error) == 0) {
        std::fprintf(stderr, "korval-gadget: cannot open the simulated board (%u)\n", error);
        return false;
    }
    return true;
}

std::vector<uint8_t> firmware_pipes(const Firmware& fw)
{
    std::vector<uint8_t> pipes;
    uint8_t count = 0;
    uint32_t error = 0;
    fw.host->winusb_query_interface_settings(fw.host->context, fw.interface, 0, &count, &error);
    for (uint8_t i = 0; i < count; ++i) {
        uint8_t type = 0, id = 0;
        if (fw.host->winusb_query_pipe(fw.host->context, fw.interface, 0, i, &type, &id, &error) != 0 && type == 2)
            pipes.push_back(id);
    }
    return pipes;
}

// What the outputs did, on one line: the waveform (points, underruns, the end, each channel's lowest
// and highest code) and the digital points put out since the last report (whether they count up by one).
void report(const Firmware& fw)
{
    std::printf("korval-gadget: report:");
    KorvalSimDacStream dac{};
    if (KorvalSim_GetDacStream(fw.sim, fw.board, &dac) == 0) {
        std::printf(" waveform %llu points of %u channels, %llu underruns, ended %u;",
                    static_cast<unsigned long long>(dac.points), dac.channels,
                    static_cast<unsigned long long>(dac.underruns), dac.ended);
        std::vector<uint16_t> codes(std::min<uint64_t>(dac.points, 1u << 20));
        for (uint32_t c = 0; c < dac.channels; ++c) {
            uint32_t n = static_cast<uint32_t>(codes.size());
            if (KorvalSim_GetDacPlayed(fw.sim, fw.board, c, 0, codes.data(), &n) != 0 || n == 0) continue;
            const auto [low, high] = std::minmax_element(codes.begin(), codes.begin() + n);
            std::printf(" channel %u codes %u to %u;", c, *low, *high);
        }
    }
    KorvalSimDigitalStream dio{};
    if (KorvalSim_GetDigitalStream(fw.sim, fw.board, &dio) == 0 && dio.points_queued > 0) {
        // Still putting points out: they are reported together once the last has gone out.
        std::printf(" digital points queued %llu", static_cast<unsigned long long>(dio.points_queued));
    } else if (KorvalSim_GetDigitalStream(fw.sim, fw.board, &dio) == 0) {
        std::vector<uint16_t> points(1u << 16);
        uint64_t taken = 0, counting = 0;
        uint16_t first = 0;
        uint32_t n = 0;
        do {
            if (KorvalSim_ReadDigitalStreamOutput(fw.sim, fw.board, points.data(), static_cast<uint32_t>(points.size()),
                                                  &n) != 0)
                break;
            for (uint32_t i = 0; i < n; ++i, ++taken) {
                if (taken == 0) first = points[i];
                if (points[i] == static_cast<uint16_t>(first + taken) && counting == taken) ++counting;
            }
        } while (n > 0);
        std::printf(" digital points put out %llu, counting up by 1 for %llu", static_cast<unsigned long long>(taken),
                    static_cast<unsigned long long>(counting));
    }
    std::printf("\n");
    std::fflush(stdout);
}

// ---- FunctionFS descriptors ----
void put16(std::vector<uint8_t>& b, uint16_t v)
{
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}
void put32(std::vector<uint8_t>& b, uint32_t v)
{
    put16(b, static_cast<uint16_t>(v));
    put16(b, static_cast<uint16_t>(v >> 16));
}

// The interface with its bulk endpoints, at a packet size. `endpoints` are the addresses in the
// order the kernel is to give them out (see endpoint_order).
void interface_descriptors(std::vector<uint8_t>& b, const std::vector<uint8_t>& endpoints, uint16_t packet)
{
    const uint8_t intf[] = {9, USB_DT_INTERFACE, 0, 0, static_cast<uint8_t>(endpoints.size()), 0xFF, 0, 0, 1};
    b.insert(b.end(), intf, intf + sizeof intf);
    for (uint8_t address : endpoints) {
        const uint8_t ep[] = {7,
                              USB_DT_ENDPOINT,
                              static_cast<uint8_t>(address & ~kFiller),
                              USB_ENDPOINT_XFER_BULK,
                              static_cast<uint8_t>(packet),
                              static_cast<uint8_t>(packet >> 8),
                              0};
        b.insert(b.end(), ep, ep + sizeof ep);
    }
}

std::vector<uint8_t> descriptors(const std::vector<uint8_t>& endpoints)
{
    std::vector<uint8_t> b;
    put32(b, FUNCTIONFS_DESCRIPTORS_MAGIC_V2);
    put32(b, 0);  // length, below
    put32(b, FUNCTIONFS_HAS_FS_DESC | FUNCTIONFS_HAS_HS_DESC | FUNCTIONFS_ALL_CTRL_RECIP);
    const uint32_t count = 1 + static_cast<uint32_t>(endpoints.size());
    put32(b, count);
    put32(b, count);
    interface_descriptors(b, endpoints, 64);
    interface_descriptors(b, endpoints, 512);
    const uint32_t length = static_cast<uint32_t>(b.size());
    std::memcpy(b.data() + 4, &length, 4);  // little-endian machines (x86, ARM as Linux runs them)
    return b;
}

std::vector<uint8_t> strings(const std::string& interface_name)
{
    std::vector<uint8_t> b;
    put32(b, FUNCTIONFS_STRINGS_MAGIC);
    put32(b, 0);
    put32(b, 1);  // strings per language
    put32(b, 1);  // languages
    put16(b, 0x0409);
    b.insert(b.end(), interface_name.begin(), interface_name.end());
    b.push_back(0);
    const uint32_t length = static_cast<uint32_t>(b.size());
    std::memcpy(b.data() + 4, &length, 4);
    return b;
}

// ---- The gadget in configfs ----
struct Gadget {
    std::string dir;    // /sys/kernel/config/usb_gadget/NAME
    std::string mount;  // where its FunctionFS is mounted
    std::string udc;
};

bool make_gadget(const Options& o, const Firmware& fw, Gadget& g)
{
    uint8_t d[18];
    uint32_t n = 0, error = 0;
    if (fw.host->winusb_get_descriptor(fw.host->context, fw.interface, 1, 0, 0, d, sizeof d, &n, &error) == 0 ||
        n < 18) {
        std::fprintf(stderr, "korval-gadget: the board has no device descriptor\n");
        return false;
    }
    const std::string root = "/sys/kernel/config/usb_gadget";
    if (!std::filesystem::exists(root)) {
        std::fprintf(stderr, "korval-gadget: %s is missing (modprobe libcomposite; mount configfs)\n", root.c_str());
        return false;
    }
    g.dir = root + "/" + o.name;
    std::error_code ec;
    std::filesystem::create_directory(g.dir, ec);
    std::filesystem::create_directories(g.dir + "/strings/0x409", ec);
    std::filesystem::create_directories(g.dir + "/configs/c.1/strings/0x409", ec);
    std::filesystem::create_directories(g.dir + "/functions/ffs." + o.name, ec);
    uint8_t serial[8] = {};
    KorvalSim_EepromRead(fw.sim, 1, 0x1DF8, 8, serial);
    uint64_t number = 0;
    for (int i = 7; i >= 0; --i) number = number << 8 | serial[i];
    char serial_text[24];
    std::snprintf(serial_text, sizeof serial_text, "%016llX", static_cast<unsigned long long>(number));
    bool ok = write_file(g.dir + "/idVendor", hex(d[8] | d[9] << 8, 4)) &&
              write_file(g.dir + "/idProduct", hex(d[10] | d[11] << 8, 4)) &&
              write_file(g.dir + "/bcdDevice", hex(d[12] | d[13] << 8, 4)) && write_file(g.dir + "/bcdUSB", "0x0200") &&
              write_file(g.dir + "/bDeviceClass", hex(d[4], 2)) &&
              write_file(g.dir + "/strings/0x409/manufacturer", firmware_string(fw, d[14])) &&
              write_file(g.dir + "/strings/0x409/product", firmware_string(fw, d[15])) &&
              write_file(g.dir + "/strings/0x409/serialnumber", serial_text) &&
              write_file(g.dir + "/configs/c.1/MaxPower", "100");
    if (!ok) return false;
    std::filesystem::create_symlink(g.dir + "/functions/ffs." + o.name, g.dir + "/configs/c.1/ffs." + o.name, ec);
    g.mount = "/run/korval-gadget/" + o.name;
    std::filesystem::create_directories(g.mount, ec);
    if (mount(o.name.c_str(), g.mount.c_str(), "functionfs", 0, nullptr) != 0 && errno != EBUSY) {
        std::fprintf(stderr, "korval-gadget: cannot mount FunctionFS: %s\n", std::strerror(errno));
        return false;
    }
    return true;
}

std::string free_udc(const Options& o)
{
    if (!o.udc.empty()) return o.udc;
    std::vector<std::string> names, taken;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator("/sys/class/udc", ec))
        names.push_back(e.path().filename());
    for (const auto& e : std::filesystem::directory_iterator("/sys/kernel/config/usb_gadget", ec)) {
        std::ifstream f(e.path() / "UDC");
        std::string name;
        if (std::getline(f, name) && !name.empty()) taken.push_back(name);
    }
    std::sort(names.begin(), names.end());
    for (const std::string& name : names)
        if (std::find(taken.begin(), taken.end(), name) == taken.end()) return name;
    return {};
}

void remove_gadget(const Options& o, const Gadget& g)
{
    if (g.dir.empty()) return;
    write_file(g.dir + "/UDC", "\n");
    umount(g.mount.c_str());
    std::error_code ec;
    std::filesystem::remove(g.dir + "/configs/c.1/ffs." + o.name, ec);
    for (const char* sub : {"/configs/c.1/strings/0x409", "/configs/c.1", "/functions/ffs.", "/strings/0x409", ""}) {
        std::string path = g.dir + sub;
        if (std::strcmp(sub, "/functions/ffs.") == 0) path += o.name;
        rmdir(path.c_str());
    }
}

// ---- Endpoint 0: the requests addressed to the device or the interface ----
void stall(int ep0, bool in)
{
    // FunctionFS halts endpoint 0 on a transfer against the request's direction.
    uint8_t byte = 0;
    if (in) {
        if (read(ep0, &byte, 0) < 0 && errno != EL2HLT) std::perror("korval-gadget: stall");
    } else if (write(ep0, &byte, 0) < 0 && errno != EL2HLT) {
        std::perror("korval-gadget: stall");
    }
}

void answer_setup(const Firmware& fw, int ep0, const usb_ctrlrequest& r)
{
    const uint8_t setup[8] = {r.bRequestType,
                              r.bRequest,
                              static_cast<uint8_t>(le16toh(r.wValue)),
                              static_cast<uint8_t>(le16toh(r.wValue) >> 8),
                              static_cast<uint8_t>(le16toh(r.wIndex)),
                              static_cast<uint8_t>(le16toh(r.wIndex) >> 8),
                              static_cast<uint8_t>(le16toh(r.wLength)),
                              static_cast<uint8_t>(le16toh(r.wLength) >> 8)};
    const uint16_t length = le16toh(r.wLength);
    std::vector<uint8_t> data(length);
    uint32_t moved = 0, error = 0;
    const bool in = (r.bRequestType & USB_DIR_IN) != 0;
    if (in) {
        if (fw.host->winusb_control_transfer(fw.host->context, fw.interface, setup, data.data(), length, &moved,
                                             &error) == 0) {
            stall(ep0, true);
            return;
        }
        if (write(ep0, data.data(), moved) < 0) std::perror("korval-gadget: control IN");
        return;
    }
    // OUT: with no data stage the firmware's answer decides between status and stall. With one, the
    // kernel completes the status stage once the data is read: a refusal by the firmware comes too
    // late to stall, and the host sees the request succeed.
    if (length == 0) {
        if (fw.host->winusb_control_transfer(fw.host->context, fw.interface, setup, nullptr, 0, &moved, &error) == 0)
            stall(ep0, false);
        else if (read(ep0, nullptr, 0) < 0)
            std::perror("korval-gadget: control status");
        return;
    }
    const ssize_t got = read(ep0, data.data(), length);
    if (got < 0) {
        std::perror("korval-gadget: control OUT");
        return;
    }
    if (fw.host->winusb_control_transfer(fw.host->context, fw.interface, setup, data.data(), static_cast<uint32_t>(got),
                                         &moved, &error) == 0)
        std::fprintf(stderr, "korval-gadget: the board refused request 0x%02x after its data (%u)\n", r.bRequest,
                     error);
}

// ---- Bulk pipes ----
// IN: what the firmware answers a read with goes to the host; a read as large as the host's usual
// transfers, a multiple of the packet size, so that only a short answer ends the host's transfer.
void pipe_in(const Firmware& fw, Pipe& p, const std::atomic<bool>& running)
{
    std::vector<uint8_t> buffer(64 * 1024);
    while (running) {
        uint32_t moved = 0, error = 0;
        if (fw.host->winusb_read_pipe(fw.host->context, fw.interface, p.address, buffer.data(),
                                      static_cast<uint32_t>(buffer.size()), &moved, &error) == 0) {
            if (error == 995) continue;  // aborted: the pipes are stopping, or a reset
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        if (write(p.fd, buffer.data(), moved) < 0) {
            if (errno == EINTR) continue;
            return;  // the port was unbound or the host reset the endpoint
        }
    }
}

// OUT: each packet the host sends, handed to the firmware as it arrives (a read of one packet ends
// with it, so no transfer waits for bytes that never come).
void pipe_out(const Firmware& fw, Pipe& p, const std::atomic<bool>& running)
{
    std::vector<uint8_t> buffer(512);
    while (running) {
        const ssize_t n = read(p.fd, buffer.data(), buffer.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return;
        }
        uint32_t moved = 0, error = 0;
        fw.host->winusb_write_pipe(fw.host->context, fw.interface, p.address, buffer.data(), static_cast<uint32_t>(n),
                                   &moved, &error);
    }
}

void stop_pipes(const Firmware& fw, std::vector<Pipe>& pipes, std::atomic<bool>& running)
{
    running = false;
    uint32_t error = 0;
    for (Pipe& p : pipes) {
        if (!p.worker.joinable()) continue;
        // A read from the firmware ends on the abort, a wait on the endpoint file on the signal.
        for (int i = 0; i < 500 && !p.done; ++i) {
            fw.host->winusb_abort_pipe(fw.host->context, fw.interface, p.address, &error);
            pthread_kill(p.worker.native_handle(), SIGUSR1);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        p.worker.join();
    }
    for (Pipe& p : pipes) {
        if (p.fd >= 0) close(p.fd);
        p.fd = -1;
    }
}

void start_pipes(const Firmware& fw, const Gadget& g, std::vector<Pipe>& pipes, std::atomic<bool>& running)
{
    running = true;
    for (size_t i = 0; i < pipes.size(); ++i) {
        Pipe& p = pipes[i];
        p.fd = open((g.mount + "/ep" + std::to_string(i + 1)).c_str(), O_RDWR);
        if (p.fd < 0) {
            std::fprintf(stderr, "korval-gadget: endpoint %zu: %s\n", i + 1, std::strerror(errno));
            continue;
        }
        if (!is_wanted(p.address)) continue;  // a filler: no traffic
        p.done = false;
        p.worker = std::thread([&fw, &p, &running] {
            // The report's signal is the main thread's: it ends the main thread's poll at once.
            sigset_t report;
            sigemptyset(&report);
            sigaddset(&report, SIGUSR2);
            pthread_sigmask(SIG_BLOCK, &report, nullptr);
            if ((p.address & 0x80) != 0)
                pipe_in(fw, p, running);
            else
                pipe_out(fw, p, running);
            p.done = true;
        });
    }
}

// The order to declare the endpoints in so that the port hands out the firmware's addresses. The
// kernel gives each declared endpoint the first free endpoint of the port with its type and
// direction, numbered as the port numbers it, whatever address was asked for. On a port whose bulk
// endpoints are known (dummy_hcd's), the wanted ones are declared in the port's order, each preceded
// by fillers (kFiller) that use up the port's endpoints of the same direction with other numbers.
// Other ports get the wanted addresses in the firmware's order.
std::vector<uint8_t> endpoint_order(const std::string& udc, const std::vector<uint8_t>& wanted)
{
    // dummy_hcd's bulk endpoints, in its order: fifteen fixed-function ones, then two more.
    static const uint8_t kDummyBulk[] = {0x81, 0x02, 0x86, 0x07, 0x8B, 0x0C, 0x01, 0x82};
    if (udc.rfind("dummy_udc", 0) != 0) return wanted;
    std::vector<uint8_t> order, left = wanted;
    for (uint8_t port : kDummyBulk) {
        const auto same_direction = [port](uint8_t a) { return (a & 0x80) == (port & 0x80); };
        if (std::none_of(left.begin(), left.end(), same_direction)) continue;
        const auto it = std::find(left.begin(), left.end(), port);
        if (it != left.end()) {
            order.push_back(port);
            left.erase(it);
        } else {
            order.push_back(static_cast<uint8_t>(port | kFiller));
        }
    }
    if (!left.empty()) {
        std::fprintf(stderr, "korval-gadget: %s cannot give every endpoint its address\n", udc.c_str());
        return wanted;
    }
    return order;
}

int usage()
{
    std::fprintf(stderr,
                 "usage: korval-gadget [--product PID] [--serial HEX] [--udc NAME] [--name NAME] [--adc-noise SEED]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (i + 1 >= argc) return usage();
        if (a == "--product")
            o.product = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 0));
        else if (a == "--serial")
            o.serial = argv[++i];
        else if (a == "--udc")
            o.udc = argv[++i];
        else if (a == "--name")
            o.name = argv[++i];
        else if (a == "--adc-noise")
            o.noise_seed = std::strtol(argv[++i], nullptr, 0);
        else
            return usage();
    }
    std::signal(SIGINT, on_signal);
    std::signal(SIGTERM, on_signal);
    std::signal(SIGPIPE, SIG_IGN);
    struct sigaction wake {};
    wake.sa_handler = on_wake;  // no SA_RESTART: the interrupted call returns EINTR
    sigaction(SIGUSR1, &wake, nullptr);
    struct sigaction asked {};
    asked.sa_handler = on_report;
    sigaction(SIGUSR2, &asked, nullptr);

    Firmware fw;
    if (!open_firmware(o, fw)) return 1;
    Gadget g;
    if (!make_gadget(o, fw, g)) {
        remove_gadget(o, g);
        return 1;
    }
    std::vector<Pipe> pipes;
    const std::vector<uint8_t> wanted = firmware_pipes(fw);
    g.udc = free_udc(o);
    const std::vector<uint8_t> order = endpoint_order(g.udc, wanted);
    std::vector<Pipe> made(order.size());
    pipes.swap(made);
    for (size_t i = 0; i < order.size(); ++i) pipes[i].address = order[i];

    const int ep0 = open((g.mount + "/ep0").c_str(), O_RDWR);
    const std::vector<uint8_t> d = descriptors(order);
    const std::vector<uint8_t> s = strings("Korval");
    if (ep0 < 0 || write(ep0, d.data(), d.size()) != static_cast<ssize_t>(d.size()) ||
        write(ep0, s.data(), s.size()) != static_cast<ssize_t>(s.size())) {
        std::fprintf(stderr, "korval-gadget: FunctionFS refused the descriptors: %s\n", std::strerror(errno));
        remove_gadget(o, g);
        return 1;
    }
    if (g.udc.empty() || !write_file(g.dir + "/UDC", g.udc)) {
        std::fprintf(stderr, "korval-gadget: no USB device port to bind\n");
        remove_gadget(o, g);
        return 1;
    }
    std::printf("korval-gadget: product 0x%04x on %s\n", o.product, g.udc.c_str());
    std::fflush(stdout);

    std::atomic<bool> running{false};
    while (!g_stop) {
        if (g_report.exchange(false)) report(fw);
        pollfd p{ep0, POLLIN, 0};
        if (poll(&p, 1, 200) <= 0) continue;
        usb_functionfs_event events[4];
        const ssize_t n = read(ep0, events, sizeof events);
        if (n < 0) continue;
        for (size_t i = 0; i < static_cast<size_t>(n) / sizeof events[0]; ++i) {
            switch (events[i].type) {
                case FUNCTIONFS_ENABLE:
                    stop_pipes(fw, pipes, running);
                    start_pipes(fw, g, pipes, running);
                    break;
                case FUNCTIONFS_DISABLE:
                case FUNCTIONFS_UNBIND:
                    stop_pipes(fw, pipes, running);
                    break;
                case FUNCTIONFS_SETUP:
                    answer_setup(fw, ep0, events[i].u.setup);
                    break;
                default:
                    break;
            }
        }
    }
    write_file(g.dir + "/UDC", "\n");  // the pipes' waits in the kernel end with the port
    stop_pipes(fw, pipes, running);
    close(ep0);
    remove_gadget(o, g);
    uint32_t error = 0;
    fw.host->winusb_free(fw.host->context, fw.interface, &error);
    fw.host->close_handle(fw.host->context, fw.file, &error);
    KorvalSim_Destroy(fw.sim);
    return 0;
}
