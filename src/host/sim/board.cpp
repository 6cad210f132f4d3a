#include "host/sim/board.h"

#include <algorithm>
#include <cstring>

#include "host/sim/clock.h"
#include "korval/korval.h"

namespace korval::sim {

namespace {

constexpr uint32_t kAnyIndex = 0xFFFF;

uint32_t control_key(Direction direction, uint8_t request, uint32_t index)
{
    return (direction == Direction::in ? 1u << 24 : 0u) | uint32_t{request} << 16 | index;
}

ControlRequest parse_setup(const uint8_t setup[8])
{
    ControlRequest r;
    r.bmRequestType = setup[0];
    r.bRequest = setup[1];
    r.wValue = static_cast<uint16_t>(setup[2] | setup[3] << 8);
    r.wIndex = static_cast<uint16_t>(setup[4] | setup[5] << 8);
    r.wLength = static_cast<uint16_t>(setup[6] | setup[7] << 8);
    return r;
}

TransferResult failed(uint32_t error) { return {false, error, 0, 0}; }

// ERROR_NO_MORE_ITEMS: what WinUSB answers for an alternate setting or pipe index the interface lacks.
constexpr uint32_t kNoMoreItems = 259;

}  // namespace

Board::Board(const Clock& clock, uint32_t id, const Product& product, uint32_t path, std::string interface_path)
    : clock_(clock), id_(id), product_(product), path_(path), interface_path_(std::move(interface_path))
{
    for (const FeatureRegistration& r : registered_features())
        if (r.present(product_)) features_.push_back(r.create(*this));
}

// A program that destroys its simulation while a stream it left running still waits at a board (the
// library leaves continuous workers running across a host change) gets the transfer back as from an
// unplugged board, instead of a wait without end on a board that is going away.
Board::~Board()
{
    std::unique_lock lock(mutex_);
    ending_ = true;
    changed_.notify_all();
    changed_.wait(lock, [this] { return waiters_.empty(); });
}

uint64_t Board::now_ns() const { return clock_.now_ns(); }

void Board::on_control(Direction direction, uint8_t request, ControlHandler handler, std::optional<uint16_t> index)
{
    control_[control_key(direction, request, index.value_or(kAnyIndex))] = std::move(handler);
}

void Board::on_bulk_in(uint8_t endpoint, BulkInHandler handler) { bulk_in_[endpoint] = std::move(handler); }
void Board::on_bulk_out(uint8_t endpoint, BulkOutHandler handler) { bulk_out_[endpoint] = std::move(handler); }

const ControlHandler* Board::find_control(Direction direction, uint8_t request, uint16_t index) const
{
    auto exact = control_.find(control_key(direction, request, index));
    if (exact != control_.end()) return &exact->second;
    auto any = control_.find(control_key(direction, request, kAnyIndex));
    return any != control_.end() ? &any->second : nullptr;
}

bool Board::plugged() const
{
    std::lock_guard lock(mutex_);
    return plugged_;
}

uint64_t Board::generation() const
{
    std::lock_guard lock(mutex_);
    return generation_;
}

bool Board::unplug()
{
    std::lock_guard lock(mutex_);
    const bool was_plugged = plugged_;
    plugged_ = false;
    changed_.notify_all();
    return was_plugged;
}

bool Board::replug()
{
    std::lock_guard lock(mutex_);
    if (plugged_) return false;
    plugged_ = true;
    ++generation_;
    changed_.notify_all();
    return true;
}

void Board::unplug_before_transfer(uint32_t n)
{
    std::lock_guard lock(mutex_);
    unplug_countdown_ = n;
}

void Board::count_transfer_toward_unplug()
{
    if (unplug_countdown_ == 0 || --unplug_countdown_ > 0) return;
    plugged_ = false;
    changed_.notify_all();
}

std::optional<KorvalSimFault> Board::take_fault(uint32_t kind, uint32_t request, uint32_t endpoint)
{
    for (auto it = faults_.begin(); it != faults_.end(); ++it) {
        if (it->kind != KORVAL_SIM_ANY && it->kind != kind) continue;
        if (it->request != KORVAL_SIM_ANY && it->request != request) continue;
        if (it->endpoint != KORVAL_SIM_ANY && it->endpoint != endpoint) continue;
        KorvalSimFault fault = *it;
        if (--it->count == 0) faults_.erase(it);
        return fault;
    }
    return std::nullopt;
}

void Board::log(Record record)
{
    record.info.sequence = ++sequence_;
    record.info.data_size = static_cast<uint32_t>(record.data.size());
    log_.push_back(std::move(record));
    while (log_.size() > max_entries_) log_.pop_front();
}

TransferResult Board::control(const Via& via, uint32_t kind, const uint8_t setup[8], uint8_t* data, uint32_t length)
{
    std::lock_guard lock(mutex_);
    count_transfer_toward_unplug();
    const ControlRequest request = parse_setup(setup);
    const bool in = request.direction() == Direction::in;

    Record record{};
    record.info.kind = kind;
    record.info.via = via.kind;
    std::memcpy(record.info.setup, setup, 8);
    record.info.control_code = via.control_code;
    if (via.header != nullptr) std::memcpy(record.info.header, via.header, sizeof record.info.header);
    record.info.length_asked = request.wLength;

    // The data stage is wLength bytes long; the host's buffer may be shorter (or, for counts beyond
    // 16 bits, longer).
    uint32_t room = std::min<uint32_t>(request.wLength, length);
    if (!in) record.data.assign(data, data + room);

    TransferResult result;
    const auto fault = reachable(via) ? take_fault(kind, request.bRequest, KORVAL_SIM_ANY) : std::nullopt;
    if (!reachable(via)) {
        result = failed(ERROR_DEVICE_NOT_CONNECTED);
    } else if (fault && fault->action == KORVAL_SIM_FAULT_FAIL) {
        result = failed(fault->error);
    } else {
        if (fault && fault->action == KORVAL_SIM_FAULT_SHORT) room = std::min(room, fault->bytes);
        const ControlHandler* handler = find_control(request.direction(), request.bRequest, request.wIndex);
        const ControlReply reply = handler != nullptr ? (*handler)(request, {data, room}) : ControlReply::stalled();
        if (reply.stall) {
            result = failed(ERROR_GEN_FAILURE);
        } else {
            result.ok = true;
            result.moved = std::min(reply.length, room);
            result.reported = result.moved + via.report_offset;
            if (fault && fault->action == KORVAL_SIM_FAULT_REPORT) result.reported = fault->bytes;
            if (in) record.data.assign(data, data + result.moved);
        }
    }
    record.info.length_moved = result.moved;
    record.info.reported = result.reported;
    record.info.error = result.ok ? 0 : result.error;
    log(std::move(record));
    return result;
}

TransferResult Board::bulk(const Via& via, uint8_t endpoint, uint8_t* data, uint32_t length)
{
    std::unique_lock lock(mutex_);
    count_transfer_toward_unplug();
    const bool in = (endpoint & 0x80) != 0;
    const uint32_t kind = in ? KORVAL_SIM_BULK_IN : KORVAL_SIM_BULK_OUT;

    Record record{};
    record.info.kind = kind;
    record.info.via = via.kind;
    record.info.endpoint = endpoint;
    record.info.control_code = via.control_code;
    if (via.header != nullptr) std::memcpy(record.info.header, via.header, sizeof record.info.header);
    record.info.length_asked = length;
    if (!in) record.data.assign(data, data + std::min(length, max_bulk_bytes_));

    const bool listed = std::any_of(product_.endpoints.begin(), product_.endpoints.end(),
                                    [&](const Endpoint& e) { return e.address == endpoint; });
    uint32_t room = length;
    TransferResult result;
    const auto fault = reachable(via) ? take_fault(kind, KORVAL_SIM_ANY, endpoint) : std::nullopt;
    if (!reachable(via)) {
        result = failed(ERROR_DEVICE_NOT_CONNECTED);
    } else if (fault && fault->action == KORVAL_SIM_FAULT_FAIL) {
        result = failed(fault->error);
    } else if (!listed) {
        result = failed(ERROR_INVALID_PARAMETER);  // as WinUSB answers for a pipe the interface lacks
    } else {
        if (fault && fault->action == KORVAL_SIM_FAULT_SHORT) room = std::min(room, fault->bytes);
        Waiter waiter{via.handle, via.file, endpoint, false};
        for (;;) {
            // An endpoint no feature serves behaves as a board with nothing to send or no room to take.
            BulkReply reply = BulkReply::wait();
            if (in && bulk_in_.count(endpoint)) reply = bulk_in_[endpoint]({data, room});
            if (!in && bulk_out_.count(endpoint)) reply = bulk_out_[endpoint]({data, room});
            if (reply.kind == BulkReply::Kind::done) {
                result.ok = true;
                result.moved = std::min(reply.length, room);
                result.reported = result.moved;
                if (fault && fault->action == KORVAL_SIM_FAULT_REPORT) result.reported = fault->bytes;
                break;
            }
            if (reply.kind == BulkReply::Kind::stall) {
                result = failed(ERROR_GEN_FAILURE);
                break;
            }
            if (closed_.count(via.handle) != 0 || closed_.count(via.file) != 0) {
                result = failed(ERROR_OPERATION_ABORTED);
                break;
            }
            if (ending_) {
                result = failed(ERROR_DEVICE_NOT_CONNECTED);
                break;
            }
            waiters_.push_back(&waiter);
            if (reply.wake_at_ns && !clock_.manual())
                changed_.wait_until(lock, clock_.steady_time_of(*reply.wake_at_ns));
            else
                changed_.wait(lock);
            waiters_.erase(std::find(waiters_.begin(), waiters_.end(), &waiter));
            if (ending_) {
                result = failed(ERROR_DEVICE_NOT_CONNECTED);
                changed_.notify_all();  // the destructor waits for the last waiter to leave
                break;
            }
            if (waiter.cancelled) {
                result = failed(ERROR_OPERATION_ABORTED);
                break;
            }
            if (!reachable(via)) {
                result = failed(ERROR_DEVICE_NOT_CONNECTED);
                break;
            }
        }
    }
    if (in && result.ok) record.data.assign(data, data + std::min(result.moved, max_bulk_bytes_));
    record.info.length_moved = result.moved;
    record.info.reported = result.reported;
    record.info.error = result.ok ? 0 : result.error;
    log(std::move(record));
    return result;
}

TransferResult Board::query_pipes(const Via& via, uint8_t alternate, int pipe_index, uint8_t& count,
                                  Endpoint& endpoint)
{
    std::lock_guard lock(mutex_);
    count_transfer_toward_unplug();
    Record record{};
    record.info.kind = KORVAL_SIM_PIPE_QUERY;
    record.info.via = via.kind;
    record.info.length_asked = pipe_index < 0 ? 0 : static_cast<uint32_t>(pipe_index);

    TransferResult result;
    const auto fault = reachable(via) ? take_fault(KORVAL_SIM_PIPE_QUERY, KORVAL_SIM_ANY, KORVAL_SIM_ANY)
                                      : std::nullopt;
    if (!reachable(via)) {
        result = failed(ERROR_DEVICE_NOT_CONNECTED);
    } else if (fault && fault->action == KORVAL_SIM_FAULT_FAIL) {
        result = failed(fault->error);
    } else if (alternate != 0 || (pipe_index >= 0 && static_cast<size_t>(pipe_index) >= product_.endpoints.size())) {
        result = failed(kNoMoreItems);
    } else {
        result.ok = true;
        count = static_cast<uint8_t>(product_.endpoints.size());
        if (pipe_index >= 0) endpoint = product_.endpoints[static_cast<size_t>(pipe_index)];
    }
    record.info.error = result.ok ? 0 : result.error;
    log(std::move(record));
    return result;
}

void Board::cancel(KorvalHandle handle, int pipe)
{
    std::lock_guard lock(mutex_);
    for (Waiter* w : waiters_)
        if ((w->handle == handle || w->file == handle) && (pipe == kAnyPipe || w->pipe == pipe)) w->cancelled = true;
    changed_.notify_all();
}

void Board::close(KorvalHandle handle)
{
    std::lock_guard lock(mutex_);
    closed_.insert(handle);
    for (Waiter* w : waiters_)
        if (w->handle == handle || w->file == handle) w->cancelled = true;
    changed_.notify_all();
}

uint32_t Board::log_count()
{
    std::lock_guard lock(mutex_);
    return static_cast<uint32_t>(log_.size());
}

bool Board::log_entry(uint32_t index, KorvalSimTransfer& entry, void* data, uint32_t capacity)
{
    std::lock_guard lock(mutex_);
    if (index >= log_.size()) return false;
    const Record& r = log_[index];
    entry = r.info;
    const size_t n = std::min<size_t>(capacity, r.data.size());
    if (data != nullptr && n > 0) std::memcpy(data, r.data.data(), n);
    return true;
}

void Board::clear_log()
{
    std::lock_guard lock(mutex_);
    log_.clear();
}

void Board::set_log_limits(uint32_t max_entries, uint32_t max_bulk_bytes)
{
    std::lock_guard lock(mutex_);
    max_entries_ = std::max<uint32_t>(max_entries, 1);
    max_bulk_bytes_ = max_bulk_bytes;
    while (log_.size() > max_entries_) log_.pop_front();
}

void Board::add_fault(const KorvalSimFault& fault)
{
    std::lock_guard lock(mutex_);
    if (fault.count > 0) faults_.push_back(fault);
}

void Board::clear_faults()
{
    std::lock_guard lock(mutex_);
    faults_.clear();
}

}  // namespace korval::sim
