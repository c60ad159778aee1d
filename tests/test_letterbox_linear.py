"""Bilinear letterbox: OpenCV's bytes, the training pipeline's geometry, the whole dst written."""

import hashlib
import os
import subprocess
import sys

import numpy as np
import pytest

import corvane
from helpers import assert_panics, bits

cv2 = pytest.importorskip("cv2")

F = np.float32
UNIT = np.arange(256, dtype=F) / F(255)  # byte -> float32(byte) / 255.0f
GUARD = 64
SENTINEL = np.array([0x7FC0DEAD], np.uint32).view(F)[0]


def geometry(w, h, dst_w, dst_h):
    """The fit as the training pipeline computes it, in Python floats (round is half-even)."""
    r = min(dst_h / h, dst_w / w)
    new_w, new_h = round(w * r), round(h * r)
    return r, new_w, new_h, round((dst_w - new_w) / 2 - 0.1), round((dst_h - new_h) / 2 - 0.1)


def guarded(dst_h, dst_w):
    """A (3, dst_h, dst_w) view with GUARD sentinel values before and after it."""
    size = 3 * dst_h * dst_w
    raw = np.full(size + 2 * GUARD, SENTINEL, F)
    return raw, raw[GUARD:GUARD + size].reshape(3, dst_h, dst_w)


CASES = [  # (h, w), (dst_h, dst_w)
    ((720, 1280), (640, 640)),
    ((1080, 1920), (640, 640)),
    ((240, 320), (640, 640)),          # upscale 2x
    ((847, 1096), (1024, 1024)),
    ((1280, 1277), (640, 640)),        # 638.5 -> 638
    ((600, 600), (100, 100)),          # 6x
    ((500, 400), (100, 80)),           # 5x
    ((300, 400), (75, 100)),           # 4x
    ((500, 400), (250, 333)),          # 2x, exact
    ((90, 120), (30, 40)),             # 3x, exact
    ((333, 400), (250, 200)),          # 2x across, 333 -> 166 down
    ((100, 300), (45, 100)),           # 3x across, 100 -> 33 down
    ((97, 61), (97, 200)),             # same size: copied
    ((97, 61), (300, 61)),             # width kept, height resampled
    ((7, 1), (64, 64)),                # one pixel wide
    ((1, 9), (64, 64)),                # one pixel high
    ((1, 1), (5, 3)),
    ((7, 4000), (96, 640)),            # very wide: one row
    ((2, 2), (901, 901)),
]


@pytest.mark.parametrize("src_shape, dst_shape", CASES + [
    ((int(h), int(w)), (int(dh), int(dw)))
    for h, w, dh, dw in np.random.default_rng(11).integers(1, 700, (12, 4))
])
def test_equals_opencv_resize_placed_as_trained(src_shape, dst_shape):
    (h, w), (dst_h, dst_w) = src_shape, dst_shape
    rng = np.random.default_rng(h * 7919 + w)
    src = rng.integers(0, 256, (h, w, 3), dtype=np.uint8)
    pad = int(rng.integers(0, 256))
    r, new_w, new_h, left, top = geometry(w, h, dst_w, dst_h)
    raw, dst = guarded(dst_h, dst_w)

    assert corvane.letterbox_linear(src, dst, pad) == (float(F(1 / r)), left, top)

    boxed = np.full((dst_h, dst_w, 3), pad, np.uint8)
    boxed[top:top + new_h, left:left + new_w] = cv2.resize(src, (new_w, new_h),
                                                            interpolation=cv2.INTER_LINEAR)
    np.testing.assert_array_equal(bits(dst), bits(UNIT[boxed[..., ::-1].transpose(2, 0, 1)]))
    assert (bits(raw[:GUARD]) == bits(SENTINEL)).all() and (bits(raw[-GUARD:]) == bits(SENTINEL)).all()


def test_every_byte_becomes_its_float32_quotient():
    src = (np.arange(768) % 256).astype(np.uint8).reshape(1, 256, 3)
    dst = np.empty((3, 1, 256), F)
    corvane.letterbox_linear(src, dst, 0)
    np.testing.assert_array_equal(bits(dst), bits(UNIT[src[0, :, ::-1].T[:, None, :]]))


def test_geometry_on_random_sizes():
    """All-black image, white margins: the white frame shows where the image landed."""
    rng = np.random.default_rng(26)
    ties = 0
    for w, h, dst_w, dst_h in rng.integers(1, 48, (10_000, 4)):
        r, new_w, new_h, left, top = geometry(int(w), int(h), int(dst_w), int(dst_h))
        ties += (w * r) % 1 == 0.5 or (h * r) % 1 == 0.5
        if new_w == 0 or new_h == 0:
            continue
        dst = np.empty((3, dst_h, dst_w), F)
        got = corvane.letterbox_linear(np.zeros((h, w, 3), np.uint8), dst, 255)
        assert got == (float(F(1 / r)), left, top)
        rows, cols = np.nonzero(dst[0] == 0)
        assert (rows.min(), rows.max() + 1, cols.min(), cols.max() + 1) == (top, top + new_h, left, left + new_w)
        assert np.count_nonzero(dst == 0) == 3 * new_w * new_h and np.count_nonzero(dst == 1) == dst.size - 3 * new_w * new_h
    assert ties > 300  # the half-even rule was exercised


def image(h, w):
    return np.zeros((h, w, 3), np.uint8)


DST_SHAPE = "argument 'dst': expected float32 planes of shape (3, H, W) with H, W >= 1, got "
SRC_SHAPE = "argument 'src': expected a BGR image of shape (h, w, 3) with h, w >= 1, got "


@pytest.mark.parametrize("src, dst, pad, error, message", [
    (image(4, 4), np.zeros((8, 8, 3), F), 0, ValueError, DST_SHAPE + "(8, 8, 3)"),
    (image(4, 4), np.zeros((1, 3, 8, 8), F), 0, ValueError, DST_SHAPE + "(1, 3, 8, 8)"),
    (image(4, 4), np.zeros((4, 8, 8), F), 0, ValueError, DST_SHAPE + "(4, 8, 8)"),
    (image(4, 4), np.zeros((3, 0, 8), F), 0, ValueError, DST_SHAPE + "(3, 0, 8)"),
    (np.zeros((4, 4), np.uint8), np.zeros((3, 8, 8), F), 0, ValueError, SRC_SHAPE + "(4, 4)"),
    (np.zeros((4, 4, 4), np.uint8), np.zeros((3, 8, 8), F), 0, ValueError, SRC_SHAPE + "(4, 4, 4)"),
    (image(0, 4), np.zeros((3, 8, 8), F), 0, ValueError, SRC_SHAPE + "(0, 4, 3)"),
    (image(1, 100), np.zeros((3, 8, 8), F), 0, ValueError,
     "argument 'src': a 100x1 image fitted into 8x8 is 8x0 pixels: nothing to resample"),
    (image(4, 4), np.zeros((3, 8, 8), F), 256, OverflowError, "out of range integral type conversion attempted"),
    (image(4, 4), np.zeros((3, 8, 8), F), -1, OverflowError, "can't convert negative int to unsigned"),
    (image(4, 4), np.zeros((3, 8, 8), F), 1.0, TypeError,
     "argument 'pad_value': 'float' object cannot be interpreted as an integer"),
    (image(4, 4).astype(F), np.zeros((3, 8, 8), F), 0, TypeError, None),
    (image(4, 4), np.zeros((3, 8, 8), np.float64), 0, TypeError, None),
    (image(4, 8)[:, ::2], np.zeros((3, 8, 8), F), 0, corvane.PanicException,
     "called `Result::unwrap()` on an `Err` value: NotContiguousError"),
])
def test_refusals_leave_dst_unchanged(src, dst, pad, error, message):
    dst[...] = SENTINEL
    if error is corvane.PanicException:
        assert_panics(message, corvane.letterbox_linear, src, dst, pad)
    else:
        with pytest.raises(error) as info:
            corvane.letterbox_linear(src, dst, pad)
        assert type(info.value) is error
        if message is not None:
            assert str(info.value) == message
    assert (bits(dst) == bits(SENTINEL)).all()


DIGEST = """
import hashlib, numpy as np, corvane
rng = np.random.default_rng(4)
digest = hashlib.sha256()
for (h, w), (dh, dw) in [((1080, 1920), (640, 640)), ((240, 320), (640, 640)), ((847, 1096), (1024, 1024)),
                         ((3, 2), (300, 100))]:
    dst = np.empty((3, dh, dw), np.float32)
    digest.update(repr(corvane.letterbox_linear(rng.integers(0, 256, (h, w, 3), np.uint8), dst, 114)).encode())
    digest.update(dst.tobytes())
print(digest.hexdigest())
"""


def test_identical_for_one_and_two_workers():
    outputs = set()
    for n in ("1", "2"):
        run = subprocess.run([sys.executable, "-c", DIGEST], env=dict(os.environ, RAYON_NUM_THREADS=n),
                             capture_output=True, text=True, timeout=120)
        assert run.returncode == 0, run.stderr
        outputs.add(run.stdout)
    assert len(outputs) == 1
