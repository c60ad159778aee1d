// The function table: one row per function of the module, in the order of
// __all__. The type stub declares the same functions; the build checks it
// against these rows (tools/check_stub.py).
#pragma once

#include "python/entries/entries.hpp"
#include "python/function.hpp"

namespace corvane::python {

#define CORVANE_FUNCTION(name, ...) function<entries::name>(#name, __VA_ARGS__)

inline constexpr std::tuple kFunctions{
    CORVANE_FUNCTION(yolov5_det_preprocess, "src", "dst"),
    CORVANE_FUNCTION(yolov5_cls_preprocess, "src", "dst"),
    CORVANE_FUNCTION(std_preprocess, "src", "dst", "mean_val", "std_val"),
    CORVANE_FUNCTION(rtmpose_preprocess, "src", "dst", "padding_rate"),
    CORVANE_FUNCTION(get_padding, "src_w", "src_h", "width", "height"),
    CORVANE_FUNCTION(get_auto_resize, "src_w", "src_h", "width", "height"),
    CORVANE_FUNCTION(yolov5_postprocess, "batch_pred", "iou_threshold", "conf_threshold"),
    CORVANE_FUNCTION(yolov8_det_postprocess, "batch_pred", "iou_threshold", "conf_threshold"),
    CORVANE_FUNCTION(yolov8_seg_postprocess, "batch_pred", "iou_threshold", "conf_threshold",
                     "vec_dims"),
    CORVANE_FUNCTION(yolov8_property_postprocess, "batch_pred", "iou_threshold", "conf_threshold",
                     "num_cls", "has_property", "property_groups"),
    CORVANE_FUNCTION(alphapose_postprocess, "pred", "scale"),
    CORVANE_FUNCTION(rtmpose_postprocess, "batch_pred_x", "batch_pred_y", "batch_scale_pad"),
    CORVANE_FUNCTION(compare_exchange, "data_ptr", "cur", "new"),
    CORVANE_FUNCTION(fetch_add_seq_cst, "data_ptr", "val"),
    CORVANE_FUNCTION(fetch_sub_seq_cst, "data_ptr", "val"),
    CORVANE_FUNCTION(fetch_add_release, "data_ptr", "val"),
    CORVANE_FUNCTION(fetch_sub_release, "data_ptr", "val"),
    CORVANE_FUNCTION(compare_exchange_add, "data_ptr", "delta"),
    CORVANE_FUNCTION(compare_exchange_sub, "data_ptr", "delta"),
    CORVANE_FUNCTION(yolov8_seg_masks, "batch_pred", "protos", "image", "detections", "input_size",
                     "letterbox", "dst"),
    CORVANE_FUNCTION(letterbox_linear, "src", "dst", "pad_value"),
    CORVANE_FUNCTION(rtmpose_affine_preprocess, "frame", "boxes", "dst"),
    CORVANE_FUNCTION(rtmpose_affine_postprocess, "batch_pred_x", "batch_pred_y", "crops"),
    CORVANE_FUNCTION(yolov8_pose_postprocess, "batch_pred", "iou_threshold", "conf_threshold",
                     "num_keypoints"),
    CORVANE_FUNCTION(yolov8_obb_postprocess, "batch_pred", "iou_threshold", "conf_threshold"),
};
#undef CORVANE_FUNCTION

}  // namespace corvane::python
