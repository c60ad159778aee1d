"""RTMPose SimCC decoding of a batch of person crops into 17 keypoints each.

Members of each group:
- corvane: `rtmpose_postprocess`, lists of (x, y, score) tuples;
- numpy get_simcc_maximum: the usual decode, argmax and max per row of both outputs,
  then loc / 2 mapped back through each crop's (ratio, pad_x, pad_y), as an array;
- floor: one NumPy max over both outputs (reading the same bytes once).
"""

import numpy as np
import pytest

import corvane

F = np.float32
CASES = [16, 1]


def group(n):
    return f"rtmpose decode {n} crop{'s' * (n > 1)}: x ({n},17,384) y ({n},17,512)"


def outputs(n):
    rng = np.random.default_rng(0)
    x = rng.standard_normal((n, 17, 384)).astype(F)
    y = rng.standard_normal((n, 17, 512)).astype(F)
    scale_pads = [(float(F(rng.uniform(0.5, 4))), int(rng.integers(0, 40)),
                   int(rng.integers(0, 60))) for _ in range(n)]
    return x, y, scale_pads


def numpy_decode(x, y, scale_pads):
    n, k, _ = x.shape
    sx, sy = x.reshape(n * k, -1), y.reshape(n * k, -1)
    locs = np.stack((sx.argmax(axis=1), sy.argmax(axis=1)), axis=-1).astype(F)
    vals = (sx.max(axis=1) + sy.max(axis=1)) * F(0.5)
    geometry = np.array(scale_pads, dtype=F)  # ratio, pad_x, pad_y per crop
    ratio, pads = geometry[:, None, :1], geometry[:, None, 1:]
    keypoints = (locs.reshape(n, k, 2) * F(0.5) - pads) * ratio
    return np.concatenate((keypoints, vals.reshape(n, k, 1)), axis=-1)


@pytest.fixture(params=CASES, ids=lambda n: f"{n}crops")
def case(request, workers):
    return request.param


def test_corvane(benchmark, case):
    benchmark.group = group(case)
    x, y, scale_pads = outputs(case)
    result = benchmark(corvane.rtmpose_postprocess, x, y, scale_pads)
    # Same values as the NumPy decode (no NaN here, so argmax agrees).
    expected = numpy_decode(x, y, scale_pads)
    assert np.array_equal(np.array(result, F).view(np.uint32), expected.view(np.uint32))


def test_numpy_get_simcc_maximum(benchmark, case):
    benchmark.group = group(case)
    x, y, scale_pads = outputs(case)
    assert benchmark(numpy_decode, x, y, scale_pads).shape == (case, 17, 3)


def test_floor_numpy_max(benchmark, case):
    benchmark.group = group(case)
    x, y, _ = outputs(case)
    benchmark(lambda: (x.max(), y.max()))
