"""Leaks, determinism across worker counts, and concurrent use from threads."""

import hashlib
import os
import pickle
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest

import corvane
from helpers import guarded

SANITIZED = bool(os.environ.get("CORVANE_EXPECT_SANITIZED"))


def workload(rng):
    """One successful and one failing call per function: (name, args, fails)."""
    img = rng.integers(0, 256, size=(37, 53, 3), dtype=np.uint8)
    v5 = rng.random((2, 60, 9), dtype=np.float32)
    v8 = rng.random((2, 10, 70), dtype=np.float32)
    px = rng.random((3, 17, 24), dtype=np.float32)
    py = rng.random((3, 17, 30), dtype=np.float32)
    protos = rng.standard_normal((2, 2, 12, 16)).astype(np.float32)
    masks = np.zeros((1, 20, 32), np.uint8)
    word = bytearray(8)
    dst = lambda: np.zeros((3, 32, 32), np.float32)  # noqa: E731
    return [
        ("yolov5_det_preprocess", (img, dst()), (img, np.zeros((2, 32, 32), np.float32))),
        ("yolov5_cls_preprocess", (img, dst()), (img, np.zeros((32, 32), np.float32))),
        ("std_preprocess", (img, dst(), [1, 2, 3], [4, 5, 6]), (img, dst(), [1, 2], [4, 5, 6])),
        ("rtmpose_preprocess", (img, dst(), 0.25), (img, dst(), "x")),
        ("get_padding", (1280, 720, 640, 640), (2**40, 1, 1, 1)),
        ("get_auto_resize", (1280, 720, 640, 640), (1.5, 1, 1, 1)),
        ("yolov5_postprocess", (v5, 0.5, 0.3), (v5[:, :, :3].copy(), 0.5, 0.3)),
        ("yolov8_det_postprocess", (v8, 0.5, 0.3), (v8[:, :3].copy(), 0.5, 0.3)),
        ("yolov8_seg_postprocess", (v8, 0.5, 0.3, 2), (v8, 0.5, 0.3, 2**64 - 1)),
        (
            "yolov8_property_postprocess",
            (v8, 0.5, 0.3, 3, [True, False, True], [2, 1]),
            (v8, 0.5, 0.0, 3, [True], [2, 1]),
        ),
        ("alphapose_postprocess", (px[0], 2.0), (px[0, :2, :2].copy(), 2.0)),
        (
            "rtmpose_postprocess",
            (px, py, [(1.5, 2, 3), (2.0, 0, 1), (0.5, 1, 1)]),
            (px, py, [(1.5, 2, 3)] * 4),
        ),
        (
            "yolov8_seg_masks",
            (v8, protos, 1, [(3.0, 4.0, 40.0, 30.0, 0, 0.9, 5)], (64, 48), (2.0, 0, 4), masks),
            (v8, protos, 1, [(3.0, 4.0, 40.0, 30.0, 0, 0.9, 70)], (64, 48), (2.0, 0, 4), masks),
        ),
        ("yolov8_pose_postprocess", (v8, 0.5, 0.3, 1), (v8, 0.5, 0.3, 2)),
        (
            "rtmpose_affine_preprocess",
            (img, [(3.0, 4.0, 40.0, 30.0), (-5, 20, 60, 50)], np.zeros((2, 3, 16, 12), np.float32)),
            (img, [(3.0, 4.0, 40.0, 30.0)], np.zeros((3, 16, 12), np.float32)),
        ),
        (
            "rtmpose_affine_postprocess",
            (px, py, [(20.0, 15.0, 30.0, 40.0)] * 3),
            (px, py, [(20.0, 15.0, 30.0, 40.0)] * 4),
        ),
        ("compare_exchange", (word, 0, 0), (bytes(4), 0, 0)),
        ("fetch_add_seq_cst", (word, 1), (word, 2**32)),
        ("fetch_sub_seq_cst", (word, 1), (bytearray(2), 1)),
        ("fetch_add_release", (word, 1), (np.zeros(4, np.uint32), 1)),
        ("fetch_sub_release", (word, 1), (memoryview(word)[1:], 1)),
        ("compare_exchange_add", (word, 3), (12, 3)),
        ("compare_exchange_sub", (word, 3), (word, -3)),
        ("letterbox_linear", (img, dst(), 114), (img, np.zeros((32, 32, 3), np.float32), 114)),
        ("yolov8_obb_postprocess", (v8, 0.5, 0.3), (v8[:, :5].copy(), 0.5, 0.3)),
    ]


def call(name, args):
    try:
        return getattr(corvane, name)(*args)
    except (TypeError, ValueError, OverflowError, BufferError):
        return "error"
    except BaseException as e:
        if type(e).__name__ != "PanicException":
            raise
        return "panic"


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(SANITIZED, reason="resident memory is meaningless under the sanitizer")
def test_repeated_calls_do_not_grow_memory():
    rng = np.random.default_rng(1)
    calls = workload(rng)
    names = {name for name, _, _ in calls}
    assert names == set(corvane.__all__)
    # Each panic writes a report to standard error; keeping those reports
    # (as output capture would) is memory that is not corvane's.
    saved = os.dup(2)
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 2)
    try:
        for _ in range(500):  # warm-up: pool, caches, allocator arenas
            for name, good, bad in calls:
                call(name, good)
                call(name, bad)
        start = rss_bytes()
        for _ in range(20_000):
            for name, good, bad in calls:
                call(name, good)
                call(name, bad)
        grown = rss_bytes() - start
    finally:
        os.dup2(saved, 2)
        os.close(saved)
        os.close(devnull)
    assert grown < 2 * 2**20, f"resident memory grew by {grown} bytes"


DETERMINISM = """
import hashlib, pickle, sys, numpy as np, corvane
sys.path.insert(0, {tests!r})
from test_robustness import workload
out = []
for name, good, bad in workload(np.random.default_rng(5)):
    args = [a.copy() if isinstance(a, np.ndarray) else a for a in good]
    result = getattr(corvane, name)(*args)
    written = [a.tobytes() for a in args if isinstance(a, np.ndarray)]
    out.append((name, repr(result), written))
print(hashlib.sha256(pickle.dumps(out)).hexdigest())
"""


def test_results_identical_for_any_worker_count():
    tests = os.path.dirname(__file__)
    digests = set()
    for n in ("1", "2", "3", "8"):
        env = dict(os.environ, RAYON_NUM_THREADS=n)
        out = subprocess.run(
            [sys.executable, "-c", DETERMINISM.format(tests=tests)],
            env=env, capture_output=True, text=True, timeout=120,
        )
        assert out.returncode == 0, out.stderr
        digests.add(out.stdout.strip())
    assert len(digests) == 1


def test_threads_calling_at_once_get_correct_results():
    rng = np.random.default_rng(3)
    calls = [(n, g) for n, g, _ in workload(rng) if not n.startswith(("fetch", "compare"))]
    expected = {name: repr(getattr(corvane, name)(*args)) for name, args in calls}
    v8, protos = dict(calls)["yolov8_seg_masks"][:2]
    failures = []

    def worker(seed):
        order = np.random.default_rng(seed).permutation(len(calls))
        for _ in range(20):
            for k in order:
                name, args = calls[k]
                args = [a.copy() if isinstance(a, np.ndarray) and a.dtype == np.float32 and a.ndim == 3
                        and name.endswith("preprocess") else a for a in args]
                if repr(getattr(corvane, name)(*args)) != expected[name]:
                    failures.append(name)
            # A panic in one thread leaves the pool usable for the others.
            assert call("rtmpose_postprocess", (v8, protos, [(1.0, 0, 0)] * 9)) == "panic"

    threads = [threading.Thread(target=worker, args=(s,)) for s in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []


OUT_OF_MEMORY = """
import resource, numpy as np, corvane
pred = np.ones((2, 1_000_000, 6), np.float32)  # every row passes: one candidate per row
corvane.yolov5_postprocess(np.ones((2, 4, 6), np.float32), 0.5, 0.5)  # the pool exists before memory runs short
with open("/proc/self/statm") as f:
    mapped = int(f.read().split()[0]) * resource.getpagesize()
resource.setrlimit(resource.RLIMIT_AS, (mapped + 16 * 2**20, resource.RLIM_INFINITY))
try:
    corvane.yolov5_postprocess(pred, 0.5, 0.5)
    print("no failure")
except BaseException as e:
    print(type(e).__name__)
"""


@pytest.mark.skipif(SANITIZED, reason="the sanitizer reserves address space of its own")
@pytest.mark.parametrize("workers", ["1", "2"])
def test_allocation_failure_on_a_worker_is_memory_error(workers):
    # The per-image candidates are collected on the workers; running out of
    # memory there reaches Python as MemoryError, never as a panic or a crash.
    env = dict(os.environ, RAYON_NUM_THREADS=workers)
    out = subprocess.run([sys.executable, "-c", OUT_OF_MEMORY], env=env, capture_output=True,
                         text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "MemoryError", out.stdout + out.stderr


@pytest.mark.parametrize("name, shape", [("yolov5_postprocess", (2**40, 0, 85)),
                                         ("yolov8_det_postprocess", (2**40, 84, 0))])
def test_batch_too_large_to_answer_is_memory_error(name, shape):
    # 2^40 empty images fit in no memory as 2^40 result lists: MemoryError,
    # sanitized build included, before any image is decoded.
    pred = np.lib.stride_tricks.as_strided(np.zeros(1, np.float32), shape, (0, 0, 0))
    with pytest.raises(MemoryError):
        getattr(corvane, name)(pred, 0.5, 0.5)


RACE = """
import sys, threading, time, numpy as np, corvane
sys.path.insert(0, TESTS)
from helpers import guarded

F = np.float32


def peaked(lines, length, share, seed):
    # (lines, length) values below 0.5, a share of the lines with one 0.95
    # peak, and the same values with every peak one ulp higher.
    rng = np.random.default_rng(seed)
    a = rng.random((lines, length), dtype=F) * 0.5
    hit = rng.random(lines) < share
    a[hit, rng.integers(0, length, lines)[hit]] = 0.95
    return a, np.where(a == F(0.95), np.nextafter(a, F(1)), a)


def flipping(a, b):
    buf = guarded(a)
    stop = threading.Event()
    def writer():
        while not stop.is_set():
            np.copyto(buf, b)
            np.copyto(buf, a)
    threading.Thread(target=writer, daemon=True).start()
    return buf, stop


name = sys.argv[1]
sys.setswitchinterval(1e-5)  # hand the lock to the writer often
if name == "rtmpose":
    (x, x2), (y, y2) = peaked(8 * 17, 192, 1, 1), peaked(8 * 17, 256, 1, 2)
    bx, sx = flipping(x.reshape(8, 17, 192), x2.reshape(8, 17, 192))
    by, sy = flipping(y.reshape(8, 17, 256), y2.reshape(8, 17, 256))
    deadline = time.monotonic() + 2
    while time.monotonic() < deadline:
        for crop in corvane.rtmpose_postprocess(bx, by, [(1.0, 0, 0)] * 8):
            for kx, ky, _ in crop:
                assert 0 <= kx < 96 and 0 <= ky < 128, (kx, ky)
    sx.set(); sy.set()
else:
    classes, trailing = 80, {"seg": 32, "property": 3}.get(name, 0)
    rows = 1024
    # Few passing rows, so that their classes are searched after the maxima.
    a, b = peaked(2 * rows, classes, 0.04, 0)
    head = np.full((2 * rows, 4), 0.9, F)
    if name == "yolov5":
        # Objectness 1 keeps the products exactly the scores, one ulp apart.
        head = np.hstack([head, np.ones((2 * rows, 1), F)])
    tail = np.full((2 * rows, trailing), 0.5, F)
    a, b = (np.hstack([head, s, tail]).reshape(2, rows, -1) for s in (a, b))
    if name != "yolov5":
        a, b = (np.ascontiguousarray(s.transpose(0, 2, 1)) for s in (a, b))
    call = {
        "yolov5": lambda p: corvane.yolov5_postprocess(p, 0.9, 0.6),
        "yolov8": lambda p: corvane.yolov8_det_postprocess(p, 0.9, 0.6),
        "seg": lambda p: corvane.yolov8_seg_postprocess(p, 0.9, 0.6, trailing),
        "property": lambda p: [[d for d, _ in image] for image in corvane.yolov8_property_postprocess(
            p, 0.9, 0.6, classes, [True] * classes, [2, 1])],
    }[name]
    buf, stop = flipping(a, b)
    deadline = time.monotonic() + 2
    while time.monotonic() < deadline:
        for image in call(buf):
            for d in image:
                assert 0 <= d[4] < classes, d
                assert len(d) < 7 or 0 <= d[6] < rows, d
    stop.set()
print("ok")
"""


@pytest.mark.parametrize("name", ["yolov8", "seg", "property", "yolov5", "rtmpose"])
def test_input_changed_by_another_thread_never_reads_outside_it(name):
    # Another writer refreshes the output in place between the maximum and
    # the search for its position: the result may be inconsistent but must
    # stay in range, and no read may pass the end of the array.
    code = RACE.replace("TESTS", repr(os.path.dirname(__file__)))
    out = subprocess.run([sys.executable, "-c", code, name], capture_output=True, text=True,
                         timeout=120)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "ok"


class Reinterpreting:
    """A number whose conversion reinterprets an array already accepted."""

    def __init__(self, value, array=None):
        self.value, self.array = value, array

    def _run(self):
        a = self.array
        if a is not None and a.dtype == np.float32:
            a.dtype = np.uint8  # four times as many elements over the same bytes
        elif a is not None:
            a.shape = a.shape[::-1]
        return self.value

    def __float__(self):
        return float(self._run())

    def __index__(self):
        return int(self._run())


def _reinterpreted_calls():
    # (function, arrays, args(arrays, number)); `number` wraps a value whose
    # conversion runs after every array of the row has been accepted.
    rng = np.random.default_rng(7)
    img = rng.integers(0, 256, (37, 53, 3), np.uint8)
    v5 = rng.random((2, 60, 9), dtype=np.float32)
    v8 = rng.random((2, 10, 70), dtype=np.float32)
    px, py = rng.random((3, 17, 24), dtype=np.float32), rng.random((3, 17, 30), dtype=np.float32)
    protos = rng.standard_normal((2, 2, 12, 16)).astype(np.float32)
    planes, masks = np.zeros((3, 32, 32), np.float32), np.zeros((1, 20, 32), np.uint8)
    return [
        ("std_preprocess", (img, planes), lambda a, n: (*a, [n(1), 2, 3], [4, 5, 6])),
        ("rtmpose_preprocess", (img, planes), lambda a, n: (*a, n(0.25))),
        ("yolov5_postprocess", (v5,), lambda a, n: (*a, n(0.5), 0.3)),
        ("yolov8_det_postprocess", (v8,), lambda a, n: (*a, n(0.5), 0.3)),
        ("yolov8_seg_postprocess", (v8,), lambda a, n: (*a, 0.5, 0.3, n(2))),
        ("yolov8_property_postprocess", (v8,),
         lambda a, n: (*a, 0.5, 0.3, 3, [True, False, True], [n(2), 1])),
        ("alphapose_postprocess", (px[0],), lambda a, n: (*a, n(2.0))),
        ("rtmpose_postprocess", (px, py), lambda a, n: (*a, [(n(1.5), 2, 3)] * 3)),
        ("yolov8_seg_masks", (v8, protos, masks),
         lambda a, n: (a[0], a[1], 1, [(n(3.0), 4.0, 40.0, 30.0, 0, 0.9, 5)], (64, 48), (2.0, 0, 4),
                       a[2])),
    ]


@pytest.mark.filterwarnings("ignore::DeprecationWarning")
@pytest.mark.parametrize("name, k", [(name, k) for name, arrays, _ in _reinterpreted_calls()
                                     for k in range(min(len(arrays), 2))])  # masks' dst: last
def test_array_reinterpreted_by_a_later_conversion_is_used_as_checked(name, k):
    # The later argument's conversion changes the element type (float32) or
    # the shape (uint8) of array k in place. The call computes on the array
    # as it was checked: the same result and the same bytes written as
    # without the change, and nothing read or written past its end.
    _, arrays, args = next(row for row in _reinterpreted_calls() if row[0] == name)
    expected_out = [a.copy() for a in arrays]
    expected = getattr(corvane, name)(*args(expected_out, lambda v: v))
    inputs = [guarded(a) for a in arrays]
    written = [a[...] for a in inputs]  # views that keep the original element type
    actual = getattr(corvane, name)(*args(inputs, lambda v: Reinterpreting(v, inputs[k])))
    assert actual == expected
    for have, want in zip(written, expected_out):
        np.testing.assert_array_equal(have, want)


class Restriding:
    """A number whose conversion gives axis 1 (of length 1) of an array another stride."""

    def __init__(self, value, array):
        self.value, self.array = value, array

    def __float__(self):
        strides = list(self.array.strides)
        strides[1] = 2  # still C-contiguous over the same bytes, another common stride
        self.array.strides = strides
        return self.value


@pytest.mark.filterwarnings("ignore::DeprecationWarning")
@pytest.mark.parametrize("name, args", [
    ("std_preprocess", lambda a, n: (np.zeros((4, 4, 3), np.uint8), a, [n, 0, 0], [1, 1, 1])),
    ("yolov5_postprocess", lambda a, n: (a, n, 0.5)),
])
def test_borrow_is_given_back_after_strides_changed_during_the_call(name, args):
    # The array is then free for a call that borrows it exclusively.
    a = np.zeros((3, 1, 8), np.float32)
    getattr(corvane, name)(*args(a, Restriding(0.5, a)))
    assert a.strides[1] == 2
    corvane.yolov5_det_preprocess(np.zeros((4, 4, 3), np.uint8), a)


FORK_IN_CONVERSION = """
import os, sys, threading, time, warnings, numpy as np, corvane
warnings.simplefilter("ignore")  # fork() of a process with threads
src, dst = np.zeros((4, 4, 3), np.uint8), np.zeros((3, 4, 4), np.float32)
inside, done = threading.Event(), threading.Event()
pred, protos = np.zeros((1, 4, 1), np.float32), np.zeros((1, 0, 2, 2), np.float32)
def borrowed(a):  # whether a call that takes `a` exclusively is refused
    try:
        if a is src:
            corvane.yolov8_seg_masks(pred, protos, 0, [], (1, 1), (1.0, 0, 0), a)
        else:
            corvane.yolov5_det_preprocess(np.zeros((4, 4, 3), np.uint8), a)
    except BaseException as e:
        assert type(e).__name__ == "PanicException", e
        return True
    return False
def fork_and_check(during):
    pid = os.fork()
    if pid == 0:
        os._exit(int(during) + 2 * borrowed(CHECKED))
    return os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])
class Pause:
    def __float__(self):
        if WHO == "self":
            print(fork_and_check(True))
        else:
            inside.set()
            done.wait()
        return 0.0
worker = threading.Thread(target=corvane.std_preprocess, args=(src, dst, [Pause(), 0, 0], [1, 1, 1]))
worker.start()
if WHO == "other":
    inside.wait()
    print(fork_and_check(False))
    done.set()
worker.join()
"""


@pytest.mark.parametrize("who, checked, expected", [
    # The child has no thread to end the other thread's call: its borrows go.
    ("other", "dst", 0),
    ("other", "src", 0),
    # The call of the forking thread goes on in the child and holds its own.
    ("self", "dst", 3),
])
def test_fork_during_a_call_leaves_the_child_only_its_own_borrows(who, checked, expected):
    code = FORK_IN_CONVERSION.replace("WHO", repr(who)).replace("CHECKED", checked)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == [str(expected)]
