#include "host/sim/catalog.h"

namespace korval::sim {

namespace {

bool within(uint16_t pid, uint16_t first, uint16_t last) { return pid >= first && pid <= last; }

// The name a board reports: the family name and what it carries, in words.
std::string compose_name(const Product& p)
{
    std::vector<std::string> parts;
    if (p.adc_inputs > 0) parts.push_back(std::to_string(p.adc_inputs) + "-channel analog input");
    if (p.immediate_adcs > 0) parts.push_back(std::to_string(p.immediate_adcs) + "-channel analog input");
    if (p.dacs > 0)
        parts.push_back(std::to_string(p.dacs) + "-channel analog output" + (p.dac_stream ? " with waveforms" : ""));
    if (p.dio_ports > 0)
        parts.push_back(std::to_string(p.dio_ports * 8) + "-bit digital I/O" + (p.dio_stream ? " with streaming" : ""));
    if (p.counter_blocks > 0) parts.push_back(std::to_string(p.counter_blocks * 3) + " counter/timers");
    std::string name = "Korval";
    for (size_t i = 0; i < parts.size(); ++i) name += (i == 0 ? " " : ", ") + parts[i];
    if (parts.empty()) name += " USB board";
    return name;
}

void add_endpoints(Product& p)
{
    // Bulk OUT 2 carries waveforms, digital output streams and calibration tables; bulk IN 6 carries
    // samples and digital input streams; bulk IN 2 and 6 report gate events on counter boards.
    if (p.adc_inputs > 0 || p.dac_stream || p.dio_stream) p.endpoints.push_back({0x02, 2});
    if (p.counter_blocks > 0) p.endpoints.push_back({0x82, 2});
    if (p.adc_inputs > 0 || p.dio_stream || p.counter_blocks > 0) p.endpoints.push_back({0x86, 2});
}

}  // namespace

Product describe_product(uint16_t pid)
{
    Product p;
    p.pid = pid;
    p.known = true;
    const uint16_t analog_base = pid & 0xFEFF;  // bit 8 adds two analog outputs to the analog-input boards

    if (within(pid, 0x4001, 0x4003)) {  // analog output boards
        p.dacs = 8;
        p.dac_stream = pid != 0x4003;
    } else if (pid == 0x8001) {  // digital I/O with counters
        p.dio_ports = 4;
        p.counter_blocks = 3;
        p.root_clock_hz = 3e6;
        p.custom_clocks = true;
        p.debounce = true;
    } else if (pid == 0x8002 || pid == 0x8003) {
        p.dio_ports = pid == 0x8002 ? 6 : 12;
    } else if (pid == 0x8004) {  // one direction bit per line
        p.dio_ports = 4;
        p.direction_bits = 32;
        p.custom_clocks = true;
    } else if (within(pid, 0x8008, 0x800A) || within(pid, 0x800C, 0x800F)) {  // streaming digital I/O
        p.dio_ports = pid <= 0x800A ? 1 : 4;
        p.tristate_bits = pid <= 0x800A ? 0 : 2;
        p.dio_stream = true;
        p.spi = true;
        p.fifo_control = true;
    } else if (within(pid, 0x8010, 0x801F) && pid != 0x8013 && pid != 0x8017 && pid != 0x801B) {  // with watchdog
        p.dio_ports = 4;
        p.watchdog_bytes = 2;
    } else if (pid == 0x8020) {  // counter/timer board
        p.counter_blocks = 5;
        p.gate_select = true;
        p.root_clock_hz = 10e6;
    } else if (within(pid, 0x8030, 0x8033)) {
        p.dio_ports = pid <= 0x8031 ? 2 : 3;
    } else if (pid == 0x8036 || pid == 0x8037) {
        p.dio_ports = 2;
        p.immediate_adcs = 2;
    } else if (within(analog_base, 0x8040, 0x805F) && pid < 0x8160) {  // multiplexed analog input
        p.dio_ports = 2;
        p.counter_blocks = 1;
        p.root_clock_hz = 10e6;
        p.fifo_control = true;
        p.adc_range_slots = 16;
        // 16-channel boards use one range slot per channel, the 64-channel ones one per four, the
        // 32-to-160-channel ones one per eight.
        if (analog_base <= 0x8044) {
            p.adc_inputs = 16;
            p.adc_config_bytes = 20;
        } else if (analog_base <= 0x8049) {
            p.adc_inputs = 64;
            p.adc_config_bytes = 21;
            p.adc_range_shift = 2;
        } else {
            p.adc_inputs = 32 * ((analog_base - 0x804A) / 5 + 1);
            p.adc_config_bytes = 21;
            p.adc_range_shift = 3;
        }
        if (pid & 0x100) {
            p.dacs = 2;
            p.dac_board_range = true;
        }
    } else if (pid == 0x8060 || within(pid, 0x8070, 0x807F)) {  // analog output with calibrated channels
        p.dio_ports = 2;
        p.dacs = 16 - 2 * (pid & 6);
        p.immediate_adcs = (pid & 1) == 0 ? 2 : 0;
        p.dac_board_range = true;
        p.dac_channel_cal = true;
        p.flash_sectors = 32;
    } else {
        p.known = false;
    }
    if (p.direction_bits == 0) p.direction_bits = p.dio_ports;
    add_endpoints(p);
    p.name = compose_name(p);
    return p;
}

}  // namespace korval::sim
