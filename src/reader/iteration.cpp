// Spectrum iteration: every scan of an opened file cut out of its data stream, decoded and
// turned into records, numbered without gaps; scans that cannot be decoded are dropped.
#include <algorithm>
#include <string>

#include "raw/qgd.hpp"
#include "reader/reader.hpp"

namespace reader {
namespace {

using core::SpectrumRecord;

std::string range_id(const std::string& source, std::uint64_t number) {
    const std::string n = std::to_string(number);
    return "source=" + source + " start=" + n + " end=" + n;
}

// The bytes [start, end) of `data`, or nothing when the range is out of order or too long.
std::optional<std::span<const std::byte>> cut(std::span<const std::byte> data, std::uint64_t start, std::uint64_t end) {
    if (end < start || end > data.size()) return std::nullopt;
    return data.subspan(static_cast<std::size_t>(start), static_cast<std::size_t>(end - start));
}

// Forwards to a sink, remembering the latest room asked for.
class Recorded final : public raw::PointSink {
public:
    explicit Recorded(raw::PointSink& to) : to_(to) {}
    raw::PointRoom room(std::size_t points) override {
        asked_ = true;
        return last_ = to_.room(points);
    }
    bool asked() const noexcept { return asked_; }
    const raw::PointRoom& last() const noexcept { return last_; }

private:
    raw::PointSink& to_;
    raw::PointRoom last_;
    bool asked_ = false;
};

std::size_t entry_count(const ReaderData& data) {
    if (const auto* g = std::get_if<GcmsData>(&data)) return g->scan_offsets.size();
    if (const auto* t = std::get_if<TtflData>(&data)) return std::min(t->bounds.size(), t->subsets.size());
    return std::get<QtflData>(data).centroid_index.size();
}

}  // namespace

ScanDecoder::ScanDecoder(const Reader& reader) noexcept
    : reader_(reader), entries_(entry_count(reader.data())) {}

SpectrumRecord& ScanDecoder::add(std::vector<SpectrumRecord>& out, std::string native_id) {
    SpectrumRecord& r = out.emplace_back();
    r.index = records_;
    r.scan_number = static_cast<std::uint32_t>(records_ + 1);
    r.native_id = std::move(native_id);
    ++records_;
    return r;
}

std::size_t ScanDecoder::decode(std::vector<SpectrumRecord>& out, std::size_t entries) {
    return decode_entries(out, entries, nullptr);
}

std::size_t ScanDecoder::decode(std::vector<SpectrumRecord>& out, std::size_t entries, raw::PointSink& points) {
    return decode_entries(out, entries, &points);
}

std::size_t ScanDecoder::decode_entries(std::vector<SpectrumRecord>& out, std::size_t entries,
                                       raw::PointSink* points) {
    const std::size_t end = next_entry_ + std::min(entries, entries_ - next_entry_);
    const ReaderData& data = reader_.data();
    std::size_t decoded = 0;
    for (; next_entry_ < end; ++next_entry_) {
        bool ok = false;
        if (const auto* g = std::get_if<GcmsData>(&data)) ok = decode_gcms(*g, next_entry_, out, points);
        else if (const auto* t = std::get_if<TtflData>(&data)) ok = decode_ttfl(*t, next_entry_, out, points);
        else ok = decode_qtfl(std::get<QtflData>(data), next_entry_, out, points);
        if (!ok) ++undecoded_;
        ++decoded;
    }
    return decoded;
}

bool ScanDecoder::decode_gcms(const GcmsData& d, std::size_t i, std::vector<SpectrumRecord>& out,
                              raw::PointSink* points) {
    const auto& offsets = d.scan_offsets;
    const std::uint64_t end = i + 1 < offsets.size() ? offsets[i + 1] : d.ms_raw_data.size();
    const auto bytes = cut(d.ms_raw_data, offsets[i], end);
    if (!bytes) return false;
    raw::PointLists lists;
    Recorded recorded(points ? *points : lists);
    auto scan = raw::qgd::parse_scan(*bytes, recorded);
    if (!scan) return false;
    const std::string& source = reader_.source_name();
    if (auto* profile = std::get_if<raw::qgd::ProfileScan>(&*scan)) {
        if (!recorded.asked()) recorded.room(0);
        SpectrumRecord& r = add(out, range_id(source, records_ + 1));
        r.retention_time_sec = profile->retention_time_ms / 1000.0;
        r.mz = std::move(lists.mz);
        r.intensity = std::move(lists.intensity);
        r.ms_level = 1;
        r.representation = core::representation::profile;
        r.acquisition_kind = core::acquisition::gcms_full_scan;
        return true;
    }
    const auto& mrm = std::get<raw::qgd::MrmScan>(*scan);
    const double rt = mrm.retention_time_ms / 1000.0;
    for (const raw::qgd::MrmTransition& t : mrm.transitions) {
        SpectrumRecord& r = add(out, range_id(source, records_ + 1));
        r.retention_time_sec = rt;
        if (points) {
            const raw::PointRoom room = points->room(1);
            room.mz[0] = t.product_mz;
            room.intensity[0] = t.intensity;
        } else {
            r.mz = {t.product_mz};
            r.intensity = {t.intensity};
        }
        r.ms_level = 2;
        r.representation = core::representation::centroid;
        r.acquisition_kind = core::acquisition::mrm_transition;
        r.precursor.emplace();
        r.precursor->selected_mz = t.precursor_mz;
        r.precursor->isolation_target_mz = t.precursor_mz;
    }
    return true;
}

bool ScanDecoder::decode_ttfl(const TtflData& d, std::size_t i, std::vector<SpectrumRecord>& out,
                              raw::PointSink* points) {
    const auto [start, end] = d.bounds[i];
    const auto bytes = cut(d.ms_raw_data, start, end);
    if (!bytes) return false;
    raw::PointLists lists;
    Recorded recorded(points ? *points : lists);
    const auto count = raw::ttfl::decode_scan(*bytes, recorded);
    if (!count) return false;
    if (!recorded.asked()) recorded.room(0);
    const std::size_t t = d.subsets[i].time_index;
    SpectrumRecord& r = add(out, range_id(reader_.source_name(), records_ + 1));
    r.retention_time_sec = t < d.retention_times_ms.size() ? d.retention_times_ms[t] / 1000.0 : 0.0;
    // Calibrated values replace the channel values in place: the same numbers as a new list.
    if (d.calibration)
        for (std::size_t k = 0; k < *count; ++k) recorded.last().mz[k] = d.calibration->mz(recorded.last().mz[k]);
    r.mz = std::move(lists.mz);
    r.intensity = std::move(lists.intensity);
    r.ms_level = 1;
    r.representation = core::representation::profile;
    r.acquisition_kind = core::acquisition::lcms_time_of_flight;
    return true;
}

bool ScanDecoder::decode_qtfl(const QtflData& d, std::size_t i, std::vector<SpectrumRecord>& out,
                              raw::PointSink* points) {
    const auto& index = d.centroid_index;
    const std::uint64_t end = i + 1 < index.size() ? index[i + 1].data_offset : d.centroid_data.size();
    const auto bytes = cut(d.centroid_data, index[i].data_offset, end);
    if (!bytes) return false;
    raw::PointLists lists;
    Recorded recorded(points ? *points : lists);
    auto scan = raw::qtfl::decode_scan(*bytes, recorded);
    if (!scan) return false;
    if (!recorded.asked()) recorded.room(0);
    SpectrumRecord& r = add(out, "scan=" + std::to_string(records_ + 1));
    r.retention_time_sec = i < d.retention_times_ms.size() ? d.retention_times_ms[i] / 1000.0 : 0.0;
    if (index[i].ms_level_code < 2) {
        r.ms_level = 1;
        last_ms1_ = r.native_id;
    } else {
        r.ms_level = 2;
        r.precursor.emplace();
        r.precursor->spectrum_ref = last_ms1_;
    }
    r.mz = std::move(lists.mz);
    r.intensity = std::move(lists.intensity);
    r.header_value = scan->header_value;
    r.representation = core::representation::centroid;
    r.acquisition_kind = core::acquisition::lcms_time_of_flight;
    return true;
}

std::size_t ScanDecoder::records_to_reserve() const noexcept {
    const std::size_t smallest_scan = reader_.variant() == FileVariant::Gcms ? 32 : 64;
    return std::min(entries_, reader_.data_stream_size() / smallest_scan + 1);
}

std::vector<SpectrumRecord> decode_all(const Reader& reader) {
    core::PointArena point_lists;
    ScanDecoder decoder(reader);
    std::vector<SpectrumRecord> out;
    out.reserve(decoder.records_to_reserve());
    decoder.decode(out, decoder.index_entries());
    return out;
}

}  // namespace reader
