"""Affine person crops and their decode: bit for bit against NumPy transcriptions of the
documented arithmetic, byte for byte against cv2.warpAffine, refusals that write nothing."""

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import corvane
from helpers import assert_same_f32
from test_rtmpose import SPECIALS, ref_peak

F = np.float32
MEAN = np.array([123.675, 116.28, 103.53], F)[:, None, None]  # planes R, G, B
STD = np.array([58.395, 57.12, 57.375], F)[:, None, None]
SENTINEL = np.array(0x7FC0DEAD, np.uint32).view(F)


def fma32(a, b, c):
    """float32(a * b + c) rounded once: the exact product in double, an exact two-sum,
    the double sum rounded to odd, then to float32."""
    a, b, c = (np.asarray(v, np.float64) for v in (a, b, c))
    p = a * b
    s = p + c
    bp = s - c
    err = (p - (s - bp)) + (c - bp)
    inexact_even = (err != 0) & ((s.view(np.uint64) & 1) == 0)
    s = np.where(inexact_even, np.nextafter(s, np.where(err > 0, np.inf, -np.inf)), s)
    return s.astype(F)


def ref_crop(box, width, height):
    x1, y1, x2, y2 = (float(v) for v in box[:4])
    sw, sh = (x2 - x1) * 1.25, (y2 - y1) * 1.25
    aspect = width / height
    sw, sh = (sw, sw / aspect) if sw > sh * aspect else (sh * aspect, sh)
    return (x1 + x2) * 0.5, (y1 + y2) * 0.5, sw, sh


def ref_taps(a, b, n, extent):
    """Left tap (index into a frame padded by two zero pixels on each side) and
    fraction of positions a * i + b, i < n."""
    s = a * np.arange(n, dtype=np.float64) + b
    first = np.floor(s)
    return np.clip(first, -2, extent).astype(np.int64) + 2, (s - first).astype(F)


def ref_warp(frame, crop, width, height):
    """The (3, H, W) values of one crop, written from the documented arithmetic."""
    cx, cy, sw, sh = crop
    k = width / sw
    tx, ty = width * 0.5 - cx * k, height * 0.5 - cy * k
    a = k * (1.0 / (k * k))
    h, w = frame.shape[:2]
    ix, fx = ref_taps(a, -(a * tx), width, w)
    iy, fy = ref_taps(a, -(a * ty), height, h)
    padded = np.zeros((h + 4, w + 4, 3), F)
    padded[2 : h + 2, 2 : w + 2] = frame
    p = [padded[(iy + dy)[:, None], ix + dx] for dy in (0, 1) for dx in (0, 1)]
    fx, fy = fx[None, :, None], fy[:, None, None]
    r0, r1 = fma32(fx, p[1] - p[0], p[0]), fma32(fx, p[3] - p[2], p[2])
    v = np.rint(fma32(fy, r1 - r0, r0))
    return (v[..., ::-1].transpose(2, 0, 1) - MEAN) / STD


coordinate = st.one_of(st.integers(-50, 90), st.floats(-50, 90, width=32), st.sampled_from([0.5, 10.5, -0.5]))


@st.composite
def scenes(draw):
    h, w = draw(st.integers(1, 30)), draw(st.integers(1, 30))
    frame = np.random.default_rng(draw(st.integers(0, 99))).integers(0, 256, (h, w, 3), dtype=np.uint8)
    boxes = []
    for _ in range(draw(st.integers(0, 3))):
        x1, y1 = draw(coordinate), draw(coordinate)
        side = st.integers(0, 60) | st.floats(0.01, 60)
        x2, y2 = x1 + draw(side), y1 + draw(side)
        if (x1, y1) == (x2, y2):
            x2 += 1
        # Plain boxes and the module's detection tuples alike.
        boxes.append(draw(st.sampled_from([(x1, y1, x2, y2), (x1, y1, x2, y2, 0, 0.9, 7)])))
    size = (draw(st.integers(1, 40)), draw(st.integers(1, 40)))  # W, H
    return frame, boxes, size, draw(st.integers(0, 1))


@settings(max_examples=60, deadline=None)
@given(scene=scenes())
def test_crops_are_the_documented_arithmetic(scene):
    frame, boxes, (width, height), spare = scene
    dst = np.full((len(boxes) + spare, 3, height, width), SENTINEL, F)
    crops = corvane.rtmpose_affine_preprocess(frame, boxes, dst)
    assert crops == [ref_crop(b, width, height) for b in boxes]
    assert all(type(v) is float for c in crops for v in c)
    for i, crop in enumerate(crops):
        assert_same_f32(dst[i], ref_warp(frame, crop, width, height))
    assert_same_f32(dst[len(boxes) :], np.full_like(dst[len(boxes) :], SENTINEL))


def as_bytes(values):
    """The bytes that (3, H, W) normalised planes came from, as (H, W, 3) BGR."""
    table = (np.arange(256, dtype=F)[None, :] - MEAN[:, :, 0]) / STD[:, :, 0]  # (plane, byte)
    planes = [np.searchsorted(table[p], values[p]) for p in range(3)]
    return np.stack(planes[::-1], axis=-1)


@pytest.mark.parametrize(
    "frame_shape, size, persons, seed, exact",
    [
        ((1080, 1920), (192, 256), 8, 0, True),
        ((37, 53), (13, 7), 6, 1, True),
        ((200, 300), (48, 64), 8, 3, True),
        ((300, 2), (288, 384), 6, 5, False),
        ((1, 300), (288, 384), 6, 5, False),
    ],
)
def test_crops_equal_opencv_warp(frame_shape, size, persons, seed, exact):
    cv2 = pytest.importorskip("cv2")
    rng = np.random.default_rng(seed)
    h, w = frame_shape
    frame = rng.integers(0, 256, (h, w, 3), dtype=np.uint8)
    corners = rng.uniform((-0.4 * w, -0.4 * h), (w, h), (persons, 2))
    boxes = np.hstack([corners, corners + rng.uniform(0.5, (1.2 * w, 1.2 * h), (persons, 2))])
    dst = np.empty((persons, 3, size[1], size[0]), F)
    ours, theirs = [], []
    for crop, got in zip(corvane.rtmpose_affine_preprocess(frame, boxes, dst), dst):
        cx, cy, sw, _ = crop
        k = size[0] / sw
        forward = np.array([[k, 0, size[0] * 0.5 - cx * k], [0, k, size[1] * 0.5 - cy * k]])
        warped = cv2.warpAffine(frame, forward, size, flags=cv2.INTER_LINEAR).reshape(size[1], size[0], 3)
        assert_same_f32(got, ref_warp(frame, crop, *size))
        ours.append(as_bytes(got).astype(int))
        theirs.append(warped.astype(int))
    difference = np.abs(np.array(ours) - np.array(theirs))
    if exact:
        assert difference.max() == 0
    else:
        # Frames one or two pixels thin: OpenCV takes positions next to the
        # border in float32, which moves a few samples within 0.002 of a half.
        assert difference.max() <= 1 and (difference == 0).mean() >= 0.9998


def frame16():
    return np.zeros((16, 16, 3), np.uint8)


@pytest.mark.parametrize(
    "frame, boxes, dst_shape, error, message",
    [
        (np.zeros((16, 16), np.uint8), [(0, 0, 4, 4)], (1, 3, 8, 6), ValueError,
         "argument 'frame': expected shape (h, w, 3), got (16, 16)"),
        (frame16(), [(0, 0, 4, 4)], (3, 8, 6), ValueError,
         "argument 'dst': expected shape (N, 3, H, W) with H, W > 0, got (3, 8, 6)"),
        (frame16(), [(0, 0, 4, 4)] * 3, (2, 3, 8, 6), ValueError,
         "argument 'dst': expected N >= 3 (one image per box), got shape (2, 3, 8, 6)"),
        (frame16(), [(0, 0, 4)], (1, 3, 8, 6), ValueError,
         "argument 'boxes': box 0 has 3 items, expected (x1, y1, x2, y2, ...) with x1 <= x2, y1 <= y2"),
        (frame16(), [(0, 0, 4, 4), (0, 0, float("nan"), 4)], (2, 3, 8, 6), ValueError,
         "argument 'boxes': box 1 is not finite, expected (x1, y1, x2, y2, ...) with x1 <= x2, y1 <= y2"),
        (frame16(), [(5, 0, 4, 4)], (1, 3, 8, 6), ValueError,
         "argument 'boxes': box 0 is empty or reversed, expected (x1, y1, x2, y2, ...) with x1 <= x2, y1 <= y2"),
        (frame16(), [(0, 0, 5e-324, 0)], (1, 3, 8, 6), ValueError,
         "argument 'boxes': box 0 is too small or too large to crop"),
        (frame16(), [(0, 0, "4", 4)], (1, 3, 8, 6), TypeError, "argument 'boxes': must be real number, not str"),
        (frame16(), "0044", (1, 3, 8, 6), TypeError, "argument 'boxes': 'str' object cannot be converted to 'Sequence'"),
    ],
)
def test_refusals_leave_dst_unchanged(frame, boxes, dst_shape, error, message):
    dst = np.full(dst_shape, SENTINEL, F)
    with pytest.raises(error) as info:
        corvane.rtmpose_affine_preprocess(frame, boxes, dst)
    assert type(info.value) is error and str(info.value) == message
    assert_same_f32(dst, np.full(dst_shape, SENTINEL, F))


def ref_decode(x, y, crops):
    width, height = x.shape[2] * 0.5, y.shape[2] * 0.5
    out = []
    for i, (cx, cy, sw, sh) in enumerate(crops):
        keypoints = []
        for j in range(17):
            (ix, mx), (iy, my) = ref_peak(x[i, j]), ref_peak(y[i, j])
            lx, ly = float(F(ix) * F(0.5)), float(F(iy) * F(0.5))
            keypoints.append((lx / width * sw + cx - sw * 0.5, ly / height * sh + cy - sh * 0.5, my if mx > my else mx))
        out.append(keypoints)
    return np.array(out, F).reshape(len(crops), 17, 3)


@st.composite
def simcc(draw):
    """Outputs of small integers (ties) mixed with NaN, infinities and the search's start value."""
    n, spare, k = draw(st.integers(0, 3)), draw(st.integers(0, 1)), draw(st.integers(17, 19))
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))

    def output(bins):
        values = rng.integers(-2, 3, (n + spare, k, bins)).astype(F)
        special = rng.random(values.shape) < 0.2
        values[special] = rng.choice(SPECIALS, special.sum())
        return values

    x, y = output(draw(st.integers(1, 12))), output(draw(st.integers(1, 12)))
    finite = st.floats(-1e4, 1e4)
    crops = [(draw(finite), draw(finite), draw(st.floats(0.1, 1e4)), draw(st.floats(0.1, 1e4))) for _ in range(n)]
    return x, y, crops


@settings(max_examples=60, deadline=None)
@given(case=simcc())
def test_decode_is_the_documented_mapping(case):
    x, y, crops = case
    result = corvane.rtmpose_affine_postprocess(x, y, crops)
    assert type(result) is list and all(type(v) is float for crop in result for kp in crop for v in kp)
    assert_same_f32(np.array(result, F).reshape(len(crops), 17, 3), ref_decode(x, y, crops))


def test_decode_maps_the_input_centre_to_the_box_centre():
    frame = np.zeros((480, 640, 3), np.uint8)
    crops = corvane.rtmpose_affine_preprocess(frame, [(100.0, 40.0, 220.0, 400.0)], np.empty((1, 3, 256, 192), F))
    x, y = np.zeros((1, 17, 384), F), np.zeros((1, 17, 512), F)
    x[..., 192], y[..., 256] = 1, 1  # bins of input pixel (96, 128), the centre
    assert corvane.rtmpose_affine_postprocess(x, y, crops)[0] == [(160.0, 220.0, 1.0)] * 17


SIMCC = np.zeros((2, 17, 8), F)


@pytest.mark.parametrize(
    "x, y, crops, message",
    [
        (np.zeros((2, 16, 8), F), SIMCC, [(1, 1, 2, 2)],
         "argument 'batch_pred_x': expected shape (N, K, L) with K >= 17 and L > 0, got (2, 16, 8)"),
        (SIMCC, np.zeros((2, 17, 0), F), [(1, 1, 2, 2)],
         "argument 'batch_pred_y': expected shape (N, K, L) with K >= 17 and L > 0, got (2, 17, 0)"),
        (SIMCC, SIMCC, [(1, 1, 2, 2)] * 3, "argument 'batch_pred_x': expected N >= 3 (one image per crop), got shape (2, 17, 8)"),
        (SIMCC, SIMCC, [(1.5, 0, 0)], "argument 'crops': crop 0 has 3 items, expected (cx, cy, sw, sh) with sw, sh > 0"),
        (SIMCC, SIMCC, [(1, 1, 2, 2), (1, 1, 0, 2)],
         "argument 'crops': crop 1 has a size <= 0, expected (cx, cy, sw, sh) with sw, sh > 0"),
        (SIMCC, SIMCC, [(1, float("inf"), 2, 2)], "argument 'crops': crop 0 is not finite, expected (cx, cy, sw, sh) with sw, sh > 0"),
    ],
)
def test_decode_refusals(x, y, crops, message):
    with pytest.raises(ValueError) as info:
        corvane.rtmpose_affine_postprocess(x, y, crops)
    assert str(info.value) == message
