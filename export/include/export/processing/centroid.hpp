// Centroiding: a profile spectrum's samples turned into peaks, one point per peak. A pure
// function over the spectrum's arrays; it knows nothing of formats or of the reader.
#pragma once

#include <span>

#include "core/point_lists.hpp"
#include "core/spectrum.hpp"

namespace exporter {

// The peaks of a spectrum, in the order of its samples (ascending m/z where the samples are): each
// peak's centre and its height (not its area).
struct Centroids {
    core::Values<double> mz;
    core::Values<float> intensity;
};

// The peaks of a profile spectrum given as m/z values and intensities of the same length.
//
// A peak is a local maximum of the profile, bounded on each side by the nearest local minimum or
// by a break. A break lies wherever a sample is not usable (intensity zero, negative, NaN or
// infinite, or m/z not finite), where m/z does not increase (out of order or repeated), and
// where the step in m/z is more than 1.5 times the smaller of its neighbouring steps: the
// sampling grows with m/z on some instruments, so the allowed step is taken from the neighbours.
//
// A peak's centre is the apex of a parabola fitted to the logarithms of its top sample and the
// samples about it at or above half its height (its two neighbours at least), weighted by
// intensity squared: through three samples it is the parabola through them, and it is exact for
// a Gaussian wherever the samples fall. Its intensity is the fitted apex height (not the area).
// Where that fit is undefined (a flat top of equal samples, or an apex without a usable
// neighbour on each side), the centre is the intensity-weighted mean m/z of the peak's samples
// at or above half the apex, and the intensity the apex sample's. Every local maximum is a peak;
// peaks lower than `min_intensity` are left out.
//
// Allocates once, for at most as many peaks as there are local maxima (never more than the
// spectrum's points). Mismatched lengths: only the common prefix is read.
Centroids centroid(std::span<const double> mz, std::span<const float> intensity, double min_intensity = 0);

// Replaces a profile record's points by its centroids and marks it a centroid record; a centroid
// record is left as it is. Whether the record was changed.
bool centroid_profile(core::SpectrumRecord& r, double min_intensity = 0);

}  // namespace exporter
