// The EEPROM: 8 KiB, read and written with request 0xA2 at the byte address in wValue. It holds the
// board's serial number at 0x1DF8 (8 bytes, little-endian) and the application's custom area at
// 0x1E00 to 0x1EFF. Unwritten cells read 0xFF, as erased EEPROM does.
#include <algorithm>
#include <array>
#include <cstring>

#include "host/sim/board.h"
#include "host/sim/eeprom.h"
#include "host/sim/simulation.h"
#include "host/sim/wire.h"

namespace korval::sim {

namespace {

constexpr uint32_t kEepromSize = 0x2000;

class Eeprom final : public Feature {
public:
    explicit Eeprom(Board& board)
    {
        memory_.fill(0xFF);
        set_serial_number(0x4B56534900000000ull + board.id());  // "KVSI" and the board's number
        board.on_control(Direction::in, kReqEeprom, [this](const ControlRequest& r, std::span<uint8_t> data) {
            return ControlReply::ok(read(r.wValue, data.size(), data.data()));
        });
        board.on_control(Direction::out, kReqEeprom, [this](const ControlRequest& r, std::span<uint8_t> data) {
            return ControlReply::ok(write(r.wValue, data.size(), data.data()));
        });
    }

    // Bytes past the end of the EEPROM are not answered: the transfer comes back short.
    uint32_t read(uint32_t address, size_t size, void* data) const
    {
        const size_t n = address < kEepromSize ? std::min<size_t>(size, kEepromSize - address) : 0;
        if (n > 0) std::memcpy(data, memory_.data() + address, n);
        return static_cast<uint32_t>(n);
    }
    uint32_t write(uint32_t address, size_t size, const void* data)
    {
        const size_t n = address < kEepromSize ? std::min<size_t>(size, kEepromSize - address) : 0;
        if (n > 0) std::memcpy(memory_.data() + address, data, n);
        return static_cast<uint32_t>(n);
    }
    void set_serial_number(uint64_t serial)
    {
        for (int i = 0; i < 8; ++i) memory_[kAddrSerialNumber + i] = static_cast<uint8_t>(serial >> (8 * i));
    }

private:
    std::array<uint8_t, kEepromSize> memory_{};
};

const RegisterFeature kEeprom{"eeprom", [](const Product&) { return true; },
                              [](Board& b) -> std::unique_ptr<Feature> { return std::make_unique<Eeprom>(b); }};

// Whole-range access for the C API: an address range outside the EEPROM is a bad argument.
bool in_eeprom(uint32_t address, uint32_t size) { return address <= kEepromSize && size <= kEepromSize - address; }

}  // namespace

uint32_t eeprom_read(Board& board, uint32_t address, uint32_t size, void* data)
{
    const Eeprom* eeprom = board.feature<Eeprom>();
    return eeprom != nullptr ? eeprom->read(address, size, data) : 0;
}

}  // namespace korval::sim

using korval::sim::Eeprom;

extern "C" uint32_t KorvalSim_EepromRead(KorvalSim* sim, uint32_t board, uint32_t address, uint32_t size, void* data)
{
    if ((data == nullptr && size > 0) || !korval::sim::in_eeprom(address, size)) return ERROR_INVALID_PARAMETER;
    return korval::sim::with_feature<Eeprom>(sim, board, [&](const Eeprom& e) {
        e.read(address, size, data);
        return ERROR_SUCCESS;
    });
}

extern "C" uint32_t KorvalSim_EepromWrite(KorvalSim* sim, uint32_t board, uint32_t address, uint32_t size,
                                          const void* data)
{
    if ((data == nullptr && size > 0) || !korval::sim::in_eeprom(address, size)) return ERROR_INVALID_PARAMETER;
    return korval::sim::with_feature<Eeprom>(sim, board, [&](Eeprom& e) {
        e.write(address, size, data);
        return ERROR_SUCCESS;
    });
}

extern "C" uint32_t KorvalSim_SetSerialNumber(KorvalSim* sim, uint32_t board, uint64_t serial)
{
    return korval::sim::with_feature<Eeprom>(sim, board, [&](Eeprom& e) {
        e.set_serial_number(serial);
        return ERROR_SUCCESS;
    });
}
