// The spectrum core: one decoded scan as readers hand it out, and the interface of anything
// that yields such scans in order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/point_lists.hpp"

namespace core {

// The precursor of a product-ion record.
struct Precursor {
    std::optional<double> selected_mz;
    std::optional<double> isolation_target_mz;
    std::optional<std::string> spectrum_ref;  // native_id of the MS1 record it was taken from

    // Slots of the core that no reader here fills.
    std::optional<double> isolation_lower_offset;
    std::optional<double> isolation_upper_offset;
    std::optional<double> collision_energy;
    std::optional<std::uint32_t> charge;
    std::uint8_t activation = 0;
    std::optional<std::uint8_t> dissociation;
    std::optional<std::uint8_t> polarity;
};

namespace representation {
inline constexpr std::uint8_t centroid = 0;
inline constexpr std::uint8_t profile = 1;
}  // namespace representation

namespace acquisition {
inline constexpr std::uint8_t mrm_transition = 1;
inline constexpr std::uint8_t gcms_full_scan = 2;
inline constexpr std::uint8_t lcms_time_of_flight = 3;
}  // namespace acquisition

// One scan, or one transition of an MRM scan. Owns all of its data.
struct SpectrumRecord {
    std::uint64_t index = 0;        // 0-based position in the sequence yielded
    std::uint32_t scan_number = 0;  // index + 1
    std::string native_id;
    std::uint32_t ms_level = 1;
    double retention_time_sec = 0.0;
    Values<double> mz;
    Values<float> intensity;  // same length as mz
    std::uint8_t representation = representation::profile;
    std::uint8_t acquisition_kind = acquisition::gcms_full_scan;
    std::uint8_t mode_code = 2;
    std::optional<double> header_value;
    std::optional<Precursor> precursor;  // present exactly when ms_level is 2

    // Slots of the core that no reader here fills.
    std::optional<double> base_peak_mz;
    std::optional<double> base_peak_intensity;
    std::optional<double> total_ion_current;
    std::optional<double> lowest_mz;
    std::optional<double> highest_mz;
    std::optional<double> injection_time;
    std::optional<double> scan_window_width;
    std::optional<std::string> filter_text;
    std::optional<std::vector<std::uint32_t>> flags;
};

// An iterator that owns every record it has not yet yielded and knows how many remain.
class SpectrumIterator {
public:
    virtual ~SpectrumIterator() = default;
    virtual std::optional<SpectrumRecord> next() = 0;
    virtual std::size_t remaining() const noexcept = 0;
    // Discards the next n records and yields the one after them, if any.
    virtual std::optional<SpectrumRecord> nth(std::size_t n) = 0;
};

// An iterator over a finished list of records.
class RecordListIterator final : public SpectrumIterator {
public:
    explicit RecordListIterator(std::vector<SpectrumRecord> records) noexcept : records_(std::move(records)) {}

    std::optional<SpectrumRecord> next() override {
        if (position_ >= records_.size()) return std::nullopt;
        SpectrumRecord out = std::move(records_[position_]);
        release(position_ + 1);
        return out;
    }
    std::size_t remaining() const noexcept override { return records_.size() - position_; }
    std::optional<SpectrumRecord> nth(std::size_t n) override {
        release(n < remaining() ? position_ + n : records_.size());
        return next();
    }

private:
    // Frees the records before `to`, which are yielded or skipped.
    void release(std::size_t to) {
        for (; position_ < to; ++position_) records_[position_] = SpectrumRecord{};
    }

    std::vector<SpectrumRecord> records_;
    std::size_t position_ = 0;
};

class SpectrumSource {
public:
    virtual ~SpectrumSource() = default;
    virtual std::unique_ptr<SpectrumIterator> iter_spectra() const = 0;
};

}  // namespace core
