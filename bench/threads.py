"""Two threads against one: the throughput of two Fast fits, and of two predictions, run in two
threads at once against the same two run one after the other.

Each thread fits its own estimator on its own 300k x 20 regression data (default sizes), or
predicts 2M rows with its own fitted tree. The ratio is (time one after the other) / (time in
two threads): 2.0 is perfect scaling on two free cores, 1.0 means the calls shut each other out.

    python bench/threads.py                  # 300k-row fits, 2M-row predictions
    python bench/threads.py --fit-rows 50000 --predict-rows 200000 --repeats 1
"""

from __future__ import annotations

import argparse
import statistics
import sys
import threading
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import workloads  # noqa: E402

from ornik import ORNIKRegressor  # noqa: E402

TARGET = 1.7


def both(calls, in_threads: bool) -> float:
    """Seconds to run every call, one after the other or each in a thread of its own."""
    start = time.perf_counter()
    if in_threads:
        threads = [threading.Thread(target=call) for call in calls]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    else:
        for call in calls:
            call()
    return time.perf_counter() - start


def ratio(calls, repeats: int) -> tuple[float, float, float]:
    """Median seconds one after the other, in two threads, and their ratio (runs alternate)."""
    serial, threaded = [], []
    for _ in range(repeats):
        serial.append(both(calls, False))
        threaded.append(both(calls, True))
    s, t = statistics.median(serial), statistics.median(threaded)
    return s, t, s / t


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawTextHelpFormatter)
    p.add_argument("--fit-rows", type=int, default=300_000)
    p.add_argument("--predict-rows", type=int, default=2_000_000)
    p.add_argument("--repeats", type=int, default=3, help="alternations (median)")
    args = p.parse_args(argv)

    data = [workloads.generate(workloads.regression(args.fit_rows, seed)) for seed in (11, 12)]
    models = [ORNIKRegressor(mode="fast") for _ in data]
    fits = [lambda m=m, d=d: m.fit(*d) for m, d in zip(models, data, strict=True)]
    rows = [workloads.generate(workloads.regression(args.predict_rows, s))[0] for s in (21, 22)]
    predicts = [lambda m=m, x=x: m.predict(x) for m, x in zip(models, rows, strict=True)]

    cells = [
        (f"fit, Fast, {args.fit_rows} x {workloads.N_FEATURES}", fits),
        (f"predict, {args.predict_rows} rows", predicts),  # the trees of the fit cell
    ]
    print(f"two threads against one after the other (target: >= {TARGET:.1f}x the throughput)")
    for name, calls in cells:
        serial, threaded, r = ratio(calls, args.repeats)
        verdict = "met" if r >= TARGET else "NOT met"
        print(
            f"  {name}: one after the other {serial:.3f} s, two threads {threaded:.3f} s: "
            f"{r:.2f}x ({verdict})"
        )
    return 0


if __name__ == "__main__":
    sys.exit(main())
