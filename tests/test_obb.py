"""yolov8_obb_postprocess: oriented boxes, Fast-NMS on the probabilistic IoU."""

import math
import os
import subprocess
import sys

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import corvane
import nms_reference
import obb_reference as ref
from helpers import assert_panics

F = np.float32
NAN = float("nan")
INF = float("inf")
PI = ref.PI
HALF_PI = ref.HALF_PI


def same(got, expected):
    assert nms_reference.f32_key(got) == nms_reference.f32_key(expected)


def obb(*anchors):
    """One image (1, K, N) from per-anchor (cx, cy, w, h, scores..., angle)."""
    return np.ascontiguousarray(np.array(anchors, dtype=F).T[None])


# Each exactly a float32, so that NumPy 1.x's promotion of Python floats cannot
# widen it.
VALUES = [float(F(v)) for v in (0.0, -0.0, 0.5, 1.0, 2.0, 8.0, -1.0, 500.0, -300.0, NAN, INF, -INF,
                                PI / F(4), -PI / F(4), HALF_PI, PI, -HALF_PI, 1e-30)]
THRESHOLDS = st.sampled_from([0.0, 0.25, 0.5, 0.9, 0.999, 1.0, -1.0, NAN])


@st.composite
def outputs(draw):
    b = draw(st.integers(0, 2))
    k = draw(st.integers(6, 8))
    n = draw(st.integers(0, 24))
    elements = st.one_of(st.sampled_from(VALUES), st.floats(-20, 20, width=32))
    pred = draw(hnp.arrays(F, (b, k, n), elements=elements))
    if n >= 2 and draw(st.booleans()):  # identical anchors: equal boxes, equal scores
        pred[:, :, draw(st.integers(1, n - 1))] = pred[:, :, 0]
    return pred


@settings(max_examples=150, deadline=None)
@given(outputs(), THRESHOLDS, THRESHOLDS)
def test_matches_float32_reference(pred, iou, conf):
    same(corvane.yolov8_obb_postprocess(pred, iou, conf), ref.yolov8_obb(pred, iou, conf))


def realistic(rng, batch, classes, anchors, objects):
    """Low scores everywhere; clusters of jittered rotated boxes around a few objects."""
    pred = np.empty((batch, 4 + classes + 1, anchors), F)
    pred[:, 0:2] = rng.uniform(0, 1024, (batch, 2, anchors))
    pred[:, 2:4] = rng.uniform(4, 60, (batch, 2, anchors))
    pred[:, 4:4 + classes] = rng.uniform(0, 0.05, (batch, classes, anchors))
    pred[:, -1] = rng.uniform(-math.pi / 4, 3 * math.pi / 4, (batch, anchors))
    for b in range(batch):
        for _ in range(objects):
            hits = rng.choice(anchors, 25, replace=False)
            (cx, cy), (w, h), t = rng.uniform(40, 980, 2), rng.uniform(10, 120, 2), rng.uniform(-1, 2.5)
            pred[b, 0, hits] = cx + rng.normal(0, w * 0.05, 25)
            pred[b, 1, hits] = cy + rng.normal(0, h * 0.05, 25)
            pred[b, 2, hits] = w * rng.uniform(0.85, 1.15, 25)
            pred[b, 3, hits] = h * rng.uniform(0.85, 1.15, 25)
            pred[b, -1, hits] = t + rng.normal(0, 0.05, 25)
            pred[b, 4 + rng.integers(classes), hits] = rng.uniform(0.2, 0.95, 25)
    return pred


def test_realistic_output_matches_reference():
    # Classes of up to a few hundred candidates, most pairs far apart.
    pred = realistic(np.random.default_rng(1), batch=1, classes=2, anchors=1500, objects=14)
    pred[0, 4, :150] = 0.3  # equal scores over the whole image
    for iou in (0.45, 0.0):  # at 0 any pair closer than bd = 16 overlaps
        got = corvane.yolov8_obb_postprocess(pred, iou, 0.25)
        same(got, ref.yolov8_obb(pred, iou, 0.25))
        assert len(got[0]) > (100 if iou else 10)


def test_fast_nms_drops_what_only_a_dropped_box_overlaps():
    # A overlaps B and B overlaps C, but A and C are apart: greedy keeps A
    # and C, Fast-NMS keeps A only.
    pred = obb((0, 0, 10, 10, 0.9, 0), (6, 0, 10, 10, 0.8, 0), (12, 0, 10, 10, 0.7, 0))
    g = [ref.gaussian(*map(F, (x, 0, 10, 10, 0))) for x in (0, 6, 12)]
    t = F(0.3)
    assert ref.probiou(g[0], g[1]) > t and ref.probiou(g[1], g[2]) > t >= ref.probiou(g[0], g[2])
    greedy = []
    for k in range(3):
        if all(ref.probiou(g[i], g[k]) <= t for i in greedy):
            greedy.append(k)
    assert greedy == [0, 2]
    assert [d[7] for d in corvane.yolov8_obb_postprocess(pred, 0.3, 0.5)[0]] == [0]


@pytest.mark.parametrize("t", [0.001, 0.1, 0.45, 0.9, 0.999, 0.9997, 1.0, 0.0])
def test_keep_or_drop_follows_the_overlap_across_the_threshold(t):
    # The second box slides away from the first in steps fine enough that
    # some pairs land within a percent of the threshold's distance.
    n = 4001
    dx = np.linspace(0, 40, n, dtype=F)
    pred = np.zeros((n, 6, 2), F)
    pred[:, :, 0] = (0, 0, 10, 6, 0.9, 0.3)
    pred[:, :, 1] = np.stack([dx, dx * F(0.5), np.full(n, 10.4), np.full(n, 6.2), np.full(n, 0.8), np.full(n, 0.35)], 1)
    first = ref.gaussian(*pred[0, [0, 1, 2, 3, 5], 0])
    expected = [1 + bool(ref.probiou(first, ref.gaussian(*pred[b, [0, 1, 2, 3, 5], 1])) <= F(t)) for b in range(n)]
    assert [len(image) for image in corvane.yolov8_obb_postprocess(pred, t, 0.5)] == expected
    assert set(expected) == ({2} if t > 0.99 else {1, 2})


@pytest.mark.parametrize("angle, swapped, expected", [
    (PI / F(4), False, PI / F(4)),
    (HALF_PI, True, F(0)),
    (-PI / F(4), True, PI / F(4)),  # -pi/4 + pi/2 rounds to pi/4
    (F(3) * PI / F(4), True, F(3) * PI / F(4) - HALF_PI),
    (PI, False, F(0)),
    (-HALF_PI, True, F(0)),  # -0 from the exact remainder comes back as +0
    (F(-1e-10), True, HALF_PI),  # pi/2 - 1e-10 rounds to pi/2
    (F(7.5), False, F(7.5 - 4 * float(HALF_PI))),  # 7.5 mod pi = 1.217: no swap
    (F(5.0), True, F(5.0 - 3 * float(HALF_PI))),  # 5 mod pi = 1.858: swap
    (F(NAN), False, F(NAN)),
])
def test_angle_is_regularised_and_size_swapped(angle, swapped, expected):
    (d,) = corvane.yolov8_obb_postprocess(obb((5, 6, 30, 10, 0.9, angle)), 0.5, 0.5)[0]
    same(d[:5], (5.0, 6.0, 10.0 if swapped else 30.0, 30.0 if swapped else 10.0, float(expected)))


@pytest.mark.parametrize("shape, message", [
    ((1, 5, 10), "expected (B, 4 + nc + 1, N) with nc >= 1 classes, got 5 channels"),
    ((0, 0, 0), "expected (B, 4 + nc + 1, N) with nc >= 1 classes, got 0 channels"),
    ((20, 8400), "expected 3 dimensions (B, 4 + nc + 1, N), got 2"),
    ((1, 20, 8400, 1), "expected 3 dimensions (B, 4 + nc + 1, N), got 4"),
])
def test_bad_shapes_are_refused_before_any_image(shape, message):
    with pytest.raises(ValueError) as info:
        corvane.yolov8_obb_postprocess(np.zeros(shape, F), 0.5, 0.0)
    assert str(info.value) == f"argument 'batch_pred': {message}"


def test_empty_batches_and_layout_failures():
    assert corvane.yolov8_obb_postprocess(np.zeros((0, 6, 4), F), 0.5, 0.0) == []
    assert corvane.yolov8_obb_postprocess(np.zeros((2, 20, 0), F), 0.5, 0.0) == [[], []]
    assert_panics("called `Result::unwrap()` on an `Err` value: NotContiguousError",
                  corvane.yolov8_obb_postprocess, np.zeros((1, 20, 8), F)[:, :, ::2], 0.5, 0.0)


def test_same_results_with_one_and_two_workers():
    # Enough candidates per class for the classes to be spread over the pool.
    script = (
        "import hashlib, sys, numpy as np, corvane, test_obb\n"
        "pred = test_obb.realistic(np.random.default_rng(2), 2, 15, 21504, 60)\n"
        "out = [corvane.yolov8_obb_postprocess(pred, t, 0.2) for t in (0.45, 0.0)]\n"
        "print(sum(map(len, out[0])), hashlib.sha256(repr(out).encode()).hexdigest())\n"
    )
    here = os.path.dirname(__file__)
    runs = {n: subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120, cwd=here,
                              env={**os.environ, "RAYON_NUM_THREADS": n, "PYTHONPATH": os.pathsep.join(sys.path)})
            for n in ("1", "2")}
    assert all(r.returncode == 0 for r in runs.values()), runs
    assert runs["1"].stdout == runs["2"].stdout and int(runs["1"].stdout.split()[0]) > 100
