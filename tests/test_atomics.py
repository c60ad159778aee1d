"""Atomic operations on the 32-bit word at the start of a shared buffer."""

import multiprocessing as mp
import sys
import threading
from multiprocessing import shared_memory

import numpy as np
import pytest

import corvane

M = 2**32
FETCH = {
    "fetch_add_seq_cst": lambda w, v: w + v,
    "fetch_add_release": lambda w, v: w + v,
    "fetch_sub_seq_cst": lambda w, v: w - v,
    "fetch_sub_release": lambda w, v: w - v,
}
ALL = [*FETCH, "compare_exchange", "compare_exchange_add", "compare_exchange_sub"]
U32 = np.dtype("=u4")


def memory(buf):
    """The buffer's bytes in memory order."""
    if isinstance(buf, np.ndarray):
        return buf.ravel(order="K").tobytes()
    return bytes(buf)


def word(buf):
    return int(np.frombuffer(memory(buf), dtype=U32, count=1)[0])


def buffer_with(value, size=8, fill=0xA5):
    """A bytearray holding `value` as its word, the other bytes set to `fill`."""
    buf = bytearray([fill]) * size
    buf[:4] = np.array([value], dtype=U32).tobytes()
    return buf


def call(name, buf, *operands):
    return getattr(corvane, name)(buf, *operands)


@pytest.mark.parametrize("name", FETCH)
@pytest.mark.parametrize("start, val", [(0, 0), (7, 0), (0, 1), (M - 1, 1), (1, M - 1), (5, 12),
                                        (M - 1, M - 1), (0x8000_0000, 0x8000_0000)])
def test_fetch_ops_wrap_and_touch_only_the_word(name, start, val):
    buf = buffer_with(start)
    assert call(name, buf, val) == start
    assert word(buf) == FETCH[name](start, val) % M
    assert buf[4:] == bytearray([0xA5]) * 4


def test_compare_exchange():
    buf = buffer_with(41)
    assert corvane.compare_exchange(buf, 40, 9) is False
    assert word(buf) == 41
    assert corvane.compare_exchange(buf, 41, M - 1) is True
    assert word(buf) == M - 1
    assert corvane.compare_exchange(data_ptr=buf, new=3, cur=M - 1) is True
    assert word(buf) == 3
    assert buf[4:] == bytearray([0xA5]) * 4


@pytest.mark.parametrize("start, delta", [(0, 1), (M - 1, 1), (10, 0), (3, M - 1), (123, 456)])
def test_compare_exchange_add_sub_on_an_idle_word(start, delta):
    buf = buffer_with(start)
    ok, value = corvane.compare_exchange_add(buf, delta)
    assert (ok, value) == (True, start) and type(ok) is bool
    assert word(buf) == (start + delta) % M
    ok, value = corvane.compare_exchange_sub(buf, delta)
    assert (ok, value) == (True, (start + delta) % M)
    assert word(buf) == start
    assert buf[4:] == bytearray([0xA5]) * 4


@pytest.mark.parametrize("name", ALL)
def test_operand_errors_leave_the_word_untouched(name):
    n_operands = 2 if name == "compare_exchange" else 1
    for bad, exc, message in [
        (M, OverflowError, "out of range integral type conversion attempted"),
        (-1, OverflowError, "can't convert negative int to unsigned"),
        (2**64, OverflowError, "int too big to convert"),
        (1.0, TypeError, None),
    ]:
        for slot in range(n_operands):
            operands = [0] * n_operands
            operands[slot] = bad
            buf = buffer_with(0)
            # Operands are converted before the buffer is requested, so even a
            # non-buffer data_ptr reports the operand's error.
            for target in (buf, 5):
                with pytest.raises(exc) as info:
                    call(name, target, *operands)
                if message is not None:
                    assert str(info.value) == message
                else:
                    param = {"compare_exchange": ["cur", "new"][slot]}.get(
                        name, "delta" if "exchange" in name else "val")
                    assert str(info.value) == (
                        f"argument '{param}': 'float' object cannot be interpreted as an integer")
            assert word(buf) == 0


ACCEPTED = {
    "bytearray": lambda: bytearray(8),
    "memoryview": lambda: memoryview(bytearray(8)),
    "memoryview @B": lambda: memoryview(bytearray(8)).cast("@B"),
    "memoryview c": lambda: memoryview(bytearray(8)).cast("c"),
    "numpy uint8": lambda: np.zeros(8, np.uint8),
    "numpy uint8 2-d": lambda: np.zeros((2, 4), np.uint8),
    "numpy uint8 F-order": lambda: np.zeros((4, 2), np.uint8).T,
}


@pytest.mark.parametrize("make", ACCEPTED.values(), ids=ACCEPTED.keys())
def test_accepted_buffers(make):
    buf = make()
    assert corvane.fetch_add_seq_cst(buf, 3) == 0
    assert corvane.fetch_sub_release(buf, 1) == 3
    assert corvane.compare_exchange_add(buf, 10) == (True, 2)
    assert word(buf) == 12


def test_shared_memory_buffer_is_accepted_and_released():
    shm = shared_memory.SharedMemory(create=True, size=16)
    try:
        assert corvane.fetch_add_seq_cst(shm.buf, 5) == 0
        other = shared_memory.SharedMemory(name=shm.name)
        assert corvane.fetch_add_release(other.buf, 1) == 5
        assert word(shm.buf) == 6
        other.close()  # fails with BufferError if a view were still exported
    finally:
        shm.close()
        shm.unlink()


def _readonly_array():
    a = np.zeros(8, np.uint8)
    a.flags.writeable = False
    return a


REFUSED = {
    "bytes": (lambda: b"\0" * 8, BufferError, "buffer must be writable"),
    "read-only numpy": (_readonly_array, BufferError, "buffer must be writable"),
    "read-only memoryview": (lambda: memoryview(bytearray(8)).toreadonly(), BufferError,
                             "buffer must be writable"),
    "numpy uint32": (lambda: np.zeros(2, np.uint32), BufferError,
                     "buffer contents are not compatible with u8"),
    "numpy int32": (lambda: np.zeros(4, np.int32), BufferError,
                    "buffer contents are not compatible with u8"),
    "numpy int8": (lambda: np.zeros(8, np.int8), BufferError,
                   "buffer contents are not compatible with u8"),
    "0-d numpy": (lambda: np.array(7, np.uint8), BufferError, "shape is null"),
    "int address": (lambda: 12345, TypeError, "a bytes-like object is required, not 'int'"),
    "3 bytes": (lambda: bytearray(3), ValueError,
                "buffer must be at least 4 bytes long (got 3)"),
    "empty": (lambda: bytearray(), ValueError, "buffer must be at least 4 bytes long (got 0)"),
    "misaligned": (lambda: memoryview(bytearray(12))[1:], ValueError,
                   "buffer start must be 4-byte aligned"),
    "reversed": (lambda: memoryview(bytearray(8))[::-1], ValueError, "buffer must be contiguous"),
    "strided": (lambda: np.zeros(16, np.uint8)[::2], ValueError, "buffer must be contiguous"),
}


@pytest.mark.parametrize("name", ALL)
@pytest.mark.parametrize("make, exc, message", REFUSED.values(), ids=REFUSED.keys())
def test_refused_buffers(name, make, exc, message):
    buf = make()
    before = memory(buf) if not isinstance(buf, int) else None
    with pytest.raises(exc) as info:
        call(name, buf, *([0, 1] if name == "compare_exchange" else [1]))
    assert type(info.value) is exc
    assert str(info.value) == message
    if before is not None:
        assert memory(buf) == before


def test_views_are_released_on_every_path():
    buf = bytearray(8)
    corvane.fetch_add_seq_cst(buf, 1)
    with pytest.raises(OverflowError):
        corvane.fetch_add_seq_cst(buf, M)
    short = bytearray(2)
    with pytest.raises(ValueError):
        corvane.compare_exchange_sub(short, 1)
    # A bytearray cannot be resized while any view of it is exported.
    buf.extend(b"xy")
    short.extend(b"xy")
    assert word(buf) == 1


def test_python_threads_exact_total():
    buf = bytearray(4)
    n, per = 4, 20_000
    barrier = threading.Barrier(n)

    def work(k):
        barrier.wait()
        for _ in range(per):
            if k % 2:
                corvane.fetch_add_seq_cst(buf, 3)
                corvane.fetch_sub_release(buf, 1)
            else:
                while not corvane.compare_exchange_add(buf, 2)[0]:
                    pass

    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)  # switch threads as often as possible
    try:
        threads = [threading.Thread(target=work, args=(k,)) for k in range(n)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(old)
    assert word(buf) == n * per * 2


# Workers for the cross-process tests: module-level so that spawned
# interpreters can import them.

def _fetch_add_worker(name, barrier, per):
    shm = shared_memory.SharedMemory(name=name)
    try:
        barrier.wait()
        for _ in range(per):
            corvane.fetch_add_seq_cst(shm.buf, 1)
    finally:
        shm.close()


def _cas_worker(name, barrier, slot, per):
    """Adds 1 per round, retrying until the exchange succeeds, and logs the
    value each successful exchange replaced."""
    shm = shared_memory.SharedMemory(name=name)
    try:
        log = np.ndarray((per,), dtype=U32, buffer=shm.buf, offset=4 + 4 * per * slot)
        barrier.wait()
        for i in range(per):
            while True:
                ok, value = corvane.compare_exchange_add(shm.buf, 1)
                if ok:
                    log[i] = value
                    break
        del log
    finally:
        shm.close()


def _run_processes(target, n, size, args):
    ctx = mp.get_context("spawn")
    shm = shared_memory.SharedMemory(create=True, size=size)
    try:
        shm.buf[:size] = bytes(size)
        barrier = ctx.Barrier(n)
        procs = [ctx.Process(target=target, args=(shm.name, barrier, *args(k))) for k in range(n)]
        for p in procs:
            p.start()
        for p in procs:
            p.join(120)
        assert [p.exitcode for p in procs] == [0] * n
        return bytes(shm.buf[:size])
    finally:
        shm.close()
        shm.unlink()


def test_processes_fetch_add_exact_total():
    n, per = 4, 20_000
    data = _run_processes(_fetch_add_worker, n, 4, lambda k: (per,))
    assert word(data) == n * per


def test_processes_compare_exchange_retry_exact_total():
    n, per = 4, 20_000
    data = _run_processes(_cas_worker, n, 4 + 4 * n * per, lambda k: (k, per))
    assert word(data) == n * per
    # Each successful exchange replaced a distinct value: together they are
    # every count from 0 to the total, once.
    replaced = np.frombuffer(data, dtype=U32, offset=4)
    assert np.array_equal(np.sort(replaced), np.arange(n * per, dtype=U32))
