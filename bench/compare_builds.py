"""Side-by-side fit timing of two builds of the native module, one process per fit.

    python bench/compare_builds.py OLD_PKG NEW_PKG [--reps 3] [--only TEXT]

OLD_PKG and NEW_PKG are importable package folders, such as build/base/pkg and build/dev/pkg.
Every case fits the same seeded data with both builds, alternating old and new, and prints the
median CPU seconds of each fit (the fit alone, data loading excluded) and their ratio. The two
builds' exported trees are compared too: a speed-up that changes a tree is no speed-up.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile

import numpy as np

CASES = [  # name, mode, task, rows, n_bins
    ("fast classification 1M, 8 bins", "fast", "classification", 1_000_000, 8),
    ("fast classification 1M, 255 bins", "fast", "classification", 1_000_000, 255),
    ("fast regression 1M, 8 bins", "fast", "regression", 1_000_000, 8),
    ("fast regression 1M, 255 bins", "fast", "regression", 1_000_000, 255),
    ("strict classification 100k, 8 bins", "strict", "classification", 100_000, 8),
    ("strict regression 100k, 8 bins", "strict", "regression", 100_000, 8),
]

CHILD = r"""
import hashlib, json, sys, time
import numpy as np
from ornik import _ornik
x, y = np.load(sys.argv[1]), np.load(sys.argv[2])
mode, task, n_bins = sys.argv[3], sys.argv[4], int(sys.argv[5])
common = dict(max_depth=8, min_samples_split=2, min_samples_leaf=1, min_impurity_decrease=0.0,
              n_bins=n_bins, cv_folds=5, cv_seed=42, cv_shuffle=True, mode=mode,
              split_style="threshold", aggregator="mean", agg_frac=0.1, agg_eps=1e-9,
              agg_lambda=1.0, parallel=False, n_threads=1, parallel_min_samples=512,
              categorical=[])
if task == "classification":
    model = _ornik.RawClassifier(n_classes=2, criterion="gini", **common)
else:
    model = _ornik.RawRegressor(criterion="mse", **common)
start = time.process_time()
model.fit(x, y)
seconds = time.process_time() - start
tree = hashlib.sha256(repr(model.export_tree()).encode()).hexdigest()
print(json.dumps({"seconds": seconds, "tree": tree}))
"""


def data(task: str, rows: int, folder: str) -> tuple[str, str]:
    """Paths of the seeded (x, y) of a task: 20 features, 3% missing, a nonlinear signal."""
    x_path = os.path.join(folder, f"{task}_{rows}_x.npy")
    y_path = os.path.join(folder, f"{task}_{rows}_y.npy")
    if not os.path.exists(x_path):
        rng = np.random.default_rng(7)
        x = rng.normal(size=(rows, 20))
        x[rng.random(x.shape) < 0.03] = np.nan
        z = np.nan_to_num(x)
        signal = z[:, 0] + 0.5 * z[:, 1] ** 2 - np.abs(z[:, 2]) + rng.normal(scale=0.5, size=rows)
        y = (signal > 0.2).astype(np.int64) if task == "classification" else signal
        np.save(x_path, x)
        np.save(y_path, y)
    return x_path, y_path


def fit_once(package: str, argv: list[str]) -> dict:
    # One thread everywhere, so that the fit's CPU time is the fit's alone.
    env = dict(os.environ, PYTHONPATH=package, OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1")
    done = subprocess.run(
        [sys.executable, "-c", CHILD, *argv], env=env, check=True, capture_output=True, text=True
    )
    return json.loads(done.stdout.strip().splitlines()[-1])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("old")
    parser.add_argument("new")
    parser.add_argument("--reps", type=int, default=3)
    parser.add_argument("--only", default=None, help="run the cases whose name contains this")
    args = parser.parse_args()
    folder = os.path.join(tempfile.gettempdir(), "ornik_compare_builds")
    os.makedirs(folder, exist_ok=True)
    print("| case | old s | new s | new/old | trees |")
    print("|---|---|---|---|---|")
    for name, mode, task, rows, n_bins in CASES:
        if args.only and args.only not in name:
            continue
        argv = [*data(task, rows, folder), mode, task, str(n_bins)]
        seconds: dict[str, list[float]] = {"old": [], "new": []}
        trees = set()
        for _ in range(args.reps):
            for build in ("old", "new"):
                result = fit_once(getattr(args, build), argv)
                seconds[build].append(result["seconds"])
                trees.add(result["tree"])
        old, new = statistics.median(seconds["old"]), statistics.median(seconds["new"])
        same = "identical" if len(trees) == 1 else "DIFFER"
        print(f"| {name} | {old:.3f} | {new:.3f} | {new / old:.3f} | {same} |", flush=True)


if __name__ == "__main__":
    main()
