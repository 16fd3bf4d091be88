"""Benchmark: ornik (Strict and Fast) against scikit-learn's trees and LightGBM.

Generates seeded synthetic workloads, times every contender in a child process of its own
(median of several fits and predicts, peak memory above the input), prints markdown tables,
the target ratios and a description of the machine, and writes them to bench/RESULTS.md.

    python bench/run.py            # full run: 100k and 1M rows
    python bench/run.py --quick    # 100k rows only
    python bench/run.py --baseline OLD_DIR   # also an earlier ornik build, for "before" figures
"""

from __future__ import annotations

import argparse
import datetime as dt
import signal
import statistics
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

BENCH_DIR = Path(__file__).resolve().parent
sys.path.insert(0, str(BENCH_DIR))
import contenders  # noqa: E402
import workloads  # noqa: E402
from children import run_child  # noqa: E402
from machine import load_average, machine_lines  # noqa: E402
from speed_report import LARGE, ORDER, ORNIK_KEYS, SMALL, Report, fmt_s  # noqa: E402

WORKLOADS = ("classification", "regression", "mixed")
# Rounds of Fast's thread counts fitted in turn, at least (more when --repeats asks for more).
ROUNDS_IN_TURN = 7


def parse_args(argv):
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawTextHelpFormatter)
    p.add_argument("--quick", action="store_true", help="100k-row workloads only")
    p.add_argument("--rows", type=int, nargs="+", help="row counts (overrides --quick's sizes)")
    p.add_argument("--repeats", type=int, default=3, help="timed fits per contender (median)")
    p.add_argument("--timeout", type=float, default=300.0, help="seconds allowed per fit/predict")
    p.add_argument("--threads", type=int, nargs="+", default=[1, 2])
    p.add_argument("--n-bins", type=int, nargs="+", default=[8, 255])
    p.add_argument(
        "--contenders", nargs="+", choices=ORDER, default=list(ORDER), help="subset to run"
    )
    p.add_argument(
        "--workloads",
        nargs="+",
        choices=WORKLOADS,
        default=list(WORKLOADS),
    )
    p.add_argument(
        "--baseline",
        type=Path,
        help="folder holding an earlier build's ornik package: its Fast and Strict run right\n"
        "after this build's in every cell, and each target shows its value before",
    )
    p.add_argument("--output", type=Path, default=BENCH_DIR / "RESULTS.md")
    p.add_argument("--no-write", action="store_true", help="print only; leave RESULTS.md alone")
    return p.parse_args(argv)


def plan(args) -> list[workloads.Workload]:
    """Classification and regression at every size; the one mixed workload at the smallest."""
    sizes = sorted(args.rows or ([SMALL] if args.quick else [SMALL, LARGE]))
    out = []
    for kind in args.workloads:
        if kind == "classification":
            out += [workloads.classification(n) for n in sizes]
        elif kind == "regression":
            out += [workloads.regression(n) for n in sizes]
        else:
            out.append(workloads.mixed(sizes[0]))
    return out


def child_request(w, data: Path, key: str, n_bins: int, threads: int, repeats: int, **extra):
    """What measure.py is asked to time: one contender and setting on the workload saved in data."""
    return {
        "data": str(data),
        "contender": key,
        "task": w.task,
        "n_bins": n_bins,
        "threads": threads,
        "categorical": list(w.categorical),
        "repeats": repeats,
        **extra,
    }


def check_ornik() -> str:
    from ornik import _ornik

    return f"native module from {Path(_ornik.__file__).resolve().parent}"


def main(argv=None) -> int:
    args = parse_args(argv)
    # SIGTERM unwinds like Ctrl-C, so the running child is killed and the temporary data removed.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    if args.repeats < 1:
        sys.exit("--repeats must be at least 1")
    keys = list(args.contenders)
    notes_pre = []
    ornik_origin = "not used"
    if any(k in keys for k in ORNIK_KEYS):
        try:
            ornik_origin = check_ornik()
        except ImportError as e:
            sys.exit(
                f"cannot import ornik's native module ({e}); run `make install` or put a "
                "developer build on PYTHONPATH (build/<dir>/pkg)"
            )
    if "lgbm" in keys and not contenders.lightgbm_available():
        keys.remove("lgbm")
        msg = (
            "LightGBM is not installed, so it is skipped. It is an optional extra: "
            "pip install 'ornik[bench]' (or pip install lightgbm)."
        )
        print(msg, file=sys.stderr)
        notes_pre.append(msg)

    report = Report(sorted(args.threads), sorted(args.n_bins), keys)
    report.workloads = plan(args)
    started = dt.datetime.now(dt.timezone.utc)
    machine = machine_lines(ornik_origin)
    total = len(report.workloads) * (
        (1 if "dt" in keys else 0)
        + len(args.n_bins) * len(args.threads) * len([k for k in keys if k != "dt"])
    )
    largest = max(w.n_rows for w in report.workloads)

    def fitted_in_turn(w) -> bool:
        """Whether Fast's thread counts are also fitted in turn on this workload."""
        in_turn = "fast" in keys and len(set(args.threads)) > 1
        return in_turn and w.n_rows == largest and w.kind != "mixed"

    total += len(args.n_bins) * sum(fitted_in_turn(w) for w in report.workloads)
    done = 0
    with tempfile.TemporaryDirectory(prefix="ornik-bench-") as tmp:
        for w in report.workloads:
            x, y = workloads.generate(w)
            data = Path(tmp) / f"{w.kind}-{w.n_rows}"
            data.mkdir()
            np.save(data / "x.npy", x)
            np.save(data / "y.npy", y)
            cells = x.size
            del x, y
            runs = []
            if "dt" in keys:
                runs.append(("dt", None, 1))
            # A contender's thread counts run back to back, so that the 2-vs-1 ratio compares
            # neighbouring moments of the shared machine.
            for nb in sorted(args.n_bins):
                for k in ORDER:
                    if k in keys and k != "dt":
                        runs.extend((k, nb, th) for th in sorted(args.threads))
            for key, nb, th in runs:
                done += 1
                n_bins = nb if nb is not None else max(args.n_bins)
                request = child_request(w, data, key, n_bins, th, args.repeats, floor=key == "fast")
                t0 = time.perf_counter()
                r = run_child(request, th, args.timeout)
                r.cells = cells
                report.sample_load()
                cell = (w.kind, w.n_rows, nb, None if key == "dt" else th, key)
                report.results[cell] = r
                if args.baseline and key in ORNIK_KEYS:
                    old = run_child(
                        request, th, args.timeout, pythonpath=str(args.baseline.resolve())
                    )
                    old.cells = cells
                    report.before[cell] = old
                desc = (
                    f"fit {fmt_s(r.fit_s)} s, predict {fmt_s(r.predict_s)} s, "
                    f"peak {r.peak_bytes / 1e6:.1f} MB"
                    if r.status == "ok"
                    else f"{r.status}: {r.note}"
                )
                print(
                    f"[{done}/{total}] {w.name} n_bins={nb or '—'} threads={th} "
                    f"{contenders.display_name(key)}: {desc}"
                    f" ({time.perf_counter() - t0:.0f} s)",
                    file=sys.stderr,
                    flush=True,
                )
            if not fitted_in_turn(w):
                continue
            # The 2-vs-1 ratio again, from fits made moments apart: each round fits once with
            # every thread count, in one process.
            for nb in sorted(args.n_bins):
                done += 1
                rounds = max(args.repeats, ROUNDS_IN_TURN)
                request = child_request(
                    w, data, "fast", nb, max(args.threads), rounds, pairs=sorted(set(args.threads))
                )
                t0 = time.perf_counter()
                r = report.paired[(w.kind, w.n_rows, nb)] = run_child(
                    request, max(args.threads), args.timeout
                )
                report.paired_load[(w.kind, w.n_rows, nb)] = report.sample_load()
                if args.baseline:
                    report.paired_before[(w.kind, w.n_rows, nb)] = run_child(
                        request,
                        max(args.threads),
                        args.timeout,
                        pythonpath=str(args.baseline.resolve()),
                    )
                print(
                    f"[{done}/{total}] {w.name} n_bins={nb} ornik Fast, thread counts in turn: "
                    f"{r.status} ({time.perf_counter() - t0:.0f} s)",
                    file=sys.stderr,
                    flush=True,
                )

    machine.append(f"- Load average (1/5/15 min) at end: {load_average()}")
    if report.loads:
        machine.append(
            "- 1-minute load average after each contender: median "
            f"{statistics.median(report.loads):.2f}, max {max(report.loads):.2f}"
        )
    machine.extend(report.steal_lines())
    cli = " ".join(["bench/run.py", *shown_options(sys.argv[1:] if argv is None else argv)])
    text = render(args, report, machine, notes_pre, started, cli)
    print(text)
    if not args.no_write:
        args.output.write_text(text)
        print(f"wrote {args.output}", file=sys.stderr)
    return 0


def shown_options(argv: list[str]) -> list[str]:
    """The command-line options that shape the results (not where the report goes)."""
    out, skip = [], False
    for a in argv:
        if skip:
            skip = False
        elif a == "--output":
            skip = True
        elif not (a.startswith("--output=") or a == "--no-write"):
            out.append(a)
    return out


def render(args, report: Report, machine, notes_pre, started, cli: str) -> str:
    sizes = sorted({w.n_rows for w in report.workloads})
    full = (
        sizes == [SMALL, LARGE]
        and args.repeats >= 3
        and set(args.contenders) == set(ORDER)
        and set(args.workloads) == set(WORKLOADS)
        and sorted(args.threads) == [1, 2]
        and sorted(args.n_bins) == [8, 255]
    )
    kind = "Full run" if full else "**Quick run**" if args.quick else "**Partial run**"
    out = [
        "# ornik benchmark results",
        "",
        f"{kind}: `{cli}` — rows {', '.join(workloads.rows_label(n) for n in sizes)}; "
        f"median of {args.repeats} fit(s) and predict(s) per contender; "
        f"started {started:%Y-%m-%d %H:%M} UTC.",
    ]
    if not full:
        out.append(
            "This is not the full benchmark: run `make bench` (or `bench/run.py`) for the "
            "100k and 1M-row workloads."
        )
    if report.busy():
        out.append(
            "**The machine was busy during this run** (load above its core count, see below): "
            "timings, above all with 2 threads and for the OpenMP contenders, are inflated and "
            "noisy."
        )
    out += ["", "## Machine", "", *machine, ""]
    out += [
        "## Settings",
        "",
        f"- Depth {contenders.DEPTH} for every contender; ornik cv_folds {contenders.CV_FOLDS}, "
        "Gini (classification) or MSE (regression), the mean aggregator, threshold splits.",
        f"- n_bins {', '.join(map(str, report.n_bins))}: ornik's n_bins, HistGradientBoosting's "
        "max_bins and LightGBM's max_bin; threads "
        f"{', '.join(map(str, report.threads))}: ornik's n_threads (parallel when above 1), "
        "OMP_NUM_THREADS for HistGradientBoosting, num_threads for LightGBM.",
        f"- Timeout {args.timeout:g} s per fit or predict. Times in seconds; predict runs on "
        "the training matrix. Peak memory is the child's resident-set high-water mark during "
        "the first fit minus its size after loading the input; B/cell divides it by n × p. "
        f"High-water mark read from: {report.memory_methods()}.",
        "",
        "## Results",
        "",
    ]
    for w in report.workloads:
        out += report.table(w)
        out.append("")
    if report.paired:
        out += [*report.paired_table(), ""]
    out += [
        "¹ DecisionTree ignores n_bins and threads: it is run once per workload (1 thread) and "
        "its figures are repeated in every group.",
        "",
        f"² floor: {contenders.DEPTH} × one single-threaded streaming pass over the n × 20 uint16 "
        "code matrix (numpy add.reduce into uint64 down each column of a Fortran array): "
        "roughly what memory bandwidth allows a depth-8 fit that reads every code once per level."
        " It is timed in the Fast row's own process, 5 passes just before each of its fits, and "
        "the median pass counts. The label gives Fast's fit time in floors.",
        "",
        "'CPU ÷ wall' is the process's CPU time (all threads) during the fits divided by their "
        "wall time: near 1 for one busy thread, near 2 when two threads both work, lower when "
        "the process waited (for memory, a lock, or another program on the machine).",
        "",
        "'fit ÷ Fast' is the contender's fit time divided by ornik Fast's in the same group "
        "(above 1: Fast is faster); likewise 'fit ÷ Strict' and 'predict ÷ Fast'.",
        "",
        "## Targets",
        "",
        *report.target_lines(),
        "",
    ]
    notes = notes_pre + [f"[{i + 1}] {n}" for i, n in enumerate(report.notes)]
    if notes:
        out += ["## Notes", "", *notes, ""]
    return "\n".join(out)


if __name__ == "__main__":
    sys.exit(main())
