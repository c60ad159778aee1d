"""yolov8_property_postprocess: detections with per-group property choices."""

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import corvane
import nms_reference as ref
from helpers import assert_panics, f32

F = np.float32
NAN = float("nan")
NONE = 2**64 - 1


def image(*anchors):
    """One image (1, C, N) from per-anchor channel lists."""
    return np.ascontiguousarray(np.array(anchors, dtype=F).T[None])


def call(pred, num_cls, has_property, groups, conf=0.5, iou=0.5):
    return corvane.yolov8_property_postprocess(pred, iou, conf, num_cls, has_property, groups)


def same(got, expected):
    assert ref.f32_key(got) == ref.f32_key(expected)


def test_worked_example():
    pred = np.array([10, 20, 30, 40, 4, 4, 2, 2, 0.1, 0.6, 0.7, 0.2, 0.3, 0.9, 0.6, 0.1], F).reshape(1, 8, 2)
    expected = [[((18.0, 39.0, 22.0, 41.0, 0, f32(0.6)), []), ((8.0, 29.0, 12.0, 31.0, 1, f32(0.7)), [(1, f32(0.6))])]]
    for iou in (0.0, 0.5, NAN):
        same(call(pred, 2, [False, True], [2], iou=iou), expected)


def test_group_ties_and_non_positive_values():
    pred = image((5, 5, 2, 2, 0.9, 0.1, 0.7, 0.7, 0.0, -1.0))
    same(call(pred, 1, [True], [3, 2]), [[((4.0, 4.0, 6.0, 6.0, 0, f32(0.9)), [(1, f32(0.7)), (NONE, 0.0)])]])


def test_empty_group_has_no_choice_and_no_groups_mean_no_properties():
    pred = image((5, 5, 2, 2, 0.9, NAN, 0.4))
    assert call(pred, 1, [True], [0, 2, 0])[0][0][1] == [(NONE, 0.0), (1, f32(0.4)), (NONE, 0.0)]
    assert call(pred, 1, [True], [])[0][0][1] == []


def test_class_without_properties_ignores_even_impossible_groups():
    pred = image((5, 5, 2, 2, 0.9, 0.1))
    same(call(pred, 2, [False, True], [5, 2**64 - 1]), [[((4.0, 4.0, 6.0, 6.0, 0, f32(0.9)), [])]])


def test_has_property_longer_than_num_cls_is_accepted():
    pred = image((5, 5, 2, 2, 0.9, 0.8))
    assert call(pred, 1, [True, False, True], [1])[0][0][1] == [(0, f32(0.8))]


def test_thresholds_and_ties():
    t = f32(0.3)
    below = float(np.nextafter(F(t), F(0)))
    assert len(call(image((5, 5, 2, 2, t)), 1, [False], [], conf=t)[0]) == 1
    assert call(image((5, 5, 2, 2, below)), 1, [False], [], conf=t) == [[]]
    # Nothing above 0 passes as class 0 with score 0 at a threshold <= 0.
    assert call(image((5, 5, 2, 2, -1, 0)), 2, [False], [], conf=0.0)[0][0][0][4:] == (0, 0.0)
    assert call(image((5, 5, 2, 2, 0.5, 0.7, 0.7)), 3, [False] * 3, [])[0][0][0][4] == 1


def test_grouped_by_class_then_descending_score_then_anchor():
    pred = image((5, 5, 2, 2, 0, 0.9), (50, 5, 2, 2, 0.6, 0), (90, 5, 2, 2, 0.6, 0), (130, 5, 2, 2, 0.8, 0))
    got = call(pred, 2, [False, False], [])[0]
    assert [(d[0][0], d[0][4]) for d in got] == [(129.0, 0), (49.0, 0), (89.0, 0), (4.0, 1)]


def test_negative_size_box_is_carried_unchanged():
    same(call(image((10, 10, -4, -2, 0.9)), 1, [False], [])[0][0][0], (12.0, 11.0, 8.0, 9.0, 0, f32(0.9)))


def test_suppression_keeps_the_earlier_record_with_its_own_properties():
    pred = image((5, 5, 4, 4, 0.9, 0.2, 0.1), (5, 5, 4, 4, 0.9, 0.1, 0.3))
    same(call(pred, 1, [True], [2]), [[((3.0, 3.0, 7.0, 7.0, 0, f32(0.9)), [(0, f32(0.2))])]])
    both = call(pred, 1, [True], [2], iou=1.0)[0]
    assert [d[1] for d in both] == [[(0, f32(0.2))], [(1, f32(0.3))]]
    assert both[0][1] is not both[1][1]


def test_properties_never_change_the_survivors():
    rng = np.random.default_rng(7)
    pred = rng.uniform(0, 1, (2, 4 + 5 + 6, 400)).astype(F)
    pred[:, :2] *= 200
    pred[:, 2:4] *= 60
    with_props = call(pred, 5, [True] * 5, [2, 4], conf=0.6, iou=0.45)
    without = call(pred, 5, [False] * 5, [2, 4], conf=0.6, iou=0.45)
    same([[d[0] for d in img] for img in with_props], [[d[0] for d in img] for img in without])
    assert all(len(d[1]) == 2 for img in with_props for d in img)
    same(with_props, ref.yolov8_property(pred, 0.45, 0.6, 5, [True] * 5, [2, 4]))


def test_empty_batches_and_images():
    assert call(np.zeros((0, 8, 3), F), 2**40, [], [1]) == []
    assert call(np.zeros((2, 3, 0), F), 2**40, [], [2**64 - 1, 5]) == [[], []]


# --- failures ----------------------------------------------------------------

@pytest.mark.parametrize("shape", [(), (3,), (3, 8)])
def test_fewer_than_three_dimensions(shape):
    assert_panics(ref.bounds(len(shape), len(shape)), call, np.zeros(shape, F), 1, [True], [])


def test_non_contiguous_output():
    assert_panics("called `Result::unwrap()` on an `Err` value: NotContiguousError",
                  call, np.zeros((1, 8, 10), F)[:, :, ::2], 1, [True], [])


@pytest.mark.parametrize("channels,num_cls,index", [
    (6, 3, 6 * 5), (6, 2**40, 6 * 5), (6, 2**64 - 1, 6 * 5), (2, 1, 4 * 5), (4, 1, 4 * 5),
])
def test_class_channel_past_the_end(channels, num_cls, index):
    pred = np.zeros((2, channels, 5), F)
    assert_panics(ref.bounds(channels * 5, index), call, pred, num_cls, [True], [1], 2.0)


def test_group_past_the_end_fails_at_the_first_anchor_that_reads_it():
    pred = np.zeros((1, 8, 5), F)
    pred[0, 4, [1, 3]] = 0.9  # class 0, with properties: anchors 1 and 3 pass
    pred[0, 5, 2] = 0.9  # class 1, without properties
    for groups in ([2, 1], [1, 2**64 - 1], [2**64 - 1, 2**64 - 1, 3], [0, 0, 5]):
        assert_panics(ref.bounds(40, 40 + 1), call, pred, 2, [True, False], groups)
    same(call(pred, 2, [False, False], [2**64 - 1]), ref.yolov8_property(pred, 0.5, 0.5, 2, [False, False], [2**64 - 1]))


def test_missing_has_property_entry():
    pred = np.zeros((1, 8, 3), F)
    pred[0, 7, 2] = 0.9  # class 3
    assert_panics(ref.bounds(2, 3), call, pred, 4, [False, True], [])
    assert call(pred, 4, [False, True], [], conf=1.0) == [[]]


def test_no_class_channel():
    pred = np.zeros((1, 6, 3), F)
    assert_panics(ref.bounds(0, 0), call, pred, 0, [], [], 0.0)
    assert_panics(ref.bounds(0, 0), call, pred, 0, [False], [], NAN)
    assert_panics(ref.bounds(18, 18), call, pred, 0, [True], [3], 0.0)  # its group is read first
    assert call(pred, 0, [], [], 0.1) == [[]]


def test_fewer_than_four_channels_fails_at_the_first_passing_box():
    pred = np.zeros((1, 3, 4), F)
    assert_panics(ref.bounds(12, 12), call, pred, 0, [True], [], 0.0)
    assert call(pred, 0, [True], [], 0.5) == [[]]


@pytest.mark.parametrize("images", [2, 2**31])
def test_zero_trailing_extent_is_a_range_failure(images):
    pred = np.lib.stride_tricks.as_strided(np.zeros(1, F), (images, 6, 10, 0), (0,) * 4)
    assert_panics("range end index 60 out of range for slice of length 0", call, pred, 1, [True], [])


@pytest.mark.parametrize("param", ["has_property", "property_groups"])
def test_str_is_not_a_sequence_argument(param):
    args = {"has_property": [True], "property_groups": [1]}
    args[param] = "ab"
    with pytest.raises(TypeError, match=f"^argument '{param}': Can't extract `str` to `Vec`$"):
        corvane.yolov8_property_postprocess(np.zeros((1, 6, 2), F), 0.5, 0.5, 1, **args)


# --- agreement with the float32 reference ---------------------------------------

VALUES = [0.0, -0.0, 0.25, 0.5, 0.75, 1.0, 2.0, 8.0, -1.0, NAN, float("inf"), -float("inf"), 16.0]


@st.composite
def property_calls(draw):
    """Mostly well-formed calls (classes and groups that fit, an entry per
    class), with the odd short has_property or oversized group."""
    b, c, n = draw(st.sampled_from([0, 1, 1, 2, 3])), draw(st.integers(0, 14)), draw(st.integers(0, 10))
    elements = st.one_of(st.sampled_from(VALUES), st.floats(-20, 20, width=32))
    pred = draw(hnp.arrays(F, (b, c, n) + draw(st.sampled_from([(), (), (2,)])), elements=elements))
    if draw(st.booleans()):
        pred = np.asfortranarray(pred)
    num_cls = draw(st.integers(1, max(c - 4, 1)) if draw(st.integers(0, 9)) else st.integers(0, c + 1))
    short = draw(st.integers(0, 9)) == 0
    has_property = draw(st.lists(st.booleans(), min_size=0 if short else num_cls, max_size=num_cls + 2))
    room = max(c - 4 - num_cls, 0) + (draw(st.integers(0, 9)) == 0)
    groups = draw(st.lists(st.integers(0, 3), max_size=4).filter(lambda g: sum(g) <= room))
    thresholds = st.sampled_from([0.0, 0.25, 0.5, -1.0, NAN, 1.0])
    return pred, draw(thresholds), draw(thresholds), num_cls, has_property, groups


@settings(max_examples=100, deadline=None)
@given(property_calls())
def test_matches_reference(args):
    try:
        expected = ref.yolov8_property(*args)
    except ref.Panic as p:
        assert_panics(str(p), corvane.yolov8_property_postprocess, *args)
        return
    same(corvane.yolov8_property_postprocess(*args), expected)
