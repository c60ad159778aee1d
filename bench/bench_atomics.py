"""One atomic add on a 32-bit word shared between processes.

Members:
- corvane: `fetch_add_seq_cst` on a bytearray (a lock-free hardware atomic);
- multiprocessing.Value('I') with its lock: `with v.get_lock(): v.value += 1`;
- floor: `len` of the bytearray, a plain call into a C function.

Each round times a batch of calls, so the timer's own cost (larger than one call)
is spread over the batch instead of being counted once per call.
"""

import multiprocessing as mp

import corvane

GROUP = "shared word: one fetch_add"
ITERATIONS, ROUNDS = 2000, 300


def run(benchmark, fn, *args):
    benchmark.group = GROUP
    benchmark.pedantic(fn, args, iterations=ITERATIONS, rounds=ROUNDS, warmup_rounds=5)


def test_corvane_fetch_add(benchmark):
    word = bytearray(4)
    run(benchmark, corvane.fetch_add_seq_cst, word, 1)
    assert corvane.fetch_add_seq_cst(word, 0) >= ITERATIONS * ROUNDS


def test_multiprocessing_value_with_lock(benchmark):
    value = mp.Value("I", 0)
    lock = value.get_lock()

    def add():
        with lock:
            value.value += 1

    run(benchmark, add)
    assert value.value >= ITERATIONS * ROUNDS


def test_floor_len(benchmark):
    run(benchmark, len, bytearray(4))
