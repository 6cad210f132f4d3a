// ADC calibration: the query, the table upload, auto-calibration against the board's two references,
// the nominal and identity tables, calibration files, the reference readings, and ADC_Initialize.
//
// The board applies the table itself; the library only builds tables and uploads them. Calibration
// changes the board's configuration block while it runs and writes the caller's block back on every
// path that got as far as reading it.
#include <algorithm>
#include <array>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "adc/adc.h"
#include "adc/cal_file.h"
#include "adc/config_block.h"
#include "adc/scan.h"
#include "base/caller_memory.h"
#include "board/board.h"
#include "core/registry.h"
#include "core/rounding.h"
#include "core/system_error.h"
#include "korval/korval.h"
#include "usb/bulk.h"
#include "usb/control.h"
#include "usb/requests.h"

namespace korval {

namespace {

constexpr double kNominalHighReference = 65102.80704;  // counts of the high reference in 0 to 10 V

constexpr uint32_t kEntries = 65536;
constexpr uint32_t kTableBytes = kEntries * 2;  // 131,072, the exact size of a calibration file
constexpr uint32_t kBlockEntries = 1024;        // entries per upload block

// Reference modes of the calibration-mode byte: bit 0 converts a reference, bit 1 the high one,
// bit 2 in the bipolar form.
constexpr uint8_t kLowUnipolar = 0x01;
constexpr uint8_t kHighUnipolar = 0x03;
constexpr uint8_t kLowBipolar = 0x05;
constexpr uint8_t kHighBipolar = 0x07;
constexpr uint8_t kHighBit = 0x02;

constexpr uint32_t kReferenceSamples = 256;
constexpr double kHighMinimum = 61440.0;
constexpr std::chrono::milliseconds kSettle{10};
constexpr std::chrono::milliseconds kReferenceReadBase{1000};
constexpr size_t kNameLimit = 32768;

using Block = std::array<uint8_t, adc::kMaxBlockBytes>;
using TableBytes = std::vector<uint8_t>;  // kTableBytes, entries little-endian

constexpr FeatureTest kHasAdc = [](const ProductRow& d) { return adc::has_adc(d); };

Result query(uint32_t slot)
{
    uint8_t reply = 0xFF;
    uint32_t size = 1;
    if (const Result r = usb::vendor_read(slot, usb::kAdcCalQueryRequest, 0, 0, size, &reply)) return r;
    return size == 1 && reply == usb::kAdcCalQueryReply ? ERROR_SUCCESS : ERROR_NOT_SUPPORTED;
}

Result read_block(uint32_t slot, Block& block) { return adc::read_block(slot, block.data()); }
Result write_block(uint32_t slot, const Block& block) { return adc::write_block(slot, block.data()); }

// The count the high reference should read in 0 to 10 V: the board's calibration reference word, or
// the nominal value when the word is unreadable or unprogrammed.
double high_target(uint32_t slot)
{
    uint8_t word[2] = {};
    uint32_t size = sizeof word;
    if (usb::vendor_read(slot, usb::kEepromRequest, usb::kCalReferenceAddress, 0, size, word) != ERROR_SUCCESS ||
        size != 2)
        return kNominalHighReference;
    const uint16_t value = static_cast<uint16_t>(word[0] | word[1] << 8);
    return value == 0 || value == 0xFFFF ? kNominalHighReference : value;
}

uint16_t table_entry(double x)
{
    const double v = round_half_even(x);
    return v <= 0.0 ? 0 : v >= 65535.0 ? 65535 : static_cast<uint16_t>(v);
}

template <class Entry>
TableBytes make_table(Entry entry)
{
    TableBytes bytes(kTableBytes);
    for (uint32_t i = 0; i < kEntries; ++i) {
        const uint16_t v = entry(i);
        bytes[2 * i] = static_cast<uint8_t>(v);
        bytes[2 * i + 1] = static_cast<uint8_t>(v >> 8);
    }
    return bytes;
}

TableBytes identity_table()
{
    return make_table([](uint32_t i) { return static_cast<uint16_t>(i); });
}

// Entry i maps raw count i by the line through the measured low and high readings onto the targets.
TableBytes fitted_table(double low, double high, double target_low, double span, bool bipolar_step)
{
    return make_table([&](uint32_t i) {
        double x = (i - low) / (high - low) * span + target_low;
        if (bipolar_step) x = (x + 65536.0) * 0.5;
        return table_entry(x);
    });
}

// Uploads the table in blocks of up to 1,024 entries: each block on bulk OUT 2, then request 0xBB
// (wValue the first entry, wIndex the count) telling the board where it goes. The first block is sent
// twice. A block the board did not take, whether its transfer or its request failed, fails the
// upload; so does a transfer too short to advance by a whole 256 entries, which would otherwise repeat
// the same block for ever.
Result upload_table(uint32_t slot, const TableBytes& table)
{
    uint32_t start = 0;
    bool first = true;
    while (start < kEntries) {
        const uint32_t count = std::min(kBlockEntries, kEntries - start);
        uint32_t sent = 0;
        if (const Result r = usb::bulk_write(slot, usb::kAdcTablePipe, &table[2 * start], 2 * count, sent)) return r;
        if (const Result r = usb::vendor_write(slot, usb::kAdcCalTableRequest, static_cast<uint16_t>(start),
                                               static_cast<uint16_t>(count), 0, nullptr))
            return r;
        const uint32_t advance = (sent / 2) & 0xFF00;
        if (advance == 0) return ERROR_GEN_FAILURE;
        start += advance;
        if (first) {
            first = false;
            start = 0;
        }
    }
    return ERROR_SUCCESS;
}

// The outcome of a calibration branch: the first failure, whether a failed upload (which does not end
// the branch) or a failed step (which does). A step that fails after an upload failed ends the branch
// all the same, but the upload's failure, the first, is the one reported.
struct Outcome {
    Result first = ERROR_SUCCESS;

    void uploaded(Result r)
    {
        if (first == ERROR_SUCCESS) first = r;
    }
    // Records a step's result; true when it failed and the branch ends.
    bool ended(Result r)
    {
        if (first == ERROR_SUCCESS) first = r;
        return r != ERROR_SUCCESS;
    }
    Result result() const { return first; }
};

// The mean of 256 samples of the reference the working block selects.
Result measure_reference(uint32_t slot, const Block& working, double& mean)
{
    if (const Result r = write_block(slot, working)) return r;
    if (const Result r = adc::request_samples(slot, kReferenceSamples)) return r;
    // The start request's own result does not decide: a board that did not start sends nothing, and the
    // bounded read reports that.
    adc::start_conversion(slot, 0);
    std::array<uint8_t, kReferenceSamples * 2> bytes{};
    // A reading that did not come whole is a failure, not a reading of 0 counts (which the unipolar
    // low window would accept).
    if (const Result r = adc::read_samples(slot, bytes.data(), bytes.size(), kReferenceReadBase)) return r;
    uint32_t sum = 0;
    for (uint32_t i = 0; i < kReferenceSamples; ++i) sum += bytes[2 * i] | bytes[2 * i + 1] << 8;
    mean = sum / static_cast<double>(kReferenceSamples);
    return ERROR_SUCCESS;
}

// Two passes: the bipolar table (±10 V, low reference at mid-scale, uploads made under calibration
// mode 0x05), then the unipolar one (0 to 10 V, under 0x01). Each pass first uploads the identity, so
// the readings are raw.
void auto_calibrate(uint32_t slot, Outcome& outcome)
{
    const double target_low = 0.0;
    const double span = high_target(slot) - target_low;
    Block working{};
    working[adc::kCalModeByte] = kLowBipolar;
    working[0] = 1;  // ±10 V
    const TableBytes identity = identity_table();
    for (int pass = 0; pass < 2; ++pass) {
        if (outcome.ended(write_block(slot, working))) return;
        outcome.uploaded(upload_table(slot, identity));
        working[adc::kTriggerByte] = 0x04;
        working[adc::kScanLimitsByte] = 0;  // channel 0 alone
        working[adc::kOversampleByte] = 255;
        working[adc::kCalModeByte] |= kHighBit;
        double high = 0.0;
        if (outcome.ended(measure_reference(slot, working, high))) return;
        if (high < kHighMinimum) {
            outcome.ended(ERROR_INVALID_DATA);
            return;
        }
        std::this_thread::sleep_for(kSettle);
        working[adc::kCalModeByte] &= static_cast<uint8_t>(~kHighBit);
        double low = 0.0;
        if (outcome.ended(measure_reference(slot, working, low))) return;
        const bool in_window = pass == 0 ? (low >= 32512.0 && low <= 33023.0) : low <= 255.0;
        if (!in_window) {
            outcome.ended(ERROR_INVALID_DATA);
            return;
        }
        std::this_thread::sleep_for(kSettle);
        outcome.uploaded(upload_table(slot, fitted_table(low, high, target_low, span, pass == 0)));
        working[adc::kCalModeByte] = kLowUnipolar;
        working[0] = 0;  // 0 to 10 V
    }
}

// One table for both forms: written under calibration mode 0x05, then again under 0x01.
void upload_both(uint32_t slot, const TableBytes& table, Outcome& outcome)
{
    Block working{};
    for (const uint8_t mode : {kLowBipolar, kLowUnipolar}) {
        working[adc::kCalModeByte] = mode;
        if (outcome.ended(write_block(slot, working))) return;
        outcome.uploaded(upload_table(slot, table));
    }
}

// The nominal table: the fixed readings 66 and 65,087 stand for the measurements.
TableBytes nominal_table(uint32_t slot)
{
    const double target_low = 0.0;
    return fitted_table(66.0, 65087.0, target_low, high_target(slot) - target_low, false);
}

}  // namespace

namespace adc {

namespace {

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

}  // namespace

// A calibration file: exactly the table's bytes; a shorter file is refused with 38, bytes past the
// table are not read.
Result read_table_file(const std::string& path, std::vector<uint8_t>& table)
{
    errno = 0;
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
    if (!file) return system_code(errno);
    table.assign(kTableBytes, 0);
    errno = 0;
    const size_t got = std::fread(table.data(), 1, kTableBytes, file.get());
    if (std::ferror(file.get())) return errno != 0 ? system_code(errno) : ERROR_GEN_FAILURE;
    return got < kTableBytes ? ERROR_HANDLE_EOF : ERROR_SUCCESS;
}

}  // namespace adc

uint32_t ADC_QueryCal(uint32_t DeviceIndex)
{
    uint32_t slot = 0;
    if (const Result r = open_for_feature(DeviceIndex, slot, kHasAdc)) return r;
    return query(slot);
}

uint32_t ADC_SetCal(uint32_t DeviceIndex, const char* pCalFileName)
{
    uint32_t slot = 0;
    if (const Result r = open_for_feature(DeviceIndex, slot, kHasAdc)) return r;
    if (pCalFileName == nullptr) return ERROR_INVALID_PARAMETER;
    std::string name;
    if (const Result r = read_caller_string(pCalFileName, name, kNameLimit)) return r;
    if (const Result r = query(slot)) return r;

    // The caller's block, written back on every path from here. A block that could not be read ends the
    // call before anything is changed: there would be nothing true to write back.
    Block saved{};
    if (const Result r = read_block(slot, saved)) return r;

    Outcome outcome;
    try {
        if (name == ":AUTO:") {
            auto_calibrate(slot, outcome);
        } else if (name == ":NORM:") {
            upload_both(slot, nominal_table(slot), outcome);
        } else if (name == ":1TO1:" || name == ":NONE:") {
            upload_both(slot, identity_table(), outcome);
        } else if (!name.empty() && name[0] == ':') {
            outcome.ended(ERROR_MOD_NOT_FOUND);
        } else {
            // The upload happens under the caller's block as it stands.
            TableBytes table;
            if (!outcome.ended(adc::read_table_file(name, table))) outcome.uploaded(upload_table(slot, table));
        }
    } catch (const std::bad_alloc&) {
        outcome.ended(ERROR_NOT_ENOUGH_MEMORY);
    }
    write_block(slot, saved);  // the caller's block again; its own result does not change the outcome
    return outcome.result();
}

uint32_t ADC_GetCalRefV(uint32_t DeviceIndex, uint32_t CalRefIndex, double* pRef)
{
    uint32_t slot = 0;
    if (const Result r = open_for_feature(DeviceIndex, slot, kHasAdc)) return r;
    if (pRef == nullptr) return ERROR_INVALID_PARAMETER;
    Block saved{};
    if (const Result r = read_block(slot, saved)) return r;

    // The reference in the range the caller set for range slot 0.
    Block working{};
    working[0] = saved[0];
    const bool bipolar = (saved[0] & 1) != 0;
    if (CalRefIndex == 0) {
        working[adc::kCalModeByte] = bipolar ? kLowBipolar : kLowUnipolar;
    } else if (CalRefIndex == 1) {
        working[adc::kCalModeByte] = bipolar ? kHighBipolar : kHighUnipolar;
    } else {
        write_block(slot, saved);
        return ERROR_INVALID_INDEX;
    }
    working[adc::kOversampleByte] = 255;  // 256 samples of channel 0; the scan drops the first
    adc::Scan scan;
    Result r = write_block(slot, working);
    if (r == ERROR_SUCCESS) r = adc::run_scan(slot, 0, scan);
    const Result restored = write_block(slot, saved);
    if (r != ERROR_SUCCESS) return r;
    std::array<double, adc::kMaxChannels> volts{};
    adc::scan_volts(scan, board(slot).row().RangeShift, volts.data());
    // The working block scans channel 0 alone, so the first value is channel 0's.
    if (const Result w = write_caller(pRef, volts[0])) return w;
    // The reading stands, but a board left in its reference mode is a failure the caller must hear of.
    return restored;
}

uint32_t ADC_Initialize(uint32_t DeviceIndex, const uint8_t* pConfigBuf, uint32_t* pConfigBufSize,
                        const char* pCalFileName)
{
    if (pConfigBuf != nullptr) {
        uint32_t size = 0;
        if (const uint32_t r = read_caller(pConfigBufSize, size)) return r;
        if (size != 0) {
            if (const Result r = ADC_SetConfig(DeviceIndex, pConfigBuf, pConfigBufSize)) return r;
        }
    }
    if (pCalFileName != nullptr) return ADC_SetCal(DeviceIndex, pCalFileName);
    return ERROR_SUCCESS;
}

}  // namespace korval
