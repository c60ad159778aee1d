// The typed entries of the module's functions, one per row of the function
// table (module.cpp). Each takes its converted arguments, checks what its
// kernel cannot, runs the kernel and returns the result as a C++ value; the
// wrapper gives back the array borrows before the result becomes Python.
#pragma once

#include "core/records.hpp"
#include "postprocess/rtmpose.hpp"
#include "python/convert.hpp"

#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace corvane::python::entries {

using ImageArray = ArrayView<const std::uint8_t>;
using TensorArray = ArrayView<float>;
using OutputArray = ArrayView<const float>;
using Detections = std::vector<std::vector<Detection>>;

// Python's repr of an array's shape tuple: "(4, 5, 2)", "(5,)", "()".
template <class T>
std::string shape_text(const ArrayView<T>& array) {
  std::string out = "(";
  for (std::size_t k = 0; k < array.ndim(); ++k) {
    if (k > 0) out += ", ";
    out += std::to_string(array.dim(k));
  }
  if (array.ndim() == 1) out += ",";
  return out + ")";
}

// Preprocessing: the letterbox of `src` into the three planes of `dst`.
Letterbox yolov5_det_preprocess(ImageArray src, TensorArray dst);
Letterbox yolov5_cls_preprocess(ImageArray src, TensorArray dst);
Letterbox std_preprocess(ImageArray src, TensorArray dst, std::array<float, 3> mean_val,
                         std::array<float, 3> std_val);
Letterbox rtmpose_preprocess(ImageArray src, TensorArray dst, float padding_rate);

Padding get_padding(std::int32_t src_w, std::int32_t src_h, std::int32_t width,
                    std::int32_t height);
AutoResize get_auto_resize(std::int32_t src_w, std::int32_t src_h, std::int32_t width,
                           std::int32_t height);

// Box decoders: the survivors of every image of the batch.
Detections yolov5_postprocess(OutputArray batch_pred, float iou_threshold, float conf_threshold);
Detections yolov8_det_postprocess(OutputArray batch_pred, float iou_threshold,
                                  float conf_threshold);
Detections yolov8_seg_postprocess(OutputArray batch_pred, float iou_threshold, float conf_threshold,
                                  std::uint64_t vec_dims);
std::vector<std::vector<PropertyDetection>> yolov8_property_postprocess(
    OutputArray batch_pred, float iou_threshold, float conf_threshold, std::uint64_t num_cls,
    std::vector<bool> has_property, std::vector<std::uint64_t> property_groups);

// Pose decoders.
std::vector<Keypoint> alphapose_postprocess(OutputArray pred, float scale);
std::vector<postprocess::rtmpose::CropKeypoints> rtmpose_postprocess(
    OutputArray batch_pred_x, OutputArray batch_pred_y, std::vector<ScalePad> batch_scale_pad);

// YOLOv8 pose head: the box decoder's survivors with their keypoints.
std::vector<std::vector<PoseDetection>> yolov8_pose_postprocess(OutputArray batch_pred,
                                                                float iou_threshold,
                                                                float conf_threshold,
                                                                Named<std::uint64_t> num_keypoints);

// The shared word of `data_ptr`'s buffer.
enum class Step { kAdd, kSub };
bool compare_exchange(PyObject* data_ptr, std::uint32_t cur, std::uint32_t desired);
template <Step S, std::memory_order Order>
std::uint32_t fetch(PyObject* data_ptr, std::uint32_t val);
template <Step S>
Exchange compare_exchange_step(PyObject* data_ptr, std::uint32_t delta);

inline constexpr auto fetch_add_seq_cst = &fetch<Step::kAdd, std::memory_order_seq_cst>;
inline constexpr auto fetch_sub_seq_cst = &fetch<Step::kSub, std::memory_order_seq_cst>;
inline constexpr auto fetch_add_release = &fetch<Step::kAdd, std::memory_order_release>;
inline constexpr auto fetch_sub_release = &fetch<Step::kSub, std::memory_order_release>;
inline constexpr auto compare_exchange_add = &compare_exchange_step<Step::kAdd>;
inline constexpr auto compare_exchange_sub = &compare_exchange_step<Step::kSub>;

// Instance masks of detections of one image, written into `dst`.
void yolov8_seg_masks(OutputArray batch_pred, OutputArray protos, Named<BatchIndex> image,
                      Named<std::vector<MaskBox>> detections, PositivePair input_size,
                      LetterboxArgument letterbox, ArrayView<std::uint8_t> dst);

// The bilinear letterbox of `src` into all of `dst`, margins `pad_value`.
Letterbox letterbox_linear(ImageArray src, TensorArray dst, std::uint8_t pad_value);
// Affine crops of person boxes from one frame into the pose model's input,
// and the decode of its outputs back through those crops.
std::vector<AffineCrop> rtmpose_affine_preprocess(ImageArray frame,
                                                  Named<std::vector<CropBox>> boxes,
                                                  TensorArray dst);
std::vector<postprocess::rtmpose::CropKeypoints> rtmpose_affine_postprocess(
    OutputArray batch_pred_x, OutputArray batch_pred_y, std::vector<AffineCrop> crops);
// Oriented-box decoder: the survivors of every image of the batch.
std::vector<std::vector<OrientedDetection>> yolov8_obb_postprocess(OutputArray batch_pred,
                                                                   float iou_threshold,
                                                                   float conf_threshold);

}  // namespace corvane::python::entries
