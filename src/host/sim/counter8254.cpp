#include "host/sim/counter8254.h"

namespace korval::sim {

namespace {

constexpr uint32_t kFullCount = 65536;

uint32_t count_of(uint16_t value) { return value == 0 ? kFullCount : value; }

}  // namespace

void Counter8254::set_out(bool level)
{
    if (level && !out_) ++rising_edges_;
    out_ = level;
}

void Counter8254::write_control(uint8_t control)
{
    const uint32_t rw = (control >> 4) & 3;
    if (rw == 0) {
        latch_count();
        return;
    }
    rw_ = rw;
    mode_ = (control >> 1) & 7;
    if (mode_ > 5) mode_ -= 4;  // 6 and 7 are the chip's other names of modes 2 and 3
    programmed_ = true;
    null_count_ = true;
    have_count_ = false;
    running_ = false;
    terminal_ = false;
    strobe_low_ = false;
    next_period_ = 0;
    latched_count_.reset();  // a control word resets the counter's read logic
    latched_status_.reset();
    set_out(mode_ != 0);
}

void Counter8254::write_count(uint16_t value)
{
    initial_ = count_of(value);
    have_count_ = true;
    null_count_ = true;  // until the count reaches the counting element
    switch (mode_) {
    case 0:
    case 4:
        element_ = value;
        running_ = true;
        terminal_ = false;
        strobe_low_ = false;
        null_count_ = false;
        set_out(mode_ == 4);
        break;
    case 1:
    case 5:
        break;  // loaded by the next trigger on the gate
    default:
        if (running_) next_period_ = initial_;  // null count stands until the period ends
        else start_period(initial_);
        break;
    }
}

void Counter8254::start_period(uint32_t period)
{
    period_ = period;
    position_ = 0;
    next_period_ = 0;
    running_ = true;
    null_count_ = false;
    set_out(true);
}

void Counter8254::set_gate(bool level)
{
    if (level == gate_) return;
    gate_ = level;
    if (!level) {
        if (mode_ == 2 || mode_ == 3) set_out(true);
        return;
    }
    if (!have_count_) return;
    switch (mode_) {
    case 1:
    case 5:
        element_ = static_cast<uint16_t>(initial_);
        running_ = true;
        terminal_ = false;
        null_count_ = false;
        if (strobe_low_) {
            strobe_low_ = false;
            set_out(true);
        }
        if (mode_ == 1) set_out(false);
        break;
    case 2:
    case 3:
        start_period(initial_);
        break;
    default:
        break;  // modes 0 and 4 only pause while the gate is low
    }
}

void Counter8254::clock(uint64_t pulses)
{
    if (pulses == 0 || !running_) return;
    const bool gated = mode_ != 1 && mode_ != 5;
    if (gated && !gate_) return;
    if (mode_ == 2 || mode_ == 3) periodic(pulses);
    else one_shot(pulses);
}

void Counter8254::one_shot(uint64_t pulses)
{
    if (strobe_low_) {  // the strobe lasts one pulse
        strobe_low_ = false;
        set_out(true);
    }
    const uint32_t to_zero = count_of(element_);
    if (!terminal_ && pulses >= to_zero) {
        terminal_ = true;
        if (mode_ == 0 || mode_ == 1) {
            set_out(true);
        } else {
            set_out(false);
            if (pulses == to_zero) strobe_low_ = true;
            else set_out(true);
        }
    }
    element_ = static_cast<uint16_t>(element_ - static_cast<uint16_t>(pulses & 0xFFFF));
}

void Counter8254::periodic(uint64_t pulses)
{
    if (next_period_ != 0) {
        const uint64_t to_reload = period_ - position_;
        if (pulses < to_reload) {
            advance_phase(pulses);
            return;
        }
        advance_phase(to_reload);
        pulses -= to_reload;
        period_ = next_period_;
        next_period_ = 0;
        null_count_ = false;
    }
    advance_phase(pulses);
}

void Counter8254::advance_phase(uint64_t pulses)
{
    // A period of 1 is not one the chip can make in these modes: the output stays high.
    if (period_ < 2) return;
    const uint64_t total = position_ + pulses;
    // Every reload ends a low stretch of the output: one rising edge each.
    rising_edges_ += total / period_;
    position_ = total % period_;
    out_ = level_at(position_);
}

bool Counter8254::level_at(uint64_t position) const
{
    if (mode_ == 2) return position != period_ - 1;
    return position < (period_ + 1) / 2;
}

uint16_t Counter8254::count_at(uint64_t position) const
{
    if (mode_ == 2) return static_cast<uint16_t>(period_ - position);
    // Mode 3 counts down by two, through the high half and then the low half of the period.
    const uint64_t high = (period_ + 1) / 2;
    if (position < high) return static_cast<uint16_t>(period_ - 2 * position);
    return static_cast<uint16_t>((period_ & ~1u) - 2 * (position - high));
}

uint16_t Counter8254::count() const
{
    if (running_ && (mode_ == 2 || mode_ == 3)) return count_at(position_);
    return element_;
}

uint8_t Counter8254::status() const
{
    return static_cast<uint8_t>((out_ ? 0x80 : 0) | (null_count_ ? 0x40 : 0) | rw_ << 4 | mode_ << 1);
}

void Counter8254::latch_count()
{
    if (!latched_count_) latched_count_ = count();
}

void Counter8254::latch_status()
{
    if (!latched_status_) latched_status_ = status();
}

uint16_t Counter8254::read_count()
{
    if (!latched_count_) return count();
    const uint16_t value = *latched_count_;
    latched_count_.reset();
    return value;
}

uint8_t Counter8254::read_status()
{
    if (!latched_status_) return status();
    const uint8_t value = *latched_status_;
    latched_status_.reset();
    return value;
}

}  // namespace korval::sim
