// Where a decoder writes a scan's points. It asks once for room for all of them, once it has
// checked the scan, so that the count is one the scan's bytes hold; then it writes every point
// into that room before it returns. By default (PointLists) the room is a pair of point lists;
// a caller that keeps points elsewhere hands its own memory out instead, and nothing is copied.
#pragma once

#include <cstddef>

#include "core/point_lists.hpp"

namespace raw {

// Room for n points: n m/z values and n intensities.
struct PointRoom {
    double* mz = nullptr;
    float* intensity = nullptr;
};

class PointSink {
public:
    // Room for `points` points, for the caller to fill at once: only until its next request.
    virtual PointRoom room(std::size_t points) = 0;

protected:
    ~PointSink() = default;
};

// Points into fresh lists (from the thread's PointArena, if it holds one).
class PointLists final : public PointSink {
public:
    PointRoom room(std::size_t points) override {
        mz = core::Values<double>(points);
        intensity = core::Values<float>(points);
        return {mz.data(), intensity.data()};
    }

    core::Values<double> mz;
    core::Values<float> intensity;
};

}  // namespace raw
