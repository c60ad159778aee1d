"""Calls every function once with good and once with bad arguments; run under
valgrind by hand (see README): every corvane frame in its report is a finding."""

import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(__file__))
from test_robustness import call, workload  # noqa: E402

for name, good, bad in workload(np.random.default_rng(0)):
    print(name, "ok" if call(name, good) not in ("error", "panic") else "??", call(name, bad))
