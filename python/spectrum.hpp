#pragma once

#include "common.hpp"
#include "core/point_lists.hpp"

#include <cstdint>

namespace tavrik_py {

struct SpectrumData {
    core::Values<double> mz;
    core::Values<float> intensity;
    std::uint32_t ms_level = 1;
    double retention_time_sec = 0.0;
};

// A new Spectrum owning `data`; null with an exception set on failure.
PyObject* new_spectrum(SpectrumData data);

}  // namespace tavrik_py
