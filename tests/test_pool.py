"""The process-wide worker pool, seen from Python.

Every case runs in a fresh interpreter: the pool is created once per process
and reads its environment variables only then.
"""

import os
import subprocess
import sys
import textwrap

import pytest

AFFINITY = len(os.sched_getaffinity(0))

# Prints the number of threads the process gains at import and at the first
# call that uses the pool, then after more calls. The calling thread is one of
# the pool's computing threads, so a pool of n starts n - 1.
COUNT_THREADS = textwrap.dedent(
    """
    import os
    import numpy as np

    def threads():
        return len(os.listdir("/proc/self/task"))

    before_import = threads()
    import corvane
    before = threads()
    src = np.arange(6 * 5 * 3, dtype=np.uint8).reshape(6, 5, 3)
    dst = np.zeros((3, 8, 8), np.float32)
    corvane.yolov5_det_preprocess(src, dst)
    after = threads()
    for _ in range(20):
        corvane.yolov5_det_preprocess(src, dst)
    print(before - before_import, after - before, threads() - after)
    """
)


def run_python(code, env_vars, preexec_fn=None, timeout=60):
    """Runs `code` (source text, or the path of a script) in a fresh interpreter."""
    env = {k: v for k, v in os.environ.items() if k not in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS")}
    env.update(env_vars)
    args = [str(code)] if isinstance(code, os.PathLike) else ["-c", code]
    done = subprocess.run(
        [sys.executable, *args],
        env=env,
        capture_output=True,
        text=True,
        timeout=timeout,
        preexec_fn=preexec_fn,
    )
    assert done.returncode == 0, done.stderr
    return done.stdout.strip()


def workers_started(env_vars, preexec_fn=None):
    out = run_python(COUNT_THREADS, env_vars, preexec_fn)
    at_import, first_call, later = map(int, out.split())
    assert at_import == 0, "the pool must not start at import"
    assert later == 0, "later calls must reuse the pool"
    return first_call


@pytest.mark.parametrize(
    "env_vars, expected",
    [
        ({"RAYON_NUM_THREADS": "4"}, 4),
        ({"RAYON_NUM_THREADS": "+4"}, 4),
        ({"RAYON_NUM_THREADS": "1", "RAYON_RS_NUM_CPUS": "3"}, 1),
        ({"RAYON_NUM_THREADS": "0", "RAYON_RS_NUM_CPUS": "3"}, AFFINITY),
        ({"RAYON_NUM_THREADS": "-1", "RAYON_RS_NUM_CPUS": "3"}, 3),
        ({"RAYON_NUM_THREADS": " 4", "RAYON_RS_NUM_CPUS": "3"}, 3),
        ({"RAYON_NUM_THREADS": "4x", "RAYON_RS_NUM_CPUS": "3"}, 3),
        ({"RAYON_NUM_THREADS": "", "RAYON_RS_NUM_CPUS": "3"}, 3),
        ({"RAYON_NUM_THREADS": "99999999999999999999", "RAYON_RS_NUM_CPUS": "3"}, 3),
        ({"RAYON_RS_NUM_CPUS": "5"}, 5),
        ({"RAYON_RS_NUM_CPUS": "0"}, AFFINITY),
        ({"RAYON_RS_NUM_CPUS": "five"}, AFFINITY),
        ({}, AFFINITY),
    ],
)
def test_worker_count_rules(env_vars, expected):
    assert workers_started(env_vars) == expected - 1


def test_default_count_follows_the_affinity_mask():
    cpu = min(os.sched_getaffinity(0))
    assert workers_started({}, preexec_fn=lambda: os.sched_setaffinity(0, {cpu})) == 0


# Every kernel family that runs on the pool, on seeded random inputs; the
# printed digest must not depend on the worker count.
ALL_KERNELS = textwrap.dedent(
    """
    import hashlib
    import numpy as np
    import corvane

    rng = np.random.default_rng(7)
    digest = hashlib.sha256()
    src = rng.integers(0, 256, size=(97, 131, 3), dtype=np.uint8)
    for fn, args in [
        (corvane.yolov5_det_preprocess, ()),
        (corvane.yolov5_cls_preprocess, ()),
        (corvane.std_preprocess, ([0.4, 0.5, 0.6], [0.2, 0.25, 0.3])),
        (corvane.rtmpose_preprocess, (1.25,)),
    ]:
        dst = np.full((3, 64, 48), 0.5, np.float32)
        digest.update(repr(fn(src, dst, *args)).encode())
        digest.update(dst.tobytes())

    pred = rng.random((3, 300, 5 + 6), dtype=np.float32)
    pred[..., :4] *= 64
    digest.update(repr(corvane.yolov5_postprocess(pred, 0.45, 0.3)).encode())
    pred8 = rng.random((3, 4 + 6, 200), dtype=np.float32)
    pred8[:, :4] *= 64
    digest.update(repr(corvane.yolov8_det_postprocess(pred8, 0.45, 0.3)).encode())
    x = rng.random((5, 17, 96), dtype=np.float32)
    y = rng.random((5, 17, 128), dtype=np.float32)
    pads = [(1.5 + k, k, 2 * k) for k in range(5)]
    digest.update(repr(corvane.rtmpose_postprocess(x, y, pads)).encode())
    crops_dst = np.empty((4, 3, 64, 48), np.float32)
    crops = corvane.rtmpose_affine_preprocess(src, [(-9.5, 3, 40, 90), (20, 10.25, 150, 60), (5, 5, 6, 6)], crops_dst)
    digest.update(crops_dst[:3].tobytes())
    digest.update(repr(corvane.rtmpose_affine_postprocess(x, y, crops)).encode())
    print(digest.hexdigest())
    """
)


def test_results_do_not_depend_on_the_worker_count():
    digests = {n: run_python(ALL_KERNELS, {"RAYON_NUM_THREADS": str(n)}) for n in (1, 2, 8)}
    assert len(set(digests.values())) == 1, digests


FORK_CHILD = textwrap.dedent(
    """
    import multiprocessing as mp
    import numpy as np
    import corvane

    def letterbox(seed):
        src = np.random.default_rng(seed).integers(0, 256, size=(40, 30, 3), dtype=np.uint8)
        dst = np.zeros((3, 32, 32), np.float32)
        corvane.yolov5_det_preprocess(src, dst)
        return dst

    if __name__ == "__main__":
        expected = [letterbox(s) for s in range(4)]  # the parent's pool is running
        ctx = mp.get_context("fork")
        with ctx.Pool(2) as pool:
            got = pool.map_async(letterbox, range(4)).get(timeout=30)
        assert all(np.array_equal(a, b) for a, b in zip(got, expected))
        child = ctx.Process(target=letterbox, args=(9,))
        child.start()
        child.join(30)
        assert child.exitcode == 0, child.exitcode
        print("ok")
    """
)


def test_forked_child_gets_a_working_pool(tmp_path):
    script = tmp_path / "fork_child.py"
    script.write_text(FORK_CHILD)
    assert run_python(script, {"RAYON_NUM_THREADS": "2"}) == "ok"



NARROWING = textwrap.dedent(
    """
    import os, sys, threading, time, numpy as np, corvane

    allowed = os.sched_getaffinity(0)
    narrow = {min(allowed)}
    src, dst = np.zeros((720, 1280, 3), np.uint8), np.zeros((3, 640, 640), np.float32)
    stop = threading.Event()

    def calls():
        while not stop.is_set():
            corvane.yolov5_det_preprocess(src, dst)
            time.sleep(PAUSE)  # long enough for the pool threads to fall asleep

    def set_all(cpus):
        for tid in os.listdir("/proc/self/task"):
            try:
                os.sched_setaffinity(int(tid), cpus)
            except ProcessLookupError:
                pass

    caller = threading.Thread(target=calls)
    caller.start()
    widened = 0
    for _ in range(150):
        set_all(allowed)
        time.sleep(0.002)
        set_all(narrow)
        time.sleep(0.003)
        widened += any(os.sched_getaffinity(int(tid)) != narrow for tid in os.listdir("/proc/self/task"))
    stop.set()
    caller.join()
    print(widened)
    """
)


@pytest.mark.skipif(len(os.sched_getaffinity(0)) < 2, reason="needs two processors")
@pytest.mark.parametrize("pause", ["0", "0.002"])
def test_affinity_narrowed_for_every_thread_stays_narrowed(pause):
    # A process narrowed to one processor while it computes (taskset -a)
    # must find every thread, the pool's included, still narrowed later.
    env = dict(os.environ, RAYON_NUM_THREADS="2")
    out = subprocess.run([sys.executable, "-c", NARROWING.replace("PAUSE", pause)], env=env,
                         capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == ["0"], "narrowings undone"
