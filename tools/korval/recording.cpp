// Files and plots of scans in volts (recording.h).
//
// FILE.csv: a header naming each channel and its unit, then the time in seconds since the start and a
// column per channel. FILE.h5 (HDF5): a dataset "volts" (float32, scans x channels, chunked and
// appendable) with the attributes rate, channels, ranges, start_time, product_id, serial_number and
// korval_version, and at the end first_scan_time (UTC text) with first_scan_time_ns (nanoseconds since
// 1970), ring_growths and, with a trigger, record_scans, pretrigger_scans and trigger_scans (the row of
// each record's trigger scan).
#include "recording.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

#include "korval/korval.h"

#ifdef KORVAL_TOOL_HDF5
#include <hdf5.h>
#endif
#ifdef KORVAL_TOOL_PLPLOT
#include <plplot.h>
#endif

#ifndef KORVAL_TOOL_VERSION
#define KORVAL_TOOL_VERSION "unknown"
#endif

namespace korval::tool {

namespace {

constexpr uint64_t kMaxPlotPoints = 20000;  // per channel: more are thinned for the picture

bool ends_with(const std::string& text, const std::string& end)
{
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

#ifdef KORVAL_TOOL_HDF5
// "2026-12-09T03:36:54Z", or with nanoseconds "2026-12-09T03:36:54.123456789Z" (HDF5 attributes).
std::string utc_text(int64_t ns, bool fraction)
{
    const std::time_t t = static_cast<std::time_t>(ns / 1000000000);
    std::tm tm{};
#ifdef _WIN32
    gmtime_s(&tm, &t);
#else
    gmtime_r(&t, &tm);
#endif
    char text[48];
    const size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &tm);
    if (fraction)
        std::snprintf(text + n, sizeof text - n, ".%09lldZ", static_cast<long long>(ns % 1000000000));
    else
        std::snprintf(text + n, sizeof text - n, "Z");
    return text;
}
#endif

}  // namespace

class RecordingFile {
public:
    virtual ~RecordingFile() = default;
    virtual bool write(const double* volts, uint64_t scans, uint64_t scan) = 0;
    virtual bool close(const Recording& r, int64_t first_scan_ns, uint32_t ring_growths) = 0;
};

namespace {

class CsvFile final : public RecordingFile {
public:
    CsvFile(std::FILE* f, const RecordingInfo& info) : f_(f), info_(info)
    {
        std::fprintf(f_, "time (s)");
        for (uint32_t c = info.first; c <= info.last; ++c) std::fprintf(f_, ",ch%u (V)", c);
        std::fprintf(f_, "\n");
    }
    ~CsvFile() override
    {
        if (f_ != nullptr) std::fclose(f_);
    }
    bool write(const double* volts, uint64_t scans, uint64_t scan) override
    {
        const uint32_t n = info_.channels();
        for (uint64_t k = 0; k < scans; ++k) {
            std::fprintf(f_, "%.9g", static_cast<double>(scan + k) / info_.rate);
            for (uint32_t c = 0; c < n; ++c) std::fprintf(f_, ",%.6f", volts[k * n + c]);
            std::fputc('\n', f_);
        }
        return !std::ferror(f_);
    }
    bool close(const Recording&, int64_t, uint32_t) override
    {
        const bool ok = std::fclose(f_) == 0;
        f_ = nullptr;
        return ok;
    }

private:
    std::FILE* f_;
    const RecordingInfo& info_;
};

#ifdef KORVAL_TOOL_HDF5
class Hdf5File final : public RecordingFile {
public:
    static std::unique_ptr<Hdf5File> open(const std::string& path, const RecordingInfo& info)
    {
        const hid_t file = H5Fcreate(path.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT);
        if (file < 0) return nullptr;
        const hsize_t n = info.channels();
        const hsize_t dims[2] = {0, n}, max[2] = {H5S_UNLIMITED, n};
        const hsize_t chunk[2] = {std::max<hsize_t>(1, std::min<hsize_t>(65536, 262144 / n)), n};
        const hid_t space = H5Screate_simple(2, dims, max);
        const hid_t dcpl = H5Pcreate(H5P_DATASET_CREATE);
        H5Pset_chunk(dcpl, 2, chunk);
        const hid_t data = H5Dcreate2(file, "volts", H5T_IEEE_F32LE, space, H5P_DEFAULT, dcpl, H5P_DEFAULT);
        H5Pclose(dcpl);
        H5Sclose(space);
        if (data < 0) {
            H5Fclose(file);
            return nullptr;
        }
        return std::unique_ptr<Hdf5File>(new Hdf5File(file, data, info));
    }
    ~Hdf5File() override
    {
        if (file_ >= 0) {
            H5Dclose(data_);
            H5Fclose(file_);
        }
    }
    bool write(const double* volts, uint64_t scans, uint64_t) override
    {
        if (scans == 0) return true;
        const hsize_t n = info_.channels();
        floats_.assign(volts, volts + scans * n);
        const hsize_t size[2] = {rows_ + scans, n}, start[2] = {rows_, 0}, count[2] = {scans, n};
        if (H5Dset_extent(data_, size) < 0) return false;
        const hid_t file_space = H5Dget_space(data_);
        const hid_t memory = H5Screate_simple(2, count, nullptr);
        H5Sselect_hyperslab(file_space, H5S_SELECT_SET, start, nullptr, count, nullptr);
        const bool ok = H5Dwrite(data_, H5T_NATIVE_FLOAT, memory, file_space, H5P_DEFAULT, floats_.data()) >= 0;
        H5Sclose(memory);
        H5Sclose(file_space);
        rows_ += scans;
        return ok;
    }
    bool close(const Recording& r, int64_t first_scan_ns, uint32_t ring_growths) override
    {
        // Every attribute is written at the end, when the rate obtained and the triggers are known.
        for (const hid_t at : {data_, file_}) {
            describe(at);
            finish(at, r, first_scan_ns, ring_growths);
        }
        const bool ok = H5Dclose(data_) >= 0 && H5Fclose(file_) >= 0;
        file_ = -1;
        return ok;
    }

private:
    Hdf5File(hid_t file, hid_t data, const RecordingInfo& info)
        : file_(file),
          data_(data),
          info_(info),
          started_(utc_text(static_cast<int64_t>(std::time(nullptr)) * 1000000000, false))
    {
    }

    static void attribute(hid_t at, const char* name, hid_t file_type, hid_t memory_type, const void* value,
                          hsize_t n = 0)
    {
        const hid_t space = n == 0 ? H5Screate(H5S_SCALAR) : H5Screate_simple(1, &n, nullptr);
        const hid_t a = H5Acreate2(at, name, file_type, space, H5P_DEFAULT, H5P_DEFAULT);
        H5Awrite(a, memory_type, value);
        H5Aclose(a);
        H5Sclose(space);
    }
    static void text_attribute(hid_t at, const char* name, const std::vector<const char*>& values, bool list)
    {
        const hid_t text = H5Tcopy(H5T_C_S1);
        H5Tset_size(text, H5T_VARIABLE);
        H5Tset_cset(text, H5T_CSET_UTF8);
        attribute(at, name, text, text, values.data(), list ? values.size() : 0);
        H5Tclose(text);
    }
    void describe(hid_t at)
    {
        attribute(at, "rate", H5T_IEEE_F64LE, H5T_NATIVE_DOUBLE, &info_.rate);
        std::vector<int32_t> channels;
        for (uint32_t c = info_.first; c <= info_.last; ++c) channels.push_back(static_cast<int32_t>(c));
        attribute(at, "channels", H5T_STD_I32LE, H5T_NATIVE_INT32, channels.data(), channels.size());
        text_attribute(at, "ranges", std::vector<const char*>(channels.size(), info_.range.c_str()), true);
        text_attribute(at, "start_time", {started_.c_str()}, false);
        attribute(at, "product_id", H5T_STD_U32LE, H5T_NATIVE_UINT32, &info_.product_id);
        attribute(at, "serial_number", H5T_STD_U64LE, H5T_NATIVE_UINT64, &info_.serial);
        text_attribute(at, "korval_version", {KORVAL_TOOL_VERSION}, false);
    }
    void finish(hid_t at, const Recording& r, int64_t first_scan_ns, uint32_t ring_growths)
    {
        if (r.rows() > 0) {
            const std::string first = utc_text(first_scan_ns, true);
            text_attribute(at, "first_scan_time", {first.c_str()}, false);
            attribute(at, "first_scan_time_ns", H5T_STD_I64LE, H5T_NATIVE_INT64, &first_scan_ns);
        }
        attribute(at, "ring_growths", H5T_STD_U32LE, H5T_NATIVE_UINT32, &ring_growths);
        if (!info_.triggered) return;
        attribute(at, "record_scans", H5T_STD_U64LE, H5T_NATIVE_UINT64, &info_.record_scans);
        attribute(at, "pretrigger_scans", H5T_STD_U64LE, H5T_NATIVE_UINT64, &info_.pretrigger);
        const std::vector<int64_t>& rows = r.trigger_rows();
        if (rows.empty()) {
            const int64_t none = -1;  // an HDF5 attribute cannot be an empty list
            attribute(at, "trigger_scans", H5T_STD_I64LE, H5T_NATIVE_INT64, &none, 1);
        } else {
            attribute(at, "trigger_scans", H5T_STD_I64LE, H5T_NATIVE_INT64, rows.data(), rows.size());
        }
    }

    hid_t file_;
    hid_t data_;
    const RecordingInfo& info_;
    const std::string started_;
    hsize_t rows_ = 0;
    std::vector<float> floats_;
};
#endif

}  // namespace

Recording::Recording(const RecordingInfo& info, std::string plot_path, uint64_t expected_scans)
    : info_(info), plot_path_(std::move(plot_path)), stats_(info.channels())
{
    keep_every_ = std::max<uint64_t>(1, (expected_scans + kMaxPlotPoints - 1) / kMaxPlotPoints);
    if (!plot_path_.empty()) {
        plot_times_.resize(info.channels());
        plot_volts_.resize(info.channels());
    }
}

Recording::~Recording() = default;

std::string Recording::open(const std::string& path)
{
    if (path.empty()) return "";
    if (ends_with(path, ".h5") || ends_with(path, ".hdf5")) {
#ifdef KORVAL_TOOL_HDF5
        file_ = Hdf5File::open(path, info_);
        return file_ ? "" : "cannot write '" + path + "'";
#else
        return "this korval was built without HDF5 (libhdf5-dev): write .csv instead";
#endif
    }
    if (!ends_with(path, ".csv")) return "--out writes FILE.csv or FILE.h5";
    std::FILE* f = std::fopen(path.c_str(), "w");
    if (f == nullptr) return "cannot write '" + path + "'";
    file_ = std::make_unique<CsvFile>(f, info_);
    return "";
}

bool Recording::add(const double* volts, uint64_t scans, uint64_t scan, int64_t host_ns, double scan_period)
{
    if (scans == 0) return true;
    // The block arrived with its last scan: the first scan was taken a block's length before.
    if (rows_ == 0) first_scan_ns_ = host_ns - static_cast<int64_t>(static_cast<double>(scans - 1) * scan_period * 1e9);
    const uint32_t n = info_.channels();
    for (uint64_t k = 0; k < scans; ++k) {
        const bool keep = !plot_path_.empty() && (rows_ + k) % keep_every_ == 0;
        for (uint32_t c = 0; c < n; ++c) {
            const double v = volts[k * n + c];
            ChannelStats& ch = stats_[c];
            ++ch.n;
            ch.sum += v;
            ch.min = std::min(ch.min, v);
            ch.max = std::max(ch.max, v);
            if (keep) {
                plot_times_[c].push_back(static_cast<double>(scan + k) / info_.rate);
                plot_volts_[c].push_back(v);
            }
        }
    }
    last_add_row_ = rows_;
    rows_ += scans;
    return !file_ || file_->write(volts, scans, scan);
}

void Recording::mark_trigger(uint64_t offset) { trigger_rows_.push_back(static_cast<int64_t>(last_add_row_ + offset)); }

bool Recording::close(uint32_t ring_growths)
{
    if (!file_) return true;
    const bool ok = file_->close(*this, first_scan_ns_, ring_growths);
    file_.reset();
    return ok;
}

#ifdef KORVAL_TOOL_PLPLOT
namespace {

// Up to 16 colours that can be told apart on white (a qualitative palette), in PLplot's map 0.
void set_palette()
{
    static const uint8_t kRgb[16][3] = {{31, 119, 180},  {255, 127, 14}, {44, 160, 44},   {214, 39, 40},
                                        {148, 103, 189}, {140, 86, 75},  {227, 119, 194}, {127, 127, 127},
                                        {188, 189, 34},  {23, 190, 207}, {0, 0, 128},     {128, 0, 0},
                                        {0, 128, 128},   {128, 128, 0},  {255, 0, 255},   {0, 0, 0}};
    plscmap0n(18);
    plscol0(0, 255, 255, 255);  // background
    plscol0(1, 0, 0, 0);        // axes and text
    for (int i = 0; i < 16; ++i) plscol0(i + 2, kRgb[i][0], kRgb[i][1], kRgb[i][2]);
}

// The legend, outside the plot on its right, centred: nothing of it falls off the page.
void legend(uint32_t first, uint32_t drawn)
{
    std::vector<PLINT> opts(drawn, PL_LEGEND_LINE), colours(drawn), styles(drawn, 1), none(drawn, 0);
    std::vector<PLINT> text_colours(drawn, 1);
    std::vector<PLFLT> widths(drawn, 1.0), zero(drawn, 0.0);
    std::vector<std::string> labels(drawn);
    std::vector<const char*> texts(drawn), empty(drawn, "");
    for (uint32_t k = 0; k < drawn; ++k) {
        colours[k] = static_cast<PLINT>(k + 2);
        labels[k] = "ch " + std::to_string(first + k);
        texts[k] = labels[k].c_str();
    }
    PLFLT width = 0, height = 0;
    pllegend(&width, &height, PL_LEGEND_BACKGROUND | PL_LEGEND_BOUNDING_BOX, PL_POSITION_RIGHT | PL_POSITION_OUTSIDE,
             0.02, 0.0, 0.06, 0, 1, 1, 0, 0, static_cast<PLINT>(drawn), opts.data(), 0.8, 0.8, 1.8, 1.0,
             text_colours.data(), texts.data(), none.data(), none.data(), zero.data(), zero.data(), colours.data(),
             styles.data(), widths.data(), none.data(), zero.data(), none.data(), empty.data());
}

}  // namespace

void Recording::draw_plot() const
{
    if (plot_path_.empty()) return;
    double end = 1e-3;
    for (const auto& times : plot_times_)
        if (!times.empty()) end = std::max(end, times.back());
    plsdev("pngcairo");
    plsfnam(plot_path_.c_str());
    set_palette();
    plspage(0, 0, 1400, 760, 0, 0);
    plinit();
    pladv(0);
    plvpor(0.09, 0.84, 0.13, 0.90);  // room on the right for the legend
    plwind(0, end, info_.low, info_.high);
    plcol0(1);
    plbox("bcgnst", 0, 0, "bcgnstv", 0, 0);  // axes with a grid
    char title[200];
    const std::string span = info_.first == info_.last ? std::to_string(info_.first)
                                                       : std::to_string(info_.first) + "-" + std::to_string(info_.last);
    std::snprintf(title, sizeof title, "%s: %.6g scans/s, channels %s, %s", info_.board.c_str(), info_.rate,
                  span.c_str(), info_.range.c_str());
    pllab("time (s)", "volts", title);
    const uint32_t drawn = std::min<uint32_t>(info_.channels(), 16);
    for (uint32_t k = 0; k < drawn; ++k) {
        plcol0(static_cast<PLINT>(k + 2));
        if (!plot_times_[k].empty())
            plline(static_cast<PLINT>(plot_times_[k].size()), plot_times_[k].data(), plot_volts_[k].data());
    }
    legend(info_.first, drawn);
    plend();
}
#else
void Recording::draw_plot() const {}
#endif

}  // namespace korval::tool
