// One 8254 counter of a simulated board, driven by clock pulses and its gate input.
//
// The six modes as the 8254 defines them, close enough to observe output frequencies, one-shot and
// strobe timing, and counts that stop while a gate is low:
//   0 interrupt on terminal count   output low from the count's load, high at zero; counting gated
//   1 retriggerable one-shot        a gate rising edge loads the count, output low until zero
//   2 rate generator                period N, output low for the last pulse of each period; gated
//   3 square wave                   period N, output high for ceil(N/2) pulses, low for floor(N/2); gated
//   4 software-triggered strobe     output low for one pulse when the count reaches zero; gated
//   5 hardware-triggered strobe     as mode 4, started by a gate rising edge
// In modes 2 and 3 a gate rising edge restarts the period and a low gate holds the output high. A count
// is loaded at once when written (the 8254 takes one more clock pulse; the simulation does not), except
// in modes 1 and 5, which wait for a trigger, and in a running mode 2 or 3, where it takes effect at the
// end of the current period. A count of 0 stands for 65,536. After zero, modes 0, 1, 4 and 5 go on
// counting down from 0xFFFF as the chip does, without further output changes.
//
// Counts are read as the chip's counter-latch command gives them: a latched count (or status) is kept
// until it is read, and a second latch while one is kept is ignored.
#pragma once

#include <cstdint>
#include <optional>

namespace korval::sim {

class Counter8254 {
public:
    // A control word addressed to this counter. Read/write bits 00 make it a counter-latch command.
    void write_control(uint8_t control);
    // A count, written least significant byte first.
    void write_count(uint16_t value);
    void set_gate(bool level);
    // `pulses` clock pulses with the gate as it stands.
    void clock(uint64_t pulses);

    void latch_count();
    void latch_status();
    // The latched value (releasing it) or, with none latched, the value now.
    uint16_t read_count();
    uint8_t read_status();

    // Observation without touching the latches.
    uint16_t count() const;
    uint8_t status() const;
    bool out() const { return out_; }
    bool gate() const { return gate_; }
    uint32_t mode() const { return mode_; }
    bool programmed() const { return programmed_; }
    uint32_t initial_count() const { return have_count_ ? initial_ : 0; }
    bool null_count() const { return null_count_; }
    uint64_t rising_edges() const { return rising_edges_; }

private:
    void set_out(bool level);
    void start_period(uint32_t period);
    void one_shot(uint64_t pulses);
    void periodic(uint64_t pulses);
    void advance_phase(uint64_t pulses);
    bool level_at(uint64_t position) const;
    uint16_t count_at(uint64_t position) const;

    uint32_t mode_ = 0;
    uint32_t rw_ = 0;  // read/write format bits of the last control word
    bool programmed_ = false;
    bool null_count_ = true;  // a count written (or a control word) has not reached the counting element
    bool have_count_ = false;
    uint32_t initial_ = 0;  // the count last written, 1 to 65,536
    bool running_ = false;  // the counting element holds a loaded count

    // Modes 0, 1, 4 and 5: the counting element, and whether it has reached zero since its load.
    uint16_t element_ = 0;
    bool terminal_ = false;
    bool strobe_low_ = false;  // modes 4 and 5: the output is in its one-pulse strobe

    // Modes 2 and 3: the period in use, the pulses since its start, a count waiting for the next period.
    uint32_t period_ = 0;
    uint64_t position_ = 0;
    uint32_t next_period_ = 0;

    bool out_ = false;
    bool gate_ = true;  // gate inputs are pulled up: counting is enabled until something drives them low
    uint64_t rising_edges_ = 0;
    std::optional<uint16_t> latched_count_;
    std::optional<uint8_t> latched_status_;
};

}  // namespace korval::sim
