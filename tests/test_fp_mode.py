"""Results do not depend on the caller's floating-point mode."""

import os
import platform
import shutil
import subprocess
import sys
import textwrap

import pytest

pytestmark = pytest.mark.skipif(
    platform.machine() not in ("x86_64", "AMD64") or shutil.which("cc") is None,
    reason="sets the x86-64 MXCSR through a C helper",
)

HELPER = r"""
#include <xmmintrin.h>
unsigned get_mxcsr(void) { return _mm_getcsr(); }
void set_mxcsr(unsigned v) { _mm_setcsr(v); }
"""

# In a child: every call once in the IEEE mode, then again with flush-to-zero
# and denormals-are-zero set on the calling thread (as a fast-math library
# does when it is loaded). Subnormal peaks and scores must survive, and the
# caller's mode must come back, also after a failing call.
CHILD = r"""
import ctypes, sys, numpy as np, corvane
lib = ctypes.CDLL(sys.argv[1])
tiny = np.float32(1e-39)  # subnormal
x = np.zeros((2, 17, 8), np.float32); y = np.zeros((2, 17, 8), np.float32)
x[:, :, 3] = tiny; y[:, :, 5] = tiny
det = np.zeros((1, 84, 16), np.float32)
det[0, :4] = [[8.0], [8.0], [1e-38], [1e-38]]
det[0, 4 + 7, 2] = tiny
calls = [
    lambda: corvane.rtmpose_postprocess(x[:1], y[:1], [(1.0, 0, 0)]),
    lambda: corvane.rtmpose_postprocess(x, y, [(1.0, 0, 0)] * 2),
    lambda: corvane.yolov8_det_postprocess(det, 0.5, 0.0),
    lambda: corvane.alphapose_postprocess(np.full((17, 3), tiny, np.float32), 0.5),
]
ieee = [c() for c in calls]
assert ieee[0][0][0] == (1.5, 2.5, float(tiny)), ieee[0][0][0]
flushing = lib.get_mxcsr() | 0x8040
lib.set_mxcsr(flushing)
got = [c() for c in calls]
assert lib.get_mxcsr() == flushing, hex(lib.get_mxcsr())
try:
    corvane.std_preprocess(np.zeros((2, 2, 3), np.uint8), np.zeros((3, 2, 2), np.float32), [1, 2], [1, 1, 1])
except ValueError:
    pass
assert lib.get_mxcsr() == flushing, hex(lib.get_mxcsr())
assert got == ieee, (got, ieee)
print("ok")
"""


@pytest.mark.parametrize("workers", ["1", "2"])
def test_results_ignore_the_callers_flush_to_zero_mode(tmp_path, workers):
    (tmp_path / "mxcsr.c").write_text(HELPER)
    lib = tmp_path / "libmxcsr.so"
    subprocess.run(["cc", "-shared", "-fPIC", "-O1", "-o", lib, tmp_path / "mxcsr.c"], check=True)
    out = subprocess.run([sys.executable, "-c", CHILD, str(lib)], capture_output=True, text=True,
                         timeout=60, env={**os.environ, "RAYON_NUM_THREADS": workers})
    assert out.stdout.strip() == "ok", out.stdout + out.stderr
