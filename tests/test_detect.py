"""yolov5_postprocess, yolov8_det_postprocess and yolov8_seg_postprocess."""

import math

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import corvane
import nms_reference as ref
from helpers import assert_panics, f32

F = np.float32
NAN = float("nan")
INF = float("inf")
U64_MAX = 2**64 - 1


def v8(*anchors, extra=()):
    """One YOLOv8 image (1, K, N) from per-anchor (cx, cy, w, h, scores...)."""
    a = np.array([list(x) + list(extra) for x in anchors], dtype=F)
    return np.ascontiguousarray(a.T[None])


def v5(*rows):
    """One YOLOv5 image (1, N, K) from per-row (cx, cy, w, h, obj, scores...)."""
    return np.array([rows], dtype=F)


def same(got, expected):
    assert ref.f32_key(got) == ref.f32_key(expected)


def det(x1, y1, x2, y2, cls, score, index):
    return (f32(x1), f32(y1), f32(x2), f32(y2), cls, f32(score), index)


# --- decoding ---------------------------------------------------------------


def test_yolov8_worked_example_keeps_class_order_over_score():
    pred = np.array([10, 20, 30, 40, 4, 4, 2, 2, 0.1, 0.6, 0.7, 0.2], dtype=F).reshape(1, 6, 2)
    expected = [[det(18, 39, 22, 41, 0, 0.6, 1), det(8, 29, 12, 31, 1, 0.7, 0)]]
    for iou in (0.0, 0.45, 1.0, NAN):
        same(corvane.yolov8_det_postprocess(pred, iou, 0.5), expected)
        same(corvane.yolov8_seg_postprocess(pred, iou, 0.5, 0), expected)


def test_yolov5_score_is_class_times_objectness():
    pred = v5((10, 10, 4, 6, 0.8, 0.5, 0.9))
    score = float(F(0.9) * F(0.8))
    same(corvane.yolov5_postprocess(pred, 0.5, 0.5), [[(8.0, 7.0, 12.0, 13.0, 1, score, 0)]])
    assert corvane.yolov5_postprocess(pred, 0.5, 0.75) == [[]]


@pytest.mark.parametrize("decoder", ["v5_obj", "v5_best", "v8"])
def test_value_equal_to_threshold_passes_and_just_below_is_dropped(decoder):
    t = f32(0.3)
    below = float(np.nextafter(F(t), F(0)))
    if decoder == "v5_obj":  # objectness at the threshold, product well above it
        make, call = lambda v: v5((5, 5, 2, 2, v, 1e6)), corvane.yolov5_postprocess
    elif decoder == "v5_best":  # product exactly the threshold (objectness 1)
        make, call = lambda v: v5((5, 5, 2, 2, 1.0, v)), corvane.yolov5_postprocess
    else:
        make, call = lambda v: v8((5, 5, 2, 2, v)), corvane.yolov8_det_postprocess
    assert len(call(make(t), 0.5, t)[0]) == 1
    assert call(make(below), 0.5, t) == [[]]


def test_non_positive_threshold_makes_class_zero_score_zero_candidates():
    got = corvane.yolov8_det_postprocess(v8((5, 5, 2, 2, -1, 0, NAN), (50, 50, 2, 2, 0, 0.5, 0)), 0.5, 0.0)
    same(got, [[det(4, 4, 6, 6, 0, 0.0, 0), det(49, 49, 51, 51, 1, 0.5, 1)]])
    got = corvane.yolov5_postprocess(v5((5, 5, 2, 2, 0.5, -1, 0), (5, 5, 2, 2, -1, 1, 1)), 0.5, -0.5)
    same(got, [[det(4, 4, 6, 6, 0, 0.0, 0)]])


def test_nan_objectness_passes_first_test_with_score_zero():
    pred = v5((5, 5, 2, 2, NAN, 0.9, 0.8))
    same(corvane.yolov5_postprocess(pred, 0.5, 0.0), [[det(4, 4, 6, 6, 0, 0.0, 0)]])
    assert corvane.yolov5_postprocess(pred, 0.5, 1e-30) == [[]]


def test_nan_threshold_keeps_every_candidate():
    pred = v8((5, 5, 2, 2, 0, 0), (50, 5, 2, 2, -3, 0.25), (90, 5, 2, 2, NAN, NAN))
    got = corvane.yolov8_det_postprocess(pred, 0.5, NAN)
    assert [(d[4], d[5], d[6]) for d in got[0]] == [(0, 0.0, 0), (0, 0.0, 2), (1, 0.25, 1)]
    assert len(corvane.yolov5_postprocess(v5((1, 1, 1, 1, -1, -1), (9, 9, 1, 1, -1, -1)), 0.5, NAN)[0]) == 2


def test_equal_class_maxima_pick_the_lowest_class():
    assert corvane.yolov8_det_postprocess(v8((5, 5, 2, 2, 0.1, 0.7, NAN, 0.7)), 0.5, 0.5)[0][0][4] == 1
    assert corvane.yolov5_postprocess(v5((5, 5, 2, 2, 0.5, 0.7, 0.9, 0.9)), 0.5, 0.1)[0][0][4] == 1


def test_negative_size_box_is_carried_unchanged():
    same(corvane.yolov8_det_postprocess(v8((10, 10, -4, -2, 0.9)), 0.5, 0.5), [[det(12, 11, 8, 9, 0, 0.9, 0)]])


def test_empty_batches_and_empty_images():
    assert corvane.yolov5_postprocess(np.zeros((0, 3, 85), F), 0.5, 0.5) == []
    assert corvane.yolov5_postprocess(np.zeros((2, 0, 85), F), 0.5, 0.5) == [[], []]
    assert corvane.yolov8_det_postprocess(np.zeros((2, 84, 0), F), 0.5, 0.0) == [[], []]
    # No decoder runs for an empty batch, so no class count is derived.
    assert corvane.yolov8_seg_postprocess(np.zeros((0, 7, 3), F), 0.5, 0.5, U64_MAX) == []
    assert corvane.yolov5_postprocess(np.zeros((0, 7, 3), F), 0.5, 0.5) == []


def realistic_v8(rng, batch=1, classes=80, anchors=8400, objects=20, extra=0):
    """Mostly low scores; a few hundred anchors above 0.25 around a few objects."""
    pred = np.zeros((batch, 4 + classes + extra, anchors), F)
    pred[:, 4:4 + classes] = rng.uniform(0, 0.05, (batch, classes, anchors))
    pred[:, 0:2] = rng.uniform(0, 640, (batch, 2, anchors))
    pred[:, 2:4] = rng.uniform(4, 60, (batch, 2, anchors))
    pred[:, 4 + classes:] = rng.normal(0, 1, (batch, extra, anchors))
    for b in range(batch):
        for _ in range(objects):
            cx, cy, w, h = rng.uniform(50, 590), rng.uniform(50, 590), rng.uniform(20, 200), rng.uniform(20, 200)
            cls = rng.integers(classes)
            hits = rng.choice(anchors, 20, replace=False)
            pred[b, 0, hits] = cx + rng.normal(0, w * 0.05, 20)
            pred[b, 1, hits] = cy + rng.normal(0, h * 0.05, 20)
            pred[b, 2, hits] = w * rng.uniform(0.85, 1.15, 20)
            pred[b, 3, hits] = h * rng.uniform(0.85, 1.15, 20)
            pred[b, 4 + cls, hits] = rng.uniform(0.2, 0.95, 20)
    return pred


def test_four_dimensional_output_is_read_as_consecutive_blocks():
    rng = np.random.default_rng(1)
    pred = realistic_v8(rng, batch=2, classes=5, anchors=300).reshape(2, 9, 100, 3)
    got = corvane.yolov8_det_postprocess(pred, 0.45, 0.25)
    same(got, ref.yolov8(pred, 0.45, 0.25))
    block0 = pred.reshape(-1)[: 9 * 100].reshape(1, 9, 100)
    same(got[0], corvane.yolov8_det_postprocess(block0, 0.45, 0.25)[0])
    v5pred = rng.uniform(0, 1, (2, 10, 8, 2)).astype(F)
    same(corvane.yolov5_postprocess(v5pred, 0.45, 0.25), ref.yolov5(v5pred, 0.45, 0.25))


@pytest.mark.parametrize("which", ["v5", "v8", "seg"])
def test_each_image_depends_only_on_its_block(which):
    rng = np.random.default_rng(2)
    if which == "v5":
        pred = rng.uniform(0, 1, (3, 200, 9)).astype(F)
        pred[..., :2] *= 100
        pred[..., 2:4] *= 30
        call = corvane.yolov5_postprocess
    else:
        pred = realistic_v8(rng, batch=3, classes=6, anchors=2100, extra=3 if which == "seg" else 0)
        call = corvane.yolov8_det_postprocess if which == "v8" else (lambda p, i, c: corvane.yolov8_seg_postprocess(p, i, c, 3))
    full = call(pred, 0.45, 0.3)
    for b in range(3):
        same(full[b], call(pred[b:b + 1].copy(), 0.45, 0.3)[0])
    changed = pred.copy()
    changed[2] = rng.permutation(changed[2].reshape(-1)).reshape(changed[2].shape)
    same(call(changed, 0.45, 0.3)[:2], full[:2])


def test_fortran_order_is_refused_and_its_c_ordered_copy_decodes():
    rng = np.random.default_rng(3)
    c_pred = realistic_v8(rng, batch=1, classes=3, anchors=50)
    fortran = np.asfortranarray(c_pred)
    assert_panics("called `Result::unwrap()` on an `Err` value: NotContiguousError",
                  corvane.yolov8_det_postprocess, fortran, 0.45, 0.25)
    same(corvane.yolov8_det_postprocess(np.ascontiguousarray(fortran), 0.45, 0.25),
         corvane.yolov8_det_postprocess(c_pred, 0.45, 0.25))


def test_segmentation_ignores_coefficients_and_keeps_the_anchor_index():
    rng = np.random.default_rng(4)
    pred = realistic_v8(rng, batch=2, classes=2, anchors=400, extra=32)
    assert pred.shape[1] == 38
    got = corvane.yolov8_seg_postprocess(pred, 0.45, 0.25, 32)
    same(got, corvane.yolov8_det_postprocess(np.ascontiguousarray(pred[:, :6]), 0.45, 0.25))
    noisy = pred.copy()
    noisy[:, 6:] = 1e9  # above every class value
    same(corvane.yolov8_seg_postprocess(noisy, 0.45, 0.25, 32), got)
    same(corvane.yolov8_seg_postprocess(pred[:, :6].copy(), 0.45, 0.25, 0), got)
    b, d = 1, got[1][0]
    coefficients = pred.reshape(-1)[b * 38 * 400:][[(6 + m) * 400 + d[6] for m in range(32)]]
    np.testing.assert_array_equal(coefficients, pred[b, 6:, d[6]])


# --- suppression -------------------------------------------------------------


def boxes(*items):
    """One-class YOLOv8 image from (x1, y1, x2, y2, score) boxes."""
    return v8(*[((x1 + x2) / 2, (y1 + y2) / 2, x2 - x1, y2 - y1, s) for x1, y1, x2, y2, s in items])


def survivors(pred, iou):
    return [d[6] for d in corvane.yolov8_det_postprocess(pred, iou, 0.0)[0]]


def test_overlap_equal_to_threshold_survives():
    pred = boxes((0, 0, 10, 10, 0.9), (5, 0, 15, 10, 0.8))
    assert ref.iou((F(0), F(0), F(10), F(10)), (F(5), F(0), F(15), F(10))) == F(0.33333331)
    assert survivors(pred, 1 / 3) == [0, 1]  # the float32 nearest 1/3 is above 0.33333331
    assert survivors(pred, float(F(0.33333331))) == [0, 1]
    assert survivors(pred, float(np.nextafter(F(0.33333331), F(0)))) == [0]


def test_disjoint_and_touching_boxes_survive_threshold_zero():
    assert survivors(boxes((0, 0, 10, 10, 0.9), (10, 0, 20, 10, 0.8), (30, 30, 40, 40, 0.7)), 0.0) == [0, 1, 2]


def test_identical_boxes_keep_the_earlier_candidate():
    pred = boxes((2, 2, 6, 6, 0.5), (2, 2, 6, 6, 0.5))
    assert survivors(pred, 0.5) == [0]
    assert survivors(pred, 1.0) == [0, 1]


@pytest.mark.parametrize("t", [-0.5, NAN])
def test_negative_or_nan_threshold_keeps_the_best_of_each_class(t):
    pred = v8((5, 5, 4, 4, 0.3, 0), (500, 5, 4, 4, 0.6, 0), (9, 9, 4, 4, 0, 0.2), (900, 9, 4, 4, 0, 0.4))
    assert [d[6] for d in corvane.yolov8_det_postprocess(pred, t, 0.1)[0]] == [1, 3]


def test_nan_coordinate_suppresses_or_is_suppressed():
    assert survivors(boxes((NAN, 0, 10, 10, 0.9), (100, 100, 110, 110, 0.5), (200, 0, 210, 5, 0.4)), 0.5) == [0]
    assert survivors(boxes((100, 100, 110, 110, 0.5), (0, NAN, 10, 10, 0.1), (200, 0, 210, 5, 0.4)), 0.5) == [0, 2]


def test_classes_never_suppress_each_other_and_come_out_grouped():
    pred = v8((5, 5, 4, 4, 0, 0.9), (5, 5, 4, 4, 0.3, 0), (5, 5, 4, 4, 0.3, 0), (50, 50, 4, 4, 0.7, 0), (90, 90, 4, 4, 0.3, 0))
    got = corvane.yolov8_det_postprocess(pred, 0.5, 0.1)[0]
    assert [(d[4], d[6]) for d in got] == [(0, 3), (0, 1), (0, 4), (1, 0)]


# --- failures ----------------------------------------------------------------

CALLS = {
    "yolov5": lambda p: corvane.yolov5_postprocess(p, 0.5, 0.5),
    "yolov8": lambda p: corvane.yolov8_det_postprocess(p, 0.5, 0.5),
    "seg": lambda p: corvane.yolov8_seg_postprocess(p, 0.5, 0.5, 0),
}


@pytest.mark.parametrize("name", CALLS)
@pytest.mark.parametrize("shape,index", [((), 1), ((7,), 1), ((7, 85), 2)])
def test_fewer_than_three_dimensions(name, shape, index):
    pred = np.zeros(shape, F)
    assert_panics(f"index out of bounds: the len is {len(shape)} but the index is {index}", CALLS[name], pred)


@pytest.mark.parametrize("name", CALLS)
def test_non_contiguous_output(name):
    pred = np.zeros((1, 90, 20), F)[:, :, ::2]
    assert_panics("called `Result::unwrap()` on an `Err` value: NotContiguousError", CALLS[name], pred)
    assert_panics("called `Result::unwrap()` on an `Err` value: NotContiguousError", CALLS[name], pred[:, :2, :, None])


@pytest.mark.parametrize("images", [None, 2**31])
@pytest.mark.parametrize("name,shape,end", [
    ("yolov5", (2, 3, 85, 0), 255), ("yolov8", (3, 84, 10, 0), 840), ("seg", (1, 6, 10, 2, 0), 60),
])
def test_zero_trailing_extent_is_the_range_failure_of_image_zero(name, shape, end, images):
    # A batch of 2**31 images takes no memory with zero strides; it must fail
    # at image 0 before anything is allocated per image.
    if images is not None:
        shape = (images, *shape[1:])
    pred = np.lib.stride_tricks.as_strided(np.zeros(1, F), shape, (0,) * len(shape))
    assert_panics(f"range end index {end} out of range for slice of length 0", CALLS[name], pred)


@pytest.mark.parametrize("shape", [(1, 3, 4), (2, 0, 0), (1, 5, 3, 2), (1, 0, 4, 0)])
def test_yolov5_negative_class_count(shape):
    assert_panics("capacity overflow", corvane.yolov5_postprocess, np.zeros(shape, F), 0.5, 0.5)


@pytest.mark.parametrize("shape", [(1, 3, 4), (2, 0, 0), (1, 1, 0)])
def test_yolov8_negative_class_count(shape):
    assert_panics("capacity overflow", corvane.yolov8_det_postprocess, np.zeros(shape, F), 0.5, 0.5)


@pytest.mark.parametrize("vec_dims", [4, 7, 9, 2**63, 2**64 - 2**58, U64_MAX - 3, U64_MAX])
def test_segmentation_negative_class_count_for_any_vec_dims(vec_dims):
    pred = np.zeros((1, 7, 3), F)
    assert_panics("capacity overflow", corvane.yolov8_seg_postprocess, pred, 0.5, 0.5, vec_dims)


@pytest.mark.parametrize("vec_dims", [-1, 2**64])
def test_segmentation_vec_dims_out_of_range(vec_dims):
    with pytest.raises(OverflowError):
        corvane.yolov8_seg_postprocess(np.zeros((1, 7, 3), F), 0.5, 0.5, vec_dims)


def test_passing_candidate_without_class_has_no_bucket():
    msg = "index out of bounds: the len is 0 but the index is 0"
    assert_panics(msg, corvane.yolov5_postprocess, np.zeros((2, 3, 5), F), 0.5, 0.0)
    assert_panics(msg, corvane.yolov8_det_postprocess, np.zeros((1, 4, 3), F), 0.5, NAN)
    assert_panics(msg, corvane.yolov8_seg_postprocess, np.zeros((1, 6, 3), F), 0.5, -1.0, 2)
    # Nothing passes: nothing needs a bucket.
    assert corvane.yolov5_postprocess(np.zeros((2, 3, 5), F), 0.5, 0.1) == [[], []]
    assert corvane.yolov8_det_postprocess(np.zeros((1, 4, 3), F), 0.5, 0.1) == [[]]


# --- agreement with the float32 reference ---------------------------------------

VALUES = [0.0, -0.0, 0.25, 0.5, 0.75, 1.0, 2.0, 3.5, 8.0, -1.0, NAN, INF, -INF, float(np.float32(1e-30)), 16.0]
THRESHOLDS = st.sampled_from([0.0, 0.25, 0.5, 0.75, -1.0, NAN, 1.0, 1 / 3])


@st.composite
def outputs(draw, min_inner):
    b = draw(st.integers(0, 3))
    n = draw(st.integers(0, 12))
    k = draw(st.integers(min_inner, min_inner + 5))
    trailing = draw(st.sampled_from([(), (), (2,)]))
    elements = st.one_of(st.sampled_from(VALUES), st.floats(-20, 20, width=32))
    pred = draw(hnp.arrays(F, (b, n, k) + trailing, elements=elements))
    if draw(st.booleans()):
        pred = np.asfortranarray(pred)
    return pred


def check(call, reference, *args):
    try:
        expected = reference(*args)
    except ref.Panic as p:
        assert_panics(str(p), call, *args)
        return
    same(call(*args), expected)


@settings(max_examples=80, deadline=None)
@given(outputs(min_inner=4), THRESHOLDS, THRESHOLDS)
def test_yolov5_matches_reference(pred, iou, conf):
    check(corvane.yolov5_postprocess, ref.yolov5, pred, iou, conf)


@settings(max_examples=80, deadline=None)
@given(outputs(min_inner=3), THRESHOLDS, THRESHOLDS)
def test_yolov8_matches_reference(pred, iou, conf):
    check(corvane.yolov8_det_postprocess, ref.yolov8, pred, iou, conf)


@settings(max_examples=60, deadline=None)
@given(outputs(min_inner=4), THRESHOLDS, THRESHOLDS, st.integers(0, 6))
def test_yolov8_seg_matches_reference(pred, iou, conf, vec_dims):
    check(corvane.yolov8_seg_postprocess, ref.yolov8, pred, iou, conf, vec_dims)


def test_large_realistic_batch_matches_reference():
    rng = np.random.default_rng(5)
    pred = realistic_v8(rng, batch=2, classes=8, anchors=3000, objects=12)
    same(corvane.yolov8_det_postprocess(pred, 0.45, 0.25), ref.yolov8(pred, 0.45, 0.25))
    v5pred = np.ascontiguousarray(pred[:, :4 + 1 + 7].transpose(0, 2, 1))
    same(corvane.yolov5_postprocess(v5pred, 0.45, 0.2), ref.yolov5(v5pred, 0.45, 0.2))


def test_agrees_with_opencv_batched_nms_on_realistic_output():
    cv2 = pytest.importorskip("cv2")
    rng = np.random.default_rng(6)
    pred = realistic_v8(rng, batch=3, classes=80, anchors=8400, objects=25)
    got = corvane.yolov8_det_postprocess(pred, 0.45, 0.25)
    for b in range(3):
        scores = pred[b, 4:]
        best, cls = scores.max(axis=0), scores.argmax(axis=0)
        keep = np.flatnonzero(best >= F(0.25))
        cx, cy, w, h = pred[b, :4, keep].T
        xywh = np.stack([cx - w * F(0.5), cy - h * F(0.5), w, h], axis=1).astype(np.float64)
        idx = cv2.dnn.NMSBoxesBatched(xywh.tolist(), best[keep].tolist(), cls[keep].tolist(), 0.0, 0.45)
        assert sorted(int(keep[i]) for i in np.ravel(idx)) == sorted(d[6] for d in got[b])
        assert len(got[b]) > 20
