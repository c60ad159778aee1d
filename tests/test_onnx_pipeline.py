"""examples/onnx_pipeline.py through real onnxruntime sessions on tiny models built here.

The models have the exact output layouts of YOLOv8 detection, YOLOv8
segmentation, YOLOv8 oriented boxes and RTMPose SimCC, and their outputs follow the input image: the
class-0 score of an anchor is the mean brightness of its cell minus 0.5, so a
white rectangle on black is found where it is; the pose model's SimCC peaks
sit on the first column and row holding the brightest pixel.
"""

import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import corvane

onnx = pytest.importorskip("onnx")
pytest.importorskip("onnxruntime")
Image = pytest.importorskip("PIL.Image")
from onnx import TensorProto, helper, numpy_helper  # noqa: E402

EXAMPLE = Path(__file__).resolve().parent.parent / "examples" / "onnx_pipeline.py"
STRIDES = (8, 16, 32)
RECT = (300, 160, 620, 420)  # x0, y0, x1, y1 of the white rectangle in a 960 x 540 frame
OBB_ANGLE = 0.3


def save(model, path: Path) -> Path:
    onnx.checker.check_model(model)
    onnx.save(model, str(path))
    return path


def const(name, array):
    return numpy_helper.from_array(np.asarray(array), name)


# Keypoint k of a pose model's anchor sits at the anchor's cell centre plus
# OFFSETS[k] input pixels; keypoint 0 lies far off the image. Even keypoints
# are visible (1), odd ones not (0).
OFFSETS = [(-1e4, 0)] + [(2 * k - 16, 12 - k) for k in range(1, 17)]


def yolo_model(path: Path, seg: bool, pose: bool = False, obb: bool = False) -> Path:
    classes = 1 if pose else 15 if obb else 80
    channels = 4 + classes + (32 if seg else 0) + (51 if pose else 0) + (1 if obb else 0)
    weight = np.zeros((channels, 3, 1, 1), np.float32)
    weight[4, :, 0, 0] = 1 / 3  # class 0: mean brightness of the cell
    bias = np.zeros(channels, np.float32)
    bias[4] = -0.5
    bias[5:4 + classes] = -1.0
    if obb:
        bias[-1] = OBB_ANGLE - np.pi  # regularised back to OBB_ANGLE, w and h kept
    if seg:
        bias[84] = 1.0  # every detection's mask is prototype 0
    grid = []
    for s in STRIDES:
        n = 640 // s
        ys, xs = np.mgrid[0:n, 0:n]
        grid.append(np.stack([(xs.ravel() + 0.5) * s, (ys.ravel() + 0.5) * s, np.full(n * n, 2.0 * s), np.full(n * n, 2.0 * s)]))
    offsets = np.zeros((1, channels, 8400), np.float32)
    offsets[0, :4] = np.concatenate(grid, axis=1)
    if pose:
        for k, (dx, dy) in enumerate(OFFSETS):
            offsets[0, 5 + 3 * k] = offsets[0, 0] + dx
            offsets[0, 6 + 3 * k] = offsets[0, 1] + dy
            bias[7 + 3 * k] = 1.0 - k % 2
    nodes, inits = [], [const("w", weight), const("b", bias), const("grid", offsets), const("shape", np.array([1, channels, -1], np.int64))]
    for s in STRIDES:
        nodes += [
            helper.make_node("AveragePool", ["images"], [f"p{s}"], kernel_shape=[s, s], strides=[s, s]),
            helper.make_node("Conv", [f"p{s}", "w", "b"], [f"c{s}"]),
            helper.make_node("Reshape", [f"c{s}", "shape"], [f"r{s}"]),
        ]
    nodes += [helper.make_node("Concat", [f"r{s}" for s in STRIDES], ["cat"], axis=2), helper.make_node("Add", ["cat", "grid"], ["output0"])]
    outputs = [helper.make_tensor_value_info("output0", TensorProto.FLOAT, [1, channels, 8400])]
    if seg:
        pw = np.zeros((32, 3, 1, 1), np.float32)
        pw[0, :, 0, 0] = 8 / 3  # prototype 0 is positive where the cell is brighter than 1/2
        pb = np.zeros(32, np.float32)
        pb[0] = -4.0
        inits += [const("pw", pw), const("pb", pb)]
        nodes += [
            helper.make_node("AveragePool", ["images"], ["p4"], kernel_shape=[4, 4], strides=[4, 4]),
            helper.make_node("Conv", ["p4", "pw", "pb"], ["output1"]),
        ]
        outputs.append(helper.make_tensor_value_info("output1", TensorProto.FLOAT, [1, 32, 160, 160]))
    graph = helper.make_graph(nodes, "yolo", [helper.make_tensor_value_info("images", TensorProto.FLOAT, [1, 3, 640, 640])], outputs, inits)
    return save(helper.make_model(graph, opset_imports=[helper.make_opsetid("", 13)]), path)


def pose_model(path: Path) -> Path:
    nodes, inits = [], [const("two", np.array([1, 1, 2], np.int64)), const("k", np.array([1, 17, 1], np.int64)), const("ax1", np.array([1], np.int64)), const("ax2", np.array([2], np.int64))]
    outputs = []
    for name, axes, length in (("simcc_x", [1, 2], 192), ("simcc_y", [1, 3], 256)):
        nodes += [
            helper.make_node("ReduceMax", ["input"], [f"{name}_m"], axes=axes, keepdims=0),  # (1, length)
            helper.make_node("Unsqueeze", [f"{name}_m", "ax2"], [f"{name}_u"]),  # (1, length, 1)
            helper.make_node("Tile", [f"{name}_u", "two"], [f"{name}_t"]),  # (1, length, 2): two bins per pixel
            helper.make_node("Flatten", [f"{name}_t"], [f"{name}_f"], axis=1),
            helper.make_node("Unsqueeze", [f"{name}_f", "ax1"], [f"{name}_1"]),  # (1, 1, 2 * length)
            helper.make_node("Tile", [f"{name}_1", "k"], [name]),  # (1, 17, 2 * length)
        ]
        outputs.append(helper.make_tensor_value_info(name, TensorProto.FLOAT, [1, 17, 2 * length]))
    graph = helper.make_graph(nodes, "rtmpose", [helper.make_tensor_value_info("input", TensorProto.FLOAT, [1, 3, 256, 192])], outputs, inits)
    return save(helper.make_model(graph, opset_imports=[helper.make_opsetid("", 13)]), path)


def frame(path: Path, rect) -> Path:
    pixels = np.zeros((540, 960, 3), np.uint8)
    x0, y0, x1, y1 = rect
    pixels[y0:y1, x0:x1] = 255
    Image.fromarray(pixels).save(path)
    return path


def run(*args: str | Path) -> list[str]:
    done = subprocess.run([sys.executable, str(EXAMPLE), *map(str, args)], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    return done.stdout.splitlines()


def numbers(line: str) -> list[float]:
    return [float(v) for v in re.findall(r"-?\d+(?:\.\d+)?", line)]


def check_boxes(lines: list[str], out: Path) -> list[list[float]]:
    boxes = [numbers(line) for line in lines if line.startswith("box ")]
    assert boxes and lines[-1] == f"wrote {out}"
    x0, y0, x1, y1 = RECT
    for bx1, by1, bx2, by2, class_id, score, *_ in boxes:
        # The frame is scaled by 1.5 into the input: a cell is 1.5 * stride source pixels.
        cx, cy = (bx1 + bx2) / 2, (by1 + by2) / 2
        assert x0 <= cx <= x1 and y0 <= cy <= y1 and class_id == 0 and 0.25 <= score <= 0.5
    with Image.open(out) as picture:
        assert picture.size == (960, 540)
    return boxes


@pytest.mark.parametrize("kind", ["det", pytest.param("seg", marks=pytest.mark.skipif(
    not hasattr(corvane, "yolov8_seg_masks"), reason="needs yolov8_seg_masks"))])
def test_yolov8_pipeline_finds_the_bright_rectangle(kind, tmp_path):
    model = yolo_model(tmp_path / f"{kind}.onnx", seg=kind == "seg")
    out = tmp_path / "out.png"
    boxes = check_boxes(run("--model", model, "--image", frame(tmp_path / "f.png", RECT), "--kind", kind, "--out", out), out)
    if kind == "seg":
        for bx1, by1, bx2, by2, _, _, area in boxes:
            # The mask is the box clipped to the rectangle, up to one prototype
            # cell (4 input pixels, 6 source pixels) along its edges.
            w = min(bx2, RECT[2]) - max(bx1, RECT[0])
            h = min(by2, RECT[3]) - max(by1, RECT[1])
            assert abs(area - w * h) <= 6 * (w + h)


def test_obb_pipeline_draws_rotated_boxes_on_the_rectangle(tmp_path):
    out = tmp_path / "obb.png"
    lines = run("--model", yolo_model(tmp_path / "obb.onnx", seg=False, obb=True), "--image",
                frame(tmp_path / "f.png", RECT), "--kind", "obb", "--out", out)
    found = [numbers(line) for line in lines if line.startswith("obb ")]
    assert found and lines[-1] == f"wrote {out}"
    for x, y, w, h, angle, class_id, score in found:
        # Cells of 2 strides, 1.5 source pixels per input pixel.
        assert RECT[0] <= x <= RECT[2] and RECT[1] <= y <= RECT[3] and class_id == 0 and 0.25 <= score <= 0.5
        assert w == h and w in (24, 48, 96) and abs(angle - OBB_ANGLE) < 1e-4
    with Image.open(out) as picture:
        pixels = np.asarray(picture.convert("RGB"))
    assert (pixels == (255, 56, 56)).all(axis=-1).any()  # the polygons' outline


@pytest.mark.parametrize("crop", ["affine", "letterbox"])
def test_rtmpose_pipeline_on_person_crops(tmp_path, crop):
    image = frame(tmp_path / "f.png", RECT)
    out = tmp_path / "pose.png"
    lines = run("--model", pose_model(tmp_path / "pose.onnx"), "--image", image, "--kind", "pose",
                "--person-model", yolo_model(tmp_path / "det.onnx", seg=False), "--out", out, "--pose-crop", crop)
    keypoints = [numbers(line) for line in lines if line.startswith("keypoint ")]
    assert keypoints and len(keypoints) % 17 == 0 and lines[-1] == f"wrote {out}"
    # The brightest pixels of every crop are the rectangle's:
    # the first maximum lands on its top-left corner, in frame pixels.
    for x, y, score in keypoints:
        assert RECT[0] - 2 <= x <= RECT[2] and RECT[1] - 2 <= y <= RECT[3] and score > 0
    if crop == "letterbox":
        return
    whole = run("--model", pose_model(tmp_path / "pose.onnx"), "--image", image, "--kind", "pose", "--out", out)
    corner = [numbers(line) for line in whole if line.startswith("keypoint ")]
    # The whole frame is one affine crop, 1200 / 192 = 6.25 source pixels per
    # input pixel: the first white input row and column lie within one input
    # pixel of the corner.
    assert len(corner) == 17
    for x, y, _ in corner:
        assert RECT[0] - 1 <= x <= RECT[0] + 6.25 and RECT[1] - 1 <= y <= RECT[1] + 6.25


def test_yolo_pose_pipeline_maps_keypoints_to_source_pixels(tmp_path):
    out = tmp_path / "out.png"
    lines = run("--model", yolo_model(tmp_path / "pose.onnx", seg=False, pose=True), "--image",
                frame(tmp_path / "f.png", RECT), "--kind", "yolo-pose", "--out", out)
    boxes = check_boxes(lines, out)
    keypoints = [numbers(line) for line in lines if line.startswith("keypoint ")]
    assert len(keypoints) == 17 * len(boxes)
    for b, (x1, y1, x2, y2, *_) in enumerate(boxes):
        # Input offsets scale by the letterbox ratio 1.5; points clamp to the 960 x 540 frame.
        cx, cy = (x1 + x2) / 2, (y1 + y2) / 2
        for k, (x, y, v) in enumerate(keypoints[17 * b:17 * (b + 1)]):
            dx, dy = OFFSETS[k]
            assert abs(x - min(max(cx + 1.5 * dx, 0), 960)) <= 0.2 and abs(y - (cy + 1.5 * dy)) <= 0.2
            assert v == 1 - k % 2


@pytest.mark.parametrize("source", ["metadata", "file"])
def test_class_names_come_from_the_model_or_a_file(tmp_path, source):
    model = yolo_model(tmp_path / "det.onnx", seg=False)
    extra = []
    if source == "metadata":  # as ultralytics exports write them
        proto = onnx.load(str(model))
        helper.set_model_props(proto, {"names": "{0: 'text block', 1: 'figure'}"})
        onnx.save(proto, str(model))
    else:
        (tmp_path / "names.txt").write_text("text block\nfigure\n")
        extra = ["--names", tmp_path / "names.txt"]
    out = tmp_path / "out.png"
    lines = run("--model", model, "--image", frame(tmp_path / "f.png", RECT), "--kind", "det", "--out", out, *extra)
    boxes = [line for line in lines if line.startswith("box ")]
    assert boxes and all(line.endswith(" (text block)") for line in boxes)


@pytest.mark.parametrize("kind", ["seg", "pose"])
def test_a_model_of_another_kind_is_named_not_an_index_error(tmp_path, kind):
    done = subprocess.run([sys.executable, str(EXAMPLE), "--model", str(yolo_model(tmp_path / "det.onnx", seg=False)),
                           "--image", str(frame(tmp_path / "f.png", RECT)), "--kind", kind],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 1 and "Traceback" not in done.stderr
    assert f"--kind {kind} expects" in done.stderr and "this model's outputs are output0 (1, 84, 8400)" in done.stderr
