// The columns of the two tables a run is exported as: the spectra table, one row per spectrum,
// and the points table, one row per point. Their names, types, nullability and order are given
// here once, for the Parquet files of tavrik-convert and for the Arrow tables of the Python
// module tavrik_tables alike.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/spectrum.hpp"
#include "export/parquet/parquet_writer.hpp"

namespace exporter {

struct TableColumn {
    std::string_view name;
    parquet::ColumnType type;
    bool nullable;
};

inline constexpr std::array<TableColumn, 15> spectra_table_columns = {{
    {"index", parquet::ColumnType::UInt32, false},
    {"native_id", parquet::ColumnType::String, false},
    {"ms_level", parquet::ColumnType::UInt8, false},
    {"retention_time_sec", parquet::ColumnType::Float64, false},
    {"representation", parquet::ColumnType::String, false},  // "centroid" or "profile"
    {"spectrum_type", parquet::ColumnType::String, false},   // "MS1", "MSn" or "SRM"
    {"point_count", parquet::ColumnType::UInt32, false},
    {"total_ion_current", parquet::ColumnType::Float64, false},
    {"base_peak_mz", parquet::ColumnType::Float64, true},  // these four null without points
    {"base_peak_intensity", parquet::ColumnType::Float32, true},
    {"lowest_mz", parquet::ColumnType::Float64, true},
    {"highest_mz", parquet::ColumnType::Float64, true},
    {"precursor_index", parquet::ColumnType::UInt32, true},  // the row of the precursor's MS1 spectrum
    {"selected_ion_mz", parquet::ColumnType::Float64, true},
    {"isolation_target_mz", parquet::ColumnType::Float64, true},
}};

inline constexpr std::array<TableColumn, 3> points_table_columns = {{
    {"spectrum_index", parquet::ColumnType::UInt32, false},
    {"mz", parquet::ColumnType::Float64, false},
    {"intensity", parquet::ColumnType::Float32, false},
}};

// The spectrum_type and representation values of the spectra table.
inline constexpr std::string_view ms1_spectrum_type = "MS1", msn_spectrum_type = "MSn", srm_spectrum_type = "SRM";

// The kind of spectrum a record is in the spectra table: an MRM transition is SRM whatever its
// level, the rest MS1 or MSn by their MS level.
enum class SpectrumType : std::uint8_t { ms1, msn, srm };

inline SpectrumType spectrum_type_of(const core::SpectrumRecord& r) noexcept {
    if (r.acquisition_kind == core::acquisition::mrm_transition) return SpectrumType::srm;
    return r.ms_level == 1 ? SpectrumType::ms1 : SpectrumType::msn;
}

// Its text in the spectrum_type column.
inline std::string_view spectrum_type_text(SpectrumType type) noexcept {
    return type == SpectrumType::srm ? srm_spectrum_type : type == SpectrumType::ms1 ? ms1_spectrum_type : msn_spectrum_type;
}
inline constexpr std::string_view centroid_representation = "centroid", profile_representation = "profile";

}  // namespace exporter
