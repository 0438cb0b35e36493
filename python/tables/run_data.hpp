// One raw file decoded whole for tavrik_tables: every record's points packed into large blocks
// (whole spectra each, so that a block is a batch of the points table and a spectrum's points are
// one contiguous span), the spectra table's facts of every record but those its points give, and the MRM transitions
// grouped into chromatograms as the mzML writer groups them. Immutable once made; shared by the
// Python objects and by every Arrow array handed out, and freed with the last of them.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/point_lists.hpp"
#include "export/formats/table_schema.hpp"
#include "export/formats/transitions.hpp"

namespace tavrik_tables {

// What the spectra table says of one record besides its points and the figures worked out from
// them (total ion current, base peak, m/z range), which a spectra stream works out as it goes.
struct SpectrumFacts {
    std::string native_id;  // valid UTF-8
    double retention_time_sec = 0.0;
    double selected_ion_mz = 0.0;
    double isolation_target_mz = 0.0;
    std::uint32_t precursor_index = 0;
    std::uint8_t ms_level = 0;
    exporter::SpectrumType spectrum_type = exporter::SpectrumType::ms1;
    bool centroid = false;
    bool has_precursor_index = false;
    bool has_selected_ion_mz = false;
    bool has_isolation_target_mz = false;
};

// The points of consecutive whole records, m/z and intensity columns of the same length, in one
// buffer (room for `capacity` m/z values, then the intensities).
struct PointBlock {
    core::ByteBuffer bytes;
    std::size_t size = 0;      // points
    std::size_t capacity = 0;  // points it has room for: the intensities start at 8 * capacity
    double* mz() noexcept { return reinterpret_cast<double*>(bytes.data()); }
    float* intensity() noexcept { return reinterpret_cast<float*>(bytes.data() + 8 * capacity); }
    const double* mz() const noexcept { return reinterpret_cast<const double*>(bytes.data()); }
    const float* intensity() const noexcept { return reinterpret_cast<const float*>(bytes.data() + 8 * capacity); }
    std::size_t first_record = 0;  // the records [first_record, end_record) lie in it, in order
    std::size_t end_record = 0;
};

// Where a record's points lie.
struct PointSpan {
    std::uint32_t block = 0;
    std::uint64_t offset = 0;  // of its first point in the block
    std::uint64_t count = 0;
};

struct RunData {
    std::string source_name;
    std::string_view layout;  // "GC-MS", "TTFL" or "QTOF"
    std::optional<std::string> acquired_at;  // RFC 3339, UTC
    bool mz_are_channel_indices = false;
    std::vector<PointBlock> blocks;
    std::vector<PointSpan> points;  // one per record
    std::vector<SpectrumFacts> spectra;  // one per record
    exporter::TransitionChromatograms transitions;

    std::size_t size() const noexcept { return spectra.size(); }
    const double* mz(std::size_t record) const noexcept;
    const float* intensity(std::size_t record) const noexcept;
    std::uint64_t total_points() const noexcept;
};

// Opens and decodes the file at `path`; the error is the reader's message. With
// `centroid_min_intensity`, every profile record's points are its centroids (the converter's
// --centroid), peaks lower than it left out.
std::expected<std::shared_ptr<const RunData>, std::string> open_run(std::string_view path,
                                                                    std::optional<double> centroid_min_intensity = {});

}  // namespace tavrik_tables
