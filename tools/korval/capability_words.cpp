#include "capability_words.h"

namespace korval::tool {

namespace {

std::string plural(uint32_t n, const char* one, const char* many)
{
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

std::vector<std::string> capability_words(const KorvalCapabilities& c)
{
    std::vector<std::string> words;
    if (c.ADCBulk) words.push_back(std::to_string(c.ADCMUXChannels) + "-channel analog input");
    if (c.ImmADCs > 0) words.push_back(plural(c.ImmADCs, "immediate analog input", "immediate analog inputs"));
    if (c.ImmDACs > 0) words.push_back(plural(c.ImmDACs, "analog output", "analog outputs"));
    if (c.DACStream) words.push_back("waveform output");
    if (c.DACChannelCal) words.push_back("calibrated outputs");
    if (c.DIOBytes > 0) words.push_back(plural(c.DIOBytes, "digital port", "digital ports"));
    if (c.DIOStream) words.push_back("digital streaming");
    if (c.DIOSPI) words.push_back("SPI");
    if (c.DIODebounce) words.push_back("debounced inputs");
    if (c.Counters > 0) words.push_back(plural(c.Counters * 3, "counter", "counters"));
    if (c.FlashSectors > 0) words.push_back(std::to_string(c.FlashSectors * 64) + " KiB flash");
    return words;
}

std::string joined_words(const std::vector<std::string>& words, const char* none)
{
    std::string joined;
    for (const std::string& w : words) joined += (joined.empty() ? "" : ", ") + w;
    return joined.empty() ? none : joined;
}

}  // namespace korval::tool
