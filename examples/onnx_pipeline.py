#!/usr/bin/env python3
"""corvane around a real ONNX Runtime session: letterbox, run, decode, map back, draw.

    python examples/onnx_pipeline.py --model yolov8n.onnx --image street.jpg --kind det
    python examples/onnx_pipeline.py --model yolov8n-seg.onnx --image street.jpg --kind seg
    python examples/onnx_pipeline.py --model yolov8n-obb.onnx --image aerial.jpg --kind obb
    python examples/onnx_pipeline.py --model rtmpose-m.onnx --image person.jpg --kind pose \
        [--person-model yolov8n.onnx]
    python examples/onnx_pipeline.py --model yolov8n-pose.onnx --image people.jpg --kind yolo-pose

det: a YOLOv8 detector, output (1, 4 + classes, N). seg: a YOLOv8 segmentation
model, outputs (1, 4 + classes + M, N) and prototypes (1, M, mh, mw). obb: a
YOLOv8 / YOLO11 oriented-box model, output (1, 4 + classes + 1, N), the last
channel the box angle in radians; the boxes are drawn as rotated polygons. pose: an
RTMPose model, outputs SimCC x (1, 17, 2 * W) and y (1, 17, 2 * H), run on
an affine crop of each person box that --person-model finds (class 0), or of
the whole image (--pose-crop letterbox: letterboxed cut-outs instead).
yolo-pose: a YOLOv8/YOLO11 pose model, output (1, 4 + classes + 3 * 17, N):
boxes and their 17 COCO keypoints in one pass, drawn as skeletons.
Prints one line per detection or keypoint in source pixels and writes an
annotated PNG (--out). Needs numpy, onnxruntime and pillow
(`pip install ".[onnx]"` in the clone).
"""

from __future__ import annotations

import argparse
import ast
import sys
from pathlib import Path

import numpy as np
import onnxruntime as ort
from PIL import Image, ImageDraw

import corvane

PAD_BYTE = 114  # the grey YOLOv8 is trained with in the letterbox margins
POSE_PADDING = 0.25  # context margin of the letterboxed pose crop, as a fraction of its size
# The COCO keypoint order's limbs (0 nose, 1-2 eyes, 3-4 ears, 5-6 shoulders,
# 7-8 elbows, 9-10 wrists, 11-12 hips, 13-14 knees, 15-16 ankles).
SKELETON = ((15, 13), (13, 11), (16, 14), (14, 12), (11, 12), (5, 11), (6, 12), (5, 6), (5, 7),
            (6, 8), (7, 9), (8, 10), (1, 2), (0, 1), (0, 2), (1, 3), (2, 4), (3, 5), (4, 6))
KEYPOINT_COUNT = 17
VISIBLE = 0.5  # keypoints below this visibility are not drawn
MASK_COLOURS = ((255, 56, 56), (56, 255, 56), (56, 56, 255), (255, 157, 151), (255, 112, 31), (72, 249, 10))


# What each --kind needs of the model's outputs: how many, and the rank of each.
EXPECTED_OUTPUTS = {
    "det": ((3,), "a YOLOv8 detector: one output (1, 4 + classes, N)"),
    "seg": ((3, 4), "a YOLOv8 segmentation model: outputs (1, 4 + classes + M, N) and prototypes (1, M, mh, mw)"),
    "obb": ((3,), "an oriented-box model: one output (1, 4 + classes + 1, N)"),
    "pose": ((3, 3), "an RTMPose model: SimCC outputs (1, 17, 2 * W) and (1, 17, 2 * H)"),
    "yolo-pose": ((3,), "a YOLOv8/YOLO11 pose model: one output (1, 4 + classes + 3 * 17, N)"),
}


def check_outputs(session: ort.InferenceSession, kind: str) -> None:
    """Exit with what --kind expects and what the model has, instead of an IndexError later."""
    ranks, wanted = EXPECTED_OUTPUTS[kind]
    outputs = session.get_outputs()
    if tuple(len(o.shape) for o in outputs[:len(ranks)]) != ranks:
        found = ", ".join(f"{o.name} {tuple(o.shape)}" for o in outputs)
        sys.exit(f"--kind {kind} expects {wanted}; this model's outputs are {found}")


def class_names(session: ort.InferenceSession, names_file: Path | None) -> dict[int, str]:
    """Class names from --names (one per line) or from the model's metadata,
    where ultralytics exports write them as "{0: 'person', ...}"."""
    if names_file is not None:
        return dict(enumerate(line.strip() for line in names_file.read_text().splitlines()))
    text = session.get_modelmeta().custom_metadata_map.get("names")
    try:
        names = ast.literal_eval(text) if text else {}
    except (ValueError, SyntaxError):
        return {}
    return {int(k): str(v) for k, v in names.items()} if isinstance(names, dict) else {}


def label(draw: ImageDraw.ImageDraw, xy: tuple[float, float], text: str) -> None:
    """Text on a dark box of its own, readable on white pages and dark photos alike."""
    left, top, right, bottom = draw.textbbox(xy, text)
    draw.rectangle((left - 1, top - 1, right + 1, bottom + 1), fill=(32, 32, 32))
    draw.text(xy, text, fill=(255, 255, 255))


def session_input_size(session: ort.InferenceSession, default: tuple[int, int]) -> tuple[int, int]:
    """(width, height) of the session's first input; symbolic dimensions take the default."""
    shape = session.get_inputs()[0].shape
    h, w = shape[2], shape[3]
    return (w if isinstance(w, int) else default[0], h if isinstance(h, int) else default[1])


def letterbox_and_run(
    session: ort.InferenceSession, bgr: np.ndarray, size: tuple[int, int]
) -> tuple[list[np.ndarray], tuple[float, int, int]]:
    # The bilinear letterbox the detector was trained on; it writes the margins too.
    dst = np.empty((3, size[1], size[0]), np.float32)
    letterbox = corvane.letterbox_linear(bgr, dst, PAD_BYTE)
    outputs = session.run(None, {session.get_inputs()[0].name: dst[None]})
    # Runtimes may hand back any layout; corvane reads C-ordered float32.
    return [np.ascontiguousarray(o, dtype=np.float32) for o in outputs], letterbox


def to_source_point(x: float, y: float, letterbox, width: int, height: int) -> tuple[float, float]:
    """A model-input point in source pixels, clamped to the image."""
    ratio, pad_x, pad_y = letterbox
    return min(max((x - pad_x) * ratio, 0.0), width), min(max((y - pad_y) * ratio, 0.0), height)


def to_source(box, letterbox, width: int, height: int) -> tuple[float, float, float, float]:
    return (*to_source_point(box[0], box[1], letterbox, width, height),
            *to_source_point(box[2], box[3], letterbox, width, height))


def detect(session, bgr, iou, conf, seg: bool):
    size = session_input_size(session, (640, 640))
    outputs, letterbox = letterbox_and_run(session, bgr, size)
    if seg:
        pred, protos = outputs[0], outputs[1]
        detections = corvane.yolov8_seg_postprocess(pred, iou, conf, protos.shape[1])[0]
    else:
        pred, protos = outputs[0], None
        detections = corvane.yolov8_det_postprocess(pred, iou, conf)[0]
    height, width = bgr.shape[:2]
    boxes = [(to_source(d[:4], letterbox, width, height), d[4], d[5]) for d in detections]
    masks = None
    if seg:
        masks = np.zeros((len(detections), height, width), np.uint8)
        corvane.yolov8_seg_masks(pred, protos, 0, detections, size, letterbox, masks)
    return boxes, masks


def yolo_pose(session, bgr, iou, conf):
    """Boxes and keypoints of a YOLOv8/YOLO11 pose model, in source pixels."""
    outputs, letterbox = letterbox_and_run(session, bgr, session_input_size(session, (640, 640)))
    height, width = bgr.shape[:2]
    people = []
    for *box, class_id, score, _, keypoints in corvane.yolov8_pose_postprocess(outputs[0], iou, conf, KEYPOINT_COUNT)[0]:
        joints = [(*to_source_point(x, y, letterbox, width, height), v) for x, y, v in keypoints]
        people.append((to_source(box, letterbox, width, height), class_id, score, joints))
    return people


def oriented(session, bgr, iou, conf):
    """(centre x, centre y, width, height, angle) in source pixels, class, score and the
    box's four corners, per oriented detection."""
    size = session_input_size(session, (1024, 1024))
    outputs, (ratio, pad_x, pad_y) = letterbox_and_run(session, bgr, size)
    found = []
    for cx, cy, w, h, angle, class_id, score, _ in corvane.yolov8_obb_postprocess(outputs[0], iou, conf)[0]:
        # The letterbox scales and shifts; the angle is unchanged.
        x, y, w, h = (cx - pad_x) * ratio, (cy - pad_y) * ratio, w * ratio, h * ratio
        c, s = np.cos(angle), np.sin(angle)
        corners = [(x + dx * c - dy * s, y + dx * s + dy * c)
                   for dx, dy in ((w / 2, h / 2), (w / 2, -h / 2), (-w / 2, -h / 2), (-w / 2, h / 2))]
        found.append(((x, y, w, h, angle), class_id, score, corners))
    return found


def pose(session, bgr, person_boxes, crop: str = "affine"):
    """17 (x, y, score) keypoints in frame pixels per person box. The affine crop
    is what RTMPose is trained on; the letterbox of each cut-out box is the
    module's older path, kept for comparison."""
    width, height = session_input_size(session, (192, 256))
    inputs = np.zeros((len(person_boxes), 3, height, width), np.float32)  # 0 is the normalised mean
    if crop == "affine":
        crops = corvane.rtmpose_affine_preprocess(bgr, person_boxes, inputs)
    else:
        crops = []
        for (x0, y0, x1, y1), dst in zip(person_boxes, inputs):
            cut = np.ascontiguousarray(bgr[y0:y1, x0:x1])
            crops.append(corvane.rtmpose_preprocess(cut, dst, POSE_PADDING))
    simcc_x, simcc_y = [], []
    for one in inputs:  # exported RTMPose models usually take one crop per run
        x, y = session.run(None, {session.get_inputs()[0].name: one[None]})[:2]
        simcc_x.append(x[0])
        simcc_y.append(y[0])
    simcc_x = np.ascontiguousarray(simcc_x, np.float32).reshape(len(inputs), -1, 2 * width)
    simcc_y = np.ascontiguousarray(simcc_y, np.float32).reshape(len(inputs), -1, 2 * height)
    if crop == "affine":
        return corvane.rtmpose_affine_postprocess(simcc_x, simcc_y, crops)
    people = corvane.rtmpose_postprocess(simcc_x, simcc_y, crops)
    # Keypoints come back in crop pixels: shift them by the crop's corner.
    return [[(x + x0, y + y0, s) for x, y, s in keypoints] for (x0, y0, _, _), keypoints in zip(person_boxes, people)]


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--model", required=True, type=Path)
    parser.add_argument("--image", required=True, type=Path)
    parser.add_argument("--kind", required=True, choices=("det", "seg", "obb", "pose", "yolo-pose"))
    parser.add_argument("--person-model", type=Path, help="pose only: a YOLOv8 detector for the person crops")
    parser.add_argument("--pose-crop", choices=("affine", "letterbox"), default="affine",
                        help="pose only: affine crops of the frame (as RTMPose is trained) or letterboxed cut-outs")
    parser.add_argument("--names", type=Path, help="class names, one per line (default: the model's metadata)")
    parser.add_argument("--out", type=Path, default=Path("onnx-out.png"))
    parser.add_argument("--iou", type=float, default=0.45)
    parser.add_argument("--conf", type=float, default=0.25)
    args = parser.parse_args(argv)

    rgb = Image.open(args.image).convert("RGB")
    bgr = np.ascontiguousarray(np.asarray(rgb)[..., ::-1])
    height, width = bgr.shape[:2]
    canvas = rgb.copy()
    draw = ImageDraw.Draw(canvas)
    providers = ["CPUExecutionProvider"]
    session = ort.InferenceSession(str(args.model), providers=providers)
    check_outputs(session, args.kind)
    names = class_names(session, args.names)

    def named(class_id: int) -> str:
        return f" ({names[class_id]})" if class_id in names else ""

    if args.kind in ("det", "seg"):
        boxes, masks = detect(session, bgr, args.iou, args.conf, args.kind == "seg")
        if masks is not None and len(masks):
            overlay = np.asarray(canvas).copy()
            for d, mask in enumerate(masks.view(bool)):
                overlay[mask] = overlay[mask] // 2 + np.array(MASK_COLOURS[d % len(MASK_COLOURS)], np.uint8) // 2
            canvas = Image.fromarray(overlay)
            draw = ImageDraw.Draw(canvas)
        for d, ((x1, y1, x2, y2), class_id, score) in enumerate(boxes):
            area = int(masks[d].sum()) if masks is not None else None
            print(f"box {x1:.1f} {y1:.1f} {x2:.1f} {y2:.1f} class {class_id} score {score:.3f}"
                  + (f" mask {area}" if area is not None else "") + named(class_id))
            draw.rectangle((x1, y1, x2, y2), outline=(255, 56, 56), width=2)
            label(draw, (x1 + 2, y1 + 2), f"{names.get(class_id, class_id)} {score:.2f}")
    elif args.kind == "yolo-pose":
        for (x1, y1, x2, y2), class_id, score, joints in yolo_pose(session, bgr, args.iou, args.conf):
            print(f"box {x1:.1f} {y1:.1f} {x2:.1f} {y2:.1f} class {class_id} score {score:.3f}" + named(class_id))
            draw.rectangle((x1, y1, x2, y2), outline=(56, 56, 255), width=2)
            for a, b in SKELETON:
                if joints[a][2] >= VISIBLE and joints[b][2] >= VISIBLE:
                    draw.line((joints[a][:2], joints[b][:2]), fill=(56, 255, 56), width=2)
            for x, y, v in joints:
                print(f"keypoint {x:.1f} {y:.1f} visibility {v:.3f}")
                if v >= VISIBLE:
                    draw.ellipse((x - 3, y - 3, x + 3, y + 3), fill=(255, 56, 56))
    elif args.kind == "obb":
        for (x, y, w, h, angle), class_id, score, corners in oriented(session, bgr, args.iou, args.conf):
            print(f"obb {x:.1f} {y:.1f} {w:.1f} {h:.1f} angle {angle:.4f} class {class_id} score {score:.3f}"
                  + named(class_id))
            draw.polygon(corners, outline=(255, 56, 56), width=2)
            label(draw, corners[0], f"{names.get(class_id, class_id)} {score:.2f}")
    else:
        if args.person_model is not None:
            detector = ort.InferenceSession(str(args.person_model), providers=providers)
            found, _ = detect(detector, bgr, args.iou, args.conf, seg=False)
            person_boxes = [tuple(int(round(v)) for v in box) for box, class_id, _ in found if class_id == 0]
            person_boxes = [(x1, y1, x2, y2) for x1, y1, x2, y2 in person_boxes if x2 > x1 and y2 > y1]
        else:
            person_boxes = [(0, 0, width, height)]
        for box, keypoints in zip(person_boxes, pose(session, bgr, person_boxes, args.pose_crop)):
            draw.rectangle(box, outline=(56, 56, 255), width=2)
            for x, y, score in keypoints:
                print(f"keypoint {x:.1f} {y:.1f} score {score:.3f}")
                draw.ellipse((x - 3, y - 3, x + 3, y + 3), fill=(255, 56, 56))
    args.out.parent.mkdir(parents=True, exist_ok=True)
    canvas.save(args.out)
    print(f"wrote {args.out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
