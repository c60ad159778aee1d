"""yolov8_seg_masks: bit-exact against the float32 steps, untouched pixels,
agreement with the OpenCV glue, refusals with dst unchanged, worker counts."""

import hashlib
import os
import subprocess
import sys

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import corvane
from helpers import assert_panics

f32 = np.float32
SENTINEL = 7
SANITIZED = bool(os.environ.get("CORVANE_EXPECT_SANITIZED"))


def reference(pred, protos, image, detections, input_size, letterbox, dst):
    """The six float32 steps, one NumPy operation each, on a copy of dst."""
    out = dst.copy()
    _, m_count, mh, mw = protos.shape
    k = pred.shape[1]
    ratio, pad_x, pad_y = f32(letterbox[0]), f32(letterbox[1]), f32(letterbox[2])

    def axis(pixels, pad, extent, size):
        centre = (np.arange(pixels, dtype=f32) + f32(0.5)) / ratio + pad
        p = np.clip(centre * (f32(extent) / f32(size)) - f32(0.5), f32(0), f32(extent - 1))
        i0 = np.floor(p).astype(np.int64)
        low = p - i0.astype(f32)
        return centre, i0, np.minimum(i0 + 1, extent - 1), low, f32(1) - low

    x, x0, x1, lx, hx = axis(dst.shape[2], pad_x, mw, input_size[0])
    y, y0, y1, ly, hy = axis(dst.shape[1], pad_y, mh, input_size[1])
    for d, det in enumerate(detections):
        bx1, by1, bx2, by2 = (f32(v) for v in det[:4])
        c = pred[image, k - m_count :, det[6]]
        logits = np.zeros((mh, mw), f32)
        for m in range(m_count):
            logits = logits + c[m] * protos[image, m]
        us = np.nonzero((bx1 <= x) & (x < bx2))[0]
        vs = np.nonzero((by1 <= y) & (y < by2))[0]
        a = hx[us] * logits[y0[vs]][:, x0[us]] + lx[us] * logits[y0[vs]][:, x1[us]]
        b = hx[us] * logits[y1[vs]][:, x0[us]] + lx[us] * logits[y1[vs]][:, x1[us]]
        value = hy[vs, None] * a + ly[vs, None] * b
        out[d][np.ix_(vs, us)] = value > 0
    return out


def letterbox_of(src_w, src_h, in_w, in_h):
    """The geometry the preprocessing reports for this frame and input size."""
    frame = np.zeros((src_h, src_w, 3), np.uint8)
    return corvane.yolov5_det_preprocess(frame, np.zeros((3, in_h, in_w), f32))


def case(rng, src_w, src_h, in_w, in_h, m, mh, mw, count, planes=None, images=2):
    anchors = 50
    pred = rng.standard_normal((images, 4 + 3 + m, anchors), dtype=f32)
    protos = rng.standard_normal((images, m, mh, mw), dtype=f32)
    ratio, pad_x, pad_y = letterbox_of(src_w, src_h, in_w, in_h)
    dets = []
    for _ in range(count):
        x1, x2 = np.sort(rng.uniform(-5, in_w + 5, 2))
        y1, y2 = np.sort(rng.uniform(-5, in_h + 5, 2))
        dets.append((x1, y1, x2, y2, 0, 0.9, int(rng.integers(anchors))))
    dst = np.full((planes or count + 1, src_h, src_w), SENTINEL, np.uint8)
    return pred, protos, 1, dets, (in_w, in_h), (ratio, pad_x, pad_y), dst


@pytest.mark.parametrize(
    "src_w, src_h, in_w, in_h, mh, mw, count",
    [
        (97, 41, 64, 64, 16, 16, 6),  # landscape
        (33, 90, 64, 64, 16, 16, 6),  # portrait
        (13, 11, 96, 64, 24, 16, 6),  # upscaled, non-square input
        (101, 67, 67, 45, 13, 9, 6),  # odd remainders everywhere
        (301, 170, 160, 160, 40, 80, 6),  # boxes wider than several vectors
        (1280, 24, 64, 64, 16, 16, 700),  # more boxes than one round holds
    ],
)
def test_bit_exact_against_the_steps(src_w, src_h, in_w, in_h, mh, mw, count):
    rng = np.random.default_rng(src_w * 1000 + src_h)
    args = case(rng, src_w, src_h, in_w, in_h, 5, mh, mw, count)
    expected = reference(*args)
    corvane.yolov8_seg_masks(*args)
    np.testing.assert_array_equal(args[-1], expected)
    assert (args[-1][-1] == SENTINEL).all()  # the unused plane


LIMITS = [2.0**-100, 2.0**-101, 2.0**100, 2.0**101, np.finfo(f32).max, 2.0**-149, np.inf,
          -np.inf, np.nan, 0.0, -0.0]


@pytest.mark.parametrize(
    "src_w, src_h, in_size, mh, mw",
    [
        (64, 64, 32, 32, 32),  # weights of exactly 0.5 along both axes
        (128, 96, 64, 32, 32),  # weights of exactly 0 along both axes
        (1000, 90, 320, 40, 160),  # sixteen pixels span more than eight logits
        (40, 30, 96, 24, 24),  # upscaled
    ],
)
def test_bit_exact_on_wide_areas_of_one_sign(src_w, src_h, in_size, mh, mw):
    """Logits given directly (one prototype, coefficient 1): a positive area and a negative
    one, with patches of values at the limits of float32 in the positive one."""
    rng = np.random.default_rng(src_w)
    logits = rng.uniform(0.5, 2, (mh, mw))
    logits[:, : mw // 4] *= -1
    for value in LIMITS:
        y, x = rng.integers(0, mh - 4), rng.integers(mw // 4, mw - 4)
        logits[y : y + 5, x : x + 5] = value
    pred = np.zeros((1, 5, 3), f32)
    pred[0, 4] = 1
    protos = logits.astype(f32)[None, None]
    ratio, pad_x, pad_y = letterbox_of(src_w, src_h, in_size, in_size)
    dets = [(-1, -1, in_size + 1, in_size + 1, 0, 0.9, 1)]
    for _ in range(5):
        x1, x2 = np.sort(rng.uniform(0, in_size, 2))
        y1, y2 = np.sort(rng.uniform(0, in_size, 2))
        dets.append((x1, y1, x2, y2, 0, 0.9, 2))
    args = (pred, protos, 0, dets, (in_size, in_size), (ratio, pad_x, pad_y),
            np.full((len(dets), src_h, src_w), SENTINEL, np.uint8))
    with np.errstate(invalid="ignore"):  # 0 * inf is NaN, as it is for us
        expected = reference(*args)
    corvane.yolov8_seg_masks(*args)
    np.testing.assert_array_equal(args[-1], expected)


special = st.sampled_from([np.nan, np.inf, -np.inf, 0.0, -0.0])
coordinate = st.one_of(st.floats(-20, 90, width=32), special)


@settings(max_examples=150, deadline=None)
@given(
    data=st.data(),
    m=st.integers(0, 6),
    mh=st.integers(1, 9),
    mw=st.integers(1, 9),
    src=st.tuples(st.integers(1, 40), st.integers(1, 40)),
    size=st.tuples(st.integers(1, 80), st.integers(1, 80)),
    ratio=st.floats(0.0625, 8, width=32),
    pads=st.tuples(st.integers(0, 12), st.integers(0, 12)),
    seed=st.integers(0, 2**32 - 1),
)
def test_property_bit_exact(data, m, mh, mw, src, size, ratio, pads, seed):
    rng = np.random.default_rng(seed)
    pred = rng.standard_normal((2, 4 + m + data.draw(st.integers(0, 2)), 7), dtype=f32)
    protos = rng.standard_normal((3, m, mh, mw), dtype=f32)
    # Ties: prototype values with exact zero sums and edges on pixel centres.
    protos[:, :, :: 2] = np.round(protos[:, :, :: 2])
    dets = data.draw(
        st.lists(
            st.tuples(coordinate, coordinate, coordinate, coordinate, st.just(0), st.just(0.5),
                      st.integers(0, 6)),
            max_size=4,
        )
    )
    dst = np.full((len(dets) + data.draw(st.integers(0, 2)), src[1], src[0]), SENTINEL, np.uint8)
    args = (pred, protos, 1, dets, size, (ratio, *pads), dst)
    expected = reference(*args)
    corvane.yolov8_seg_masks(*args)
    np.testing.assert_array_equal(dst, expected)


def glue(pred, protos, image, detections, input_size, letterbox, dst):
    """What users write today with NumPy and OpenCV."""
    cv2 = pytest.importorskip("cv2")
    _, m_count, mh, mw = protos.shape
    in_w, in_h = input_size
    _, pad_x, pad_y = letterbox
    h, w = dst.shape[1:]
    coefficients = pred[image, pred.shape[1] - m_count :, [d[6] for d in detections]]
    logits = (coefficients @ protos[image].reshape(m_count, -1)).reshape(-1, mh, mw)
    sx, sy = mw / in_w, mh / in_h
    x_lo, x_hi = round(pad_x * sx), round((in_w - pad_x) * sx)
    y_lo, y_hi = round(pad_y * sy), round((in_h - pad_y) * sy)
    ratio = letterbox[0]
    out = np.zeros(dst.shape, bool)
    inside = np.zeros(dst.shape, bool)
    for d, det in enumerate(detections):
        full = cv2.resize(logits[d, y_lo:y_hi, x_lo:x_hi], (w, h), interpolation=cv2.INTER_LINEAR)
        x1, y1, x2, y2 = (max(round((det[i] - (pad_x, pad_y)[i % 2]) * ratio), 0) for i in range(4))
        inside[d, y1:y2, x1:x2] = True
        out[d] = full > 0
    return out, inside


def test_agrees_with_the_opencv_glue_on_smooth_prototypes():
    rng = np.random.default_rng(5)
    grid = np.linspace(0, 1, 40, dtype=f32)
    waves = [np.sin(6 * a * grid[:, None] + 5 * b * grid[None, :] + p)
             for a, b, p in rng.uniform(-1, 1, (8, 3))]
    args = list(case(rng, 320, 180, 160, 160, 8, 40, 40, 12, images=1))
    args[1] = np.stack(waves).astype(f32)[None]
    args[2] = 0
    ours = args[-1]
    ours[...] = 0
    corvane.yolov8_seg_masks(*args)
    theirs, inside = glue(*args)
    assert inside.sum() > 10_000
    assert (ours.view(bool)[inside] == theirs[inside]).mean() > 0.99


def valid(rng=None):
    rng = rng or np.random.default_rng(0)
    pred = rng.standard_normal((2, 4 + 2 + 3, 10), dtype=f32)
    protos = rng.standard_normal((2, 3, 8, 8), dtype=f32)
    return dict(batch_pred=pred, protos=protos, image=1,
                detections=[(1.0, 2.0, 30.0, 28.0, 0, 0.9, 9)], input_size=(32, 32),
                letterbox=(0.5, 0, 4), dst=np.full((1, 48, 64), SENTINEL, np.uint8))


NOT_CONTIGUOUS = "called `Result::unwrap()` on an `Err` value: NotContiguousError"
LETTERBOX = ("argument 'letterbox': expected (ratio, pad_x, pad_y): a finite ratio > 0 and two "
             "ints >= 0")
PAIR = "argument 'input_size': expected two positive ints"
IMAGE = "argument 'image': not an image of the batch (batch_pred has 2, protos 2)"


@pytest.mark.parametrize(
    "change, error, message",
    [
        (dict(protos=np.zeros((2, 3, 8), f32)), ValueError,
         "argument 'protos': expected 4 dimensions (B, M, mh, mw), got 3"),
        (dict(protos=np.zeros((2, 3, 0, 8), f32)), ValueError,
         "argument 'protos': the prototype grid is empty"),
        (dict(batch_pred=np.zeros((2, 9), f32)), ValueError,
         "argument 'batch_pred': expected 3 dimensions (B, K, N), got 2"),
        (dict(batch_pred=np.zeros((2, 6, 10), f32)), ValueError,
         "argument 'protos': 3 prototypes need more than 6 channels of 'batch_pred' (4 box + M)"),
        (dict(batch_pred=np.zeros((2, 2, 10), f32)), ValueError,
         "argument 'protos': 3 prototypes need more than 2 channels of 'batch_pred' (4 box + M)"),
        (dict(image=2), ValueError, IMAGE),
        (dict(image=-1), ValueError, IMAGE),
        (dict(image=2**70), ValueError, IMAGE),
        (dict(protos=np.zeros((1, 3, 8, 8), f32)), ValueError,
         "argument 'image': not an image of the batch (batch_pred has 2, protos 1)"),
        (dict(image=1.0), TypeError, "argument 'image': 'float' object cannot be interpreted as an integer"),
        (dict(detections=[(1, 2, 3, 4, 0, 0.5)]), ValueError,
         "argument 'detections': detection 0 has 6 items, expected at least 7"),
        (dict(detections=[(1, 2, 3, 4, 0, 0.5, 10)]), ValueError,
         "argument 'detections': detection 0 has anchor index 10, but batch_pred has 10 anchors"),
        (dict(detections=[(1, 2, 3, 4, 0, 0.5, 1), (1, 2, 3, 4, 0, 0.5, -1)]), ValueError,
         "argument 'detections': detection 1: item 6 (the anchor index) is not a whole number >= 0"),
        *[(dict(detections=[(1, 2, 3, 4, 0, 0.5, index)]), ValueError,
           "argument 'detections': detection 0: item 6 (the anchor index) is not a whole number >= 0")
          for index in (1.5, -1.0, float("nan"), float("inf"), 2.0**63, np.float32(0.5), "1")],
        (dict(detections=[(1, "2", 3, 4, 0, 0.5, 1)]), TypeError,
         "argument 'detections': must be real number, not str"),
        (dict(detections=[(1, 2, 3, 4, 0, 0.5, 1)] * 2), ValueError,
         "argument 'dst': 1 planes for 2 detections"),
        (dict(detections=5), TypeError, "argument 'detections': 'int' object cannot be converted to 'Sequence'"),
        (dict(input_size=(32,)), ValueError, PAIR),
        (dict(input_size=(32, 0)), ValueError, PAIR),
        (dict(input_size=(32.0, 32)), ValueError, PAIR),
        (dict(input_size="ab"), ValueError, PAIR),
        (dict(letterbox=(0.0, 0, 0)), ValueError, LETTERBOX),
        (dict(letterbox=(float("nan"), 0, 0)), ValueError, LETTERBOX),
        (dict(letterbox=(float("inf"), 0, 0)), ValueError, LETTERBOX),
        (dict(letterbox=(0.5, -1, 0)), ValueError, LETTERBOX),
        (dict(letterbox=(0.5, 0, 1.5)), ValueError, LETTERBOX),
        (dict(letterbox=(0.5, 0)), ValueError, LETTERBOX),
        (dict(letterbox=("x", 0, 0)), ValueError, LETTERBOX),
        (dict(dst=np.zeros((48, 64), np.uint8)), ValueError,
         "argument 'dst': expected 3 dimensions (D, H, W), got 2"),
        (dict(dst=np.zeros((1, 48, 64), np.float32)), TypeError,
         "argument 'dst': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
        (dict(protos=np.zeros((2, 3, 8, 8), np.float64)), TypeError,
         "argument 'protos': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
        (dict(batch_pred=[1.0]), TypeError,
         "argument 'batch_pred': 'list' object cannot be converted to 'PyArray<T, D>'"),
    ],
)
def test_refusals_leave_dst_unchanged(change, error, message):
    kwargs = valid() | change
    before = kwargs["dst"].copy()
    with pytest.raises(error) as info:
        corvane.yolov8_seg_masks(**kwargs)
    assert type(info.value) is error
    assert str(info.value) == message
    np.testing.assert_array_equal(kwargs["dst"], before)


@pytest.mark.parametrize("name", ["batch_pred", "protos", "dst"])
def test_fortran_ordered_and_strided_arrays_are_refused(name):
    kwargs = valid()
    before = kwargs["dst"].copy()
    for bad in (np.asfortranarray(kwargs[name]), np.repeat(kwargs[name], 2, axis=-1)[..., ::2]):
        kwargs[name] = bad
        assert_panics(NOT_CONTIGUOUS, corvane.yolov8_seg_masks, **kwargs)
        np.testing.assert_array_equal(kwargs["dst"] if name != "dst" else before, before)


def test_dst_sharing_memory_with_an_input_is_refused():
    kwargs = valid()
    raw = np.zeros(4 * 9 * 10 * 2, np.uint8)
    kwargs["batch_pred"] = raw.view(f32).reshape(2, 9, 10)
    kwargs["dst"] = raw[:192].reshape(1, 12, 16)
    with pytest.raises(BaseException) as info:
        corvane.yolov8_seg_masks(**kwargs)
    assert type(info.value) is corvane.PanicException
    assert (raw == 0).all()


DIGEST = """
import hashlib, sys
import numpy as np
sys.path.insert(0, {tests!r})
import corvane, test_masks
rng = np.random.default_rng(3)
args = test_masks.case(rng, 640, 360, 320, 320, 32, 80, 80, 20)
corvane.yolov8_seg_masks(*args)
print(hashlib.sha256(args[-1].tobytes()).hexdigest(), args[-1].max())
"""


def test_identical_for_one_and_two_workers():
    tests = os.path.dirname(__file__)
    outputs = set()
    for n in ("1", "2"):
        run = subprocess.run([sys.executable, "-c", DIGEST.format(tests=tests)],
                             env=dict(os.environ, RAYON_NUM_THREADS=n), capture_output=True,
                             text=True, timeout=120)
        assert run.returncode == 0, run.stderr
        outputs.add(run.stdout)
    assert len(outputs) == 1
    assert outputs.pop().split()[1] == str(SENTINEL)  # masks written, sentinel plane kept


@pytest.mark.parametrize("mh, mw", [(2**24, 1), (1, 2**24), (2**24 + 4, 1), (1, 2**24 + 4)])
def test_prototype_grid_extent_up_to_2_to_the_24(mh, mw):
    # No prototypes, so no bytes: all logits are 0 and the box's pixels 0.
    # Beyond 2^24 the float32 coordinates pass the grid's last index.
    dst = np.full((1, 2, 2), SENTINEL, np.uint8)
    call = lambda: corvane.yolov8_seg_masks(  # noqa: E731
        np.zeros((1, 4, 1), f32), np.zeros((1, 0, mh, mw), f32), 0, [(0, 0, 1, 10, 0, 0.9, 0)],
        (1, 1), (1.0, 0, 1), dst)
    if max(mh, mw) <= 2**24:
        call()
        np.testing.assert_array_equal(dst[0], [[0, SENTINEL], [0, SENTINEL]])
    else:
        with pytest.raises(ValueError, match=r"^argument 'protos': the prototype grid has more "
                                             r"than 16777216 \(2\^24\) rows or columns$"):
            call()
        assert (dst == SENTINEL).all()


SCRATCH = """
import ctypes, resource, numpy as np, corvane
class MallInfo2(ctypes.Structure):
    _fields_ = [(n, ctypes.c_size_t) for n in "arena ordblks smblks hblks hblkhd usmblks fsmblks "
                                             "uordblks fordblks keepcost".split()]
libc = ctypes.CDLL(None)
libc.mallinfo2.restype = MallInfo2
def in_use():  # bytes allocated and not freed, whatever the allocator keeps
    info = libc.mallinfo2()
    return info.uordblks + info.hblkhd
pred, protos = np.ones((1, 5, 1), np.float32), np.ones((1, 1, 4, 4), np.float32)
dst = np.zeros(SHAPE, np.uint8)
peak, before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss, in_use()
corvane.yolov8_seg_masks(pred, protos, 0, DETECTIONS, (4, 4), (1.0, 0, 0), dst)
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - peak
print(peak >> 10, (in_use() - before) >> 20, int(dst.sum()))
"""


@pytest.mark.parametrize("shape, detections, peak_mib, written", [
    # Nothing to draw: no work and no memory for the destination's size.
    ((0, 2**24, 2**24), [], 8, 0),
    ((1, 1, 2**26), [(0, 0, 0, 4, 0, 0.9, 0)], 8, 0),
    # A box across 2^22 columns needs storage for them, which it gives back.
    ((1, 1, 2**22), [(0, 0, 2**22, 4, 0, 0.9, 0)], None, 2**22),
])
def test_mask_storage_follows_the_boxes_and_is_given_back(shape, detections, peak_mib, written):
    code = SCRATCH.replace("SHAPE", repr(shape)).replace("DETECTIONS", repr(detections))
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    peak, kept, total = map(int, out.stdout.split())
    assert total == written
    if not SANITIZED:  # the sanitizer's allocator is not the one measured
        assert peak_mib is None or peak < peak_mib, f"peak grew by {peak} MiB"
        assert kept < 1, f"{kept} MiB kept after the call"


@pytest.mark.parametrize("row", [
    lambda d: d, lambda d: (*d[:6], float(d[6])), lambda d: (*d[:6], np.int64(d[6])),
    lambda d: np.array(d), lambda d: np.array(d, np.float32),
])
def test_anchor_index_given_as_any_whole_number(row):
    # Rows of np.array(detections) hold the index as a float.
    want, have = valid(), valid()
    corvane.yolov8_seg_masks(**want)
    have["detections"] = [row(d) for d in have["detections"]]
    corvane.yolov8_seg_masks(**have)
    np.testing.assert_array_equal(have["dst"], want["dst"])
    assert (want["dst"] != SENTINEL).any()
