"""The demo command runs end to end and finds what the photos are known to hold.

For developers: it needs the demo extra (scikit-image, pillow), which the test
extra does not install, and is skipped without it.
"""

import importlib.util
import os
import re
import subprocess
import sys

import pytest

pytest.importorskip("skimage")
PIL_Image = pytest.importorskip("PIL.Image")

DEMO = os.path.join(os.path.dirname(__file__), os.pardir, "examples", "demo.py")
NUMBER = r"(-?\d+\.\d+)"
DETECTION = re.compile(rf"^\s+(\w+)\s+(\w[\w ]*?)\s+{NUMBER}\s+box \({NUMBER}, {NUMBER}, {NUMBER}, {NUMBER}\)", re.M)
KEYPOINT = re.compile(rf"^\s+(\w+)\s+\(\s*{NUMBER},\s*{NUMBER}\)\s+score {NUMBER}", re.M)


@pytest.fixture(scope="module")
def demo():
    spec = importlib.util.spec_from_file_location("corvane_demo", DEMO)
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module  # dataclasses resolve their annotations through it
    try:
        spec.loader.exec_module(module)
        yield module
    finally:
        del sys.modules[spec.name]


@pytest.fixture(scope="module")
def run(tmp_path_factory):
    out = tmp_path_factory.mktemp("demo-out")
    proc = subprocess.run(
        [sys.executable, DEMO, "--out", str(out), "--runs", "3"], capture_output=True, text=True, timeout=300
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr
    return out, proc.stdout


def test_writes_both_pictures(run, demo):
    out, _ = run
    with PIL_Image.open(out / "pose.png") as pose:
        assert pose.size == (512, 512)
    with PIL_Image.open(out / "detections.png") as det:
        photos = demo.load_photos()
        assert det.size == (sum(p.rgb.shape[1] for p in photos), max(p.rgb.shape[0] for p in photos))


def test_says_the_model_output_is_simulated(run):
    out, stdout = run
    assert "SIMULATED" in stdout
    for name in ("pose.png", "detections.png", "masks.png"):
        with PIL_Image.open(out / name) as picture:
            assert picture.info["Comment"].startswith("SIMULATED model output")
            band = picture.convert("RGB").crop((0, picture.height - 4, picture.width, picture.height))
            assert band.getextrema() == ((0, 0),) * 3  # the caption's band, below its text
    assert "Step timings in microseconds" in stdout


def test_finds_each_annotated_object_once_near_its_box(run, demo):
    _, stdout = run
    found = [(m[0], m[1], float(m[2]), tuple(map(float, m[3:]))) for m in DETECTION.findall(stdout)]
    expected = [
        (photo.name, demo.COCO_NAMES[obj.class_id], obj.box)
        for photo in demo.load_photos()
        for obj in photo.objects
        if obj.class_id is not None
    ]
    assert sorted((p, n) for p, n, _, _ in found) == sorted((p, n) for p, n, _ in expected)
    for photo, name, box in expected:
        (score, got), = [(s, b) for p, n, s, b in found if (p, n) == (photo, name)]
        assert demo.CONF_THRESHOLD <= score <= 1
        # The person's box is regressed with the least jitter: a few pixels at most.
        tolerance = 3.0 if name == "person" else 6.0
        assert max(abs(g - k) for g, k in zip(got, box)) <= tolerance, (photo, name, got, box)


def test_visible_keypoints_land_on_their_annotations(run, demo):
    _, stdout = run
    keypoints = {m[0]: tuple(map(float, m[1:])) for m in KEYPOINT.findall(stdout)}
    assert list(keypoints) == list(demo.KEYPOINT_NAMES)
    for name, (ax, ay, visibility) in zip(demo.KEYPOINT_NAMES, demo.ASTRONAUT_KEYPOINTS):
        x, y, score = keypoints[name]
        assert score == pytest.approx(visibility, abs=0.01)
        if visibility >= demo.VISIBLE:
            # Half a SimCC bin is ratio / 4 source pixels (about 0.8 here), plus noise.
            assert abs(x - ax) <= 2 and abs(y - ay) <= 2, (name, x, y, ax, ay)
