"""One atomic add on a 32-bit word shared between processes.

Members:
- corvane: `fetch_add_seq_cst` on a bytearray (a lock-free hardware atomic);
- multiprocessing.Value('I') with its lock: `with v.get_lock(): v.value += 1`;
- floor: `len` of the bytearray, a plain call into a C function.
"""

import multiprocessing as mp

import pytest

import corvane

GROUP = "shared word: one fetch_add"


def test_corvane_fetch_add(benchmark):
    benchmark.group = GROUP
    word = bytearray(4)
    benchmark(corvane.fetch_add_seq_cst, word, 1)
    assert int.from_bytes(word, "little") > 0


def test_multiprocessing_value_with_lock(benchmark):
    benchmark.group = GROUP
    value = mp.Value("I", 0)
    lock = value.get_lock()

    def add():
        with lock:
            value.value += 1

    benchmark(add)
    assert value.value > 0


def test_floor_len(benchmark):
    benchmark.group = GROUP
    benchmark(len, bytearray(4))
