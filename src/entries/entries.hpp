// The thin entries of the module's functions, one per row of the function
// table in module.cpp. Each converts its arguments in parameter order, runs
// one kernel and returns a new reference (or throws).
#pragma once

#include "call.hpp"

namespace corvane::entries {

PyObject* yolov5_det_preprocess(Call& call);
PyObject* yolov5_cls_preprocess(Call& call);
PyObject* std_preprocess(Call& call);
PyObject* rtmpose_preprocess(Call& call);
PyObject* get_padding(Call& call);
PyObject* get_auto_resize(Call& call);
PyObject* yolov5_postprocess(Call& call);
PyObject* yolov8_det_postprocess(Call& call);
PyObject* yolov8_seg_postprocess(Call& call);
PyObject* yolov8_property_postprocess(Call& call);
PyObject* alphapose_postprocess(Call& call);
PyObject* rtmpose_postprocess(Call& call);
PyObject* compare_exchange(Call& call);
PyObject* fetch_add_seq_cst(Call& call);
PyObject* fetch_sub_seq_cst(Call& call);
PyObject* fetch_add_release(Call& call);
PyObject* fetch_sub_release(Call& call);
PyObject* compare_exchange_add(Call& call);
PyObject* compare_exchange_sub(Call& call);
PyObject* yolov8_seg_masks(Call& call);

}  // namespace corvane::entries
