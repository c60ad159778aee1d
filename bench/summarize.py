"""Folds the pytest-benchmark JSON of runs with different worker counts into
one Markdown table: per case, each member's median in microseconds for every
run, and how many times slower than corvane it is in the last run."""

import json
import os
import platform
import sys
from collections import defaultdict


def load(path):
    with open(path) as f:
        data = json.load(f)
    # Files are named workers-<n>.json by `make bench`.
    workers = os.path.basename(path).removeprefix("workers-").removesuffix(".json")
    rows = defaultdict(dict)
    for bench in data["benchmarks"]:
        member = bench["name"].split("[")[0].removeprefix("test_").removeprefix("bench_")
        rows[bench["group"]][member] = bench["stats"]["median"] * 1e6
    return workers, rows


def micros(v):
    return f"{v:.1f}" if v >= 10 else f"{v:.3f}"


def main(paths):
    runs = [load(p) for p in paths]
    labels = [f"{w} worker{'s' if str(w) != '1' else ''}" for w, _ in runs]
    print(f"| case | member | {' | '.join(f'median µs, {l}' for l in labels)} | x corvane ({labels[-1]}) |")
    print("|---|---|" + "---|" * len(runs) + "---|")
    groups = list(dict.fromkeys(g for _, rows in runs for g in rows))
    for group in groups:
        last = runs[-1][1][group]
        ours = next((v for k, v in last.items() if "corvane" in k), None)
        members = sorted(last, key=lambda m: ("corvane" not in m, last[m]))
        for member in members:
            cells = [micros(rows[group][member]) if member in rows[group] else "-" for _, rows in runs]
            ratio = f"{last[member] / ours:.2f}" if ours else "-"
            print(f"| {group} | {member} | {' | '.join(cells)} | {ratio} |")
    print(f"\n{platform.processor() or platform.machine()}, {os.cpu_count()} cores, Python {platform.python_version()}")


if __name__ == "__main__":
    main(sys.argv[1:])
