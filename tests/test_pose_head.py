"""yolov8_pose_postprocess: the detection decoder's survivors, each with its keypoints."""

import hashlib
import os
import subprocess
import sys

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import corvane
import nms_reference as ref
from helpers import f32
from test_detect import THRESHOLDS, VALUES, check, realistic_v8, same

F = np.float32
NAN = float("nan")


def test_keypoints_are_triples_after_the_classes_and_follow_their_anchor():
    # Anchor 0: class values (0.1, 0.7), keypoints (1, 2, 0.5) (3, 4, 0.25);
    # anchor 1: class values (0.6, 0.2), keypoints (5, 6, 0.75) (7, 8, 1).
    pred = np.array([[10, 20], [30, 40], [4, 4], [2, 2], [0.1, 0.6], [0.7, 0.2],
                     [1, 5], [2, 6], [0.5, 0.75], [3, 7], [4, 8], [0.25, 1]], F)[None]
    expected = [[(18.0, 39.0, 22.0, 41.0, 0, f32(0.6), 1, [(5.0, 6.0, 0.75), (7.0, 8.0, 1.0)]),
                 (8.0, 29.0, 12.0, 31.0, 1, f32(0.7), 0, [(1.0, 2.0, 0.5), (3.0, 4.0, 0.25)])]]
    same(corvane.yolov8_pose_postprocess(pred, 0.5, 0.5, 2), expected)


@st.composite
def pose_outputs(draw):
    b, n = draw(st.integers(0, 2)), draw(st.integers(0, 12))
    k = draw(st.integers(0, 3))
    c = 4 + draw(st.integers(1, 3)) + 3 * k
    elements = st.one_of(st.sampled_from(VALUES), st.floats(-20, 20, width=32))
    pred = draw(hnp.arrays(F, (b, c, n), elements=elements))
    if n and draw(st.booleans()):  # identical boxes: ties decided by score, then anchor
        pred[:, :4] = pred[:, :4, :1]
    return pred, k


@settings(max_examples=80, deadline=None)
@given(pose_outputs(), THRESHOLDS, THRESHOLDS)
def test_matches_reference(case, iou, conf):
    pred, k = case
    check(corvane.yolov8_pose_postprocess, ref.yolov8_pose, pred, iou, conf, k)


WORKERS = """
import hashlib, numpy as np, corvane
pred = np.load({path!r})
print(hashlib.sha256(repr(corvane.yolov8_pose_postprocess(pred, 0.45, 0.25, 17)).encode()).hexdigest())
"""


def test_coco_layout_equals_detection_plus_gather_with_one_and_two_workers(tmp_path):
    # (2, 56, 8400): one class, 17 keypoints; anchors span several chunks.
    pred = realistic_v8(np.random.default_rng(7), batch=2, classes=1, anchors=8400, extra=51)
    boxes = corvane.yolov8_det_postprocess(np.ascontiguousarray(pred[:, :5]), 0.45, 0.25)
    triples = pred[:, 5:].reshape(2, 17, 3, 8400)
    expected = [[(*d, [tuple(map(float, t)) for t in triples[b, :, :, d[6]]]) for d in dets]
                for b, dets in enumerate(boxes)]
    assert sum(map(len, expected)) > 20
    same(corvane.yolov8_pose_postprocess(pred, 0.45, 0.25, 17), expected)
    np.save(tmp_path / "pred.npy", pred)
    for n in ("1", "2"):
        run = subprocess.run([sys.executable, "-c", WORKERS.format(path=str(tmp_path / "pred.npy"))],
                             env=dict(os.environ, RAYON_NUM_THREADS=n), capture_output=True,
                             text=True, timeout=120)
        assert run.returncode == 0, run.stderr
        assert run.stdout.strip() == hashlib.sha256(repr(expected).encode()).hexdigest()


def no_class(k, c):
    return (f"argument 'num_keypoints': {k} keypoints leave no class channel in the {c} channels"
            " of 'batch_pred' (4 box + classes + 3 per keypoint)")


@pytest.mark.parametrize("shape,k,error,message", [
    ((1, 55, 10), 17, ValueError, no_class(17, 55)),
    ((0, 10, 3), 2, ValueError, no_class(2, 10)),  # refused before any image is looked at
    ((1, 4, 3), 0, ValueError, no_class(0, 4)),  # the detection decoder would panic here
    ((1, 56, 3), 2**64 - 1, ValueError, no_class(2**64 - 1, 56)),
    ((1, 56), 17, ValueError,
     "argument 'batch_pred': expected 3 dimensions (B, 4 + classes + 3 * num_keypoints, N), got 2"),
    ((1, 56, 3, 1), 17, ValueError,
     "argument 'batch_pred': expected 3 dimensions (B, 4 + classes + 3 * num_keypoints, N), got 4"),
    ((1, 56, 3), -1, OverflowError, "can't convert negative int to unsigned"),
])
def test_refusals(shape, k, error, message):
    with pytest.raises(error) as info:
        corvane.yolov8_pose_postprocess(np.zeros(shape, F), 0.5, NAN, k)
    assert type(info.value) is error and str(info.value) == message

