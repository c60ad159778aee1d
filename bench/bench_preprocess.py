"""Detector letterbox of a BGR frame into (3, 640, 640) float32, value byte / 255.

Members of each group:
- corvane: `yolov5_det_preprocess` into a destination filled once with the padding value
  (the call writes only the image area, so the padding survives between calls);
- opencv resize+border+blob: `cv2.resize` (nearest) + `cv2.copyMakeBorder` +
  `cv2.dnn.blobFromImage(scalefactor=1/255, swapRB=True)`;
- opencv blobFromImageWithParams: OpenCV's own letterbox mode (nearest);
- numpy fancy indexing: gather the sampled pixels, reverse channels, divide into dst;
- floor: a NumPy fill of exactly the region corvane writes (the memory-bandwidth floor).
"""

import numpy as np
import pytest

import corvane

cv2 = pytest.importorskip("cv2")

CASES = [(1280, 720), (1920, 1080), (320, 240)]
DST = 640
PAD = 114


def group(case):
    w, h = case
    return f"letterbox {w}x{h} -> 3x{DST}x{DST}"


def frame(case):
    w, h = case
    return np.random.default_rng(0).integers(0, 256, (h, w, 3), dtype=np.uint8)


def geometry(case):
    """ratio, new_w, new_h, pad_x, pad_y of the detector letterbox."""
    src, dst = frame(case), np.empty((3, DST, DST), np.float32)
    ratio, pad_x, pad_y = corvane.yolov5_det_preprocess(src, dst)
    w, h = case
    r = np.float32(ratio)
    return r, int(np.float32(w) / r), int(np.float32(h) / r), pad_x, pad_y


def padded():
    return np.full((3, DST, DST), PAD / 255, np.float32)


def numpy_letterbox(src, dst, case):
    r, new_w, new_h, pad_x, pad_y = geometry_cache[case]
    ys = (r * np.arange(new_h, dtype=np.float32)).astype(np.intp)
    xs = (r * np.arange(new_w, dtype=np.float32)).astype(np.intp)
    pixels = src[ys[:, None], xs]
    dst[:, pad_y : pad_y + new_h, pad_x : pad_x + new_w] = (
        pixels[..., ::-1].transpose(2, 0, 1).astype(np.float32) / np.float32(255)
    )
    return dst


geometry_cache = {}


@pytest.fixture(params=CASES, ids=lambda c: f"{c[0]}x{c[1]}")
def case(request, workers):
    geometry_cache.setdefault(request.param, geometry(request.param))
    return request.param


def test_corvane(benchmark, case):
    benchmark.group = group(case)
    src, dst = frame(case), padded()
    benchmark(corvane.yolov5_det_preprocess, src, dst)
    # Same bytes as the NumPy letterbox (a true float32 division by 255).
    expected = numpy_letterbox(src, padded(), case)
    assert np.array_equal(dst.view(np.uint32), expected.view(np.uint32))


def test_opencv_resize_border_blob(benchmark, case):
    benchmark.group = group(case)
    src = frame(case)
    _, new_w, new_h, pad_x, pad_y = geometry_cache[case]
    right, bottom = DST - new_w - pad_x, DST - new_h - pad_y

    def pipeline():
        small = cv2.resize(src, (new_w, new_h), interpolation=cv2.INTER_NEAREST)
        boxed = cv2.copyMakeBorder(small, pad_y, bottom, pad_x, right, cv2.BORDER_CONSTANT,
                                   value=(PAD, PAD, PAD))
        return cv2.dnn.blobFromImage(boxed, scalefactor=1 / 255, swapRB=True)

    assert benchmark(pipeline).shape == (1, 3, DST, DST)


def test_opencv_blob_letterbox(benchmark, case):
    benchmark.group = group(case)
    if not hasattr(cv2.dnn, "blobFromImageWithParams"):
        pytest.skip("this OpenCV has no blobFromImageWithParams")
    src = frame(case)
    params = cv2.dnn.Image2BlobParams()
    params.scalefactor = (1 / 255,) * 4
    params.size = (DST, DST)
    params.swapRB = True
    params.ddepth = cv2.CV_32F
    params.paddingmode = cv2.dnn.DNN_PMODE_LETTERBOX
    params.interpolation = cv2.INTER_NEAREST
    params.borderValue = (PAD,) * 4
    assert benchmark(cv2.dnn.blobFromImageWithParams, src, params).shape == (1, 3, DST, DST)


def test_numpy_fancy_indexing(benchmark, case):
    benchmark.group = group(case)
    src, dst = frame(case), padded()
    benchmark(numpy_letterbox, src, dst, case)


def test_floor_numpy_fill(benchmark, case):
    benchmark.group = group(case)
    _, new_w, new_h, pad_x, pad_y = geometry_cache[case]
    dst = padded()
    region = dst[:, pad_y : pad_y + new_h, pad_x : pad_x + new_w]
    benchmark(region.fill, 0.5)
