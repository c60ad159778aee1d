#!/usr/bin/env python3
"""corvane end to end on real photos: letterbox, decode, map back, draw.

Two photos that scikit-image ships go through the detection path (letterbox
into a batch tensor, YOLOv8 decoding with class-wise NMS, boxes mapped back
to the photo) and the astronaut through the pose path (affine person crop,
SimCC decoding). No detector or pose model can be installed and run
offline here, so the model outputs are simulated from the objects and
keypoints annotated by hand below; everything around the model is corvane's
real work, and the printed boxes and keypoints are what it decoded.

    python examples/demo.py --out demo-out

Needs numpy, scikit-image and pillow (`pip install "corvane[demo]"`).
"""

from __future__ import annotations

import argparse
import statistics
import sys
import time
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path
from typing import TypeVar

import numpy as np
import skimage.data
from PIL import Image, ImageDraw, PngImagePlugin

import corvane

COCO_NAMES = (
    "person", "bicycle", "car", "motorcycle", "airplane", "bus", "train", "truck", "boat",
    "traffic light", "fire hydrant", "stop sign", "parking meter", "bench", "bird", "cat", "dog",
    "horse", "sheep", "cow", "elephant", "bear", "zebra", "giraffe", "backpack", "umbrella",
    "handbag", "tie", "suitcase", "frisbee", "skis", "snowboard", "sports ball", "kite",
    "baseball bat", "baseball glove", "skateboard", "surfboard", "tennis racket", "bottle",
    "wine glass", "cup", "fork", "knife", "spoon", "bowl", "banana", "apple", "sandwich", "orange",
    "broccoli", "carrot", "hot dog", "pizza", "donut", "cake", "chair", "couch", "potted plant",
    "bed", "dining table", "toilet", "tv", "laptop", "mouse", "remote", "keyboard", "cell phone",
    "microwave", "oven", "toaster", "sink", "refrigerator", "book", "clock", "vase", "scissors",
    "teddy bear", "hair drier", "toothbrush",
)  # fmt: skip

KEYPOINT_NAMES = (
    "nose", "left_eye", "right_eye", "left_ear", "right_ear", "left_shoulder", "right_shoulder",
    "left_elbow", "right_elbow", "left_wrist", "right_wrist", "left_hip", "right_hip",
    "left_knee", "right_knee", "left_ankle", "right_ankle",
)  # fmt: skip

# COCO limbs as keypoint index pairs.
SKELETON = (
    (15, 13), (13, 11), (16, 14), (14, 12), (11, 12), (5, 11), (6, 12), (5, 6), (5, 7), (6, 8),
    (7, 9), (8, 10), (1, 2), (0, 1), (0, 2), (1, 3), (2, 4), (3, 5), (4, 6),
)  # fmt: skip

DET_SIZE = 640  # detector input, square
STRIDES = (8, 16, 32)  # YOLOv8 heads: 80x80, 40x40 and 20x20 anchor grids
PAD_BYTE = 114  # the usual YOLO letterbox grey
IOU_THRESHOLD = 0.45
CONF_THRESHOLD = 0.25
POSE_H, POSE_W = 256, 192  # RTMPose input
SIMCC_SPLIT = 2  # SimCC bins per input pixel
VISIBLE = 0.3  # keypoints below this score are reported as not visible and not drawn
SEED = 20240610


@dataclass(frozen=True)
class KnownObject:
    """An object seen in the photo, boxed by hand in source pixels (x1, y1, x2, y2)."""

    label: str
    class_id: int | None  # COCO class a detector would report; None when COCO has none
    confidence: float  # how sure the simulated detector is at the object's centre
    box: tuple[float, float, float, float]


@dataclass(frozen=True)
class Photo:
    name: str
    rgb: np.ndarray
    objects: tuple[KnownObject, ...]


def load_photos() -> list[Photo]:
    # Boxes and keypoints were read off zoomed, gridded views of the photos.
    return [
        Photo(
            "astronaut",
            skimage.data.astronaut(),  # 512 x 512
            (
                KnownObject("person", 0, 0.92, (20, 15, 366, 512)),
                KnownObject("shuttle model", 4, 0.71, (354, 0, 458, 284)),  # nearest COCO class
                KnownObject("flag", None, 0.0, (0, 0, 97, 512)),
                KnownObject("helmet", None, 0.0, (278, 343, 512, 512)),
            ),
        ),
        Photo(
            "coffee",
            skimage.data.coffee(),  # 600 x 400: letterboxed with pads above and below
            (
                KnownObject("cup", 41, 0.88, (173, 18, 409, 307)),
                KnownObject("spoon", 44, 0.66, (326, 66, 425, 326)),
                KnownObject("saucer", None, 0.0, (76, 70, 480, 388)),
            ),
        ),
    ]


# The astronaut's 17 COCO keypoints (x, y, visibility score) in source pixels.
# Ears are under the hair, the left elbow and wrist behind the helmet, and the
# photo ends at the waist: hips, knees and ankles are guesses below the frame.
ASTRONAUT_KEYPOINTS = (
    (224, 126, 0.95), (246, 103, 0.94), (202, 101, 0.94), (272, 123, 0.35), (180, 120, 0.35),
    (330, 275, 0.90), (80, 262, 0.90), (352, 440, 0.15), (58, 458, 0.70), (305, 495, 0.12),
    (160, 492, 0.72), (290, 560, 0.10), (130, 560, 0.10), (290, 700, 0.05), (130, 700, 0.05),
    (290, 840, 0.05), (130, 840, 0.05),
)  # fmt: skip

T = TypeVar("T")


def timed(fn: Callable[[], T], runs: int) -> tuple[T, float]:
    """fn's result and its median wall time in microseconds over `runs` calls
    after a warm-up call; with runs = 0, the time of that one call."""
    start = time.perf_counter_ns()
    result = fn()
    times = [time.perf_counter_ns() - start]
    for _ in range(runs):
        start = time.perf_counter_ns()
        result = fn()
        times.append(time.perf_counter_ns() - start)
    return result, statistics.median(times[1:] or times) / 1000


def anchor_grid() -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Cell centres and strides of the 8400 anchors, in YOLOv8's output order."""
    cx, cy, stride = [], [], []
    for s in STRIDES:
        n = DET_SIZE // s
        gy, gx = np.mgrid[0:n, 0:n]
        cx.append((gx.ravel() + 0.5) * s)
        cy.append((gy.ravel() + 0.5) * s)
        stride.append(np.full(n * n, float(s)))
    return np.concatenate(cx), np.concatenate(cy), np.concatenate(stride)


def simulate_yolov8(objects: list[tuple[int, float, tuple[float, ...]]], rng: np.random.Generator) -> np.ndarray:
    """A plausible (84, 8400) YOLOv8 head output for boxes given in model-input pixels.

    Anchors whose cell centre lies inside an object's box score its class,
    highest at the box centre and on the grid whose stride suits the object's
    size, and regress the box with a jitter that grows away from the centre.
    Everything else is background: small boxes and near-zero class scores.
    """
    cx, cy, stride = anchor_grid()
    n = cx.size
    out = np.empty((4 + len(COCO_NAMES), n), np.float32)
    out[0] = cx + rng.normal(0, 0.3, n) * stride
    out[1] = cy + rng.normal(0, 0.3, n) * stride
    out[2:4] = stride * rng.uniform(0.5, 3.0, (2, n))
    out[4:] = rng.uniform(0, 0.02, (len(COCO_NAMES), n)) ** 2
    owner_score = np.zeros(n)
    for class_id, confidence, (x1, y1, x2, y2) in objects:
        w, h = x2 - x1, y2 - y1
        bx, by = (x1 + x2) / 2, (y1 + y2) / 2
        # Each head is trained for objects around 8 strides across.
        level = np.exp(-0.5 * np.log2(np.sqrt(w * h) / (8 * stride)) ** 2)
        level /= level.max()
        centred = np.exp(-0.5 * (((cx - bx) / (0.25 * w)) ** 2 + ((cy - by) / (0.25 * h)) ** 2))
        inside = (cx >= x1) & (cx <= x2) & (cy >= y1) & (cy <= y2)
        score = np.where(inside, confidence * centred * level, 0.0)
        out[4 + class_id] = np.maximum(out[4 + class_id], score)
        jitter = 0.004 + 0.03 * (1 - centred)
        owned = score > owner_score  # the anchor regresses the box of its strongest object
        owner_score[owned] = score[owned]
        out[0, owned] = (bx + rng.normal(0, 1, n) * jitter * w)[owned]
        out[1, owned] = (by + rng.normal(0, 1, n) * jitter * h)[owned]
        out[2, owned] = (w * (1 + rng.normal(0, 1, n) * jitter))[owned]
        out[3, owned] = (h * (1 + rng.normal(0, 1, n) * jitter))[owned]
    return out


def simulate_simcc(
    keypoints_in: list[tuple[float, float, float]], rng: np.random.Generator
) -> tuple[np.ndarray, np.ndarray]:
    """RTMPose SimCC outputs (17, W*2) and (17, H*2) peaking at keypoints given in model-input pixels.

    Each keypoint is a Gaussian along each axis centred on its bin, as tall as
    its visibility score; one outside the model's view peaks at the border bin.
    """
    bins_x, bins_y = POSE_W * SIMCC_SPLIT, POSE_H * SIMCC_SPLIT
    sigma_x, sigma_y = 4.9, 5.66  # in bins, as RTMPose trains them for a 192 x 256 input
    x = rng.uniform(0, 0.004, (len(keypoints_in), bins_x)).astype(np.float32)
    y = rng.uniform(0, 0.004, (len(keypoints_in), bins_y)).astype(np.float32)
    for k, (kx, ky, score) in enumerate(keypoints_in):
        bx = np.clip(kx * SIMCC_SPLIT, 0, bins_x - 1)
        by = np.clip(ky * SIMCC_SPLIT, 0, bins_y - 1)
        x[k] += score * np.exp(-0.5 * ((np.arange(bins_x) - bx) / sigma_x) ** 2)
        y[k] += score * np.exp(-0.5 * ((np.arange(bins_y) - by) / sigma_y) ** 2)
    return x, y


def to_source(box: tuple[float, ...], letterbox: tuple[float, int, int], width: int, height: int) -> tuple[float, ...]:
    """A box in model-input pixels mapped back to the photo: (x - pad) * ratio, clipped."""
    ratio, pad_x, pad_y = letterbox
    x1, y1, x2, y2 = box
    return (
        min(max((x1 - pad_x) * ratio, 0.0), width),
        min(max((y1 - pad_y) * ratio, 0.0), height),
        min(max((x2 - pad_x) * ratio, 0.0), width),
        min(max((y2 - pad_y) * ratio, 0.0), height),
    )


def to_input(box: tuple[float, ...], letterbox: tuple[float, int, int]) -> tuple[float, ...]:
    """The inverse of to_source (without clipping): x / ratio + pad."""
    ratio, pad_x, pad_y = letterbox
    x1, y1, x2, y2 = box
    return (x1 / ratio + pad_x, y1 / ratio + pad_y, x2 / ratio + pad_x, y2 / ratio + pad_y)


def fmt_box(box: tuple[float, ...]) -> str:
    return "(" + ", ".join(f"{v:.1f}" for v in box) + ")"


def person_crop(box: tuple[float, ...], width: int, height: int) -> tuple[int, int, int, int]:
    """The box rounded outward to whole pixels, for drawing."""
    x1, y1, x2, y2 = box
    return max(int(x1), 0), max(int(y1), 0), min(int(np.ceil(x2)), width), min(int(np.ceil(y2)), height)


PALETTE = ((255, 56, 56), (56, 168, 255), (72, 210, 90), (255, 178, 29), (207, 73, 255))


CAPTION = "SIMULATED model output (no model was run); letterbox and decoding by corvane"


def save_captioned(image: Image.Image, path: Path) -> None:
    """Writes the picture with the caption drawn in a band along its bottom
    edge and stored as the PNG's Comment, so nobody takes it for a model's."""
    draw = ImageDraw.Draw(image)
    _, _, tw, th = draw.textbbox((0, 0), CAPTION)
    band = th + 8
    draw.rectangle((0, image.height - band, image.width, image.height), fill=(0, 0, 0))
    draw.text((4, image.height - band + 3), CAPTION, fill=(255, 255, 0))
    info = PngImagePlugin.PngInfo()
    info.add_text("Comment", CAPTION)
    image.save(path, pnginfo=info)


def draw_detections(photos: list[Photo], found: list[list[tuple]], path: Path) -> None:
    """The photos side by side: annotations thin white, detections thick and labelled."""
    width = sum(p.rgb.shape[1] for p in photos)
    height = max(p.rgb.shape[0] for p in photos)
    canvas = Image.new("RGB", (width, height), (32, 32, 32))
    left = 0
    for photo, detections in zip(photos, found):
        canvas.paste(Image.fromarray(photo.rgb), (left, 0))
        draw = ImageDraw.Draw(canvas)
        for obj in photo.objects:
            if obj.class_id is not None:
                x1, y1, x2, y2 = obj.box
                draw.rectangle((left + x1, y1, left + x2 - 1, y2 - 1), outline=(255, 255, 255), width=1)
        for k, (name, score, (x1, y1, x2, y2)) in enumerate(detections):
            colour = PALETTE[k % len(PALETTE)]
            draw.rectangle((left + x1, y1, left + x2 - 1, y2 - 1), outline=colour, width=3)
            label = f"{name} {score:.2f}"
            tx, ty = left + x1 + 3, max(y1 + 3, 0)
            tw, th = draw.textbbox((0, 0), label)[2:]
            draw.rectangle((tx - 2, ty - 1, tx + tw + 2, ty + th + 2), fill=colour)
            draw.text((tx, ty), label, fill=(255, 255, 255))
        left += photo.rgb.shape[1]
    save_captioned(canvas, path)


def draw_pose(
    rgb: np.ndarray, crop: tuple[int, int, int, int], keypoints: list[tuple[float, float, float]], path: Path
) -> None:
    image = Image.fromarray(rgb)
    draw = ImageDraw.Draw(image)
    draw.rectangle((crop[0], crop[1], crop[2] - 1, crop[3] - 1), outline=(255, 255, 255), width=1)
    for a, b in SKELETON:
        if keypoints[a][2] >= VISIBLE and keypoints[b][2] >= VISIBLE:
            draw.line((keypoints[a][:2], keypoints[b][:2]), fill=(56, 168, 255), width=4)
    for x, y, score in keypoints:
        if score >= VISIBLE:
            draw.ellipse((x - 5, y - 5, x + 5, y + 5), fill=(255, 56, 56), outline=(255, 255, 255))
    save_captioned(image, path)


def draw_masks(rgb: np.ndarray, masks: np.ndarray, path: Path) -> None:
    """Each instance mask tinted over the photo, half transparent."""
    out = rgb.astype(np.float32)
    for k, mask in enumerate(masks.view(bool)):
        out[mask] = 0.5 * out[mask] + 0.5 * np.array(PALETTE[k % len(PALETTE)], np.float32)
    save_captioned(Image.fromarray(out.astype(np.uint8)), path)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--out", type=Path, default=Path("demo-out"), help="directory for the PNGs")
    parser.add_argument("--runs", type=int, default=25, help="timed runs per step (median shown)")
    args = parser.parse_args(argv)
    args.out.mkdir(parents=True, exist_ok=True)
    runs = max(args.runs, 1)
    rng = np.random.default_rng(SEED)
    timings: list[tuple[str, float]] = []  # one-run steps are marked "*"

    print("corvane demo on photos shipped with scikit-image")
    print("NOTE: no detector or pose model can be installed and run offline here, so the model")
    print("outputs below are SIMULATED from each photo's hand-annotated objects and keypoints")
    print("(not random). Letterboxing, decoding, NMS and the mapping back are corvane's real work.")

    photos = load_photos()
    # corvane reads interleaved BGR bytes; scikit-image gives RGB.
    bgr = [np.ascontiguousarray(p.rgb[:, :, ::-1]) for p in photos]

    print("\nKnown objects (annotated by hand, source pixels):")
    for photo in photos:
        for obj in photo.objects:
            cls = f"COCO {obj.class_id} {COCO_NAMES[obj.class_id]}" if obj.class_id is not None else "no COCO class"
            print(f"  {photo.name:<10} {obj.label:<14} {fmt_box(obj.box):<30} {cls}")

    # ---- detection path -------------------------------------------------
    print(f"\nDetection path: {len(photos)} photos, one YOLOv8 batch of {DET_SIZE}x{DET_SIZE} inputs")
    batch = np.empty((len(photos), 3, DET_SIZE, DET_SIZE), np.float32)

    # The bilinear letterbox the detectors are trained on; it writes margins too, so no pre-fill.
    letterboxes = []
    for i, (photo, src) in enumerate(zip(photos, bgr)):
        # batch[i] is a contiguous (3, 640, 640) view: each photo lands in its batch slot.
        lb, us = timed(lambda: corvane.letterbox_linear(src, batch[i], PAD_BYTE), runs)
        letterboxes.append(lb)
        h, w = src.shape[:2]
        timings.append((f"letterbox_linear {photo.name} {w}x{h}", us))
        print(f"  {photo.name:<10} {w}x{h} -> ratio {lb[0]:.6g}, pad_x {lb[1]}, pad_y {lb[2]}")

    def simulate_batch() -> np.ndarray:
        sim = np.random.default_rng(SEED)
        return np.stack(
            [
                simulate_yolov8(
                    [(o.class_id, o.confidence, to_input(o.box, lb)) for o in photo.objects if o.class_id is not None],
                    sim,
                )
                for photo, lb in zip(photos, letterboxes)
            ]
        )

    model_out, us = timed(simulate_batch, 0)
    timings.append(("* simulate YOLOv8 output (NumPy; stands in for inference)", us))
    candidates = int((model_out[:, 4:].max(axis=1) >= CONF_THRESHOLD).sum())
    print(f"  simulated YOLOv8 output {model_out.shape}: {candidates} anchors score >= {CONF_THRESHOLD}")

    decoded, us = timed(lambda: corvane.yolov8_det_postprocess(model_out, IOU_THRESHOLD, CONF_THRESHOLD), runs)
    timings.append((f"yolov8_det_postprocess {model_out.shape} + NMS", us))

    def map_back() -> list[list[tuple]]:
        return [
            [(COCO_NAMES[d[4]], d[5], to_source(d[:4], lb, src.shape[1], src.shape[0])) for d in dets]
            for dets, lb, src in zip(decoded, letterboxes, bgr)
        ]

    found, us = timed(map_back, runs)
    timings.append(("map boxes back to the photos (Python)", us))
    print(f"  yolov8_det_postprocess(iou {IOU_THRESHOLD}, conf {CONF_THRESHOLD}), boxes in source pixels:")
    for photo, dets in zip(photos, found):
        for name, score, box in dets:
            known = [o.box for o in photo.objects if o.class_id is not None and COCO_NAMES[o.class_id] == name]
            off = min((max(abs(a - b) for a, b in zip(box, k)) for k in known), default=float("nan"))
            print(f"    {photo.name:<10} {name:<10} {score:.3f}  box {fmt_box(box):<30} ", end="")
            print(f"off annotation by <= {off:.1f} px")
    _, us = timed(lambda: draw_detections(photos, found, args.out / "detections.png"), 0)
    timings.append(("* draw + write detections.png (Pillow)", us))
    print(f"  wrote {args.out / 'detections.png'}")

    # ---- segmentation path ----------------------------------------------
    # The detection output of the first photo with 32 mask-coefficient
    # channels appended, and 32 prototypes: prototype k is an elliptic logit
    # inside detection k's box, and detection k's anchor selects it. Stands in
    # for a segmentation model's two outputs.
    seg_out = np.concatenate([model_out[:1], np.zeros((1, 32, model_out.shape[2]), np.float32)], axis=1)
    seg_dets = corvane.yolov8_seg_postprocess(seg_out, IOU_THRESHOLD, CONF_THRESHOLD, 32)[0][:32]
    protos = np.full((1, 32, DET_SIZE // 4, DET_SIZE // 4), -1.0, np.float32)
    gy, gx = (np.mgrid[0 : DET_SIZE // 4, 0 : DET_SIZE // 4] + 0.5) * 4.0
    for k, (x1, y1, x2, y2, *_, anchor) in enumerate(seg_dets):
        rx, ry = max((x2 - x1) / 2, 1.0), max((y2 - y1) / 2, 1.0)
        protos[0, k] = 1 - ((gx - (x1 + x2) / 2) / rx) ** 2 - ((gy - (y1 + y2) / 2) / ry) ** 2
        seg_out[0, 84 + k, anchor] = 1.0
    height, width = bgr[0].shape[:2]
    masks = np.zeros((len(seg_dets), height, width), np.uint8)  # pixels outside the boxes stay 0
    _, us = timed(
        lambda: corvane.yolov8_seg_masks(seg_out, protos, 0, seg_dets, (DET_SIZE, DET_SIZE), letterboxes[0], masks),
        runs,
    )
    timings.append((f"yolov8_seg_masks {len(seg_dets)} masks {width}x{height}", us))
    draw_masks(photos[0].rgb, masks, args.out / "masks.png")
    print(f"\nSegmentation path: {len(seg_dets)} instance masks of {photos[0].name} in source pixels")
    print(f"  wrote {args.out / 'masks.png'}")

    # ---- pose path ------------------------------------------------------
    astronaut, src = photos[0], bgr[0]
    person = next(box for name, _, box in found[0] if name == "person")
    # The affine crop RTMPose is trained on: the box enlarged by 1.25, fixed
    # to the input's aspect and warped from the photo itself (no copy).
    pose_in = np.empty((1, 3, POSE_H, POSE_W), np.float32)
    crops, us = timed(lambda: corvane.rtmpose_affine_preprocess(src, [person], pose_in), runs)
    timings.append(("rtmpose_affine_preprocess (1 person)", us))
    cx, cy, sw, sh = crops[0]
    print("\nPose path: the detected person's box, cropped by an affine warp")
    print(f"  box {fmt_box(person)} -> rtmpose_affine_preprocess (1, 3, {POSE_H}, {POSE_W}):")
    print(f"  crop centre ({cx:.1f}, {cy:.1f}), size {sw:.1f} x {sh:.1f} source pixels")

    # Source pixels -> model-input pixels of the crop.
    kp_in = [((x - cx) / sw * POSE_W + POSE_W / 2, (y - cy) / sh * POSE_H + POSE_H / 2, s) for x, y, s in ASTRONAUT_KEYPOINTS]
    (simcc_x, simcc_y), us = timed(lambda: simulate_simcc(kp_in, rng), 0)
    timings.append(("* simulate SimCC outputs (NumPy; stands in for inference)", us))
    simcc_x, simcc_y = simcc_x[None], simcc_y[None]
    print(f"  simulated SimCC outputs x {simcc_x.shape}, y {simcc_y.shape}")

    decoded_kp, us = timed(lambda: corvane.rtmpose_affine_postprocess(simcc_x, simcc_y, crops), runs)
    timings.append(("rtmpose_affine_postprocess (1 crop, 17 keypoints)", us))
    keypoints = decoded_kp[0]  # already in source pixels
    print("  rtmpose_affine_postprocess, keypoints in source pixels:")
    for name, (x, y, s), (ax, ay, _) in zip(KEYPOINT_NAMES, keypoints, ASTRONAUT_KEYPOINTS):
        note = f"annotated ({ax}, {ay})" if s >= VISIBLE else "not visible"
        print(f"    {name:<15} ({x:6.1f}, {y:6.1f})  score {s:.2f}  {note}")
    crop_box = person_crop(person, src.shape[1], src.shape[0])
    _, us = timed(lambda: draw_pose(astronaut.rgb, crop_box, keypoints, args.out / "pose.png"), 0)
    timings.append(("* draw + write pose.png (Pillow)", us))
    print(f"  wrote {args.out / 'pose.png'}")

    # ---- timings --------------------------------------------------------
    print(f"\nStep timings in microseconds: median of {runs} runs (* one run)")
    for step, us in timings:
        print(f"  {step:<60} {us:10.1f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
