// Fuzz target: everything the library parses from a board. A host with one board whose every answer
// (device descriptor, name string, configuration blocks, pipe queries, control and bulk replies, the
// byte counts the driver reports, failures) comes from the fuzzer's input, on either driver path. The
// input's first bytes pick the exported function called and its counts, so a function added to the
// export list is fuzzed too.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <vector>

#include "korval/host.h"
#include "korval/korval.h"
#include "support/exported_calls.h"

namespace {

using korval::test::Arg;
using korval::test::ParamKind;

class Script {
public:
    void reset(const uint8_t* data, size_t size)
    {
        std::lock_guard lock(mutex_);
        data_ = data;
        left_ = size;
    }
    bool take(void* out, size_t n)
    {
        std::lock_guard lock(mutex_);
        if (left_ < n) {
            left_ = 0;
            return false;
        }
        std::memcpy(out, data_, n);
        data_ += n;
        left_ -= n;
        return true;
    }
    uint8_t byte()
    {
        uint8_t b = 0;
        take(&b, 1);
        return b;
    }
    uint32_t word()
    {
        uint32_t w = 0;
        take(&w, sizeof w);
        return w;
    }
    bool empty()
    {
        std::lock_guard lock(mutex_);
        return left_ == 0;
    }

private:
    std::mutex mutex_;
    const uint8_t* data_ = nullptr;
    size_t left_ = 0;
};

Script g_script;
bool g_ioctl = false;
constexpr KorvalHandle kFile = 0x10;
constexpr KorvalHandle kInterface = 0x20;
const char kPath[] = "\\\\?\\usb#vid_4b56&pid_8140#fuzz";

// A transfer fails when the input says so or has run out; its code comes from the input too, so the
// device-gone mapping sees removal codes as well as others.
bool fails(uint32_t* error)
{
    const uint8_t how = g_script.byte();
    if (!g_script.empty() && how < 0xF0) return false;
    const uint32_t codes[] = {0, 31, 1167, 2, 6, 1617, 995, 87};
    *error = codes[how & 7];
    return true;
}

// Fills up to `length` bytes of a reply from the input; the count reported is the input's, and may
// claim more than the buffer holds.
uint32_t reply(void* buffer, uint32_t length)
{
    const uint32_t wanted = g_script.byte();
    const uint32_t n = wanted < length ? wanted : length;
    if (buffer != nullptr) g_script.take(buffer, n);
    return (g_script.byte() & 0x80) != 0 ? g_script.word() : n;
}

void list_interfaces(void*, const KorvalGuid* cls, void (*emit)(void*, const char*), void* ctx)
{
    const KorvalGuid ioctl_class = KORVAL_INTERFACE_CLASS_IOCTL;
    const bool is_ioctl = std::memcmp(cls, &ioctl_class, sizeof ioctl_class) == 0;
    if (is_ioctl == g_ioctl) emit(ctx, kPath);
}
int open_file(void*, const char*, int, KorvalHandle* file, uint32_t*)
{
    *file = kFile;
    return 1;
}
int close_handle(void*, KorvalHandle, uint32_t*) { return 1; }
int device_io_control(void*, KorvalHandle, uint32_t code, const void* in, uint32_t in_size, void* out,
                      uint32_t out_size, uint32_t* returned, uint32_t* error)
{
    if (fails(error)) return 0;
    const bool control = code == KORVAL_IOCTL_CONTROL_REQUEST;
    const auto* header = static_cast<const uint8_t*>(in);
    // Only device-to-host transfers get data: a control request with bit 7 of its request type, a bulk
    // transfer to an IN endpoint (bit 7 of the pipe ID at offset 13 of the header).
    const bool device_to_host = in_size >= KORVAL_IOCTL_HEADER_SIZE && (header[control ? 0 : 13] & 0x80) != 0;
    const uint32_t skip = control ? KORVAL_IOCTL_HEADER_SIZE : 0;
    if (out_size < skip || !device_to_host) {
        *returned = out_size;
        return 1;
    }
    *returned = reply(static_cast<uint8_t*>(out) + skip, out_size - skip) + skip;
    return 1;
}
int winusb_initialize(void*, KorvalHandle, KorvalHandle* handle, uint32_t*)
{
    *handle = kInterface;
    return 1;
}
int winusb_free(void*, KorvalHandle, uint32_t*) { return 1; }
int control_transfer(void*, KorvalHandle, const uint8_t setup[8], void* buffer, uint32_t length,
                     uint32_t* transferred, uint32_t* error)
{
    if (fails(error)) return 0;
    const bool in = (setup[0] & 0x80) != 0;
    *transferred = in ? reply(buffer, length) : length;
    return 1;
}
int get_descriptor(void*, KorvalHandle, uint8_t, uint8_t, uint16_t, void* buffer, uint32_t length,
                   uint32_t* transferred, uint32_t* error)
{
    if (fails(error)) return 0;
    *transferred = reply(buffer, length);
    return 1;
}
int query_interface(void*, KorvalHandle, uint8_t, uint8_t* endpoints, uint32_t* error)
{
    if (fails(error)) return 0;
    *endpoints = g_script.byte();
    return 1;
}
int query_pipe(void*, KorvalHandle, uint8_t, uint8_t, uint8_t* type, uint8_t* id, uint32_t* error)
{
    if (fails(error)) return 0;
    *type = g_script.byte();
    *id = g_script.byte();
    return 1;
}
int write_pipe(void*, KorvalHandle, uint8_t, const void*, uint32_t length, uint32_t* transferred, uint32_t* error)
{
    if (fails(error)) return 0;
    *transferred = (g_script.byte() & 0x80) != 0 ? g_script.word() : length;
    return 1;
}
int read_pipe(void*, KorvalHandle, uint8_t, void* buffer, uint32_t length, uint32_t* transferred, uint32_t* error)
{
    if (fails(error)) return 0;
    *transferred = reply(buffer, length);
    return 1;
}
int abort_pipe(void*, KorvalHandle, uint8_t, uint32_t*) { return 1; }
int cancel_io(void*, KorvalHandle, uint32_t*) { return 1; }

KorvalHost make_host()
{
    KorvalHost h{};
    h.version = KORVAL_HOST_VERSION;
    h.list_interfaces = list_interfaces;
    h.open_file = open_file;
    h.close_handle = close_handle;
    h.device_io_control = device_io_control;
    h.has_winusb = 1;
    h.winusb_initialize = winusb_initialize;
    h.winusb_free = winusb_free;
    h.winusb_control_transfer = control_transfer;
    h.winusb_get_descriptor = get_descriptor;
    h.winusb_query_interface_settings = query_interface;
    h.winusb_query_pipe = query_pipe;
    h.winusb_write_pipe = write_pipe;
    h.winusb_read_pipe = read_pipe;
    h.winusb_abort_pipe = abort_pipe;
    h.cancel_io = cancel_io;
    return h;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 3) return 0;
    const auto& functions = korval::test::exported_functions();
    const auto& f = functions[data[0] % functions.size()];
    g_ioctl = (data[1] & 1) != 0;
    const uint32_t count = data[2];
    g_script.reset(data + 3, size - 3);

    static const KorvalHost host = make_host();
    KORVAL_InstallHost(&host);

    // Arguments as a careful caller passes them: slot 0, buffers of 64 KiB, counts from the input.
    static std::vector<std::vector<uint8_t>> buffers;
    buffers.assign(f.params.size(), std::vector<uint8_t>(65536, 0));
    std::vector<Arg> args(f.params.size());
    for (size_t i = 0; i < f.params.size(); ++i) {
        const auto& p = f.params[i];
        if (p.kind == ParamKind::pointer) {
            args[i].pointer = buffers[i].data();
            if (p.count) std::memcpy(buffers[i].data(), &count, sizeof count);
            if (p.to_real) {
                const double rate = 1000.0;
                std::memcpy(buffers[i].data(), &rate, sizeof rate);
            }
        } else if (p.kind == ParamKind::callback) {
            args[i].pointer = p.callback;
        } else if (p.kind == ParamKind::integer && p.count) {
            args[i].integer = count;
        } else if (p.kind == ParamKind::real) {
            args[i].real = 1000.0;
        }
    }
    f.call(args);
    korval::test::end_background_operations();  // no worker outlives its input
    KORVAL_InstallHost(nullptr);
    return 0;
}
