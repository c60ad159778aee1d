"""Oriented-box decoding: best class, confidence filter, class-wise Fast-NMS on probiou.

A realistic synthetic (1, 20, 21504) output of a 15-class model at 1024: every
anchor low, clusters of 25 jittered rotated boxes on 40 objects; conf 0.25,
iou 0.45.

Members:
- corvane: `yolov8_obb_postprocess`, lists of oriented detection tuples;
- yolov8_det_same_anchors: `yolov8_det_postprocess` on the same 21504 anchors
  (the 19 box and class channels), the axis-aligned decoder it is measured against;
- numpy + numpy fast nms: NumPy decode, then the probiou matrix of each class
  and Fast-NMS (upper triangle, any column over the threshold), in NumPy;
- numpy + cv2 NMSBoxesRotated: the same decode, then OpenCV's greedy rotated
  NMS (polygon IoU) with classes kept apart by offset centres;
- floor: one NumPy pass that reads the whole output (`pred.max()`).
"""

import math

import numpy as np
import pytest

import corvane

F = np.float32
CONF, IOU, EPS = 0.25, 0.45, 1e-7
CLASSES, ANCHORS = 15, 21504
GROUP = f"yolov8 obb (1,{4 + CLASSES + 1},{ANCHORS})"


def realistic(rng, objects=40):
    pred = np.empty((1, 4 + CLASSES + 1, ANCHORS), F)
    pred[0, 0:2] = rng.uniform(0, 1024, (2, ANCHORS))
    pred[0, 2:4] = rng.uniform(4, 60, (2, ANCHORS))
    pred[0, 4:4 + CLASSES] = rng.uniform(0, 0.05, (CLASSES, ANCHORS))
    pred[0, -1] = rng.uniform(-math.pi / 4, 3 * math.pi / 4, ANCHORS)
    for _ in range(objects):
        hits = rng.choice(ANCHORS, 25, replace=False)
        (cx, cy), (w, h), t = rng.uniform(40, 980, 2), rng.uniform(10, 120, 2), rng.uniform(-1, 2.5)
        pred[0, 0, hits] = cx + rng.normal(0, w * 0.05, 25)
        pred[0, 1, hits] = cy + rng.normal(0, h * 0.05, 25)
        pred[0, 2, hits] = w * rng.uniform(0.85, 1.15, 25)
        pred[0, 3, hits] = h * rng.uniform(0.85, 1.15, 25)
        pred[0, -1, hits] = t + rng.normal(0, 0.05, 25)
        pred[0, 4 + rng.integers(CLASSES), hits] = rng.uniform(0.2, 0.95, 25)
    return pred


def decode(image):
    scores = image[4:-1]
    best = scores.max(axis=0)
    keep = np.flatnonzero(best >= CONF)
    return image[[0, 1, 2, 3, -1]][:, keep].T, best[keep], scores[:, keep].argmax(axis=0), keep


def probiou_matrix(boxes):
    x, y, w, h, t = boxes.T
    a, b, c, s = w * w / 12, h * h / 12, np.cos(t), np.sin(t)
    ca, cb, cc = a * c * c + b * s * s, a * s * s + b * c * c, (a - b) * c * s
    sa, sb, sc = ca[:, None] + ca, cb[:, None] + cb, cc[:, None] + cc
    dx, dy = x[:, None] - x, y[:, None] - y
    d = sa * sb - sc * sc
    t1 = (sa * dy * dy + sb * dx * dx) / (d + EPS) * 0.25
    t2 = (sc * -dx * dy) / (d + EPS) * 0.5
    det = np.maximum(ca * cb - cc * cc, 0)
    t3 = 0.5 * np.log(d / (4 * np.sqrt(det[:, None] * det) + EPS) + EPS)
    bd = np.clip(t1 + t2 + t3, EPS, 100)
    return 1 - np.sqrt(1 - np.exp(-bd) + EPS)


def numpy_fast_nms(boxes, scores, cls):
    keep = []
    for c in np.unique(cls):
        idx = np.flatnonzero(cls == c)
        idx = idx[np.argsort(-scores[idx], kind="stable")]
        overlaps = np.triu(probiou_matrix(boxes[idx]), 1)
        keep.extend(idx[~(overlaps > IOU).any(axis=0)])
    return keep


def cv2_rotated_nms(boxes, scores, cls):
    import cv2

    shift = cls * 4096.0
    rects = [((float(x + o), float(y + o)), (float(w), float(h)), math.degrees(t))
             for (x, y, w, h, t), o in zip(boxes, shift)]
    return cv2.dnn.NMSBoxesRotated(rects, scores.tolist(), CONF, IOU)


def numpy_pipeline(pred, nms):
    out = []
    for image in pred:
        boxes, scores, cls, anchors = decode(image)
        out.append(anchors[np.ravel(nms(boxes, scores, cls)).astype(np.intp)] if len(scores) else [])
    return out


@pytest.fixture(scope="module")
def pred():
    return realistic(np.random.default_rng(0))


def test_corvane(benchmark, pred, workers):
    benchmark.group = GROUP
    result = benchmark(corvane.yolov8_obb_postprocess, pred, IOU, CONF)
    assert len(result[0]) > 20


def test_yolov8_det_same_anchors(benchmark, pred, workers):
    benchmark.group = GROUP
    det = np.ascontiguousarray(pred[:, :-1])
    benchmark(corvane.yolov8_det_postprocess, det, IOU, CONF)


def test_numpy_decode_numpy_fast_nms(benchmark, pred):
    benchmark.group = GROUP
    result = benchmark(numpy_pipeline, pred, numpy_fast_nms)
    assert sorted(result[0].tolist()) == sorted(d[7] for d in corvane.yolov8_obb_postprocess(pred, IOU, CONF)[0])


def test_numpy_decode_cv2_nms_rotated(benchmark, pred, workers):
    pytest.importorskip("cv2")
    benchmark.group = GROUP
    benchmark(numpy_pipeline, pred, cv2_rotated_nms)


def test_floor_numpy_max(benchmark, pred):
    benchmark.group = GROUP
    benchmark(pred.max)
