// Spectrum iteration: every scan of an opened file cut out of its data stream, decoded and
// turned into records, numbered without gaps; scans that cannot be decoded are dropped.
#include <algorithm>
#include <string>

#include "raw/qgd.hpp"
#include "reader/reader.hpp"

namespace reader {
namespace {

using core::SpectrumRecord;

class Records {
public:
    // Room for `entries` records, but never more than the data stream can back with scans of
    // at least `smallest_scan` bytes: an index count alone never decides a large allocation.
    Records(std::size_t entries, std::size_t data_len, std::size_t smallest_scan) {
        list_.reserve(std::min(entries, data_len / smallest_scan + 1));
    }

    // A record with the next number; the caller fills in the rest.
    SpectrumRecord& add(std::string native_id) {
        SpectrumRecord& r = list_.emplace_back();
        r.index = list_.size() - 1;
        r.scan_number = static_cast<std::uint32_t>(list_.size());
        r.native_id = std::move(native_id);
        return r;
    }
    std::uint64_t next_number() const noexcept { return list_.size() + 1; }
    std::vector<SpectrumRecord> take() && { return std::move(list_); }

private:
    std::vector<SpectrumRecord> list_;
};

std::string range_id(const std::string& source, std::uint64_t number) {
    const std::string n = std::to_string(number);
    return "source=" + source + " start=" + n + " end=" + n;
}

// The bytes [start, end) of `data`, or nothing when the range is out of order or too long.
std::optional<std::span<const std::byte>> cut(const cfb::Bytes& data, std::uint64_t start, std::uint64_t end) {
    if (end < start || end > data.size()) return std::nullopt;
    return data.span().subspan(static_cast<std::size_t>(start), static_cast<std::size_t>(end - start));
}

void decode_gcms(const GcmsData& d, const std::string& source, Records& out) {
    const auto& offsets = d.scan_offsets;
    for (std::size_t i = 0; i < offsets.size(); ++i) {
        const std::uint64_t end = i + 1 < offsets.size() ? offsets[i + 1] : d.ms_raw_data.size();
        const auto bytes = cut(d.ms_raw_data, offsets[i], end);
        if (!bytes) continue;
        auto scan = raw::qgd::parse_scan(*bytes);
        if (!scan) continue;
        if (auto* profile = std::get_if<raw::qgd::ProfileScan>(&*scan)) {
            SpectrumRecord& r = out.add(range_id(source, out.next_number()));
            r.retention_time_sec = profile->retention_time_ms / 1000.0;
            r.mz = std::move(profile->mz);
            r.intensity = std::move(profile->intensity);
            r.ms_level = 1;
            r.representation = core::representation::profile;
            r.acquisition_kind = core::acquisition::gcms_full_scan;
            continue;
        }
        const auto& mrm = std::get<raw::qgd::MrmScan>(*scan);
        const double rt = mrm.retention_time_ms / 1000.0;
        for (const raw::qgd::MrmTransition& t : mrm.transitions) {
            SpectrumRecord& r = out.add(range_id(source, out.next_number()));
            r.retention_time_sec = rt;
            r.mz = {t.product_mz};
            r.intensity = {t.intensity};
            r.ms_level = 2;
            r.representation = core::representation::centroid;
            r.acquisition_kind = core::acquisition::mrm_transition;
            r.precursor.emplace();
            r.precursor->selected_mz = t.precursor_mz;
            r.precursor->isolation_target_mz = t.precursor_mz;
        }
    }
}

void decode_ttfl(const TtflData& d, const std::string& source, Records& out) {
    const std::size_t count = std::min(d.bounds.size(), d.subsets.size());
    for (std::size_t i = 0; i < count; ++i) {
        const auto [start, end] = d.bounds[i];
        const auto bytes = cut(d.ms_raw_data, start, end);
        if (!bytes) continue;
        auto scan = raw::ttfl::decode_scan(*bytes);
        if (!scan) continue;
        const std::size_t t = d.subsets[i].time_index;
        SpectrumRecord& r = out.add(range_id(source, out.next_number()));
        r.retention_time_sec = t < d.retention_times_ms.size() ? d.retention_times_ms[t] / 1000.0 : 0.0;
        // Calibrated values replace the channel values in place: the same numbers as a new list.
        if (d.calibration)
            for (double& x : scan->channels) x = d.calibration->mz(x);
        r.mz = std::move(scan->channels);
        r.intensity = std::move(scan->intensity);
        r.ms_level = 1;
        r.representation = core::representation::profile;
        r.acquisition_kind = core::acquisition::lcms_time_of_flight;
    }
}

void decode_qtfl(const QtflData& d, Records& out) {
    const auto& index = d.centroid_index;
    std::optional<std::string> last_ms1;
    for (std::size_t i = 0; i < index.size(); ++i) {
        const std::uint64_t end = i + 1 < index.size() ? index[i + 1].data_offset : d.centroid_data.size();
        const auto bytes = cut(d.centroid_data, index[i].data_offset, end);
        if (!bytes) continue;
        auto scan = raw::qtfl::decode_scan(*bytes);
        if (!scan) continue;
        SpectrumRecord& r = out.add("scan=" + std::to_string(out.next_number()));
        r.retention_time_sec = i < d.retention_times_ms.size() ? d.retention_times_ms[i] / 1000.0 : 0.0;
        if (index[i].ms_level_code < 2) {
            r.ms_level = 1;
            last_ms1 = r.native_id;
        } else {
            r.ms_level = 2;
            r.precursor.emplace();
            r.precursor->spectrum_ref = last_ms1;
        }
        r.mz = std::move(scan->mz);
        r.intensity = std::move(scan->intensity);
        r.header_value = scan->header_value;
        r.representation = core::representation::centroid;
        r.acquisition_kind = core::acquisition::lcms_time_of_flight;
    }
}

}  // namespace

std::vector<SpectrumRecord> decode_all(const Reader& reader) {
    core::PointArena point_lists;
    const ReaderData& data = reader.data();
    if (const auto* g = std::get_if<GcmsData>(&data)) {
        Records out(g->scan_offsets.size(), g->ms_raw_data.size(), 32);
        decode_gcms(*g, reader.source_name(), out);
        return std::move(out).take();
    }
    if (const auto* t = std::get_if<TtflData>(&data)) {
        Records out(t->subsets.size(), t->ms_raw_data.size(), 64);
        decode_ttfl(*t, reader.source_name(), out);
        return std::move(out).take();
    }
    const auto& q = std::get<QtflData>(data);
    Records out(q.centroid_index.size(), q.centroid_data.size(), 64);
    decode_qtfl(q, out);
    return std::move(out).take();
}

}  // namespace reader
