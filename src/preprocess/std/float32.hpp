// Input normalised with caller-given statistics.
#pragma once

#include "preprocess/letterbox.hpp"

#include <array>

namespace corvane::preprocess::mean_std {

// (float(byte) - mean[k]) / stddev[k], a float32 subtraction then a true
// division, for source byte k, in plane 2 - k. The statistics are indexed by
// source byte, not by plane.
PlaneValues values(const std::array<float, 3>& mean, const std::array<float, 3>& stddev);

Letterbox standardise(const Image& src, const Planes& dst, const std::array<float, 3>& mean,
                      const std::array<float, 3>& stddev);

}  // namespace corvane::preprocess::mean_std
