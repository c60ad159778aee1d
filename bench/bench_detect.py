"""Detection decoding: best class, confidence filter, boxes and class-wise NMS.

Realistic synthetic outputs: every anchor low, a few hundred above 0.25 clustered
on about 20 objects with jittered overlapping boxes; conf 0.25, iou 0.45.

Members of each group:
- corvane: the module's postprocess function, lists of detection tuples;
- numpy + cv2: NumPy decode (max/argmax over the class channels, filter, corners),
  then cv2.dnn.NMSBoxesBatched;
- numpy + numpy nms: the same decode, then the usual NumPy greedy NMS with the
  class-offset trick;
- floor: one NumPy pass that reads the whole output (`pred.max()`).
The property case also picks each group's best channel for the survivors; the
pose case (one class, 17 keypoints) gathers the survivors' keypoints.
The worst case is 5,000 passing candidates of one class.
"""

import numpy as np
import pytest

import corvane

F = np.float32
CONF, IOU = 0.25, 0.45


def realistic(rng, batch, classes, anchors, extra=0, objects=20):
    pred = np.empty((batch, 4 + classes + extra, anchors), F)
    pred[:, 4:4 + classes] = rng.uniform(0, 0.05, (batch, classes, anchors))
    pred[:, 0:2] = rng.uniform(0, 640, (batch, 2, anchors))
    pred[:, 2:4] = rng.uniform(4, 60, (batch, 2, anchors))
    pred[:, 4 + classes:] = rng.normal(0, 1, (batch, extra, anchors))
    for b in range(batch):
        for _ in range(objects):
            cx, cy = rng.uniform(40, 600, 2)
            w, h = rng.uniform(20, 220, 2)
            hits = rng.choice(anchors, 25, replace=False)
            pred[b, 0, hits] = cx + rng.normal(0, w * 0.05, 25)
            pred[b, 1, hits] = cy + rng.normal(0, h * 0.05, 25)
            pred[b, 2, hits] = w * rng.uniform(0.85, 1.15, 25)
            pred[b, 3, hits] = h * rng.uniform(0.85, 1.15, 25)
            pred[b, 4 + rng.integers(classes), hits] = rng.uniform(0.2, 0.95, 25)
    return pred


def realistic_v5(rng, rows=25200, classes=80, objects=20):
    """(1, rows, 5 + classes): objectness and class scores low except on the objects' rows."""
    pred = np.empty((1, rows, 5 + classes), F)
    pred[0, :, 0:2] = rng.uniform(0, 640, (rows, 2))
    pred[0, :, 2:4] = rng.uniform(4, 60, (rows, 2))
    pred[0, :, 4:] = rng.uniform(0, 0.05, (rows, 1 + classes))
    for _ in range(objects):
        cx, cy = rng.uniform(40, 600, 2)
        w, h = rng.uniform(20, 220, 2)
        hits = rng.choice(rows, 25, replace=False)
        pred[0, hits, 0] = cx + rng.normal(0, w * 0.05, 25)
        pred[0, hits, 1] = cy + rng.normal(0, h * 0.05, 25)
        pred[0, hits, 2] = w * rng.uniform(0.85, 1.15, 25)
        pred[0, hits, 3] = h * rng.uniform(0.85, 1.15, 25)
        pred[0, hits, 4] = rng.uniform(0.5, 1.0, 25)
        pred[0, hits, 5 + rng.integers(classes)] = rng.uniform(0.5, 0.95, 25)
    return pred


def worst_case(rng, n=5000):
    """5,000 passing candidates of one class spread over the image."""
    pred = np.empty((1, 5, n), F)
    pred[0, 0:2] = rng.uniform(0, 640, (2, n))
    pred[0, 2:4] = rng.uniform(10, 80, (2, n))
    pred[0, 4] = rng.uniform(0.3, 1.0, n)
    return pred


def decode_v8(image, score_end):
    scores = image[4:score_end]
    best = scores.max(axis=0)
    keep = np.flatnonzero(best >= CONF)
    cx, cy, w, h = image[:4, keep]
    return np.stack([cx - w * 0.5, cy - h * 0.5, cx + w * 0.5, cy + h * 0.5], axis=1), best[keep], scores[:, keep].argmax(axis=0), keep


def decode_v5(image):
    rows = image[image[:, 4] >= CONF]
    scores = rows[:, 5:] * rows[:, 4:5]
    best = scores.max(axis=1)
    keep = best >= CONF
    rows, best, cls = rows[keep], best[keep], scores[keep].argmax(axis=1)
    cx, cy, w, h = rows[:, :4].T
    return np.stack([cx - w * 0.5, cy - h * 0.5, cx + w * 0.5, cy + h * 0.5], axis=1), best, cls, None


def numpy_nms(xyxy, scores, cls):
    boxes = xyxy + (cls * 4096.0)[:, None]  # classes never overlap
    x1, y1, x2, y2 = boxes.T
    areas = (x2 - x1) * (y2 - y1)
    order = scores.argsort(kind="stable")[::-1]
    keep = []
    while order.size:
        i = order[0]
        keep.append(i)
        rest = order[1:]
        w = np.maximum(0, np.minimum(x2[i], x2[rest]) - np.maximum(x1[i], x1[rest]))
        h = np.maximum(0, np.minimum(y2[i], y2[rest]) - np.maximum(y1[i], y1[rest]))
        inter = w * h
        order = rest[inter / (areas[i] + areas[rest] - inter + 1e-5) <= IOU]
    return keep


def cv2_nms(xyxy, scores, cls):
    import cv2

    xywh = xyxy.copy()
    xywh[:, 2:] -= xywh[:, :2]
    return cv2.dnn.NMSBoxesBatched(xywh, scores, cls, CONF, IOU)


CASES = {
    "yolov8 det (1,84,8400)": ("v8", lambda rng: realistic(rng, 1, 80, 8400)),
    "yolov8 det (8,84,8400)": ("v8", lambda rng: realistic(rng, 8, 80, 8400)),
    "yolov5 (1,25200,85)": ("v5", realistic_v5),
    "yolov8 seg (1,116,8400)": ("seg", lambda rng: realistic(rng, 1, 80, 8400, extra=32)),
    "yolov8 property (1,4+80+3x4,8400)": ("prop", lambda rng: realistic(rng, 1, 80, 8400, extra=12)),
    "yolov8 pose (1,4+1+3x17,8400)": ("pose", lambda rng: realistic(rng, 1, 1, 8400, extra=3 * KEYPOINTS)),
    "worst case: 5000 candidates of one class": ("v8", worst_case),
}
GROUPS = [4, 4, 4]
KEYPOINTS = 17


@pytest.fixture(scope="module", params=list(CASES))
def case(request):
    kind, make = CASES[request.param]
    return request.param, kind, make(np.random.default_rng(0))


def corvane_call(kind, pred):
    if kind == "v5":
        return corvane.yolov5_postprocess(pred, IOU, CONF)
    if kind == "seg":
        return corvane.yolov8_seg_postprocess(pred, IOU, CONF, 32)
    if kind == "prop":
        return corvane.yolov8_property_postprocess(pred, IOU, CONF, 80, [True] * 80, GROUPS)
    if kind == "pose":
        return corvane.yolov8_pose_postprocess(pred, IOU, CONF, KEYPOINTS)
    return corvane.yolov8_det_postprocess(pred, IOU, CONF)


def properties(image, anchors):
    """Each group's best channel (and value) at the given anchors."""
    out, start = [], 84
    for size in GROUPS:
        group = image[start:start + size, anchors]
        out.append((group.argmax(axis=0), group.max(axis=0)))
        start += size
    return out


def numpy_pipeline(kind, pred, nms):
    out = []
    for image in pred:
        if kind == "v5":
            xyxy, scores, cls, _ = decode_v5(image)
        else:
            xyxy, scores, cls, anchors = decode_v8(image, 5 if kind == "pose" else 84)
        keep = nms(xyxy, scores, cls) if len(scores) else []
        if kind == "prop":
            keep = (keep, properties(image, anchors[np.ravel(keep).astype(np.intp)]))
        if kind == "pose":  # (survivors, 17, 3): x, y, visibility
            kept = anchors[np.ravel(keep).astype(np.intp)]
            keep = (keep, image[5:, kept].reshape(KEYPOINTS, 3, -1).transpose(2, 0, 1))
        out.append(keep)
    return out


def test_corvane(benchmark, case, workers):
    name, kind, pred = case
    benchmark.group = name
    result = benchmark(corvane_call, kind, pred)
    assert len(result) == pred.shape[0] and len(result[0]) > 0


def test_numpy_decode_cv2_nms(benchmark, case, workers):
    pytest.importorskip("cv2")
    name, kind, pred = case
    benchmark.group = name
    result = benchmark(numpy_pipeline, kind, pred, cv2_nms)
    assert len(result) == pred.shape[0]


def test_numpy_decode_numpy_nms(benchmark, case):
    name, kind, pred = case
    benchmark.group = name
    benchmark(numpy_pipeline, kind, pred, numpy_nms)


def test_floor_numpy_max(benchmark, case):
    name, _, pred = case
    benchmark.group = name
    benchmark(pred.max)
