#include "host/sim/simulation.h"

#include <cstdio>
#include <cstring>

#include "base/caller_memory.h"
#include "korval/korval.h"

namespace korval::sim {

namespace {

// ERROR_INVALID_FUNCTION: a DeviceIoControl code the driver does not know, or one sent to a device of
// the other driver.
constexpr uint32_t kInvalidFunction = 1;

Simulation* self(void* context) { return static_cast<Simulation*>(context); }

// The operating system checks that a program's bulk buffer can be read (OUT) or written (IN) over its
// whole length before a driver moves data, and fails the transfer with ERROR_NOACCESS; so does the
// simulation, instead of faulting. A null buffer is a transfer of no data.
bool buffer_usable(const void* buffer, uint32_t size, bool written)
{
    return buffer == nullptr || caller_range_usable(buffer, size, written);
}

bool same_guid(const KorvalGuid& a, const KorvalGuid& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

const KorvalGuid kIoctlClass = KORVAL_INTERFACE_CLASS_IOCTL;
const KorvalGuid kWinUsbClass = KORVAL_INTERFACE_CLASS_WINUSB;

int fail(uint32_t* error, uint32_t code)
{
    *error = code;
    return 0;
}

int finish(const TransferResult& r, uint32_t* count, uint32_t* error)
{
    if (!r.ok) return fail(error, r.error);
    if (count != nullptr) *count = r.reported;
    return 1;
}

}  // namespace

Simulation::~Simulation()
{
    // Under the lock, after the last lookup of every transfer made so far; the boards' destructors then
    // wait for their waiting transfers to leave, while the handles and the rest are still there.
    std::vector<std::unique_ptr<Board>> boards;
    {
        std::lock_guard lock(mutex_);
        boards.swap(boards_);
    }
    boards.clear();
}

Simulation::Simulation()
{
    host_.version = KORVAL_HOST_VERSION;
    host_.context = this;
    host_.list_interfaces = list_interfaces;
    host_.open_file = open_file;
    host_.close_handle = close_handle;
    host_.device_io_control = device_io_control;
    host_.has_winusb = 1;
    host_.winusb_initialize = winusb_initialize;
    host_.winusb_free = winusb_free;
    host_.winusb_control_transfer = winusb_control_transfer;
    host_.winusb_get_descriptor = winusb_get_descriptor;
    host_.winusb_query_interface_settings = winusb_query_interface_settings;
    host_.winusb_query_pipe = winusb_query_pipe;
    host_.winusb_write_pipe = winusb_write_pipe;
    host_.winusb_read_pipe = winusb_read_pipe;
    host_.winusb_abort_pipe = winusb_abort_pipe;
    host_.cancel_io = cancel_io;
    host_.watch_boards = watch_boards;
    host_.unwatch_boards = unwatch_boards;
    host_.list_unusable = list_unusable;
}

void Simulation::tell_watch(const Board& board, uint32_t kind)
{
    std::lock_guard lock(watch_mutex_);
    if (notify_ == nullptr) return;
    KorvalHostBoardEvent event{};
    event.kind = kind;
    event.interface_class = board.on_ioctl_path() ? &kIoctlClass : &kWinUsbClass;
    event.path = board.interface_path().c_str();
    event.vendor_id = 0x4B56;
    event.product_id = board.product().pid;
    notify_(notify_context_, &event);
}

int Simulation::watch_boards(void* context, KorvalHostBoardNotify notify, void* notify_context, uint32_t* error)
{
    if (notify == nullptr) return fail(error, ERROR_INVALID_PARAMETER);
    Simulation* sim = self(context);
    std::lock_guard lock(sim->watch_mutex_);
    sim->notify_ = notify;
    sim->notify_context_ = notify_context;
    return 1;
}

int Simulation::unwatch_boards(void* context, uint32_t*)
{
    Simulation* sim = self(context);
    std::lock_guard lock(sim->watch_mutex_);
    sim->notify_ = nullptr;
    sim->notify_context_ = nullptr;
    return 1;
}

void Simulation::list_unusable(void* context, void (*emit)(void*, const KorvalHostUnusableBoard*), void* emit_context)
{
    Simulation* sim = self(context);
    struct Found {
        uint32_t error;
        uint16_t pid;
        std::string path;
    };
    std::vector<Found> found;
    {
        std::lock_guard lock(sim->mutex_);
        for (auto& board : sim->boards_)
            if (board->plugged() && board->unusable() != 0)
                found.push_back({board->unusable(), board->product().pid, board->interface_path()});
    }
    for (const Found& f : found) {
        const KorvalHostUnusableBoard board{f.error, 0x4B56, f.pid, f.path.c_str()};
        emit(emit_context, &board);
    }
}

uint32_t Simulation::add_board(uint32_t pid, uint32_t path)
{
    if (pid > 0xFFFF || (path != KORVAL_SIM_WINUSB && path != KORVAL_SIM_IOCTL)) return 0;
    std::lock_guard lock(mutex_);
    const auto id = static_cast<uint32_t>(boards_.size() + 1);
    char interface_path[160];
    const char* guid = path == KORVAL_SIM_IOCTL ? "{d52d27e3-cf76-25eb-72ea-596f2234c0e1}"
                                                : "{88d87f5a-ea16-93fc-2165-39c91c36c96e}";
    std::snprintf(interface_path, sizeof interface_path, "\\\\?\\usb#vid_4b56&pid_%04x#korvalsim%04u#%s", pid, id,
                  guid);
    boards_.push_back(std::make_unique<Board>(clock_, id, describe_product(static_cast<uint16_t>(pid)), path,
                                              interface_path));
    return id;
}

Board* Simulation::find(uint32_t id)
{
    std::lock_guard lock(mutex_);
    return id >= 1 && id <= boards_.size() ? boards_[id - 1].get() : nullptr;
}

void Simulation::notify_all_boards()
{
    std::lock_guard lock(mutex_);
    for (auto& board : boards_) {
        auto board_lock = board->lock();
        board->notify();
    }
}

bool Simulation::lookup(KorvalHandle handle, bool want_interface, OpenHandle& found, uint32_t* error)
{
    std::lock_guard lock(mutex_);
    auto it = handles_.find(handle);
    if (it == handles_.end() || it->second.is_interface != want_interface) {
        *error = ERROR_INVALID_HANDLE;
        return false;
    }
    found = it->second;
    return true;
}

int Simulation::remove(KorvalHandle handle, bool is_interface, uint32_t* error)
{
    Board* board = nullptr;
    {
        std::lock_guard lock(mutex_);
        auto it = handles_.find(handle);
        if (it == handles_.end() || it->second.is_interface != is_interface) return fail(error, ERROR_INVALID_HANDLE);
        board = it->second.board;
        handles_.erase(it);
    }
    board->close(handle);
    return 1;
}

Via Simulation::via_for(KorvalHandle handle, const OpenHandle& open, uint32_t kind) const
{
    Via via;
    via.kind = kind;
    via.handle = handle;
    via.file = open.is_interface ? open.file : handle;
    via.generation = open.generation;
    return via;
}

void Simulation::list_interfaces(void* context, const KorvalGuid* interface_class, void (*emit)(void*, const char*),
                                 void* emit_context)
{
    Simulation* sim = self(context);
    const bool ioctl = same_guid(*interface_class, kIoctlClass);
    if (!ioctl && !same_guid(*interface_class, kWinUsbClass)) return;
    std::vector<std::string> paths;
    {
        std::lock_guard lock(sim->mutex_);
        for (auto& board : sim->boards_)
            if (board->on_ioctl_path() == ioctl && board->plugged() && board->unusable() == 0)
                paths.push_back(board->interface_path());
    }
    for (const std::string& path : paths) emit(emit_context, path.c_str());
}

int Simulation::open_file(void* context, const char* path, int exclusive, KorvalHandle* file, uint32_t* error)
{
    Simulation* sim = self(context);
    std::lock_guard lock(sim->mutex_);
    Board* board = nullptr;
    for (auto& b : sim->boards_)
        if (path != nullptr && b->interface_path() == path && b->plugged()) board = b.get();
    if (board == nullptr) return fail(error, ERROR_FILE_NOT_FOUND);
    if (board->unusable() != 0) return fail(error, board->unusable());
    const uint64_t generation = board->generation();
    for (auto& [handle, open] : sim->handles_) {
        if (open.board != board || open.is_interface || open.generation != generation) continue;
        if (exclusive != 0 || open.exclusive) return fail(error, ERROR_SHARING_VIOLATION);
    }
    *file = sim->next_handle_;
    sim->next_handle_ += 4;
    sim->handles_[*file] = {board, generation, exclusive != 0, false, 0};
    return 1;
}

int Simulation::close_handle(void* context, KorvalHandle handle, uint32_t* error)
{
    return self(context)->remove(handle, false, error);
}

int Simulation::device_io_control(void* context, KorvalHandle file, uint32_t code, const void* in, uint32_t in_size,
                                  void* out, uint32_t out_size, uint32_t* bytes_returned, uint32_t* error)
{
    Simulation* sim = self(context);
    OpenHandle open{};
    if (!sim->lookup(file, false, open, error)) return 0;
    if (!open.board->on_ioctl_path()) return fail(error, kInvalidFunction);
    if (in == nullptr || in_size < KORVAL_IOCTL_HEADER_SIZE) return fail(error, ERROR_INVALID_PARAMETER);

    // The input and output buffers may be one buffer: keep the header before the data stage is written.
    uint8_t header[KORVAL_IOCTL_HEADER_SIZE];
    std::memcpy(header, in, sizeof header);
    Via via = sim->via_for(file, open, KORVAL_SIM_VIA_IOCTL);
    via.control_code = code;
    via.header = header;

    if (code == KORVAL_IOCTL_CONTROL_REQUEST) {
        via.report_offset = KORVAL_IOCTL_HEADER_SIZE;
        const bool device_to_host = (header[0] & 0x80) != 0;
        TransferResult r;
        if (device_to_host) {
            const uint32_t room = out != nullptr && out_size > sizeof header ? out_size - sizeof header : 0;
            r = open.board->control(via, KORVAL_SIM_CONTROL, header, static_cast<uint8_t*>(out) + sizeof header, room);
        } else {
            // The data stage follows the header in the input buffer.
            std::vector<uint8_t> stage(static_cast<const uint8_t*>(in) + sizeof header,
                                       static_cast<const uint8_t*>(in) + in_size);
            r = open.board->control(via, KORVAL_SIM_CONTROL, header, stage.data(), static_cast<uint32_t>(stage.size()));
        }
        return finish(r, bytes_returned, error);
    }
    if (code == KORVAL_IOCTL_BULK_TRANSFER) {
        // The endpoint is the header's only field; the data goes to or comes from the second buffer.
        const uint8_t endpoint = header[13];
        if (!buffer_usable(out, out_size, (endpoint & 0x80) != 0)) return fail(error, ERROR_NOACCESS);
        TransferResult r = open.board->bulk(via, endpoint, static_cast<uint8_t*>(out), out != nullptr ? out_size : 0);
        return finish(r, bytes_returned, error);
    }
    return fail(error, kInvalidFunction);
}

int Simulation::winusb_initialize(void* context, KorvalHandle file, KorvalHandle* interface_handle, uint32_t* error)
{
    Simulation* sim = self(context);
    OpenHandle open{};
    if (!sim->lookup(file, false, open, error)) return 0;
    if (open.board->on_ioctl_path()) return fail(error, kInvalidFunction);
    if (!open.board->plugged() || open.generation != open.board->generation())
        return fail(error, ERROR_DEVICE_NOT_CONNECTED);
    std::lock_guard lock(sim->mutex_);
    *interface_handle = sim->next_handle_;
    sim->next_handle_ += 4;
    sim->handles_[*interface_handle] = {open.board, open.generation, false, true, file};
    return 1;
}

int Simulation::winusb_free(void* context, KorvalHandle interface_handle, uint32_t* error)
{
    return self(context)->remove(interface_handle, true, error);
}

int Simulation::winusb_control_transfer(void* context, KorvalHandle interface_handle, const uint8_t setup[8],
                                        void* buffer, uint32_t length, uint32_t* transferred, uint32_t* error)
{
    Simulation* sim = self(context);
    OpenHandle open{};
    if (!sim->lookup(interface_handle, true, open, error)) return 0;
    const Via via = sim->via_for(interface_handle, open, KORVAL_SIM_VIA_WINUSB);
    const TransferResult r = open.board->control(via, KORVAL_SIM_CONTROL, setup, static_cast<uint8_t*>(buffer),
                                                 buffer != nullptr ? length : 0);
    return finish(r, transferred, error);
}

int Simulation::winusb_get_descriptor(void* context, KorvalHandle interface_handle, uint8_t type, uint8_t index,
                                      uint16_t language, void* buffer, uint32_t length, uint32_t* transferred,
                                      uint32_t* error)
{
    Simulation* sim = self(context);
    OpenHandle open{};
    if (!sim->lookup(interface_handle, true, open, error)) return 0;
    // WinUsb_GetDescriptor is a standard GET_DESCRIPTOR request underneath.
    const uint16_t wlength = static_cast<uint16_t>(length > 0xFFFF ? 0xFFFF : length);
    const uint8_t setup[8] = {0x80, 0x06, index, type, static_cast<uint8_t>(language), static_cast<uint8_t>(language >> 8),
                              static_cast<uint8_t>(wlength), static_cast<uint8_t>(wlength >> 8)};
    const Via via = sim->via_for(interface_handle, open, KORVAL_SIM_VIA_WINUSB);
    const TransferResult r = open.board->control(via, KORVAL_SIM_DESCRIPTOR, setup, static_cast<uint8_t*>(buffer),
                                                 buffer != nullptr ? length : 0);
    return finish(r, transferred, error);
}

int Simulation::winusb_query_interface_settings(void* context, KorvalHandle interface_handle, uint8_t alternate,
                                                uint8_t* num_endpoints, uint32_t* error)
{
    Simulation* sim = self(context);
    OpenHandle open{};
    if (!sim->lookup(interface_handle, true, open, error)) return 0;
    uint8_t count = 0;
    Endpoint unused{};
    const TransferResult r = open.board->query_pipes(sim->via_for(interface_handle, open, KORVAL_SIM_VIA_WINUSB),
                                                     alternate, -1, count, unused);
    if (!r.ok) return fail(error, r.error);
    *num_endpoints = count;
    return 1;
}

int Simulation::winusb_query_pipe(void* context, KorvalHandle interface_handle, uint8_t alternate, uint8_t pipe_index,
                                  uint8_t* pipe_type, uint8_t* pipe_id, uint32_t* error)
{
    Simulation* sim = self(context);
    OpenHandle open{};
    if (!sim->lookup(interface_handle, true, open, error)) return 0;
    uint8_t count = 0;
    Endpoint endpoint{};
    const TransferResult r = open.board->query_pipes(sim->via_for(interface_handle, open, KORVAL_SIM_VIA_WINUSB),
                                                     alternate, pipe_index, count, endpoint);
    if (!r.ok) return fail(error, r.error);
    *pipe_type = endpoint.type;
    *pipe_id = endpoint.address;
    return 1;
}

int Simulation::winusb_write_pipe(void* context, KorvalHandle interface_handle, uint8_t pipe_id, const void* buffer,
                                  uint32_t length, uint32_t* transferred, uint32_t* error)
{
    Simulation* sim = self(context);
    OpenHandle open{};
    if (!sim->lookup(interface_handle, true, open, error)) return 0;
    if ((pipe_id & 0x80) != 0) return fail(error, ERROR_INVALID_PARAMETER);
    if (!buffer_usable(buffer, length, false)) return fail(error, ERROR_NOACCESS);
    const Via via = sim->via_for(interface_handle, open, KORVAL_SIM_VIA_WINUSB);
    const TransferResult r = open.board->bulk(via, pipe_id, static_cast<uint8_t*>(const_cast<void*>(buffer)),
                                              buffer != nullptr ? length : 0);
    return finish(r, transferred, error);
}

int Simulation::winusb_read_pipe(void* context, KorvalHandle interface_handle, uint8_t pipe_id, void* buffer,
                                 uint32_t length, uint32_t* transferred, uint32_t* error)
{
    Simulation* sim = self(context);
    OpenHandle open{};
    if (!sim->lookup(interface_handle, true, open, error)) return 0;
    if ((pipe_id & 0x80) == 0) return fail(error, ERROR_INVALID_PARAMETER);
    if (!buffer_usable(buffer, length, true)) return fail(error, ERROR_NOACCESS);
    const Via via = sim->via_for(interface_handle, open, KORVAL_SIM_VIA_WINUSB);
    const TransferResult r = open.board->bulk(via, pipe_id, static_cast<uint8_t*>(buffer), buffer != nullptr ? length : 0);
    return finish(r, transferred, error);
}

int Simulation::winusb_abort_pipe(void* context, KorvalHandle interface_handle, uint8_t pipe_id, uint32_t* error)
{
    Simulation* sim = self(context);
    OpenHandle open{};
    if (!sim->lookup(interface_handle, true, open, error)) return 0;
    open.board->cancel(interface_handle, pipe_id);
    return 1;
}

int Simulation::cancel_io(void* context, KorvalHandle file, uint32_t* error)
{
    Simulation* sim = self(context);
    OpenHandle open{};
    if (!sim->lookup(file, false, open, error)) return 0;
    open.board->cancel(file, Board::kAnyPipe);
    return 1;
}

}  // namespace korval::sim
