// The flash of the boards that have one: 64 KiB sectors, addressed in 16-bit words (request 0xB5, word
// address bits 0-15 in wValue, 16 and up in wIndex). It behaves as flash does: erasing a sector
// (request 0xFC, sector in wIndex) sets it to 0xFF, and writing can only clear bits, so a write over
// data that was not erased shows as the AND of old and new.
#include <algorithm>
#include <cstring>
#include <vector>

#include "host/sim/board.h"
#include "host/sim/simulation.h"
#include "host/sim/wire.h"

namespace korval::sim {

namespace {

constexpr uint32_t kSectorSize = 0x10000;

class Flash final : public Feature {
public:
    explicit Flash(Board& board) : memory_(board.product().flash_sectors * kSectorSize, 0xFF)
    {
        board.on_control(Direction::in, kReqFlash, [this](const ControlRequest& r, std::span<uint8_t> data) {
            return ControlReply::ok(read(byte_address(r), data.size(), data.data()));
        });
        board.on_control(Direction::out, kReqFlash, [this](const ControlRequest& r, std::span<uint8_t> data) {
            return ControlReply::ok(program(byte_address(r), data.size(), data.data()));
        });
        board.on_control(Direction::out, kReqFlashErase, [this](const ControlRequest& r, std::span<uint8_t>) {
            if (!erase(r.wIndex)) return ControlReply::stalled();
            ++erases_;
            return ControlReply::ok(0);
        });
    }

    uint32_t size() const { return static_cast<uint32_t>(memory_.size()); }
    uint32_t erase_count() const { return erases_; }

    // Bytes past the end of the flash are not answered (the reply comes back short).
    uint32_t read(uint32_t address, size_t size, uint8_t* data) const
    {
        const size_t n = address < memory_.size() ? std::min(size, memory_.size() - address) : 0;
        if (n > 0) std::memcpy(data, memory_.data() + address, n);
        return static_cast<uint32_t>(n);
    }
    uint32_t program(uint32_t address, size_t size, const uint8_t* data)
    {
        const size_t n = address < memory_.size() ? std::min(size, memory_.size() - address) : 0;
        for (size_t i = 0; i < n; ++i) memory_[address + i] &= data[i];
        return static_cast<uint32_t>(n);
    }
    // Writes bytes as they are, erased or not: for setting up a board's contents from a test.
    void load(uint32_t address, size_t size, const uint8_t* data)
    {
        if (size > 0) std::memcpy(memory_.data() + address, data, size);
    }
    bool erase(uint32_t sector)
    {
        if ((static_cast<uint64_t>(sector) + 1) * kSectorSize > memory_.size()) return false;
        std::fill_n(memory_.begin() + sector * kSectorSize, kSectorSize, 0xFF);
        return true;
    }

private:
    static uint32_t byte_address(const ControlRequest& r) { return (uint32_t{r.wIndex} << 16 | r.wValue) << 1; }

    std::vector<uint8_t> memory_;
    uint32_t erases_ = 0;
};

const RegisterFeature kFlash{"flash", [](const Product& p) { return p.flash_sectors > 0; },
                             [](Board& b) -> std::unique_ptr<Feature> { return std::make_unique<Flash>(b); }};

// The C API's access to a board's flash: 50 for a board without one, 87 for a range outside it.
template <class Fn>
uint32_t with_flash(KorvalSim* sim, uint32_t board, uint32_t address, uint32_t size, Fn&& fn)
{
    return with_feature<Flash>(sim, board, [&](Flash& flash) -> uint32_t {
        if (address > flash.size() || size > flash.size() - address) return ERROR_INVALID_PARAMETER;
        fn(flash);
        return ERROR_SUCCESS;
    });
}

}  // namespace

}  // namespace korval::sim

extern "C" uint32_t KorvalSim_FlashRead(KorvalSim* sim, uint32_t board, uint32_t address, uint32_t size, void* data)
{
    if (data == nullptr && size > 0) return ERROR_INVALID_PARAMETER;
    return korval::sim::with_flash(sim, board, address, size, [&](korval::sim::Flash& f) {
        f.read(address, size, static_cast<uint8_t*>(data));
    });
}

extern "C" uint32_t KorvalSim_FlashLoad(KorvalSim* sim, uint32_t board, uint32_t address, uint32_t size,
                                        const void* data)
{
    if (data == nullptr && size > 0) return ERROR_INVALID_PARAMETER;
    return korval::sim::with_flash(sim, board, address, size, [&](korval::sim::Flash& f) {
        f.load(address, size, static_cast<const uint8_t*>(data));
    });
}

extern "C" uint32_t KorvalSim_FlashEraseCount(KorvalSim* sim, uint32_t board, uint32_t* count)
{
    if (count == nullptr) return ERROR_INVALID_PARAMETER;
    return korval::sim::with_flash(sim, board, 0, 0, [&](korval::sim::Flash& f) { *count = f.erase_count(); });
}
