// The four preprocessing variants: each is the letterbox with its own
// statistics for what every source byte becomes, and the pose input also
// with a margin.
#pragma once

#include "preprocess/letterbox.hpp"

#include <array>

namespace corvane::preprocess {

// The ImageNet statistics indexed by source byte (blue, green, red), so
// output plane 0 is red normalised with (123.675, 58.395).
inline constexpr std::array<float, 3> kImagenetMean{103.53f, 116.28f, 123.675f};
inline constexpr std::array<float, 3> kImagenetStd{57.375f, 57.12f, 58.395f};

// byte / 255.0f (a true float32 division) in every plane, as (byte - 0) / 255.
const PlaneValues& unit_values();

// (float(byte) - mean[k]) / stddev[k], a float32 subtraction then a true
// division, for source byte k, in plane 2 - k. The statistics are indexed by
// source byte, not by plane.
PlaneValues mean_std_values(const std::array<float, 3>& mean, const std::array<float, 3>& stddev);

// mean_std_values with the ImageNet statistics.
const PlaneValues& imagenet_values();

// Detector input: every byte scaled to 0..1.
Letterbox detector_input(const Image& src, const Planes& dst);

// Classifier input: ImageNet normalisation of each colour.
Letterbox classifier_input(const Image& src, const Planes& dst);

// Input normalised with caller-given statistics.
Letterbox standardised_input(const Image& src, const Planes& dst, const std::array<float, 3>& mean,
                             const std::array<float, 3>& stddev);

// Pose-model input: the classifier's normalisation, fitted as if the source
// had a margin of `padding_rate` times its width and height on every side.
Letterbox pose_input(const Image& src, const Planes& dst, float padding_rate);

}  // namespace corvane::preprocess
