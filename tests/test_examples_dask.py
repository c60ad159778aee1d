"""examples/dask_frames.py on two local worker processes, within a time bound."""

import json
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("dask.distributed")
pytest.importorskip("onnxruntime")
from test_onnx_pipeline import RECT, frame, yolo_model  # noqa: E402

EXAMPLE = Path(__file__).resolve().parent.parent / "examples" / "dask_frames.py"


def test_frames_decode_on_two_single_threaded_workers(tmp_path):
    frames = tmp_path / "frames"
    frames.mkdir()
    shifts = range(0, 120, 20)
    for k in shifts:
        frame(frames / f"{k:03d}.png", (RECT[0] + k, RECT[1], RECT[2] + k, RECT[3]))
    model = yolo_model(tmp_path / "det.onnx", seg=False)
    done = subprocess.run([sys.executable, str(EXAMPLE), "--model", str(model), "--frames", str(frames), "--workers", "2"],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    results = [json.loads(line) for line in done.stdout.splitlines()]
    assert [r["frame"] for r in results] == [f"{k:03d}.png" for k in shifts]
    assert len({r["pid"] for r in results}) <= 2 and {r["pool_threads"] for r in results} == {"1"}
    for k, result in zip(shifts, results):
        assert result["boxes"]
        for x1, y1, x2, y2, class_id, score in result["boxes"]:
            assert RECT[0] + k <= (x1 + x2) / 2 <= RECT[2] + k and RECT[1] <= (y1 + y2) / 2 <= RECT[3]
