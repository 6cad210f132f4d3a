// The product capability table: what a board can do, known only from its USB product ID. One constant
// row per product ID; the board record refers to its row, and KORVAL_GetCapabilities and the product
// listing are read from it.
#pragma once

#include <cstdint>
#include <span>

#include "korval/korval.h"

namespace korval {

// The capability fields of a row, with the names features read them by, and the name of each in
// KorvalCapabilities. X(type, record field, KorvalCapabilities field)
#define KORVAL_PRODUCT_FIELDS(X)                \
    X(uint32_t, DIOBytes, DIOBytes)             \
    X(uint32_t, DIOConfigBits, DIOConfigBits)   \
    X(uint32_t, Tristates, Tristates)           \
    X(uint32_t, Counters, Counters)             \
    X(bool, bGateSelectable, GateSelectable)    \
    X(double, RootClock, RootClock)             \
    X(bool, bADCBulk, ADCBulk)                  \
    X(uint32_t, ADCChannels, ADCChannels)       \
    X(uint32_t, ADCMUXChannels, ADCMUXChannels) \
    X(uint32_t, ConfigBytes, ConfigBytes)       \
    X(uint8_t, RangeShift, RangeShift)          \
    X(uint32_t, ImmADCs, ImmADCs)               \
    X(uint32_t, ImmDACs, ImmDACs)               \
    X(bool, bDACBoardRange, DACBoardRange)      \
    X(bool, bDACChannelCal, DACChannelCal)      \
    X(bool, bDACStream, DACStream)              \
    X(bool, bDIOStream, DIOStream)              \
    X(bool, bDIOSPI, DIOSPI)                    \
    X(bool, bDIODebounce, DIODebounce)          \
    X(bool, bClearFIFO, ClearFIFO)              \
    X(bool, bSetCustomClocks, SetCustomClocks)  \
    X(uint32_t, WDGBytes, WDGBytes)             \
    X(int32_t, FlashSectors, FlashSectors)

// One row: a product ID and what it sets. A value-initialised row holds the reset values the open check
// starts every board from.
struct ProductRow {
    uint16_t PID = 0;
#define KORVAL_PRODUCT_FIELD(type, field, public_name) type field{};
    KORVAL_PRODUCT_FIELDS(KORVAL_PRODUCT_FIELD)
#undef KORVAL_PRODUCT_FIELD
    bool bGetName = false;  // every listed product answers the product-name request
    int32_t DACsUsed = 0;   // channels per waveform point; 0: the row leaves the record's value alone
};

// Every listed product, one row per product ID, in ascending order.
std::span<const ProductRow> product_rows();

// The row of a product ID; null for an ID the table does not list.
const ProductRow* find_product(uint32_t pid);

// The row an unlisted product ID has, and every slot until the open check has read its board's ID:
// no capabilities.
const ProductRow& reset_product_row() noexcept;

// The public description of a product's row (the reset values for an unlisted ID). DriverPath is 0.
KorvalCapabilities public_capabilities(uint32_t pid);

}  // namespace korval
