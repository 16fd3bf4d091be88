"""Two builds of ornik side by side: did a change make fits or predictions slower?

Each build is a folder that holds an importable `ornik` package (an installed site-packages
folder, or a developer build's build/<dir>/pkg). Both builds run every cell in the same session,
alternating old, new, old, new ... so that a busy spell of this shared machine hits both alike;
each run is a child process timing the median of --repeats fits, predicts and (where the build
has them) native leaf-id lookups.

    python bench/compare.py OLD_DIR NEW_DIR             # 1M rows, Fast and Strict, both tasks
    python bench/compare.py OLD_DIR NEW_DIR --rows 100000 --rounds 1
"""

from __future__ import annotations

import argparse
import statistics
import sys
import tempfile
from pathlib import Path

import numpy as np

BENCH_DIR = Path(__file__).resolve().parent
sys.path.insert(0, str(BENCH_DIR))
import workloads  # noqa: E402
from children import run_child  # noqa: E402
from speed_report import fmt_s  # noqa: E402


def parse_args(argv):
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawTextHelpFormatter)
    p.add_argument("old", type=Path, help="folder holding the old build's ornik package")
    p.add_argument("new", type=Path, help="folder holding the new build's ornik package")
    p.add_argument("--rows", type=int, default=1_000_000)
    p.add_argument("--strict-rows", type=int, default=100_000, help="rows of the Strict cells")
    p.add_argument("--n-bins", type=int, nargs="+", default=[8, 255])
    p.add_argument("--threads", type=int, nargs="+", default=[1, 2])
    p.add_argument("--modes", nargs="+", default=["fast", "strict"], choices=["fast", "strict"])
    p.add_argument("--repeats", type=int, default=3, help="timed fits per child (median)")
    p.add_argument("--rounds", type=int, default=2, help="old/new alternations per cell")
    p.add_argument("--timeout", type=float, default=600.0)
    return p.parse_args(argv)


def cells(args):
    """(mode, rows, n_bins, threads) of every cell; Strict runs at its own size, one thread."""
    for mode in args.modes:
        if mode == "strict":
            yield mode, args.strict_rows, min(args.n_bins), 1
            continue
        for nb in args.n_bins:
            for th in args.threads:
                yield mode, args.rows, nb, th


def median_or_none(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def ratio_text(new, old) -> str:
    return f"{new / old:.3f}" if new is not None and old else "n/a"


def cell_text(value) -> str:
    return f"{value:.2f}" if value is not None else "n/a"


def main(argv=None) -> int:
    args = parse_args(argv)
    builds = {"old": str(args.old.resolve()), "new": str(args.new.resolve())}
    rows = [
        "| workload | mode | rows | n_bins | threads | fit old | fit new | fit new/old "
        "| predict new/old | apply new | apply/predict new | B/cell old | B/cell new |",
        "|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|",
    ]
    worst = 0.0
    with tempfile.TemporaryDirectory(prefix="ornik-compare-") as tmp:
        for kind in ("classification", "regression"):
            for mode, n_rows, nb, th in cells(args):
                w = getattr(workloads, kind)(n_rows)
                data = Path(tmp) / f"{kind}-{n_rows}"
                if not data.exists():
                    data.mkdir()
                    x, y = workloads.generate(w)
                    np.save(data / "x.npy", x)
                    np.save(data / "y.npy", y)
                    del x, y
                request = {
                    "data": str(data),
                    "task": kind,
                    "n_bins": nb,
                    "threads": th,
                    "categorical": [],
                    "contender": mode,
                    "repeats": args.repeats,
                    "apply": True,
                }
                got = {"old": [], "new": []}
                for _ in range(args.rounds):
                    for name in ("old", "new"):
                        r = run_child(request, th, args.timeout, pythonpath=builds[name])
                        if r.status != "ok":
                            sys.exit(f"{name} build, {kind} {mode}: {r.status} {r.note}")
                        got[name].append(r)
                fit = {n: median_or_none([r.fit_s for r in got[n]]) for n in got}
                pred = {n: median_or_none([r.predict_s for r in got[n]]) for n in got}
                apply_new = median_or_none([r.apply_s for r in got["new"]])
                # Peak memory above the input, per matrix cell (the first fit of each child).
                per_cell = {
                    n: median_or_none(
                        [
                            r.peak_bytes / (n_rows * workloads.N_FEATURES) if r.peak_bytes else None
                            for r in got[n]
                        ]
                    )
                    for n in got
                }
                worst = max(worst, fit["new"] / fit["old"], pred["new"] / pred["old"])
                rows.append(
                    f"| {kind} | {mode} | {n_rows:,} | {nb} | {th} | {fmt_s(fit['old'])} "
                    f"| {fmt_s(fit['new'])} | {ratio_text(fit['new'], fit['old'])} "
                    f"| {ratio_text(pred['new'], pred['old'])} | {fmt_s(apply_new)} "
                    f"| {ratio_text(apply_new, pred['new'])} | {cell_text(per_cell['old'])} "
                    f"| {cell_text(per_cell['new'])} |"
                )
                print(rows[-1], flush=True)
    print("\n".join(["", *rows, "", f"largest new/old ratio of a fit or predict: {worst:.3f}"]))
    return 0


if __name__ == "__main__":
    sys.exit(main())
