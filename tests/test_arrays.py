"""NumPy array arguments: acceptance, the shared borrow registry, contiguity."""

import ctypes
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import corvane
from helpers import assert_panics

ALREADY = "called `Result::unwrap()` on an `Err` value: AlreadyBorrowed"
NOT_WRITEABLE = "called `Result::unwrap()` on an `Err` value: NotWriteable"
NOT_CONTIGUOUS = "called `Result::unwrap()` on an `Err` value: NotContiguousError"
CAPSULE = b"_RUST_NUMPY_BORROW_CHECKING_API"


def multiarray():
    major = int(np.__version__.split(".")[0])
    return np._core.multiarray if major >= 2 else np.core.multiarray


def preprocess(src, dst):
    """A call that borrows src shared and dst exclusively."""
    return corvane.yolov5_det_preprocess(src, dst)


# -- acceptance ------------------------------------------------------------


@pytest.mark.parametrize(
    "dst, name",
    [
        (np.zeros((3, 4, 4)), "ndarray"),
        (np.zeros((3, 4, 4), np.float16), "ndarray"),
        (np.zeros((3, 4, 4), ">f4"), "ndarray"),  # byte-swapped float32
        ([[0.0]], "list"),
        (None, "NoneType"),
        (np.float32(1.0), "float32"),
    ],
)
def test_wrong_array_type(dst, name):
    with pytest.raises(TypeError) as info:
        corvane.yolov5_det_preprocess(np.zeros((4, 4, 3), np.uint8), dst)
    assert str(info.value) == f"argument 'dst': '{name}' object cannot be converted to 'PyArray<T, D>'"


@pytest.mark.parametrize("dtype", [np.int8, np.uint16, np.bool_, np.float32])
def test_src_must_be_uint8(dtype):
    with pytest.raises(TypeError, match=r"^argument 'src': 'ndarray' object cannot be converted"):
        corvane.yolov5_det_preprocess(np.zeros((4, 4, 3), dtype), np.zeros((3, 4, 4), np.float32))


def test_subclass_accepted():
    class Sub(np.ndarray):
        pass

    pred = np.arange(51, dtype=np.float32).view(Sub)
    assert corvane.alphapose_postprocess(pred, 1.0)[1] == (3.0, 4.0, 5.0)


def test_native_byte_order_alias_accepted():
    pred = np.arange(51, dtype="=f4")
    assert corvane.alphapose_postprocess(pred, 1.0)[0] == (0.0, 1.0, 2.0)


# -- borrows ---------------------------------------------------------------


def test_read_only_dst_is_not_writeable():
    dst = np.zeros((3, 4, 4), np.float32)
    dst.flags.writeable = False
    assert_panics(NOT_WRITEABLE, corvane.yolov5_det_preprocess, np.zeros((4, 4, 3), np.uint8), dst)


def test_overlapping_src_and_dst():
    buf = np.zeros(3 * 4 * 4 * 4, np.uint8)
    src = buf[: 4 * 4 * 3].reshape(4, 4, 3)
    dst = buf.view(np.float32).reshape(3, 4, 4)
    assert_panics(ALREADY, corvane.yolov5_det_preprocess, src, dst)
    # Each call gives its borrows back, so the same arrays work one at a time.
    preprocess(src, np.zeros((3, 4, 4), np.float32))
    preprocess(np.zeros((4, 4, 3), np.uint8), dst)


def test_disjoint_and_interleaved_views_do_not_conflict():
    buf = np.zeros(2 * 4 * 4 * 4 * 3, np.uint8)
    half = buf.size // 2
    src = buf[: 4 * 4 * 3].reshape(4, 4, 3)
    dst = buf[half:].view(np.float32)[: 3 * 16].reshape(3, 4, 4)
    preprocess(src, dst)
    # a[::2] and a[1::2] can never share an element.
    floats = np.zeros(2 * 51, np.float32)
    even, odd = floats[::2], floats[1::2]
    assert even.base is odd.base
    reg = Registry()
    assert reg.acquire_mut(even) == 0
    try:
        assert reg.acquire_mut(odd) == 0
        reg.release_mut(odd)
    finally:
        reg.release_mut(even)


def test_zero_size_arrays_never_conflict():
    buf = np.zeros(64, np.float32)
    empty = buf[:0]
    reg = Registry()
    assert reg.acquire_mut(buf) == 0
    try:
        assert reg.acquire(empty) == 0
        reg.release(empty)
    finally:
        reg.release_mut(buf)


class Registry:
    """The borrow registry seen from another module: through the capsule's
    record and its function pointers, as a foreign extension would use it."""

    def __init__(self):
        # Any array call publishes the registry.
        corvane.alphapose_postprocess(np.zeros(51, np.float32), 1.0)
        capsule = getattr(multiarray(), CAPSULE.decode())
        get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
        get_pointer.restype = ctypes.c_void_p
        get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
        acquire = ctypes.CFUNCTYPE(ctypes.c_int32, ctypes.c_void_p, ctypes.c_void_p)
        release = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_void_p)

        class Shared(ctypes.Structure):
            _fields_ = [
                ("version", ctypes.c_uint64),
                ("flags", ctypes.c_void_p),
                ("acquire", acquire),
                ("acquire_mut", acquire),
                ("release", release),
                ("release_mut", release),
            ]

        self.record = Shared.from_address(get_pointer(capsule, CAPSULE))
        assert self.record.version == 1

    def acquire(self, array):
        return self.record.acquire(self.record.flags, id(array))

    def acquire_mut(self, array):
        return self.record.acquire_mut(self.record.flags, id(array))

    def release(self, array):
        self.record.release(self.record.flags, id(array))

    def release_mut(self, array):
        self.record.release_mut(self.record.flags, id(array))


def test_foreign_shared_borrow_blocks_writable_argument():
    reg = Registry()
    src = np.zeros((4, 4, 3), np.uint8)
    dst = np.zeros((3, 4, 4), np.float32)
    assert reg.acquire(dst) == 0
    try:
        assert_panics(ALREADY, corvane.yolov5_det_preprocess, src, dst)
        # A shared borrow of ours next to the foreign one is fine.
        assert len(corvane.alphapose_postprocess(np.zeros(51, np.float32), 1.0)) == 17
        preprocess(src, np.zeros((3, 4, 4), np.float32))
    finally:
        reg.release(dst)
    preprocess(src, dst)


def test_foreign_exclusive_borrow_blocks_read_only_argument():
    reg = Registry()
    pred = np.zeros(51, np.float32)
    assert reg.acquire_mut(pred) == 0
    try:
        assert_panics(ALREADY, corvane.alphapose_postprocess, pred, 1.0)
        assert_panics(ALREADY, corvane.alphapose_postprocess, pred[3:], 1.0)  # overlapping view
    finally:
        reg.release_mut(pred)
    assert len(corvane.alphapose_postprocess(pred, 1.0)) == 17


def test_registry_codes_seen_from_outside():
    reg = Registry()
    a = np.zeros(10, np.float32)
    ro = np.zeros(10, np.float32)
    ro.flags.writeable = False
    assert reg.acquire_mut(ro) == -2
    assert reg.acquire(a) == 0
    assert reg.acquire(a) == 0  # shared borrows count
    assert reg.acquire_mut(a) == -1
    reg.release(a)
    assert reg.acquire_mut(a) == -1
    reg.release(a)
    assert reg.acquire_mut(a) == 0
    assert reg.acquire(a[2:5]) == -1
    reg.release_mut(a)


@pytest.mark.parametrize("fails", [False, True])
def test_every_call_leaves_no_borrow_behind(fails):
    reg = Registry()
    src = np.zeros((4, 4, 3), np.uint8)
    dst = np.zeros((3, 4, 4), np.float32)
    pred = np.zeros(50 if fails else 51, np.float32)
    try:
        corvane.alphapose_postprocess(pred, 1.0)
    except BaseException:
        assert fails
    try:
        corvane.std_preprocess(src, dst, [0, 0, 0], [1, 1] if fails else [1, 1, 1])
    except ValueError:
        assert fails
    for array in (src, dst, pred):
        assert reg.acquire_mut(array) == 0, "a borrow was left behind"
        reg.release_mut(array)


def run_python(code):
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=60
    )


FOREIGN_REGISTRY = """
    import ctypes, numpy as np
    major = int(np.__version__.split(".")[0])
    multiarray = np._core.multiarray if major >= 2 else np.core.multiarray
    ACQ = ctypes.CFUNCTYPE(ctypes.c_int32, ctypes.c_void_p, ctypes.c_void_p)
    REL = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_void_p)
    calls = []
    def recorder(kind, code=None):
        names = {id(src): "src", id(dst): "dst", id(pred): "pred"}
        # Borrows are taken on private views of the caller's arrays.
        base = lambda arr: id(ctypes.cast(arr, ctypes.py_object).value.base)  # noqa: E731
        return lambda flags, arr: calls.append(kind + ":" + names[base(arr)]) or code
    src = np.zeros((4, 4, 3), np.uint8)
    dst = np.zeros((3, 4, 4), np.float32)
    pred = np.zeros(51, np.float32)
    keep = [ACQ(recorder("acquire", SHARED)), ACQ(recorder("acquire_mut", EXCLUSIVE)),
            REL(recorder("release")), REL(recorder("release_mut"))]
    class Shared(ctypes.Structure):
        _fields_ = [("version", ctypes.c_uint64), ("flags", ctypes.c_void_p),
                    ("acquire", ACQ), ("acquire_mut", ACQ), ("release", REL), ("release_mut", REL)]
    record = Shared(VERSION, None, *keep)
    new = ctypes.pythonapi.PyCapsule_New
    new.restype = ctypes.py_object
    new.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
    name = ctypes.c_char_p(NAME)
    multiarray._RUST_NUMPY_BORROW_CHECKING_API = new(ctypes.addressof(record), name, None)
    import corvane
    try:
        if CALL == "pred":
            corvane.alphapose_postprocess(pred, 1.0)
        elif CALL == "fail":
            corvane.std_preprocess(src, dst, [1, 2], [1, 1, 1])
        else:
            corvane.yolov5_det_preprocess(src, dst)
        print("ok", calls)
    except BaseException as e:
        print(type(e).__name__, e, calls)
"""


@pytest.mark.parametrize(
    "call, shared, exclusive, version, name, expected",
    [
        ("pred", 0, 0, 1, CAPSULE, "ok ['acquire:pred', 'release:pred']"),
        ("pred", -1, 0, 1, CAPSULE, f"PanicException {ALREADY} ['acquire:pred']"),
        ("pred", 7, 0, 1, CAPSULE, "PanicException Unexpected return code 7 from borrow checking API ['acquire:pred']"),
        # -2 means "not writeable" only from the exclusive acquire.
        ("pred", -2, 0, 1, CAPSULE, "PanicException Unexpected return code -2 from borrow checking API ['acquire:pred']"),
        ("src", 0, -2, 1, CAPSULE, f"PanicException {NOT_WRITEABLE} ['acquire:src', 'acquire_mut:dst', 'release:src']"),
        ("src", 0, -3, 1, CAPSULE, "PanicException Unexpected return code -3 from borrow checking API"),
        # Writable borrows are given back first.
        ("src", 0, 0, 1, CAPSULE, "ok ['acquire:src', 'acquire_mut:dst', 'release_mut:dst', 'release:src']"),
        ("pred", 0, 0, 0, CAPSULE, "PanicException Interal borrow checking API error"),
        # The registry's functions run Python code; a failing call's pending
        # error is set aside while they run and reaches the caller unchanged.
        ("fail", 0, 0, 1, CAPSULE, "ValueError"),
        # The record is found by the attribute; the capsule's own name does not matter.
        ("pred", 0, 0, 1, b"another name", "ok ['acquire:pred', 'release:pred']"),
    ],
)
def test_existing_registry_is_used(call, shared, exclusive, version, name, expected):
    code = FOREIGN_REGISTRY
    for key, value in [("SHARED", shared), ("EXCLUSIVE", exclusive), ("VERSION", version),
                       ("NAME", repr(name)), ("CALL", repr(call))]:
        code = code.replace(key, str(value))
    out = run_python(code)
    assert out.stdout.strip().startswith(expected), out.stdout + out.stderr


def test_registry_attribute_that_is_not_a_capsule():
    out = run_python(
        """
        import numpy as np, corvane
        major = int(np.__version__.split(".")[0])
        ma = np._core.multiarray if major >= 2 else np.core.multiarray
        ma._RUST_NUMPY_BORROW_CHECKING_API = 42
        try:
            corvane.alphapose_postprocess(np.zeros(51, np.float32), 1.0)
        except BaseException as e:
            print(type(e).__name__, e)
        """
    )
    assert out.stdout.startswith("PanicException Interal borrow checking API error"), out.stdout


# -- contiguity and memory order --------------------------------------------


def fortran(shape, dtype):
    """An array that is Fortran- but not C-contiguous, with non-zero values."""
    a = np.asfortranarray(np.arange(1, np.prod(shape) + 1).reshape(shape).astype(dtype))
    assert a.flags.f_contiguous and not a.flags.c_contiguous
    return a


U8, F32 = np.uint8, np.float32
SRC, DST = ((6, 8, 3), U8), ((3, 4, 4), F32)
# Every array argument of every function, each made Fortran-ordered in turn.
FORTRAN_CASES = [
    ("yolov5_det_preprocess", [SRC, DST], []),
    ("yolov5_cls_preprocess", [SRC, DST], []),
    ("std_preprocess", [SRC, DST], [[0.0, 0.0, 0.0], [1.0, 1.0, 1.0]]),
    ("rtmpose_preprocess", [SRC, DST], [1.25]),
    ("yolov5_postprocess", [((1, 6, 85), F32)], [0.5, 0.25]),
    ("yolov8_det_postprocess", [((1, 84, 6), F32)], [0.5, 0.25]),
    ("yolov8_seg_postprocess", [((1, 116, 6), F32)], [0.5, 0.25, 32]),
    ("yolov8_property_postprocess", [((1, 10, 6), F32)], [0.5, 0.25, 2, [True], [4]]),
    ("alphapose_postprocess", [((17, 3), F32)], [1.0]),
    ("rtmpose_postprocess", [((1, 17, 8), F32), ((1, 17, 8), F32)], [[(1.0, 0, 0)]]),
    ("yolov8_pose_postprocess", [((1, 56, 6), F32)], [0.5, 0.25, 17]),
]


@pytest.mark.parametrize("name, arrays, scalars, which", [
    (name, arrays, scalars, k) for name, arrays, scalars in FORTRAN_CASES for k in range(len(arrays))
])
def test_fortran_ordered_array_is_refused(name, arrays, scalars, which):
    args = [np.ascontiguousarray(np.ones(shape, dtype)) for shape, dtype in arrays]
    getattr(corvane, name)(*args, *scalars)  # the C-ordered call is fine
    args[which] = fortran(*arrays[which])
    before = [a.copy() for a in args]
    assert_panics(NOT_CONTIGUOUS, getattr(corvane, name), *args, *scalars)
    for a, b in zip(args, before):
        assert np.array_equal(a, b), "nothing is written"
    reg = Registry()
    for a in args:
        assert reg.acquire_mut(a) == 0, "a borrow was left behind"
        reg.release_mut(a)


@pytest.mark.parametrize("shape", [(51,), (1, 51), (51, 1), (1, 51, 1)])
def test_arrays_both_c_and_fortran_ordered_are_accepted(shape):
    pred = np.arange(51, dtype=np.float32).reshape(shape)
    assert pred.flags.c_contiguous and pred.flags.f_contiguous
    assert corvane.alphapose_postprocess(pred, 1.0) == corvane.alphapose_postprocess(pred.ravel(), 1.0)


def test_non_contiguous_view_panics_and_releases():
    pred = np.zeros((17, 6), np.float32)
    assert_panics(NOT_CONTIGUOUS, corvane.alphapose_postprocess, pred[:, ::2], 1.0)
    reg = Registry()
    assert reg.acquire_mut(pred) == 0
    reg.release_mut(pred)


def test_refcounts_unchanged():
    src = np.zeros((4, 4, 3), np.uint8)
    dst = np.zeros((3, 4, 4), np.float32)
    pred = np.zeros(51, np.float32)
    short = np.zeros(5, np.float32)
    before = [sys.getrefcount(a) for a in (src, dst, pred, short)]
    for _ in range(50):
        corvane.alphapose_postprocess(pred, 2.0)
        try:
            corvane.alphapose_postprocess(short, 2.0)
        except BaseException:
            pass
        try:
            corvane.alphapose_postprocess(pred, "x")
        except TypeError:
            pass
        preprocess(src, dst)
        try:
            corvane.yolov5_det_preprocess(src, src)
        except TypeError:
            pass
    assert [sys.getrefcount(a) for a in (src, dst, pred, short)] == before
