"""Calls timed as a pipeline meets them, between model runs: before each call
the process sleeps 20 ms (the pool's workers go idle, as during inference) and
the input is rewritten from a copy (as the runtime writes its output), then one
call is timed. corvane and its peers are timed the same way, and so is each
case's floor (the NumPy pass that only writes what corvane writes, or only
reads the model output), which pays the same refill of the caches. The runs with 1
and with 2 workers alternate, a few rounds each, so that a change in the
machine's load falls on both alike; each case's calls are pooled over the
rounds, and the medians folded into one table. Then the idle cost: CPU time
the process uses while it sleeps for a second after a call.

    python bench/realistic.py            # runs itself with 1 and 2 workers
"""

import json
import os
import subprocess
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(__file__))

CALLS = int(os.environ.get("REALISTIC_CALLS", "60"))
ROUNDS = 3
PAUSE = 0.020
# NumPy's BLAS threads sleep as soon as their work is done: by default they
# spin for about 0.1 s after each product (the masks' NumPy glue makes one per
# call) and after NumPy's import, and a spinning thread takes one of the two
# cores from whatever is timed next.
QUIET_BLAS = {"OPENBLAS_THREAD_TIMEOUT": "4"}


def cases():
    """(case, member, input to rewrite, call) in table order."""
    import cv2
    import corvane
    import bench_affine as a
    import bench_detect as d
    import bench_letterbox_linear as lin
    import bench_masks as m
    import bench_obb as o
    import bench_pose as p
    import bench_preprocess as pre

    out = []
    for name, (kind, make) in d.CASES.items():
        if name.startswith("worst"):
            continue
        pred = make(np.random.default_rng(0))
        out.append((name, "corvane", pred, lambda k=kind, a=pred: d.corvane_call(k, a)))
        out.append((name, "numpy + cv2 NMSBoxesBatched", pred,
                    lambda k=kind, a=pred: d.numpy_pipeline(k, a, d.cv2_nms)))
        out.append((name, "floor: numpy max", pred, pred.max))
    case = (1280, 720)
    src, dst = pre.frame(case), pre.padded()
    _, new_w, new_h, pad_x, pad_y = pre.geometry(case)

    def opencv():
        small = cv2.resize(src, (new_w, new_h), interpolation=cv2.INTER_NEAREST)
        boxed = cv2.copyMakeBorder(small, pad_y, pre.DST - new_h - pad_y, pad_x, pre.DST - new_w - pad_x,
                                   cv2.BORDER_CONSTANT, value=(pre.PAD,) * 3)
        return cv2.dnn.blobFromImage(boxed, scalefactor=1 / 255, swapRB=True)

    name = pre.group(case)
    out.append((name, "corvane", src, lambda: corvane.yolov5_det_preprocess(src, dst)))
    out.append((name, "opencv resize + border + blob", src, opencv))
    region = dst[:, pad_y : pad_y + new_h, pad_x : pad_x + new_w]
    out.append((name, "floor: numpy fill", src, lambda: region.fill(0.5)))
    case = lin.CASES[0]
    src, dst, name = lin.frame(case), lin.destination(case), lin.group(case)
    out.append((name, "corvane", src, lambda: corvane.letterbox_linear(src, dst, lin.PAD)))
    out.append((name, "opencv resize + border + blob", src, lin.opencv_pipeline(case)))
    out.append((name, "floor: numpy fill", src, lambda: dst.fill(0.5)))
    x, y, scale_pads = p.outputs(16)
    name = p.group(16)
    out.append((name, "corvane", x, lambda: corvane.rtmpose_postprocess(x, y, scale_pads)))
    out.append((name, "numpy argmax decode", x, lambda: p.numpy_decode(x, y, scale_pads)))
    out.append((name, "floor: numpy max", x, lambda: (x.max(), y.max())))
    frame, boxes, crops_dst = a.scene()
    out.append((a.GROUP, "corvane", frame, lambda: corvane.rtmpose_affine_preprocess(frame, boxes, crops_dst)))
    out.append((a.GROUP, "opencv warpAffine + numpy", frame, lambda: a.opencv_numpy(frame, boxes, crops_dst)))
    out.append((a.GROUP, "floor: numpy fill", frame, lambda: crops_dst.fill(0.5)))
    pred, protos, dets = m.make_scene()
    masks = m.destination()
    name = "yolov8 seg masks 1280x720, 20 boxes"
    out.append((name, "corvane", protos, lambda: corvane.yolov8_seg_masks(
        pred, protos, 0, dets, (m.IN, m.IN), (m.RATIO, m.PAD_X, m.PAD_Y), masks)))
    out.append((name, "numpy + cv2 glue", protos, lambda: m.glue(pred, protos, dets, masks)))
    out.append((name, "floor: box fill", protos, lambda: m.floor(dets, masks)))
    obb = o.realistic(np.random.default_rng(0))
    out.append((o.GROUP, "corvane", obb, lambda: corvane.yolov8_obb_postprocess(obb, o.IOU, o.CONF)))
    out.append((o.GROUP, "numpy + numpy probiou Fast-NMS", obb, lambda: o.numpy_pipeline(obb, o.numpy_fast_nms)))
    out.append((o.GROUP, "floor: numpy max", obb, obb.max))
    return out


def measure():
    import cv2

    cv2.setNumThreads(int(os.environ["RAYON_NUM_THREADS"]))
    rows = []
    for name, member, data, call in cases():
        saved = data.copy()
        call()  # first call outside the timing: pool start, caches of the runtime
        times = []
        for _ in range(-(-CALLS // ROUNDS)):
            time.sleep(PAUSE)
            np.copyto(data, saved)
            t0 = time.perf_counter()
            call()
            times.append(time.perf_counter() - t0)
        rows.append((name, member, times))
    json.dump({"rows": rows}, sys.stdout)


def idle():
    """In a process of its own: the peers' thread pools (OpenCV's spin) would
    count too. One decode and one letterbox, then a second of sleep."""
    import corvane
    import bench_detect as d
    import bench_preprocess as pre

    pred = d.realistic(np.random.default_rng(0), 1, 80, 8400)
    corvane.yolov8_det_postprocess(pred, d.IOU, d.CONF)
    corvane.yolov5_det_preprocess(pre.frame((1280, 720)), pre.padded())
    cpu0 = time.process_time()
    time.sleep(1.0)
    print((time.process_time() - cpu0) * 1e3)


def main():
    runs = {n: {"rows": None} for n in ("1", "2")}
    for _ in range(ROUNDS):
        for n, run in runs.items():
            env = {**os.environ, "RAYON_NUM_THREADS": n, "OPENBLAS_NUM_THREADS": n, **QUIET_BLAS}
            out = subprocess.run([sys.executable, __file__, "--measure"], env=env, check=True,
                                 capture_output=True, text=True).stdout
            rows = json.loads(out)["rows"]
            if run["rows"] is None:
                run["rows"] = rows
            else:
                for pooled, row in zip(run["rows"], rows):
                    pooled[2].extend(row[2])
    for n, run in runs.items():
        run["rows"] = [(name, member, float(np.median(times)) * 1e6) for name, member, times in run["rows"]]
        # NumPy's BLAS threads spin for a while after NumPy work of their own;
        # with one BLAS thread the figure is corvane's alone.
        idle_env = {**os.environ, "RAYON_NUM_THREADS": n, "OPENBLAS_NUM_THREADS": "1", "OMP_NUM_THREADS": "1"}
        run["idle_ms"] = float(subprocess.run([sys.executable, __file__, "--idle"], env=idle_env, check=True,
                                              capture_output=True, text=True).stdout)
    print("| case | member | median µs, 1 worker | median µs, 2 workers | 2w / 1w | x corvane (2 workers) |")
    print("|---|---|---|---|---|---|")
    ours = {name: v for name, member, v in runs["2"]["rows"] if member == "corvane"}
    for (name, member, one), (_, _, two) in zip(runs["1"]["rows"], runs["2"]["rows"]):
        print(f"| {name} | {member} | {one:.1f} | {two:.1f} | {two / one:.2f} | {two / ours[name]:.2f} |")
    print(f"\neach call after {PAUSE * 1e3:.0f} ms of sleep and a rewrite of its input; "
          f"medians of {ROUNDS * -(-CALLS // ROUNDS)} calls in {ROUNDS} alternating rounds")
    for n in ("1", "2"):
        print(f"idle: CPU time in the second after a call, {n} worker(s): {runs[n]['idle_ms']:.2f} ms")


if __name__ == "__main__":
    if "--measure" in sys.argv:
        measure()
    elif "--idle" in sys.argv:
        idle()
    else:
        main()
