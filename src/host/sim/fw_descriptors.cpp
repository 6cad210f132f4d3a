// Standard descriptors: the device descriptor with the product ID, and the string descriptors
// (languages, manufacturer, product name). The boards answer request 6 whatever its type bits, so the
// library's vendor-typed read of the product name (wValue 0x0302) is served here too.
#include <algorithm>
#include <cstring>
#include <string>

#include "host/sim/board.h"
#include "host/sim/simulation.h"
#include "host/sim/wire.h"

namespace korval::sim {

namespace {

constexpr uint16_t kVendorId = 0x4B56;

// UTF-8 to UTF-16 code units; enough for names a person types (no validation of broken sequences).
std::u16string utf16(const std::string& text)
{
    std::u16string out;
    for (size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        uint32_t cp = c;
        size_t n = 1;
        if (c >= 0xF0 && i + 3 < text.size()) {
            cp = (c & 0x07u) << 18 | (text[i + 1] & 0x3Fu) << 12 | (text[i + 2] & 0x3Fu) << 6 | (text[i + 3] & 0x3Fu);
            n = 4;
        } else if (c >= 0xE0 && i + 2 < text.size()) {
            cp = (c & 0x0Fu) << 12 | (text[i + 1] & 0x3Fu) << 6 | (text[i + 2] & 0x3Fu);
            n = 3;
        } else if (c >= 0xC0 && i + 1 < text.size()) {
            cp = (c & 0x1Fu) << 6 | (text[i + 1] & 0x3Fu);
            n = 2;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
        i += n;
    }
    return out;
}

class Descriptors final : public Feature {
public:
    explicit Descriptors(Board& board) : product_id_(board.product().pid), name_(board.product().name)
    {
        board.on_control(Direction::in, kReqProductName,
                         [this](const ControlRequest& r, std::span<uint8_t> data) { return get_descriptor(r, data); });
    }

    void set_name(std::string name) { name_ = std::move(name); }

private:
    ControlReply get_descriptor(const ControlRequest& r, std::span<uint8_t> data) const
    {
        const uint8_t type = static_cast<uint8_t>(r.wValue >> 8);
        const uint8_t index = static_cast<uint8_t>(r.wValue);
        std::vector<uint8_t> d;
        if (type == 1) {
            d = {18,   1,    0x00, 0x02, 0xFF, 0x00, 0x00, 64,
                 static_cast<uint8_t>(kVendorId), static_cast<uint8_t>(kVendorId >> 8),
                 static_cast<uint8_t>(product_id_), static_cast<uint8_t>(product_id_ >> 8),
                 0x00, 0x01, 1, 2, 0, 1};
        } else if (type == 3 && index == 0) {
            d = {4, 3, 0x09, 0x04};  // English (United States)
        } else if (type == 3 && (index == 1 || index == 2)) {
            const std::u16string text = utf16(index == 1 ? std::string("Korval") : name_);
            d.push_back(static_cast<uint8_t>(2 + 2 * text.size()));
            d.push_back(3);
            for (char16_t ch : text) {
                d.push_back(static_cast<uint8_t>(ch));
                d.push_back(static_cast<uint8_t>(ch >> 8));
            }
        } else {
            return ControlReply::stalled();
        }
        return ControlReply::ok(answer(data, d.data(), d.size()));
    }

    uint16_t product_id_;
    std::string name_;
};

const RegisterFeature kDescriptors{"descriptors", [](const Product&) { return true; },
                                   [](Board& b) -> std::unique_ptr<Feature> { return std::make_unique<Descriptors>(b); }};

}  // namespace

}  // namespace korval::sim

extern "C" uint32_t KorvalSim_SetProductName(KorvalSim* sim, uint32_t board, const char* name)
{
    using namespace korval::sim;
    if (name == nullptr || std::strlen(name) > 126) return ERROR_INVALID_PARAMETER;
    return with_feature<Descriptors>(sim, board, [&](Descriptors& d) {
        d.set_name(name);
        return ERROR_SUCCESS;
    });
}
