"""Shared test helpers: the panic exception, bitwise float comparison, guarded arrays."""

import ctypes
import mmap

import numpy as np
import pytest

import corvane


def raises_panic(fn, *args, **kwargs):
    """Calls fn and returns the PanicException it must raise."""
    with pytest.raises(BaseException) as info:
        fn(*args, **kwargs)
    exc = info.value
    assert type(exc) is corvane.PanicException, repr(exc)
    assert not isinstance(exc, Exception)
    return exc


def assert_panics(message, fn, *args, **kwargs):
    """fn must raise PanicException whose message is exactly `message`."""
    exc = raises_panic(fn, *args, **kwargs)
    assert str(exc) == message
    return exc


def bits(a):
    """The bit patterns of a float32 array (or scalar), for exact comparison."""
    return np.asarray(a, dtype=np.float32).view(np.uint32)


def assert_same_f32(actual, expected):
    """Bit-for-bit equality of float32 data (NaN payloads and signed zeros included)."""
    actual = np.asarray(actual, dtype=np.float32)
    expected = np.asarray(expected, dtype=np.float32)
    assert actual.shape == expected.shape
    np.testing.assert_array_equal(bits(actual), bits(expected))


def f32(x):
    """The nearest float32 of x, widened back to a Python float."""
    return float(np.float32(x))


_libc = ctypes.CDLL(None, use_errno=True)
_libc.mprotect.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int]
_guards = []  # the mappings live as long as the process


def guarded(a):
    """A copy of a whose last byte is followed by a no-access page."""
    page = mmap.PAGESIZE
    span = -(-a.nbytes // page) * page
    m = mmap.mmap(-1, span + page)
    base = ctypes.addressof(ctypes.c_char.from_buffer(m))
    assert _libc.mprotect(base + span, page, 0) == 0, ctypes.get_errno()
    _guards.append(m)
    out = np.frombuffer(m, a.dtype, a.size, span - a.nbytes).reshape(a.shape)
    out[...] = a
    return out
