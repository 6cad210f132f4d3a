// One board in the panel: what it is, in words, and the page's requests on its digital ports, analog
// outputs, counters and analog input, each one library call (or a few) whose failure the page shows
// with its result code.
#include <cinttypes>
#include <cmath>
#include <cstdio>

#include "korval/sim.h"
#include "panel.h"

namespace korval::tool::panel {

Json error_json(const std::string& what, uint32_t code)
{
    const char* name = KORVAL_ResultName(code);
    return {{"what", what}, {"code", code}, {"name", name != nullptr ? name : "system error"}};
}

namespace {

Json ok() { return {{"ok", true}}; }

Json failed(const std::string& what, uint32_t code) { return {{"ok", false}, {"error", error_json(what, code)}}; }

std::string plural(uint32_t n, const char* one, const char* many)
{
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

// What a board can do, one phrase per feature.
std::vector<std::string> capability_words(const KorvalCapabilities& c)
{
    std::vector<std::string> words;
    if (c.ADCBulk) words.push_back(plural(c.ADCMUXChannels, "analog input", "analog inputs") + ", 16-bit, streamed");
    if (c.ImmADCs) words.push_back(plural(c.ImmADCs, "immediate analog input", "immediate analog inputs"));
    if (c.ImmDACs) words.push_back(plural(c.ImmDACs, "analog output", "analog outputs"));
    if (c.DACStream) words.push_back("waveform output");
    if (c.DACBoardRange) words.push_back("selectable output range");
    if (c.DIOBytes) {
        std::string dio = plural(c.DIOBytes, "digital port", "digital ports") + " (" +
                          plural(c.DIOBytes * 8, "line", "lines") + ", direction per " +
                          (c.DIOConfigBits == c.DIOBytes * 8 ? "line" : "port");
        if (c.Tristates) dio += ", tristate control";
        words.push_back(dio + ")");
    }
    if (c.DIOStream) words.push_back("digital streaming");
    if (c.DIOSPI) words.push_back("SPI");
    if (c.DIODebounce) words.push_back("debounced inputs");
    if (c.Counters) {
        char clock[32];
        std::snprintf(clock, sizeof clock, "%g MHz", c.RootClock / 1e6);
        words.push_back(plural(c.Counters * 3, "8254 counter", "8254 counters") + " in " +
                        plural(c.Counters, "block", "blocks") + ", " + clock + " clock" +
                        (c.GateSelectable ? ", selectable gates" : ""));
    }
    if (c.FlashSectors > 0) words.push_back("flash memory");
    return words;
}

}  // namespace

Board::Board(uint32_t slot, KorvalSim* sim, uint32_t sim_board)
    : slot_(slot), sim_(sim), sim_board_(sim_board), acquisition_(slot)
{
    caps_.Size = sizeof caps_;
    const uint32_t caps_result = KORVAL_GetCapabilities(slot, &caps_);
    uint32_t pid = 0, name_size = 0;
    const uint32_t info = QueryDeviceInfo(slot, &pid, &name_size, nullptr, nullptr, nullptr);
    std::string name(name_size, '\0');
    if (info == ERROR_SUCCESS && name_size > 0)
        QueryDeviceInfo(slot, nullptr, &name_size, name.data(), nullptr, nullptr);
    uint64_t serial = 0;
    const uint32_t serial_result = GetDeviceSerialNumber(slot, &serial);
    char text[32];
    std::snprintf(text, sizeof text, "0x%04X", pid);
    description_ = {{"slot", slot}, {"product", text}, {"name", name}};
    std::snprintf(text, sizeof text, "%016" PRIX64, serial);
    description_["serial"] = serial_result == ERROR_SUCCESS ? Json(text) : Json(nullptr);
    description_["simulated"] = sim != nullptr;
    if (caps_result != ERROR_SUCCESS) {
        description_["error"] = error_json("reading the board's capabilities", caps_result);
        caps_ = KorvalCapabilities{};
        return;
    }
    description_["driver"] = caps_.DriverPath == 0 ? "WinUSB" : "DeviceIoControl driver";
    description_["capabilities"] = capability_words(caps_);
    description_["adc"] = {{"channels", caps_.ADCBulk ? caps_.ADCMUXChannels : 0}};
    description_["dio"] = {{"ports", caps_.DIOBytes}, {"directionBits", caps_.DIOConfigBits}};
    description_["dac"] = {{"channels", caps_.ImmDACs}};
    description_["counters"] = {{"blocks", caps_.Counters}, {"clock", caps_.RootClock}};

    levels_.assign(caps_.DIOBytes, 0);
    outputs_.assign(caps_.DIOConfigBits, false);
    dac_.assign(caps_.ImmDACs, 0);
    frequency_.assign(caps_.Counters, 0);
    // The directions as the board holds them, where it can tell them; otherwise every line is taken as an
    // input until the page sets the directions.
    if (caps_.Tristates != 0 && caps_.DIOConfigBits != 0) {
        std::vector<uint8_t> mask((caps_.DIOConfigBits + 7) / 8 + 8), tristate((caps_.Tristates + 7) / 8 + 8);
        if (DIO_ConfigurationQuery(slot, mask.data(), tristate.data()) == ERROR_SUCCESS)
            for (uint32_t b = 0; b < caps_.DIOConfigBits; ++b) outputs_[b] = (mask[b / 8] >> (b % 8)) & 1;
    }
}

Board::~Board() { acquisition_.stop(); }

Json Board::dio_configure(const std::vector<bool>& outputs)
{
    std::lock_guard lock(calls_);
    if (caps_.DIOBytes == 0) return failed("this board has no digital ports", ERROR_BAD_TOKEN_TYPE);
    if (outputs.size() != caps_.DIOConfigBits)
        return failed("one direction per direction bit", ERROR_INVALID_PARAMETER);
    std::vector<uint8_t> mask((caps_.DIOConfigBits + 7) / 8, 0);
    for (uint32_t b = 0; b < caps_.DIOConfigBits; ++b)
        if (outputs[b]) mask[b / 8] |= static_cast<uint8_t>(1u << (b % 8));
    if (const uint32_t r = DIO_Configure(slot_, 0, mask.data(), levels_.data()))
        return failed("setting the directions", r);
    outputs_ = outputs;
    return ok();
}

Json Board::dio_write_bit(uint32_t bit, bool level)
{
    std::lock_guard lock(calls_);
    if (caps_.DIOBytes == 0) return failed("this board has no digital ports", ERROR_BAD_TOKEN_TYPE);
    if (bit >= caps_.DIOBytes * 8)
        return failed("line " + std::to_string(bit) + " is not on this board", ERROR_INVALID_ADDRESS);
    if (const uint32_t r = DIO_Write1(slot_, bit, level ? 1 : 0))
        return failed("writing line " + std::to_string(bit), r);
    if (level)
        levels_[bit / 8] |= static_cast<uint8_t>(1u << (bit % 8));
    else
        levels_[bit / 8] &= static_cast<uint8_t>(~(1u << (bit % 8)));
    return ok();
}

Json Board::dac_set(uint32_t channel, uint16_t count)
{
    std::lock_guard lock(calls_);
    if (channel >= caps_.ImmDACs)
        return failed("analog output " + std::to_string(channel) + " is not on this board", ERROR_INVALID_ADDRESS);
    if (const uint32_t r = DACDirect(slot_, static_cast<uint16_t>(channel), count))
        return failed("setting analog output " + std::to_string(channel), r);
    dac_[channel] = count;
    return ok();
}

Json Board::ctr_frequency(uint32_t block, double hz)
{
    std::lock_guard lock(calls_);
    if (block >= caps_.Counters)
        return failed("counter block " + std::to_string(block) + " is not on this board", ERROR_INVALID_ADDRESS);
    if (!std::isfinite(hz) || hz < 0) return failed("the frequency must be 0 (stop) or more", ERROR_INVALID_PARAMETER);
    if (block == 0 && acquisition_.running())
        return failed("block 0 is the analog input's scan clock while it runs", ERROR_TOO_MANY_OPEN_FILES);
    double obtained = hz;
    if (const uint32_t r = CTR_StartOutputFreq(slot_, block, &obtained))
        return failed("starting the frequency output", r);
    frequency_[block] = hz > 0 ? obtained : 0;
    Json j = ok();
    j["obtained"] = frequency_[block];
    return j;
}

Json Board::adc_start(const AcquisitionSettings& settings)
{
    std::lock_guard lock(calls_);
    if (caps_.Counters != 0) frequency_[0] = 0;  // block 0 becomes the scan clock (and stops with it)
    if (auto error = acquisition_.start(settings)) return {{"ok", false}, {"error", *error}};
    Json j = ok();
    j["adc"] = acquisition_.status();
    return j;
}

Json Board::adc_stop()
{
    std::lock_guard lock(calls_);
    acquisition_.stop();
    Json j = ok();
    j["adc"] = acquisition_.status();
    return j;
}

Json Board::live(bool with_counters)
{
    std::lock_guard lock(calls_);
    Json j = {{"slot", slot_}};
    if (caps_.DIOBytes != 0) {
        std::vector<uint8_t> levels(caps_.DIOBytes);
        Json dio = {{"outputs", outputs_}, {"set", levels_}};
        if (const uint32_t r = DIO_ReadAll(slot_, levels.data()))
            dio["error"] = error_json("reading the ports", r);
        else
            dio["levels"] = levels;
        j["dio"] = std::move(dio);
    }
    if (caps_.ImmDACs != 0) j["dac"] = dac_;
    if (caps_.Counters != 0 && with_counters) {
        std::vector<uint8_t> raw(caps_.Counters * 6);
        Json ctr = {{"frequency", frequency_}};
        if (acquisition_.running()) ctr["scanClock"] = acquisition_.rate();  // block 0 paces the analog input
        if (const uint32_t r = CTR_8254ReadAll(slot_, raw.data())) {
            ctr["error"] = error_json("reading the counters", r);
        } else {
            std::vector<uint32_t> counts(caps_.Counters * 3);
            for (size_t i = 0; i < counts.size(); ++i) counts[i] = raw[2 * i] | (raw[2 * i + 1] << 8);
            ctr["counts"] = counts;
        }
        j["ctr"] = std::move(ctr);
    }
    if (caps_.ADCBulk) {
        if (acquisition_.ended()) acquisition_.stop();  // collects why the stream ended, for the page
        Json adc = acquisition_.status();
        Columns columns = acquisition_.take();
        if (columns.restart || !columns.times.empty()) {
            adc["restart"] = columns.restart;
            adc["t"] = columns.times;
            adc["low"] = columns.low;
            adc["high"] = columns.high;
        }
        j["adc"] = std::move(adc);
    }
    return j;
}

}  // namespace korval::tool::panel
