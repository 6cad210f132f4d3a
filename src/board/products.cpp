// The product capability table.
#include "board/products.h"

#include <algorithm>
#include <array>

#include "korval/korval.h"

namespace korval {

namespace {

// Products come in families of consecutive IDs that share a row; the table below lists the families and
// is expanded at compile time into one row per product ID.
struct Family {
    uint16_t first;
    uint16_t last;
    ProductRow row;
};

constexpr ProductRow digital(uint32_t ports)
{
    ProductRow r;
    r.DIOBytes = ports;
    r.bGetName = true;
    return r;
}

constexpr ProductRow streaming_digital(uint32_t ports, uint32_t tristates)
{
    ProductRow r = digital(ports);
    r.Tristates = tristates;
    r.bDIOStream = r.bDIOSPI = r.bClearFIFO = true;
    return r;
}

// The multiplexed analog-input boards; the IDs with bit 8 (0x100) set add two analog outputs with a
// selectable range.
constexpr ProductRow analog_input(uint32_t inputs, uint32_t config_bytes, uint8_t range_shift, bool outputs)
{
    ProductRow r = digital(2);
    r.Counters = 1;
    r.RootClock = 10'000'000.0;
    r.bADCBulk = true;
    r.ADCChannels = 16;
    r.ADCMUXChannels = inputs;
    r.ConfigBytes = config_bytes;
    r.RangeShift = range_shift;
    r.bClearFIFO = true;
    if (outputs) {
        r.bDACBoardRange = true;
        r.ImmDACs = 2;
    }
    return r;
}

// The calibrated analog-output boards: 16, 12, 8 or 4 outputs by bits 1-2 of the ID, and two
// immediate analog inputs on the even IDs.
constexpr ProductRow calibrated_output(uint16_t pid)
{
    ProductRow r = digital(2);
    r.ImmDACs = 16 - 2 * (pid & 6);
    r.ImmADCs = (pid & 1) == 0 ? 2 : 0;
    r.bDACBoardRange = r.bDACChannelCal = true;
    r.FlashSectors = 32;
    return r;
}

constexpr ProductRow waveform_output(bool stream)
{
    ProductRow r;
    r.ImmDACs = 8;
    r.bDACStream = stream;
    r.DACsUsed = stream ? 5 : 0;
    r.bGetName = true;
    return r;
}

constexpr ProductRow counters(uint32_t ports, uint32_t blocks, double clock)
{
    ProductRow r = digital(ports);
    r.Counters = blocks;
    r.RootClock = clock;
    return r;
}

constexpr ProductRow with(ProductRow r, void (*change)(ProductRow&))
{
    change(r);
    return r;
}

constexpr Family kFamilies[] = {
    {0x4001, 0x4002, waveform_output(true)},
    {0x4003, 0x4003, waveform_output(false)},
    {0x8001, 0x8001,
     with(counters(4, 3, 3'000'000.0), [](ProductRow& r) { r.bSetCustomClocks = r.bDIODebounce = true; })},
    {0x8002, 0x8002, digital(6)},
    {0x8003, 0x8003, digital(12)},
    {0x8004, 0x8004,
     with(digital(4),
          [](ProductRow& r) {
              r.DIOConfigBits = 32;  // one direction bit per line
              r.bSetCustomClocks = true;
          })},
    {0x8008, 0x800A, streaming_digital(1, 0)},
    {0x800C, 0x800F, streaming_digital(4, 2)},
    // Digital boards with a watchdog.
    {0x8010, 0x8012, with(digital(4), [](ProductRow& r) { r.WDGBytes = 2; })},
    {0x8014, 0x8016, with(digital(4), [](ProductRow& r) { r.WDGBytes = 2; })},
    {0x8018, 0x801A, with(digital(4), [](ProductRow& r) { r.WDGBytes = 2; })},
    {0x801C, 0x801F, with(digital(4), [](ProductRow& r) { r.WDGBytes = 2; })},
    {0x8020, 0x8020, with(counters(0, 5, 10'000'000.0), [](ProductRow& r) { r.bGateSelectable = true; })},
    {0x8030, 0x8031, digital(2)},
    {0x8032, 0x8033, digital(3)},
    {0x8036, 0x8037, with(digital(2), [](ProductRow& r) { r.ImmADCs = 2; })},
    // 16, 64, then 32 more input channels every five IDs.
    {0x8040, 0x8044, analog_input(16, 20, 0, false)},
    {0x8045, 0x8049, analog_input(64, 21, 2, false)},
    {0x804A, 0x804E, analog_input(32, 21, 3, false)},
    {0x804F, 0x8053, analog_input(64, 21, 3, false)},
    {0x8054, 0x8058, analog_input(96, 21, 3, false)},
    {0x8059, 0x805D, analog_input(128, 21, 3, false)},
    {0x805E, 0x805F, analog_input(160, 21, 3, false)},
    // One row each: the immediate inputs differ between the odd and even ID of a pair.
    {0x8060, 0x8060, calibrated_output(0x8060)},
    {0x8070, 0x8070, calibrated_output(0x8070)},
    {0x8071, 0x8071, calibrated_output(0x8071)},
    {0x8072, 0x8072, calibrated_output(0x8072)},
    {0x8073, 0x8073, calibrated_output(0x8073)},
    {0x8074, 0x8074, calibrated_output(0x8074)},
    {0x8075, 0x8075, calibrated_output(0x8075)},
    {0x8076, 0x8076, calibrated_output(0x8076)},
    {0x8077, 0x8077, calibrated_output(0x8077)},
    {0x8078, 0x8078, calibrated_output(0x8078)},
    {0x8079, 0x8079, calibrated_output(0x8079)},
    {0x807A, 0x807A, calibrated_output(0x807A)},
    {0x807B, 0x807B, calibrated_output(0x807B)},
    {0x807C, 0x807C, calibrated_output(0x807C)},
    {0x807D, 0x807D, calibrated_output(0x807D)},
    {0x807E, 0x807E, calibrated_output(0x807E)},
    {0x807F, 0x807F, calibrated_output(0x807F)},
    {0x8140, 0x8144, analog_input(16, 20, 0, true)},
    {0x8145, 0x8149, analog_input(64, 21, 2, true)},
    {0x814A, 0x814E, analog_input(32, 21, 3, true)},
    {0x814F, 0x8153, analog_input(64, 21, 3, true)},
    {0x8154, 0x8158, analog_input(96, 21, 3, true)},
    {0x8159, 0x815D, analog_input(128, 21, 3, true)},
    {0x815E, 0x815F, analog_input(160, 21, 3, true)},
};

constexpr size_t product_count()
{
    size_t n = 0;
    for (const Family& f : kFamilies) n += f.last - f.first + 1u;
    return n;
}

constexpr std::array<ProductRow, product_count()> expand()
{
    std::array<ProductRow, product_count()> rows{};
    size_t n = 0;
    for (const Family& f : kFamilies)
        for (uint32_t pid = f.first; pid <= f.last; ++pid) {
            rows[n] = f.row;
            // A product that sets no direction-mask width has one direction bit per port.
            if (rows[n].DIOConfigBits == 0) rows[n].DIOConfigBits = rows[n].DIOBytes;
            rows[n++].PID = static_cast<uint16_t>(pid);
        }
    return rows;
}

constexpr std::array<ProductRow, product_count()> kProducts = expand();

constexpr bool ascending()
{
    for (size_t i = 1; i < kProducts.size(); ++i)
        if (kProducts[i - 1].PID >= kProducts[i].PID) return false;
    return true;
}
static_assert(ascending(), "the families are listed in ascending product IDs, without overlaps");

}  // namespace

std::span<const ProductRow> product_rows() { return kProducts; }

const ProductRow* find_product(uint32_t pid)
{
    const auto at = std::lower_bound(kProducts.begin(), kProducts.end(), pid,
                                     [](const ProductRow& row, uint32_t id) { return row.PID < id; });
    return at != kProducts.end() && at->PID == pid ? &*at : nullptr;
}

const ProductRow& reset_product_row() noexcept
{
    static constexpr ProductRow kReset{};
    return kReset;
}

KorvalCapabilities public_capabilities(uint32_t pid)
{
    const ProductRow* found = find_product(pid);
    const ProductRow& row = found ? *found : reset_product_row();
    KorvalCapabilities caps{};
    caps.Size = sizeof caps;
    caps.ProductID = pid;
#define KORVAL_PRODUCT_FIELD(type, field, public_name) caps.public_name = row.field;
    KORVAL_PRODUCT_FIELDS(KORVAL_PRODUCT_FIELD)
#undef KORVAL_PRODUCT_FIELD
    return caps;
}

}  // namespace korval
