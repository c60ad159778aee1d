"""Exact, fast numeric work around vision-model inference.

Letterboxing of 8-bit BGR images into float32 planes, detector and pose
output decoding with class-wise non-maximum suppression, and atomic updates
of a 32-bit word in shared memory. Heavy loops run on a process-wide worker
pool sized by RAYON_NUM_THREADS (or RAYON_RS_NUM_CPUS, else the CPU count).
"""

import sys
from collections.abc import Sequence
from typing import SupportsFloat, SupportsIndex, TypeAlias

if sys.version_info >= (3, 12):
    from collections.abc import Buffer
else:
    from typing_extensions import Buffer

import numpy as np
import numpy.typing as npt

__all__ = [
    "yolov5_det_preprocess",
    "yolov5_cls_preprocess",
    "std_preprocess",
    "rtmpose_preprocess",
    "get_padding",
    "get_auto_resize",
    "yolov5_postprocess",
    "yolov8_det_postprocess",
    "yolov8_seg_postprocess",
    "yolov8_property_postprocess",
    "alphapose_postprocess",
    "rtmpose_postprocess",
    "compare_exchange",
    "fetch_add_seq_cst",
    "fetch_sub_seq_cst",
    "fetch_add_release",
    "fetch_sub_release",
    "compare_exchange_add",
    "compare_exchange_sub",
    "yolov8_seg_masks",
    "letterbox_linear",
    "rtmpose_affine_preprocess",
    "rtmpose_affine_postprocess",
    "yolov8_pose_postprocess",
    "yolov8_obb_postprocess",
]

_Image: TypeAlias = npt.NDArray[np.uint8]
"""A decoded image, shape (H, W, 3), interleaved bytes (BGR)."""
_Tensor: TypeAlias = npt.NDArray[np.float32]
_Letterbox: TypeAlias = tuple[float, int, int]
"""(ratio, pad_x, pad_y): source pixels per destination pixel, left and top padding."""
_Detection: TypeAlias = tuple[float, float, float, float, int, float, int]
"""(x1, y1, x2, y2, class_id, score, index) in model-input units."""
_PropertyDetection: TypeAlias = tuple[tuple[float, float, float, float, int, float], list[tuple[int, float]]]
"""((x1, y1, x2, y2, class_id, score), [(choice, score), ...])."""
_OrientedDetection: TypeAlias = tuple[float, float, float, float, float, int, float, int]
"""(cx, cy, w, h, angle, class_id, score, index) in model-input units, angle in radians."""
_Keypoint: TypeAlias = tuple[float, float, float]
"""(x, y, score)."""
_PoseDetection: TypeAlias = tuple[float, float, float, float, int, float, int, list[_Keypoint]]
"""(x1, y1, x2, y2, class_id, score, index, [(x, y, visibility), ...]) in model-input units."""
_AffineCrop: TypeAlias = tuple[float, float, float, float]
"""(cx, cy, sw, sh): centre and size, in frame pixels, of an affine crop."""
_Buffer: TypeAlias = Buffer
"""A writable buffer of unsigned bytes (bytearray, mmap, array('B'), a uint8
array, shared memory) whose first 4 bytes, 4-byte aligned, hold the word."""

__version__: str

class PanicException(BaseException):
    """Raised when the native code fails (an index out of range, a refused
    array borrow, a non-contiguous array). Derives from BaseException, so
    ``except Exception`` does not catch it; the module stays usable."""

def yolov5_det_preprocess(src: _Image, dst: _Tensor) -> _Letterbox:
    """Letterbox the BGR image src into the (3, H, W) RGB planes of dst as byte / 255.

    Only the image area is written: pre-fill dst with the padding value.
    Returns (ratio, pad_x, pad_y) to map model-input boxes back to src."""

def yolov5_cls_preprocess(src: _Image, dst: _Tensor) -> _Letterbox:
    """Letterbox src into the (3, H, W) planes of dst with ImageNet mean/std
    normalisation per RGB plane; pre-fill dst (0 is the mean)."""

def std_preprocess(
    src: _Image, dst: _Tensor, mean_val: Sequence[SupportsFloat], std_val: Sequence[SupportsFloat]
) -> _Letterbox:
    """Letterbox src into the (3, H, W) planes of dst as
    (byte k - mean_val[k]) / std_val[k] in plane 2 - k; pre-fill dst."""

def rtmpose_preprocess(src: _Image, dst: _Tensor, padding_rate: SupportsFloat) -> _Letterbox:
    """Letterbox the person crop src into the (3, H, W) planes of dst (ImageNet
    normalisation) with a context margin of padding_rate times the width and
    height on every side; pre-fill dst (0 is the mean). Pass the returned
    (ratio, pad_x, pad_y) to rtmpose_postprocess."""

def get_padding(
    src_w: SupportsIndex, src_h: SupportsIndex, width: SupportsIndex, height: SupportsIndex
) -> tuple[float, int, int, int, int]:
    """(ratio, left, top, right, bottom) of fitting src_w x src_h into width x height."""

def get_auto_resize(
    src_w: SupportsIndex, src_h: SupportsIndex, width: SupportsIndex, height: SupportsIndex
) -> tuple[float, int, int]:
    """(ratio, new_w, new_h) of fitting src_w x src_h into width x height."""

def yolov5_postprocess(
    batch_pred: _Tensor, iou_threshold: SupportsFloat, conf_threshold: SupportsFloat
) -> list[list[_Detection]]:
    """Decode a (B, N, 5 + classes) YOLOv5 output; class-wise NMS per image."""

def yolov8_det_postprocess(
    batch_pred: _Tensor, iou_threshold: SupportsFloat, conf_threshold: SupportsFloat
) -> list[list[_Detection]]:
    """Decode a channel-major (B, 4 + classes, N) YOLOv8 output; class-wise NMS per image."""

def yolov8_seg_postprocess(
    batch_pred: _Tensor, iou_threshold: SupportsFloat, conf_threshold: SupportsFloat, vec_dims: SupportsIndex
) -> list[list[_Detection]]:
    """As yolov8_det_postprocess, skipping vec_dims trailing mask-coefficient channels.

    A detection's index is its anchor: its coefficients are
    batch_pred[b, K - vec_dims:, index]."""

def yolov8_property_postprocess(
    batch_pred: _Tensor,
    iou_threshold: SupportsFloat,
    conf_threshold: SupportsFloat,
    num_cls: SupportsIndex,
    has_property: Sequence[bool | np.bool_],
    property_groups: Sequence[SupportsIndex],
) -> list[list[_PropertyDetection]]:
    """Decode a YOLOv8 output whose anchors carry property groups after the classes.

    choice is 2**64 - 1 for a group with no value above 0."""

def alphapose_postprocess(pred: _Tensor, scale: SupportsFloat) -> list[_Keypoint]:
    """Scale 17 decoded (x, y, score) keypoints by scale (scores unchanged)."""

def rtmpose_postprocess(
    batch_pred_x: _Tensor, batch_pred_y: _Tensor, batch_scale_pad: Sequence[tuple[SupportsFloat, SupportsIndex, SupportsIndex]]
) -> list[list[_Keypoint]]:
    """Decode SimCC outputs into 17 (x, y, score) keypoints per crop, already
    mapped back to crop pixels through the crop's (ratio, pad_x, pad_y) from
    rtmpose_preprocess."""

def compare_exchange(data_ptr: _Buffer, cur: SupportsIndex, new: SupportsIndex) -> bool:
    """Store new in the shared word if it holds cur; True when stored."""

def fetch_add_seq_cst(data_ptr: _Buffer, val: SupportsIndex) -> int:
    """Atomically add val (wrapping); returns the previous value."""

def fetch_sub_seq_cst(data_ptr: _Buffer, val: SupportsIndex) -> int:
    """Atomically subtract val (wrapping); returns the previous value."""

def fetch_add_release(data_ptr: _Buffer, val: SupportsIndex) -> int:
    """Atomically add val with release ordering; returns the previous value."""

def fetch_sub_release(data_ptr: _Buffer, val: SupportsIndex) -> int:
    """Atomically subtract val with release ordering; returns the previous value."""

def compare_exchange_add(data_ptr: _Buffer, delta: SupportsIndex) -> tuple[bool, int]:
    """One attempt to add delta: (True, old) when done, else (False, value found)."""

def compare_exchange_sub(data_ptr: _Buffer, delta: SupportsIndex) -> tuple[bool, int]:
    """One attempt to subtract delta: (True, old) when done, else (False, value found)."""

def yolov8_seg_masks(
    batch_pred: _Tensor,
    protos: _Tensor,
    image: SupportsIndex,
    detections: Sequence[Sequence[SupportsFloat]],
    input_size: tuple[SupportsIndex, SupportsIndex],
    letterbox: tuple[SupportsFloat, SupportsIndex, SupportsIndex],
    dst: _Image,
) -> None:
    """Write the instance mask of each detection of image `image` into dst[d].

    batch_pred is the (B, K, N) array given to yolov8_seg_postprocess, protos
    the (B, M, mh, mw) prototypes; the last M channels of batch_pred hold the
    mask coefficients of each anchor. detections are that image's results of
    yolov8_seg_postprocess (box in items 0-3, anchor index in item 6: an
    int or a float of a whole value, so rows of np.array(detections) do too).
    input_size is the model's (width, height), letterbox the (ratio, pad_x,
    pad_y) of the preprocessing. dst is uint8 (D, H, W) in source pixels with
    D >= len(detections): inside each box, 1 where the bilinearly sampled mask
    logit is > 0, else 0; pixels outside the boxes and planes beyond the
    detections are left as they were, so pre-fill dst (np.zeros).
    dst.view(bool) gives boolean masks."""

def letterbox_linear(src: _Image, dst: _Tensor, pad_value: SupportsIndex) -> _Letterbox:
    """Letterbox the BGR image src into all of the (3, H, W) RGB planes of dst.

    Bilinear, byte for byte OpenCV's 8-bit cv2.resize INTER_LINEAR, placed and
    rounded as the ultralytics training pipeline does; values byte / 255, the
    margins pad_value / 255 (114 for ultralytics models), so no pre-fill is
    needed. Returns (ratio, pad_x, pad_y): ratio is 1 / scale rounded to
    float32, and x_src = (x - pad_x) * ratio."""

def rtmpose_affine_preprocess(
    frame: _Image, boxes: Sequence[Sequence[SupportsFloat]], dst: _Tensor
) -> list[_AffineCrop]:
    """Warp each person box of the frame into dst[i], as RTMPose is trained.

    boxes are (x1, y1, x2, y2) in frame pixels (items 0-3; detection tuples
    work as they are). Each box is enlarged by 1.25, fixed to the aspect W / H
    of dst (N, 3, H, W), N >= len(boxes), and sampled bilinearly with pixels
    outside the frame taken as 0, each sample rounded to a byte (as
    cv2.warpAffine does), then normalised per RGB plane with the ImageNet mean
    and std. Every value of dst[:len(boxes)] is written. Returns each crop's
    (cx, cy, sw, sh) for rtmpose_affine_postprocess."""

def rtmpose_affine_postprocess(
    batch_pred_x: _Tensor, batch_pred_y: _Tensor, crops: Sequence[Sequence[SupportsFloat]]
) -> list[list[_Keypoint]]:
    """Decode SimCC outputs (N, K >= 17, 2 * W) and (N, K, 2 * H) into 17
    (x, y, score) keypoints per crop, in frame pixels, through the crops that
    rtmpose_affine_preprocess returned; score is the smaller of the two
    peaks."""

def yolov8_pose_postprocess(
    batch_pred: _Tensor, iou_threshold: SupportsFloat, conf_threshold: SupportsFloat, num_keypoints: SupportsIndex
) -> list[list[_PoseDetection]]:
    """Decode a channel-major (B, 4 + classes + 3 * num_keypoints, N) YOLOv8 pose output.

    Boxes, classes, scores and their order are yolov8_det_postprocess's on the
    channels before the keypoints; each survivor carries its anchor's
    num_keypoints (x, y, visibility) triples, x and y in model-input pixels.
    A num_keypoints that leaves no class channel raises ValueError."""
def yolov8_obb_postprocess(
    batch_pred: _Tensor, iou_threshold: SupportsFloat, conf_threshold: SupportsFloat
) -> list[list[_OrientedDetection]]:
    """Decode a channel-major (B, 4 + classes + 1, N) oriented-box output (box
    centre and size, class scores, angle in radians); class-wise Fast-NMS on
    the probabilistic IoU per image.

    Angles come back in [0, pi/2], with w and h swapped where the angle mod
    pi was at least pi/2. A ValueError names batch_pred when it is not 3-D or
    has fewer than 6 channels."""
