#!/usr/bin/env python3
"""Decode a folder of frames on a dask.distributed LocalCluster of worker processes.

    python examples/dask_frames.py --model yolov8n.onnx --frames frames/ --workers 4

Each worker is a process with one task thread and a corvane pool of one
thread (RAYON_NUM_THREADS=1), so N workers keep N cores busy without
oversubscribing them; each loads the ONNX model once. A frame is letterboxed,
run and decoded as in onnx_pipeline.py; one line per frame is printed with
the boxes in source pixels. Needs dask[distributed], onnxruntime and pillow.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
from pathlib import Path

from dask.distributed import Client, LocalCluster, get_worker

EXAMPLES = Path(__file__).resolve().parent
FRAME_SUFFIXES = {".png", ".jpg", ".jpeg", ".bmp"}


def decode_frame(path: str, model: str, iou: float, conf: float) -> dict:
    """Runs on a worker: the model's session is built once per worker process."""
    if str(EXAMPLES) not in sys.path:
        sys.path.insert(0, str(EXAMPLES))
    import numpy as np
    import onnxruntime as ort
    from PIL import Image

    from onnx_pipeline import detect

    worker = get_worker()
    sessions = worker.__dict__.setdefault("corvane_sessions", {})
    if model not in sessions:
        options = ort.SessionOptions()
        options.intra_op_num_threads = 1
        sessions[model] = ort.InferenceSession(model, options, providers=["CPUExecutionProvider"])
    with Image.open(path) as image:
        bgr = np.ascontiguousarray(np.asarray(image.convert("RGB"))[..., ::-1])
    boxes, _ = detect(sessions[model], bgr, iou, conf, seg=False)
    return {
        "frame": Path(path).name,
        "boxes": [[*box, class_id, score] for box, class_id, score in boxes],
        "pid": os.getpid(),
        "pool_threads": os.environ.get("RAYON_NUM_THREADS"),
    }


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--model", required=True, type=Path, help="a YOLOv8 detection model (.onnx)")
    parser.add_argument("--frames", required=True, type=Path, help="a folder of frames")
    parser.add_argument("--workers", type=int, default=os.cpu_count() or 1)
    parser.add_argument("--iou", type=float, default=0.45)
    parser.add_argument("--conf", type=float, default=0.25)
    args = parser.parse_args(argv)
    frames = sorted(str(p) for p in args.frames.iterdir() if p.suffix.lower() in FRAME_SUFFIXES)
    if not frames:
        parser.error(f"no frames ({', '.join(sorted(FRAME_SUFFIXES))}) in {args.frames}")
    with LocalCluster(
        n_workers=args.workers, threads_per_worker=1, processes=True, dashboard_address=None,
        env={"RAYON_NUM_THREADS": "1", "OMP_NUM_THREADS": "1"},
    ) as cluster, Client(cluster) as client:
        futures = client.map(decode_frame, frames, model=str(args.model.resolve()), iou=args.iou, conf=args.conf)
        for result in client.gather(futures):
            print(json.dumps(result))
    return 0


if __name__ == "__main__":
    sys.exit(main())
