"""RTMPose SimCC decoding: peaks, back-mapping, shape panics, ScalePad conversion."""

import collections
import fractions

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import corvane
from helpers import assert_panics, assert_same_f32

F = np.float32
START = F(-3.4028235e38)
SPECIALS = np.array([np.nan, -np.inf, np.inf, START, -0.0, 0.0, 1.0, 1.0, -1.0, 3e38], F)


# ---- a float32 reference written straight from the rules ---------------------------------


def ref_peak(row):
    """(index, value) of a strict running maximum from START, by a different route:
    the largest value above START, then its first position."""
    above = row > START  # NaN is never above
    if not above.any():
        return 0, START
    k = int(np.argmax(row == row[above].max()))
    return k, row[k]


def ref_decode(x, y, scale_pads):
    """Decodes like the module: memory-order data, dims 1 and 2, 17 rows per crop."""
    out = []
    with np.errstate(all="ignore"):
        for i, (ratio, pad_x, pad_y) in enumerate(scale_pads):
            rows = []
            for arr in (x, y):
                flat = arr.ravel(order="K")
                k, w = arr.shape[1], arr.shape[2]
                block = flat[i * k * w:(i + 1) * k * w]
                rows.append([ref_peak(block[j * w:(j + 1) * w]) for j in range(17)])
            r, px, py = F(ratio), F(pad_x), F(pad_y)
            kps = []
            for (ix, mx), (iy, my) in zip(*rows):
                lx, ly = F(ix) * F(0.5), F(iy) * F(0.5)
                kps.append(((lx - px) * r, (ly - py) * r, (mx + my) * F(0.5)))
            out.append(kps)
    return np.array(out, F).reshape(len(scale_pads), 17, 3)


def decode(x, y, scale_pads):
    """The module's result, checked for its exact Python form, as a float32 array."""
    result = corvane.rtmpose_postprocess(x, y, scale_pads)
    assert type(result) is list and len(result) == len(scale_pads)
    for crop in result:
        assert type(crop) is list and len(crop) == 17
        for kp in crop:
            assert type(kp) is tuple and len(kp) == 3 and all(type(v) is float for v in kp)
            assert all(v == float(F(v)) or v != v for v in kp)  # widened float32 values
    return np.array(result, F).reshape(len(scale_pads), 17, 3)


def simcc(batch, rows, bins, seed=0, fill=-1.0):
    rng = np.random.default_rng(seed)
    return (rng.standard_normal((batch, rows, bins)) + fill).astype(F)


# ---- bitwise agreement on random inputs ---------------------------------------------------


@st.composite
def batches(draw):
    n = draw(st.integers(0, 3))
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    arrays = []
    for _ in range(2):
        shape = (n + draw(st.integers(0, 1)), draw(st.integers(17, 19)), draw(st.integers(0, 40)))
        kind = draw(st.sampled_from(["normal", "specials", "mixed", "ties"]))
        a = rng.standard_normal(shape).astype(F)
        if kind == "specials":
            a = rng.choice(SPECIALS, shape)
        elif kind == "mixed":
            a = np.where(rng.random(shape) < 0.3, rng.choice(SPECIALS, shape), a).astype(F)
        elif kind == "ties":
            a = rng.integers(-2, 3, shape).astype(F)
        arrays.append(a)
    ratio = st.one_of(st.floats(0.1, 8.0), st.floats(allow_nan=True), st.integers(0, 4))
    pads = st.tuples(ratio, st.integers(0, 2**32 - 1), st.integers(0, 2**32 - 1))
    scale_pads = draw(st.lists(pads, min_size=n, max_size=n))
    return arrays[0], arrays[1], scale_pads


@settings(max_examples=80, deadline=None)
@given(batches())
def test_matches_float32_reference_bit_for_bit(batch):
    x, y, scale_pads = batch
    assert_same_f32(decode(x, y, scale_pads), ref_decode(x, y, scale_pads))


# ---- the documented cases -----------------------------------------------------------------


def test_peak_at_bin_seven_maps_through_pad_and_ratio():
    x, y = simcc(1, 17, 20, 1, fill=-5.0), simcc(1, 17, 30, 2, fill=-5.0)
    x[0, 4, 7] = 0.75
    y[0, 4, 11] = 0.25
    kp = corvane.rtmpose_postprocess(x, y, [(2.0, 3, 1)])[0][4]
    assert kp == (1.0, 9.0, 0.5)  # (3.5 - 3) * 2, (5.5 - 1) * 2, (0.75 + 0.25) / 2


def test_ties_nan_and_empty_rows():
    x = np.full((1, 17, 6), np.nan, F)
    x[0, 1] = [1, 5, 5, np.nan, 5, 0]  # first of the tied maxima
    x[0, 2] = [-np.inf, START, -np.inf, START, -np.inf, -np.inf]  # nothing beats START
    x[0, 3] = [-0.0, 0.0, -1, -1, -1, -1]  # -0.0 comes first and wins
    y = np.zeros((1, 17, 0), F)  # no bins at all
    crop = corvane.rtmpose_postprocess(x, y, [(1.0, 2, 3)])[0]
    assert crop[0][:2] == (-2.0, -3.0) and crop[0][2] == -np.inf  # all NaN: bin 0, START
    assert crop[1] == (-1.5, -3.0, float((F(5) + START) * F(0.5)))
    assert crop[2] == (-2.0, -3.0, -np.inf)
    assert crop[3][0] == -2.0 and crop[3][2] == float(START * F(0.5))


def test_signed_zero_peak_is_the_first_element_itself():
    # -0.0 at bin 1 ties +0.0 at bin 8, which a packed maximum may see first.
    row = np.full(40, -1.0, F)
    row[1], row[8] = -0.0, 0.0
    x = np.tile(row, (1, 17, 1))
    kp = corvane.rtmpose_postprocess(x, x.copy(), [(1.0, 0, 0)])[0][0]
    assert kp == (0.5, 0.5, 0.0)
    assert np.signbit(kp[2])  # (-0.0 + -0.0) * 0.5


def test_huge_peaks_and_pads_stay_float32():
    x = np.full((1, 17, 3), 3e38, F)
    y = np.full((1, 17, 3), 3e38, F)
    crop = corvane.rtmpose_postprocess(x, y, [(1.0, 2**32 - 1, 2**24 + 1)])[0]
    # The pads round to float32 before the subtraction; the peak sum overflows.
    assert crop[0] == (-4294967296.0, -16777216.0, np.inf)


def test_empty_batch_never_reads_shapes():
    flat = np.zeros(5, F)
    assert corvane.rtmpose_postprocess(flat, np.zeros((), F), []) == []
    assert corvane.rtmpose_postprocess(flat, flat, ()) == []


@pytest.mark.parametrize("n", [1, 2, 3])
def test_fewer_crops_than_the_batch(n):
    x, y = simcc(3, 17, 12, 3), simcc(3, 17, 16, 4)
    scale_pads = [(1.25, 2, 7)] * n
    assert_same_f32(decode(x, y, scale_pads), ref_decode(x, y, scale_pads))


def test_more_crops_than_the_batch_reports_the_first_missing_crop():
    x, y = simcc(2, 17, 12), simcc(2, 17, 16)
    # Crops 2 to 7 all fail; crop 2's failure is the one reported.
    assert_panics("range end index 612 out of range for slice of length 408",
                  corvane.rtmpose_postprocess, x, y, [(1.0, 0, 0)] * 8)
    assert_panics("range end index 816 out of range for slice of length 544",
                  corvane.rtmpose_postprocess, simcc(3, 17, 12), y, [(1.0, 0, 0)] * 3)


def test_extra_rows_and_trailing_dimension_are_ignored():
    x, y = simcc(2, 20, 12, 5), simcc(2, 20, 16, 6)
    sp = [(0.75, 1, 2), (3.0, 0, 9)]
    want = ref_decode(x, y, sp)  # reads rows 0..16 of each 20-row crop
    assert_same_f32(decode(x, y, sp), want)
    x[:, 17:] = 1e30  # rows past the keypoints never matter
    assert_same_f32(decode(x[..., None], y[..., None], sp), want)


@pytest.mark.parametrize("wx, wy, sx, sy", [(0, 5, -6.0, None), (0, 0, -6.0, -np.inf)])
def test_zero_bins(wx, wy, sx, sy):
    x, y = simcc(1, 17, wx), simcc(1, 17, wy, 7)
    crop = corvane.rtmpose_postprocess(x, y, [(1.5, 4, 2)])[0]
    assert all(kp[0] == sx for kp in crop)
    if sy is not None:
        assert all(kp[1] == -3.0 and kp[2] == sy for kp in crop)


SHAPE_PANICS = [
    # x fewer than 2 dimensions, exactly 2, then its crop block; then y the same.
    ((68,), (1, 17, 4), "index out of bounds: the len is 1 but the index is 1"),
    ((), (1, 17, 4), "index out of bounds: the len is 0 but the index is 1"),
    ((17, 4), (1,), "index out of bounds: the len is 2 but the index is 2"),
    ((1, 17, 5, 0), (1,), "range end index 85 out of range for slice of length 0"),
    ((1, 17, 4), (4,), "index out of bounds: the len is 1 but the index is 1"),
    ((1, 17, 4), (17, 4), "index out of bounds: the len is 2 but the index is 2"),
    ((1, 17, 4), (1, 18, 5, 0), "range end index 90 out of range for slice of length 0"),
    # Rows: 16 rows per crop fail at row 16; row j of x before row j of y.
    ((1, 16, 4), (1, 17, 4), "range end index 68 out of range for slice of length 64"),
    ((1, 16, 4), (1, 16, 3), "range end index 68 out of range for slice of length 64"),
    ((1, 16, 4), (1, 15, 3), "range end index 48 out of range for slice of length 45"),
    ((1, 0, 4), (1, 17, 4), "range end index 4 out of range for slice of length 0"),
]


@pytest.mark.parametrize("shape_x, shape_y, message", SHAPE_PANICS)
def test_shape_panics_in_order(shape_x, shape_y, message):
    x, y = np.zeros(shape_x, F), np.zeros(shape_y, F)
    assert_panics(message, corvane.rtmpose_postprocess, x, y, [(1.0, 0, 0)])


def test_huge_dimensions_on_an_empty_buffer():
    x = np.zeros((1, 2**30, 2**30, 0), F)  # 2**60 elements per crop, none in memory
    assert_panics("range end index 1152921504606846976 out of range for slice of length 0",
                  corvane.rtmpose_postprocess, x, simcc(1, 17, 2), [(1.0, 0, 0)] * 20)


# ---- argument conversion -------------------------------------------------------------------


ScalePadTuple = collections.namedtuple("ScalePadTuple", "ratio pad_x pad_y")


def test_scale_pad_forms_accepted():
    x, y = simcc(1, 17, 8, 8), simcc(1, 17, 8, 9)
    want = ref_decode(x, y, [(1.5, 3, 4)])
    for sp in ([ScalePadTuple(1.5, 3, 4)],  # a tuple subclass
               ((F(1.5), np.uint32(3), np.int64(4)),),  # any sequence; __float__, __index__
               [(fractions.Fraction(3, 2), 3, 4)]):
        assert_same_f32(decode(x, y, sp), want)
    # The ratio is narrowed from double to the nearest float32.
    assert_same_f32(decode(x, y, [(1.1, 3, 4)]), ref_decode(x, y, [(F(1.1), 3, 4)]))


SCALE_PAD_ERRORS = [
    ("12", TypeError, "argument 'batch_scale_pad': Can't extract `str` to `Vec`"),
    (5, TypeError, "argument 'batch_scale_pad': 'int' object cannot be converted to 'Sequence'"),
    ((t for t in []), TypeError,
     "argument 'batch_scale_pad': 'generator' object cannot be converted to 'Sequence'"),
    ([[1.5, 0, 0]], TypeError,
     "argument 'batch_scale_pad': 'list' object cannot be converted to 'PyTuple'"),
    ([(1.5, 0)], ValueError, "expected tuple of length 3, but got tuple of length 2"),
    ([(1.5, 0, 0, 0)], ValueError, "expected tuple of length 3, but got tuple of length 4"),
    ([("a", 0, 0)], TypeError, "argument 'batch_scale_pad': must be real number, not str"),
    ([(1.5, 1.5, 0)], TypeError,
     "argument 'batch_scale_pad': 'float' object cannot be interpreted as an integer"),
    ([(1.5, -1, 0)], OverflowError, "can't convert negative int to unsigned"),
    ([(1.5, 2**32, 0)], OverflowError, "out of range integral type conversion attempted"),
    ([(1.5, 0, 2**32)], OverflowError, "out of range integral type conversion attempted"),
]


@pytest.mark.parametrize("scale_pads, exc, message", SCALE_PAD_ERRORS)
def test_scale_pad_errors(scale_pads, exc, message):
    x = np.zeros((1, 17, 4), F)
    # Converted before any data is taken: a non-contiguous array is not reported.
    for arr in (x, np.zeros((1, 17, 8), F)[..., ::2]):
        with pytest.raises(exc) as info:
            corvane.rtmpose_postprocess(arr, x, scale_pads)
        assert type(info.value) is exc and str(info.value) == message


def test_array_errors_name_the_first_bad_argument():
    good = np.zeros((1, 17, 4), F)
    msg = "argument '{}': 'ndarray' object cannot be converted to 'PyArray<T, D>'"
    with pytest.raises(TypeError, match=msg.format("batch_pred_x").replace("(", r"\(")):
        corvane.rtmpose_postprocess(good.astype(np.float64), good.astype(np.float16), "x")
    with pytest.raises(TypeError, match=msg.format("batch_pred_y").replace("(", r"\(")):
        corvane.rtmpose_postprocess(good, good.astype(np.float64), "x")
    strided = np.zeros((1, 17, 8), F)[..., ::2]
    # The data is taken even when there is no crop to decode.
    for x, y in ((strided, good), (good, strided)):
        assert_panics("called `Result::unwrap()` on an `Err` value: NotContiguousError",
                      corvane.rtmpose_postprocess, x, y, [])


# ---- end to end: preprocess a crop, decode peaks placed on known pixels -------------------


@pytest.mark.parametrize("src_hw, rate, expected", [((256, 192), 0.25, (1.5, 32, 43)),
                                                    ((480, 640), 0.1, (4.0, 16, 68))])
def test_end_to_end_keypoints_land_on_source_pixels(src_hw, rate, expected):
    h, w = src_hw
    rng = np.random.default_rng(11)
    src = np.zeros((h, w, 3), np.uint8)
    src[..., 0] = 40  # a dull background no marker shares
    dst = np.zeros((3, 256, 192), F)
    # 17 markers, each a block wide enough to be sampled at any ratio here,
    # with a colour of its own.
    block = 6
    tops = rng.integers(0, h - block, 17)
    lefts = rng.integers(0, w - block, 17)
    colours = [(200, 10 * j + 5, 255 - j) for j in range(17)]
    for j in range(17):
        src[tops[j]:tops[j] + block, lefts[j]:lefts[j] + block] = colours[j]
    scale_pad = corvane.rtmpose_preprocess(src, dst, rate)
    assert scale_pad == expected

    # Where each marker landed in the model input (plane 2 holds byte 0,
    # plane 1 byte 1), and SimCC rows peaking there: 2 bins per pixel.
    x = np.full((1, 17, 2 * 192), -3.0, F)
    y = np.full((1, 17, 2 * 256), -3.0, F)
    for j, (b0, b1, _) in enumerate(colours):
        hits = np.argwhere((dst[2] == (F(b0) - F(103.53)) / F(57.375)) &
                           (dst[1] == (F(b1) - F(116.28)) / F(57.12)))
        assert len(hits)
        row, col = hits[len(hits) // 2]
        x[0, j, 2 * col] = 0.9
        y[0, j, 2 * row] = 0.7
    keypoints = corvane.rtmpose_postprocess(x, y, [scale_pad])[0]
    for j, (kx, ky, score) in enumerate(keypoints):
        assert score == float(F(F(0.9) + F(0.7)) * F(0.5))
        # The decoded point is the source position the nearest-neighbour
        # sampling read, so it lies on the marker.
        u, v = int(kx), int(ky)
        assert lefts[j] <= u < lefts[j] + block and tops[j] <= v < tops[j] + block
        assert tuple(src[v, u]) == colours[j]
