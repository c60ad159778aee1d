"""Bilinear detector letterbox of a BGR frame into float32 (3, D, D), value byte / 255, pad 114.

Members of each group:
- corvane: `letterbox_linear`, which writes the whole destination (margins included);
- opencv resize+border+blob: `cv2.resize` (INTER_LINEAR) + `cv2.copyMakeBorder` +
  `cv2.dnn.blobFromImage(scalefactor=1/255, swapRB=True)`, the training pipeline's steps;
- floor: one NumPy pass that writes the whole destination (the memory-bandwidth floor).
"""

import numpy as np
import pytest

import corvane

cv2 = pytest.importorskip("cv2")

CASES = [((1280, 720), 640), ((1920, 1080), 640), ((320, 240), 640), ((1096, 847), 1024)]
PAD = 114


def group(case):
    (w, h), d = case
    return f"bilinear letterbox {w}x{h} -> 3x{d}x{d}"


def frame(case):
    (w, h), _ = case
    return np.random.default_rng(0).integers(0, 256, (h, w, 3), dtype=np.uint8)


def destination(case):
    return np.empty((3, case[1], case[1]), np.float32)


def opencv_pipeline(case):
    """The OpenCV calls for this case, sized and placed as the training pipeline does."""
    (w, h), d = case
    src = frame(case)
    r = min(d / h, d / w)
    new_w, new_h = round(w * r), round(h * r)
    left, top = round((d - new_w) / 2 - 0.1), round((d - new_h) / 2 - 0.1)

    def pipeline():
        small = cv2.resize(src, (new_w, new_h), interpolation=cv2.INTER_LINEAR)
        boxed = cv2.copyMakeBorder(small, top, d - new_h - top, left, d - new_w - left,
                                   cv2.BORDER_CONSTANT, value=(PAD, PAD, PAD))
        return cv2.dnn.blobFromImage(boxed, scalefactor=1 / 255, swapRB=True)

    return pipeline


@pytest.fixture(params=CASES, ids=lambda c: f"{c[0][0]}x{c[0][1]}")
def case(request, workers):
    return request.param


def test_corvane(benchmark, case):
    benchmark.group = group(case)
    src, dst = frame(case), destination(case)
    benchmark(corvane.letterbox_linear, src, dst, PAD)
    # The same bytes as OpenCV's resize (blobFromImage's float product may differ in the last bit).
    blob = opencv_pipeline(case)()[0]
    assert np.array_equal(np.round(dst * 255), np.round(blob * 255))


def test_opencv_resize_border_blob(benchmark, case):
    benchmark.group = group(case)
    assert benchmark(opencv_pipeline(case)).shape == (1, 3, case[1], case[1])


def test_floor_numpy_fill(benchmark, case):
    benchmark.group = group(case)
    benchmark(destination(case).fill, 0.5)
