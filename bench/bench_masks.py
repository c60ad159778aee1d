"""Instance masks of YOLOv8 segmentation in source pixels.

A 1280x720 frame letterboxed to 640x640 (ratio 2, pad_y 140), prototypes
(1, 32, 160, 160), 20 detections with boxes of 40 to 300 model pixels.

Members of the group:
- corvane: yolov8_seg_masks into a (20, 720, 1280) uint8 destination;
- numpy + cv2: the glue users write today: coefficients @ flattened prototypes,
  crop of the padding, cv2.resize of each logit map to the source size
  (bilinear), crop to the box, > 0;
- floor: a NumPy fill of just the box rectangles of the destination.
"""

import numpy as np
import pytest

import corvane

F = np.float32
SRC_W, SRC_H, IN = 1280, 720, 640
RATIO, PAD_X, PAD_Y = 2.0, 0, 140
M, MH, MW, ANCHORS = 32, 160, 160, 8400


def make_scene():
    rng = np.random.default_rng(14)
    pred = rng.standard_normal((1, 4 + 80 + M, ANCHORS), dtype=F)
    # Smooth prototypes, as a model's are: low-frequency waves.
    grid = np.linspace(0, 1, MH, dtype=F)
    protos = np.stack([np.sin(8 * a * grid[:, None] + 8 * b * grid[None, :] + p)
                       for a, b, p in rng.uniform(-1, 1, (M, 3))]).astype(F)[None]
    dets = []
    for _ in range(20):
        w, h = rng.uniform(40, 300, 2)
        x1 = rng.uniform(0, IN - w)
        y1 = rng.uniform(PAD_Y, IN - PAD_Y - h)
        dets.append((x1, y1, x1 + w, y1 + h, 0, 0.9, int(rng.integers(ANCHORS))))
    return pred, protos, dets


@pytest.fixture(scope="module")
def scene():
    return make_scene()


def source_boxes(dets):
    return [tuple(int(round((v - pad) * RATIO)) for v, pad in zip(d[:4], (PAD_X, PAD_Y) * 2))
            for d in dets]


def glue(pred, protos, dets, dst):
    import cv2

    coefficients = pred[0, pred.shape[1] - M :, [d[6] for d in dets]]
    logits = (coefficients @ protos[0].reshape(M, -1)).reshape(-1, MH, MW)
    y_lo, y_hi = PAD_Y * MH // IN, (IN - PAD_Y) * MH // IN
    for d, (x1, y1, x2, y2) in enumerate(source_boxes(dets)):
        full = cv2.resize(logits[d, y_lo:y_hi], (SRC_W, SRC_H), interpolation=cv2.INTER_LINEAR)
        dst[d, y1:y2, x1:x2] = full[y1:y2, x1:x2] > 0


def floor(dets, dst):
    for d, (x1, y1, x2, y2) in enumerate(source_boxes(dets)):
        dst[d, y1:y2, x1:x2] = 1


def destination():
    return np.zeros((20, SRC_H, SRC_W), np.uint8)


def test_corvane(benchmark, scene, workers):
    pred, protos, dets = scene
    dst = destination()
    benchmark.group = "yolov8 seg masks 1280x720, 20 boxes"
    benchmark(corvane.yolov8_seg_masks, pred, protos, 0, dets, (IN, IN), (RATIO, PAD_X, PAD_Y), dst)
    reference = destination()
    glue(pred, protos, dets, reference)
    assert (dst == reference).mean() > 0.99


def test_numpy_cv2_glue(benchmark, scene, workers):
    pred, protos, dets = scene
    dst = destination()
    benchmark.group = "yolov8 seg masks 1280x720, 20 boxes"
    benchmark(glue, pred, protos, dets, dst)


def test_floor_box_fill(benchmark, scene):
    _, _, dets = scene
    dst = destination()
    benchmark.group = "yolov8 seg masks 1280x720, 20 boxes"
    benchmark(floor, dets, dst)
