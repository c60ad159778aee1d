"""Letterbox geometry answered without arrays, and AlphaPose keypoint scaling."""

import math

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import corvane
from helpers import assert_panics, f32


@pytest.mark.parametrize(
    "args, padding, auto",
    [
        ((1280, 720, 640, 640), (2.0, 0, 140, 0, 140), (2.0, 640, 360)),
        ((720, 1280, 640, 640), (2.0, 140, 0, 140, 0), (2.0, 360, 640)),
        ((1001, 500, 640, 640), (1.564062476158142, 0, 160, 0, 161), (1.564062476158142, 640, 319)),
        ((500, 1001, 640, 640), (1.564062476158142, 160, 0, 161, 0), (1.564062476158142, 319, 640)),
        ((320, 240, 640, 640), (0.5, 0, 80, 0, 80), (0.5, 640, 480)),
        ((1280, 1280, 640, 640), (2.0, 0, 0, 0, 0), (2.0, 640, 640)),
        ((1920, 1080, 640, 384), (3.0, 0, 12, 0, 12), (3.0, 640, 360)),
        ((100, 50, 0, 640), (math.inf, 0, 320, 0, 320), (math.inf, 0, 0)),
    ],
)
def test_examples(args, padding, auto):
    assert corvane.get_padding(*args) == padding
    assert corvane.get_auto_resize(*args) == auto


def test_all_zero_is_nan_and_zeros():
    ratio, *rest = corvane.get_padding(0, 0, 0, 0)
    assert math.isnan(ratio) and rest == [0, 0, 0, 0]
    ratio, *rest = corvane.get_auto_resize(0, 0, 0, 0)
    assert math.isnan(ratio) and rest == [0, 0]


def test_negative_remainder_truncates_toward_zero():
    # width -3 with a zero-width source: new_w = 0, so dw = -3 = -1 + -2.
    assert corvane.get_padding(0, 10, -3, 10) == (1.0, -1, 0, -2, 0)


def _truncate(v):
    v = np.float32(v)
    if np.isnan(v):
        return 0
    if v >= 2**31:
        return 2**31 - 1
    if v <= -(2**31):
        return -(2**31)
    return int(v)


def _reference(src_w, src_h, width, height):
    with np.errstate(all="ignore"):
        fw, fh = np.float32(src_w), np.float32(src_h)
        rw, rh = fw / np.float32(width), fh / np.float32(height)
        if rw > rh:
            ratio, new_w, new_h = rw, width, _truncate(fh / rw)
        else:
            ratio, new_w, new_h = rh, _truncate(fw / rh), height
        wrap = lambda v: (v + 2**31) % 2**32 - 2**31  # noqa: E731
        dw, dh = wrap(width - new_w), wrap(height - new_h)
        left = _truncate(np.float32(dw) * np.float32(0.5))
        top = _truncate(np.float32(dh) * np.float32(0.5))
    return (float(ratio), new_w, new_h), (float(ratio), left, top, wrap(dw - left), wrap(dh - top))


def _same(a, b):
    return all((x == y) or (isinstance(x, float) and math.isnan(x) and math.isnan(y)) for x, y in zip(a, b))


i32 = st.integers(-(2**31), 2**31 - 1)
small = st.integers(-5, 5000)


@settings(max_examples=300, deadline=None)
@given(st.tuples(st.one_of(small, i32), st.one_of(small, i32), st.one_of(small, i32), st.one_of(small, i32)))
def test_matches_float32_reference(args):
    auto, padding = _reference(*args)
    assert _same(corvane.get_auto_resize(*args), auto)
    assert _same(corvane.get_padding(*args), padding)


# -- AlphaPose -------------------------------------------------------------


@pytest.mark.parametrize("shape", [(17, 3), (1, 17, 3), (51,), (52,), (3, 3, 3, 3)])
def test_alphapose_shapes_and_values(shape):
    rng = np.random.default_rng(7)
    pred = rng.normal(0, 100, size=shape).astype(np.float32)
    scale = f32(1.37)
    flat = pred.reshape(-1)[:51].reshape(17, 3)
    expected = [
        (float(x * np.float32(scale)), float(y * np.float32(scale)), float(s)) for x, y, s in flat
    ]
    assert corvane.alphapose_postprocess(pred, 1.37) == expected


def test_alphapose_fortran_order_is_refused():
    pred = np.asfortranarray(np.arange(51, dtype=np.float32).reshape(17, 3))
    assert_panics("called `Result::unwrap()` on an `Err` value: NotContiguousError",
                  corvane.alphapose_postprocess, pred, 1.0)


@pytest.mark.parametrize("shape, n", [((50,), 50), ((0,), 0), ((), 1), ((2, 5, 5), 50)])
def test_alphapose_too_few_elements(shape, n):
    pred = np.zeros(shape, np.float32)
    assert_panics(f"index out of bounds: the len is {n} but the index is {n}",
                  corvane.alphapose_postprocess, pred, 1.0)


def test_alphapose_scale_edge_values():
    pred = np.array([[1.0, -2.0, 5.0], [np.inf, 3.0, np.nan]] + [[0, 0, -1.5]] * 15, np.float32)
    out = corvane.alphapose_postprocess(pred, 0.0)
    assert out[0][0] == 0.0 and math.copysign(1, out[0][1]) == -1.0 and out[0][2] == 5.0
    assert math.isnan(out[1][0]) and math.isnan(out[1][2])
    assert corvane.alphapose_postprocess(pred, -2.0)[0][:2] == (-2.0, 4.0)
    assert out[2][2] == -1.5


def test_alphapose_contiguity_checked_after_scale():
    pred = np.zeros((17, 6), np.float32)[:, ::2]
    with pytest.raises(TypeError, match="^argument 'scale'"):
        corvane.alphapose_postprocess(pred, "x")
    assert_panics("called `Result::unwrap()` on an `Err` value: NotContiguousError",
                  corvane.alphapose_postprocess, pred, 1.0)
