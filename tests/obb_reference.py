"""Float32 reference of the oriented-box decoder, written from its formulas.

Every operation is a NumPy float32 scalar operation in the documented order.
The transcendental steps call glibc's sincosf, logf and expf through ctypes:
NumPy's float32 sin/cos/log/exp are its own vector implementations and may
differ from glibc's by an ulp. Fast-NMS is the plain definition: a candidate
survives when no higher-scored candidate of its class overlaps it by more
than the threshold.
"""

import ctypes

import numpy as np

import nms_reference as ref

F = np.float32
EPS = F(1e-7)
PI = F(np.pi)
HALF_PI = PI / F(2)

_libm = ctypes.CDLL("libm.so.6")
for _name in ("logf", "expf"):
    getattr(_libm, _name).restype = ctypes.c_float
    getattr(_libm, _name).argtypes = [ctypes.c_float]
_libm.sincosf.restype = None
_libm.sincosf.argtypes = [ctypes.c_float, ctypes.POINTER(ctypes.c_float), ctypes.POINTER(ctypes.c_float)]


def logf(x):
    return F(_libm.logf(float(x)))


def expf(x):
    return F(_libm.expf(float(x)))


def sincosf(x):
    s, c = ctypes.c_float(), ctypes.c_float()
    _libm.sincosf(float(x), ctypes.byref(s), ctypes.byref(c))
    return F(s.value), F(c.value)


def gaussian(x, y, w, h, t):
    a = (w * w) / F(12)
    b = (h * h) / F(12)
    s, c = sincosf(t)
    big_a = a * (c * c) + b * (s * s)
    big_b = a * (s * s) + b * (c * c)
    big_c = ((a - b) * c) * s
    det = big_a * big_b - big_c * big_c
    return x, y, big_a, big_b, big_c, (F(0) if det < 0 else det)


def probiou(p, q):
    """Overlap of q (tested) with p (higher-scored)."""
    x1, y1, a1, b1, c1, det1 = p
    x2, y2, a2, b2, c2, det2 = q
    sa, sb, sc = a1 + a2, b1 + b2, c1 + c2
    dx, dy = x1 - x2, y1 - y2
    d = sa * sb - sc * sc
    t1 = ((sa * (dy * dy) + sb * (dx * dx)) / (d + EPS)) * F(0.25)
    t2 = (((sc * (x2 - x1)) * dy) / (d + EPS)) * F(0.5)
    t3 = F(0.5) * logf(d / (F(4) * np.sqrt(det1 * det2) + EPS) + EPS)
    bd = (t1 + t2) + t3
    bd = EPS if bd < EPS else F(100) if bd > F(100) else bd
    return F(1) - np.sqrt((F(1) - expf(-bd)) + EPS)


def fast_nms(candidates, iou_threshold):
    """One class, candidates (cx, cy, w, h, angle, cls, score, index) in ascending index."""
    t = F(iou_threshold)
    order = sorted(candidates, key=lambda c: -c[6])  # stable: ties keep ascending index
    g = [gaussian(*c[:5]) for c in order]
    return [order[j] for j in range(len(order)) if all(probiou(g[i], g[j]) <= t for i in range(j))]


def floored_mod(x, period):
    r = np.fmod(x, period)
    return r + period if r < 0 else r + F(0)


def regularise(cx, cy, w, h, t):
    if floored_mod(t, PI) >= HALF_PI:
        w, h = h, w
    return cx, cy, w, h, floored_mod(t, HALF_PI)


def yolov8_obb(pred, iou_threshold, conf_threshold):
    """Python form of the result for a (B, 4 + nc + 1, N) output."""
    b, k, n = pred.shape
    conf = F(conf_threshold)
    out = []
    with np.errstate(all="ignore"):
        for image in pred:
            best, cls = ref.class_maxima(image[4:k - 1])
            keep = ~(conf > best)
            buckets = [[] for _ in range(k - 5)]
            for i in np.flatnonzero(keep):
                buckets[cls[i]].append((*image[[0, 1, 2, 3, k - 1], i], int(cls[i]), best[i], int(i)))
            out.append([
                tuple(float(v) for v in regularise(*c[:5])) + (c[5], float(c[6]), c[7])
                for bucket in buckets for c in fast_nms(bucket, iou_threshold)
            ])
    return out
