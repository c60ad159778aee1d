"""Float32 NumPy references for the detection decoders and their suppression.

Written from the definitions, in the plainest form: class maxima as a
masked max plus the first index reaching it, the textbook greedy loop that
rebuilds its list of remaining candidates, and the overlap in float32 scalars.
"""

import struct

import numpy as np

F = np.float32
EPS = np.frombuffer(struct.pack("<I", 0x3727C5AC), dtype=np.float32)[0]
NO_BUCKET = "index out of bounds: the len is 0 but the index is 0"
CAPACITY = "capacity overflow"


class Panic(Exception):
    """What the module must raise instead of returning, by its message."""


def require_c_order(pred):
    """The buffer is taken before any extent is read, and only C order is read."""
    if not np.asarray(pred).flags.c_contiguous:
        raise Panic("called `Result::unwrap()` on an `Err` value: NotContiguousError")


def images(pred, inner):
    """The consecutive blocks of inner[0] * inner[1] values of the array's
    memory, one per image, each shaped `inner` (the array's extents after the
    third only count towards its size)."""
    pred = np.asarray(pred)
    flat = pred.reshape(-1)
    size = inner[0] * inner[1]
    return [flat[i * size : (i + 1) * size].reshape(inner) for i in range(pred.shape[0])]


def iou(a, b):
    """Overlap of b (tested) with a (kept); boxes are (x1, y1, x2, y2) float32."""
    with np.errstate(all="ignore"):
        w = np.fmin(a[2], b[2]) - np.fmax(a[0], b[0])
        h = np.fmin(a[3], b[3]) - np.fmax(a[1], b[1])
        w = np.fmax(w, F(0))
        h = np.fmax(h, F(0))
        inter = w * h
        area_a = (a[2] - a[0]) * (a[3] - a[1])
        area_b = (b[2] - b[0]) * (b[3] - b[1])
        union = ((area_b + area_a) - inter) + EPS
        return inter / union


def nms(candidates, iou_threshold, box=lambda c: c[:4], score=lambda c: c[5]):
    """Greedy suppression of one class; candidates in ascending index."""
    t = F(iou_threshold)
    order = sorted(candidates, key=lambda c: -score(c))  # stable: ties keep input order
    out = []
    while order:
        a = order[0]
        out.append(a)
        order = [b for b in order[1:] if iou(box(a), box(b)) <= t]
    return out


def suppress_by_class(buckets, iou_threshold, **kw):
    return [c for bucket in buckets for c in nms(bucket, iou_threshold, **kw)]


def class_maxima(scores):
    """Running maximum from 0 over axis 0 (strict >, NaN never wins) and its class."""
    with np.errstate(invalid="ignore"):
        positive = np.where(scores > 0, scores, F(0))
        best = positive.max(axis=0, initial=F(0)).astype(F)
        if scores.shape[0] == 0:
            return best, np.zeros(best.shape, dtype=np.int64)
        first = np.argmax(scores == best, axis=0)
    return best, np.where(best > 0, first, 0)


def corners(cx, cy, w, h):
    with np.errstate(all="ignore"):
        hw = w * F(0.5)
        hh = h * F(0.5)
        return cx - hw, cy - hh, cx + hw, cy + hh


def _finish(per_image, iou_threshold, num_classes):
    """Buckets and suppression of decoded candidates (x1, y1, x2, y2, cls, score, index)."""
    out = []
    for candidates in per_image:
        if candidates and num_classes == 0:
            raise Panic(NO_BUCKET)
        buckets = [[] for _ in range(num_classes)]
        for c in candidates:
            buckets[c[4]].append(c)
        out.append(suppress_by_class(buckets, iou_threshold))
    return out


def yolov5(pred, iou_threshold, conf_threshold):
    require_c_order(pred)
    b, n, k = pred.shape[:3]
    if b and k < 5:
        raise Panic(CAPACITY)
    conf = F(conf_threshold)
    per_image = []
    for image in images(pred, (n, k)):
        obj = image[:, 4]
        with np.errstate(invalid="ignore", over="ignore"):
            best, cls = class_maxima((image[:, 5:] * obj[:, None]).T)
            keep = ~(conf > obj) & ~(conf > best)
        x1, y1, x2, y2 = corners(image[:, 0], image[:, 1], image[:, 2], image[:, 3])
        per_image.append(
            [(x1[i], y1[i], x2[i], y2[i], int(cls[i]), best[i], i) for i in np.flatnonzero(keep)]
        )
    return to_python(_finish(per_image, iou_threshold, k - 5))


def yolov8(pred, iou_threshold, conf_threshold, vec_dims=0):
    require_c_order(pred)
    b, k, n = pred.shape[:3]
    if b and k < vec_dims + 4:
        raise Panic(CAPACITY)
    e = k - vec_dims
    conf = F(conf_threshold)
    per_image = []
    for image in images(pred, (k, n)):
        best, cls = class_maxima(image[4:e])
        with np.errstate(invalid="ignore"):
            keep = ~(conf > best)
        x1, y1, x2, y2 = corners(image[0], image[1], image[2], image[3])
        per_image.append(
            [(x1[i], y1[i], x2[i], y2[i], int(cls[i]), best[i], i) for i in np.flatnonzero(keep)]
        )
    return to_python(_finish(per_image, iou_threshold, e - 4))


def to_python(per_image):
    return [
        [(float(x1), float(y1), float(x2), float(y2), c, float(s), int(i)) for x1, y1, x2, y2, c, s, i in dets]
        for dets in per_image
    ]


def f32_key(value):
    """Exact identity of a result item: floats by their float32 bits, NaN included."""
    if isinstance(value, float):
        return ("f", struct.pack("<f", value))
    if isinstance(value, (tuple, list)):
        return (type(value).__name__, tuple(f32_key(v) for v in value))
    return value


U64_MAX = 2**64 - 1


def bounds(length, index):
    return f"index out of bounds: the len is {length} but the index is {index}"


def yolov8_property(pred, iou_threshold, conf_threshold, num_cls, has_property, property_groups):
    """Per anchor, in the order the values are read; Python form of the result."""
    require_c_order(pred)
    b, c, n = np.asarray(pred).shape[:3]
    conf = F(conf_threshold)
    out = []
    for image in images(pred, (c, n)):
        if n and num_cls and 4 + num_cls > c:
            raise Panic(bounds(c * n, max(c, 4) * n))
        best, cls = class_maxima(image[4:4 + num_cls])
        with np.errstate(invalid="ignore"):
            keep = ~(conf > best)
        candidates = []
        for i in np.flatnonzero(keep):
            if c < 4:
                raise Panic(bounds(c * n, c * n + i))
            k = int(cls[i])
            if k >= len(has_property):
                raise Panic(bounds(len(has_property), k))
            properties = []
            if has_property[k]:
                start = 4 + num_cls
                for size in property_groups:
                    choice, score = U64_MAX, F(0)
                    for j in range(size):
                        if start + j >= c:
                            raise Panic(bounds(c * n, (start + j) * n + i))
                        if image[start + j, i] > score:
                            choice, score = j, image[start + j, i]
                    properties.append((choice, float(score)))
                    start += size
            if num_cls == 0:
                raise Panic(NO_BUCKET)
            x1, y1, x2, y2 = corners(image[0, i], image[1, i], image[2, i], image[3, i])
            candidates.append((x1, y1, x2, y2, k, best[i], properties))
        buckets = [[] for _ in range(num_cls)]
        for cand in candidates:
            buckets[cand[4]].append(cand)
        out.append([
            ((float(x1), float(y1), float(x2), float(y2), k, float(s)), props)
            for x1, y1, x2, y2, k, s, props in suppress_by_class(buckets, iou_threshold)
        ])
    return out


def yolov8_pose(pred, iou_threshold, conf_threshold, num_keypoints):
    """The detection decoder on the leading channels; each survivor then gets
    the (x, y, v) triples of the last 3 * num_keypoints channels at its anchor."""
    b, c, n = pred.shape
    first = c - 3 * num_keypoints
    out = []
    for image, dets in zip(images(pred, (c, n)), yolov8(pred, iou_threshold, conf_threshold, 3 * num_keypoints)):
        triples = image[first:].reshape(num_keypoints, 3, n)
        out.append([(*d, [tuple(float(v) for v in triples[k, :, d[6]]) for k in range(num_keypoints)]) for d in dets])
    return out
