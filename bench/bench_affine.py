"""RTMPose affine crops: 8 person boxes of a 1920x1080 BGR frame into (8, 3, 256, 192) float32.

Members of each group:
- corvane: `rtmpose_affine_preprocess`, every value of the 8 crops written;
- opencv warpAffine + numpy: per box the top-down affine matrix, `cv2.warpAffine`
  (INTER_LINEAR, border 0), then channels reversed and (v - mean) / std into dst;
- floor: a NumPy fill of the same destination (the bytes written, nothing read).
"""

import numpy as np
import pytest

import corvane

cv2 = pytest.importorskip("cv2")

W, H = 192, 256
PERSONS = 8
GROUP = f"rtmpose affine crops: {PERSONS} persons 1920x1080 -> ({PERSONS},3,{H},{W})"
MEAN = np.array([123.675, 116.28, 103.53], np.float32)[:, None, None]  # R, G, B planes
STD = np.array([58.395, 57.12, 57.375], np.float32)[:, None, None]


def scene():
    rng = np.random.default_rng(0)
    frame = rng.integers(0, 256, (1080, 1920, 3), dtype=np.uint8)
    boxes = []
    for _ in range(PERSONS):  # people 80-250 pixels wide, 200-450 tall
        x1, y1 = rng.uniform(0, 1700), rng.uniform(0, 600)
        boxes.append((x1, y1, x1 + rng.uniform(80, 250), y1 + rng.uniform(200, 450)))
    return frame, boxes, np.empty((PERSONS, 3, H, W), np.float32)


def matrix(box):
    """The forward matrix of the crop: centre to the input's centre at scale W / sw."""
    x1, y1, x2, y2 = box
    cx, cy = (x1 + x2) * 0.5, (y1 + y2) * 0.5
    sw, sh = (x2 - x1) * 1.25, (y2 - y1) * 1.25
    sw = sw if sw > sh * (W / H) else sh * (W / H)
    k = W / sw
    return np.array([[k, 0.0, W * 0.5 - cx * k], [0.0, k, H * 0.5 - cy * k]])


def opencv_numpy(frame, boxes, dst):
    for box, out in zip(boxes, dst):
        crop = cv2.warpAffine(frame, matrix(box), (W, H), flags=cv2.INTER_LINEAR)
        np.subtract(crop.transpose(2, 0, 1)[::-1], MEAN, out=out, dtype=np.float32)
        np.divide(out, STD, out=out)
    return dst


def test_corvane(benchmark, workers):
    benchmark.group = GROUP
    frame, boxes, dst = scene()
    benchmark(corvane.rtmpose_affine_preprocess, frame, boxes, dst)
    # The same bits as OpenCV's warp followed by the float32 normalisation.
    expected = opencv_numpy(frame, boxes, np.empty_like(dst))
    assert np.array_equal(dst.view(np.uint32), expected.view(np.uint32))


def test_opencv_warpaffine_numpy(benchmark, workers):
    benchmark.group = GROUP
    frame, boxes, dst = scene()
    benchmark(opencv_numpy, frame, boxes, dst)


def test_floor_numpy_fill(benchmark, workers):
    benchmark.group = GROUP
    _, _, dst = scene()
    benchmark(dst.fill, 0.5)
