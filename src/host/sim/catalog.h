// What a simulated board carries, by USB product ID: the simulation's own model of the product family.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace korval::sim {

struct Endpoint {
    uint8_t address;  // bit 7 set for IN
    uint8_t type;     // WinUSB pipe type: 2 bulk
};

struct Product {
    uint16_t pid = 0;
    bool known = false;               // a product of the family (unknown IDs still enumerate and answer)
    uint32_t dio_ports = 0;           // 8-bit digital ports
    uint32_t direction_bits = 0;      // direction-mask bits (one per port unless the product says otherwise)
    uint32_t tristate_bits = 0;
    uint32_t counter_blocks = 0;      // 8254 blocks of three counters
    double root_clock_hz = 0.0;
    bool gate_select = false;
    uint32_t adc_inputs = 0;          // bulk ADC input channels (0: no bulk ADC)
    uint32_t adc_range_slots = 0;
    uint32_t adc_range_shift = 0;     // channel c uses range slot c >> adc_range_shift
    uint32_t adc_config_bytes = 0;    // length of the ADC configuration block
    uint32_t immediate_adcs = 0;
    uint32_t dacs = 0;                // immediate DAC channels
    bool dac_stream = false;
    bool dac_board_range = false;
    bool dac_channel_cal = false;
    bool dio_stream = false;
    bool spi = false;
    bool debounce = false;
    bool custom_clocks = false;
    bool fifo_control = false;
    uint32_t watchdog_bytes = 0;
    uint32_t flash_sectors = 0;       // 64 KiB each
    std::vector<Endpoint> endpoints;  // besides endpoint 0, in pipe-index order
    std::string name;                 // the product-name string
};

Product describe_product(uint16_t pid);

}  // namespace korval::sim
