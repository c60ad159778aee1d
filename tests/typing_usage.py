"""Checked with mypy --strict by test_stubs: the stubs must type real usage."""

import array
import mmap

import numpy as np

import corvane

img = np.zeros((720, 1280, 3), np.uint8)
dst = np.full((3, 640, 640), 0.5, np.float32)
ratio, pad_x, pad_y = corvane.yolov5_det_preprocess(img, dst)
scaled: float = ratio * 2.0 + pad_x + pad_y
corvane.std_preprocess(img, dst, [0.0, 0.0, 0.0], (255, 255, 255))
corvane.rtmpose_preprocess(img, dst, 0.25)

out = np.zeros((1, 84, 8400), np.float32)
for image in corvane.yolov8_det_postprocess(out, 0.45, 0.25):
    for x1, y1, x2, y2, class_id, score, index in image:
        box: tuple[float, float, float, float] = ((x1 - pad_x) * ratio, y1, x2, y2)
        label: int = class_id + index
for image_props in corvane.yolov8_property_postprocess(out, 0.45, 0.25, 80, [True] * 80, [2, 3]):
    for (bx1, by1, bx2, by2, cls, conf), props in image_props:
        choices: list[int] = [choice for choice, _ in props]

for oriented in corvane.yolov8_obb_postprocess(np.zeros((1, 20, 21504), np.float32), 0.45, 0.25):
    for cx, cy, bw, bh, angle, obb_class, obb_score, obb_index in oriented:
        turned: float = angle + cx + obb_score

keypoints: list[list[tuple[float, float, float]]] = corvane.rtmpose_postprocess(
    np.zeros((1, 17, 384), np.float32), np.zeros((1, 17, 512), np.float32), [(ratio, pad_x, pad_y)]
)
for people in corvane.yolov8_pose_postprocess(np.zeros((1, 56, 8400), np.float32), 0.45, 0.25, 17):
    for *corners, person_class, person_score, anchor, joints in people:
        visible: list[tuple[float, float]] = [(x, y) for x, y, v in joints if v > 0.5]
crops = corvane.rtmpose_affine_preprocess(img, [(10, 20, 110, 220)], np.zeros((1, 3, 256, 192), np.float32))
cx, cy, sw, sh = crops[0]
frame_keypoints: list[list[tuple[float, float, float]]] = corvane.rtmpose_affine_postprocess(
    np.zeros((1, 17, 384), np.float32), np.zeros((1, 17, 512), np.float32), crops
)
word = bytearray(4)
previous: int = corvane.fetch_add_seq_cst(word, 1)
ok, value = corvane.compare_exchange_add(word, 1)
flag: bool = ok and corvane.compare_exchange(word, value, 0)
with mmap.mmap(-1, 4) as mapped:
    corvane.fetch_sub_release(mapped, 1)
corvane.fetch_add_release(array.array("B", bytes(4)), 1)
corvane.compare_exchange_sub(memoryview(word), 1)
version: str = corvane.__version__
try:
    corvane.alphapose_postprocess(np.zeros(51, np.float32), 2.0)
except corvane.PanicException as failure:
    message: str = str(failure)
lr, lx, ly = corvane.letterbox_linear(img, dst, 114)
