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
import json
import os
import platform
import queue
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from dataclasses import dataclass
from pathlib import Path

import numpy as np

BENCH_DIR = Path(__file__).resolve().parent
sys.path.insert(0, str(BENCH_DIR))
import contenders  # noqa: E402
import workloads  # noqa: E402
from measure import MARK  # noqa: E402

SMALL, LARGE = 100_000, 1_000_000
ORNIK_KEYS = ("fast", "fast_weighted", "strict")
ORDER = ("fast", "fast_weighted", "strict", "dt", "hgb", "lgbm")
FLOOR_KEY = "floor"
WORKLOADS = ("classification", "regression", "mixed")


@dataclass
class Result:
    status: str  # "ok", "timeout", "error", "skipped"
    fit_s: float | None = None
    predict_s: float | None = None
    apply_s: float | None = None  # leaf ids, when the request asks for them
    peak_bytes: int | None = None
    cpu_ratio: float | None = None  # CPU time ÷ wall time of the fits (median)
    floor_s: float | None = None  # the floor, timed beside the fits (Fast only)
    steal: float | None = None  # share of the cores' time the host took while the child ran
    cells: int = 0
    note: str = ""
    mem_method: str = ""


# ---------------------------------------------------------------------------------------------
# Running one contender


def _reader(stream, out: queue.Queue) -> None:
    for line in stream:
        if line.startswith(MARK):
            out.put(json.loads(line[len(MARK) :]))
    out.put(None)


def steal_seconds() -> float | None:
    """CPU time the hypervisor has given to others while this machine's vCPUs wanted to run
    (the steal column of /proc/stat, summed over cores), or None where it is not reported."""
    try:
        with open("/proc/stat") as f:
            fields = f.readline().split()
        return int(fields[8]) / os.sysconf("SC_CLK_TCK")
    except (OSError, IndexError, ValueError):
        return None


def run_child(request: dict, threads: int, timeout: float, pythonpath: str | None = None) -> Result:
    """Runs bench/measure.py for one contender; every fit and predict must end within timeout.
    pythonpath, when given, leads the child's module path (a developer build of ornik)."""
    stolen_before, started = steal_seconds(), time.perf_counter()
    r = _run_child(request, threads, timeout, pythonpath)
    stolen_after, wall = steal_seconds(), time.perf_counter() - started
    if stolen_before is not None and stolen_after is not None and wall > 0:
        r.steal = (stolen_after - stolen_before) / (wall * (os.cpu_count() or 1))
    return r


def _run_child(request: dict, threads: int, timeout: float, pythonpath: str | None) -> Result:
    env = dict(os.environ)
    if pythonpath:
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [pythonpath, env.get("PYTHONPATH")]))
    for var in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS"):
        env[var] = str(threads)
    cmd = [sys.executable, str(BENCH_DIR / "measure.py"), json.dumps(request)]
    with tempfile.TemporaryFile(mode="w+") as err:
        proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=err, text=True, env=env)
        events: queue.Queue = queue.Queue()
        threading.Thread(target=_reader, args=(proc.stdout, events), daemon=True).start()
        fits, predicts, applies, cpu, peak, method = [], [], [], [], None, ""
        floor_passes = []
        status, finished = "ok", False
        try:
            while True:
                try:
                    ev = events.get(timeout=timeout)
                except queue.Empty:
                    status = "timeout"
                    break
                if ev is None:
                    status = "error"
                    break
                if ev["event"] == "fit":
                    fits.append(ev["seconds"])
                    if ev["seconds"] > 0:
                        cpu.append(ev["cpu_seconds"] / ev["seconds"])
                    if "peak_bytes" in ev:
                        peak, method = ev["peak_bytes"], ev["method"]
                elif ev["event"] == "floor":
                    floor_passes.extend(ev["seconds"])
                elif ev["event"] == "predict":
                    predicts.append(ev["seconds"])
                elif ev["event"] == "apply":
                    applies.append(ev["seconds"])
                elif ev["event"] == "done":
                    finished = True
                    break
        finally:
            if finished:
                try:
                    proc.wait(timeout=30)
                except subprocess.TimeoutExpired:
                    pass
            # A timeout, Ctrl-C or SIGTERM: never leave a child running.
            if proc.poll() is None:
                proc.kill()
        proc.wait()
        if status == "error":
            err.seek(0)
            lines = [ln.strip() for ln in err.read().splitlines() if ln.strip()]
            msg = lines[-1] if lines else f"exit code {proc.returncode}"
            return Result("error", note=msg)
    if status == "timeout":
        return Result("timeout", note=f"a fit or predict took over {timeout:g} s")
    return Result(
        "ok",
        fit_s=statistics.median(fits),
        predict_s=statistics.median(predicts),
        apply_s=statistics.median(applies) if applies else None,
        cpu_ratio=statistics.median(cpu) if cpu else None,
        floor_s=statistics.median(floor_passes) * contenders.DEPTH if floor_passes else None,
        peak_bytes=peak,
        mem_method=method,
    )


# ---------------------------------------------------------------------------------------------
# Formatting


def fmt_s(v: float | None) -> str:
    if v is None:
        return "—"
    if v >= 100:
        return f"{v:.0f}"
    if v >= 10:
        return f"{v:.1f}"
    if v >= 1:
        return f"{v:.2f}"
    return f"{v:.3f}" if v >= 0.01 else f"{v:.4f}"


def fmt_ratio(r: float | None) -> str:
    if r is None:
        return "—"
    return f"{r:.1f}×" if r >= 10 else f"{r:.2f}×"


def threads_label(n: int) -> str:
    return f"{n} thread" if n == 1 else f"{n} threads"


def _ok(r: Result | None, field: str) -> float | None:
    return getattr(r, field) if r is not None and r.status == "ok" else None


def ratio(a: float | None, b: float | None) -> float | None:
    if a is None or b is None or b <= 0:
        return None
    return a / b


class Report:
    def __init__(self, threads: list[int], n_bins: list[int], keys: list[str]):
        self.threads = threads
        self.n_bins = n_bins
        self.keys = keys
        self.results: dict[tuple, Result] = {}
        self.before: dict[tuple, Result] = {}  # ornik's cells from the --baseline build
        self.workloads: list[workloads.Workload] = []
        self.notes: list[str] = []
        self.loads: list[float] = []

    def sample_load(self) -> None:
        try:
            self.loads.append(os.getloadavg()[0])
        except (AttributeError, OSError):
            pass

    def steal_lines(self) -> list[str]:
        """How much of the cores' time the host took while each child ran, over the whole run
        and for the Fast rows that the thread-scaling target compares."""
        shares = {cell: r.steal for cell, r in self.results.items() if r.steal is not None}
        if not shares:
            return []
        worst = max(shares, key=shares.get)
        fast = [shares[c] for c in shares if c[-1] == "fast"]
        return [
            "- Share of the cores' time taken by the host (steal) while each contender ran: "
            f"median {statistics.median(shares.values()):.1%}, max {shares[worst]:.1%} "
            f"({contenders.display_name(worst[-1])}, {worst[0]}, n_bins {worst[2]}, "
            f"threads {worst[3] or 1}); ornik Fast rows: max {max(fast, default=0.0):.1%}"
        ]

    def busy(self) -> bool:
        """Other programs competed for the cores: the load, which includes our own child of at
        most max(threads) busy threads, stayed above the core count."""
        cores = os.cpu_count() or 1
        return bool(self.loads) and statistics.median(self.loads) > cores + 0.5

    def memory_methods(self) -> str:
        """VmHWM (reset before the fit) or the ru_maxrss fallback, as the children reported."""
        methods = sorted({r.mem_method for r in self.results.values() if r.mem_method})
        return ", ".join(methods) or "—"

    def get(self, kind: str, n: int, nb: int, th: int, key: str, before=False) -> Result | None:
        """A cell's result; with before, ornik's from the baseline build (peers are shared)."""
        results = self.before if before and key in ORNIK_KEYS else self.results
        if key == "dt":
            return results.get((kind, n, None, None, key))
        return results.get((kind, n, nb, th, key))

    def note_ref(self, r: Result) -> str:
        """A footnote marker for a run that did not finish ("timeout [1]", "n/a [2]")."""
        label = "timeout" if r.status == "timeout" else "n/a"
        text = f"{r.status}: {r.note}"
        if text not in self.notes:
            self.notes.append(text)
        return f"{label} [{self.notes.index(text) + 1}]"

    def table(self, w: workloads.Workload) -> list[str]:
        title = f"### {w.name}"
        if w.categorical:
            title += f" ({len(w.categorical)} categorical columns of {workloads.N_LEVELS} levels)"
        lines = [
            title,
            "",
            "| n_bins | threads | contender | fit s | CPU ÷ wall | predict s | peak MB | B/cell "
            "| fit ÷ Fast | fit ÷ Strict | predict ÷ Fast |",
            "|" + "---|" * 11,
        ]
        for nb in self.n_bins:
            for th in self.threads:
                fast = self.get(w.kind, w.n_rows, nb, th, "fast")
                strict = self.get(w.kind, w.n_rows, nb, th, "strict")
                fast_fit = _ok(fast, "fit_s")
                strict_fit = _ok(strict, "fit_s")
                fast_pred = _ok(fast, "predict_s")
                for key in ORDER:
                    r = self.get(w.kind, w.n_rows, nb, th, key) if key in self.keys else None
                    if r is not None:
                        name = contenders.display_name(key) + ("¹" if key == "dt" else "")
                        lines.append(
                            f"| {nb} | {th} | {name} | "
                            + self.cells(r, fast_fit, strict_fit, fast_pred)
                        )
                    floor = fast.floor_s if fast is not None else None
                    if key == "fast" and floor is not None:
                        over = ratio(fast_fit, floor)
                        label = "floor²" + (f" (Fast = {fmt_ratio(over)} floor)" if over else "")
                        lines.append(
                            f"| {nb} | {th} | {label} | {fmt_s(floor)} | — | — | — | — "
                            "| — | — | — |"
                        )
        return lines

    def cells(self, r: Result, fast_fit, strict_fit, fast_pred) -> str:
        if r.status != "ok":
            return f"{self.note_ref(r)} | — | — | — | — | — | — | — |"
        if r.peak_bytes is None:
            mb = per_cell = "—"
        else:
            mb, per_cell = f"{r.peak_bytes / 1e6:.1f}", f"{r.peak_bytes / r.cells:.2f}"
        cpu_ratio = "—" if r.cpu_ratio is None else f"{r.cpu_ratio:.2f}"
        return (
            f"{fmt_s(r.fit_s)} | {cpu_ratio} | {fmt_s(r.predict_s)} | {mb} | {per_cell} "
            f"| {fmt_ratio(ratio(r.fit_s, fast_fit))} | {fmt_ratio(ratio(r.fit_s, strict_fit))} "
            f"| {fmt_ratio(ratio(r.predict_s, fast_pred))} |"
        )

    # Targets --------------------------------------------------------------------------------

    def sizes(self, kind: str) -> list[int]:
        return sorted({w.n_rows for w in self.workloads if w.kind == kind})

    def target_lines(self) -> list[str]:
        hi_t, lo_t = max(self.threads), min(self.threads)
        tasks = [k for k in ("classification", "regression") if self.sizes(k)]
        if not tasks:
            return []
        big = max(max(self.sizes(k)) for k in tasks)
        small = min(min(self.sizes(k)) for k in tasks)
        rows = workloads.rows_label(big)
        lines = []
        if big != LARGE:
            lines.append(
                f"_The 1M-row targets below are shown at {rows} rows (the largest size run); "
                "growth targets need two sizes._"
            )
            lines.append("")

        # Which build's ornik cells the value functions below read: this one, or the baseline.
        use_before = [False]

        def fit(kind, n, nb, th, key):
            if key == FLOOR_KEY:
                r = self.get(kind, n, nb, th, "fast", use_before[0])
                return r.floor_s if r is not None and r.status == "ok" else None
            return _ok(self.get(kind, n, nb, th, key, use_before[0]), "fit_s")

        def pred(kind, n, nb, th, key):
            return _ok(self.get(kind, n, nb, th, key, use_before[0]), "predict_s")

        def mem(kind, n, nb, th, key):
            r = self.get(kind, n, nb, th, key, use_before[0])
            if r and r.status == "ok" and r.peak_bytes is not None:
                return r.peak_bytes / r.cells
            return None

        def line(title, want, value, bins=None, unit="×"):
            def shown(v):
                return f"{v:.2f} B" if unit == "B" else fmt_ratio(v)

            parts = []
            for kind in tasks:
                sub = []
                for nb in bins or self.n_bins:
                    v = value(kind, nb)
                    if v is None:
                        sub.append(f"n_bins {nb} n/a")
                        continue
                    verdict = "" if want is None else (" met" if want(v) else " **missed**")
                    was = ""
                    if self.before:
                        use_before[0] = True
                        old = value(kind, nb)
                        use_before[0] = False
                        was = f" (before: {shown(old) if old is not None else 'n/a'})"
                    sub.append(f"n_bins {nb} {shown(v)}{verdict}{was}")
                parts.append(f"{kind}: " + ", ".join(sub))
            lines.append(f"- {title}: " + "; ".join(parts))

        line(
            f"Fast vs DecisionTree, fit, {rows}×20, {threads_label(hi_t)} (DecisionTree time ÷ Fast"
            " time; want ≥ 20×)",
            lambda v: v >= 20,
            lambda k, nb: ratio(fit(k, big, nb, hi_t, "dt"), fit(k, big, nb, hi_t, "fast")),
        )
        line(
            f"Fast vs HistGradientBoosting (one iteration), fit, {rows}×20, {threads_label(hi_t)}"
            " (Fast ÷ HistGradientBoosting; want ≤ 1.0×)",
            lambda v: v <= 1.0,
            lambda k, nb: ratio(fit(k, big, nb, hi_t, "fast"), fit(k, big, nb, hi_t, "hgb")),
        )
        line(
            f"Fast vs LightGBM (one tree), fit, {rows}×20, {threads_label(hi_t)} (Fast ÷ LightGBM;"
            " want ≤ 0.7×)",
            lambda v: v <= 0.7,
            lambda k, nb: ratio(fit(k, big, nb, hi_t, "fast"), fit(k, big, nb, hi_t, "lgbm")),
        )
        line(
            f"Fast vs floor, fit, {rows}×20, {threads_label(hi_t)} (Fast ÷ floor; want ≤ 6×)",
            lambda v: v <= 6,
            lambda k, nb: ratio(fit(k, big, nb, hi_t, "fast"), fit(k, big, nb, hi_t, FLOOR_KEY)),
        )
        line(
            f"Fast with sample weights vs without, fit, {rows}×20, {threads_label(hi_t)} (weighted"
            " time ÷ unweighted time; want ≤ 1.2×)",
            lambda v: v <= 1.2,
            lambda k, nb: ratio(
                fit(k, big, nb, hi_t, "fast_weighted"), fit(k, big, nb, hi_t, "fast")
            ),
        )
        if hi_t != lo_t:
            line(
                f"Fast {threads_label(hi_t)} vs {lo_t}, fit, {rows} rows ({lo_t}-thread time ÷ "
                f"{hi_t}-thread time; want ≥ 1.7×)",
                lambda v: v >= 1.7,
                lambda k, nb: ratio(fit(k, big, nb, lo_t, "fast"), fit(k, big, nb, hi_t, "fast")),
            )
        growth = big != small
        lines_growth = [
            ("Fast", "fast", hi_t, 11, None),
            ("Strict", "strict", lo_t, 12, [8] if 8 in self.n_bins else None),
        ]
        for label, key, th, limit, bins in lines_growth:
            span = f"{workloads.rows_label(small)}→{rows}" if growth else "100k→1M"
            title = f"{label} fit growth {span}, {threads_label(th)} (want ≤ {limit}×)"
            if growth:
                line(
                    title,
                    lambda v, limit=limit: v <= limit,
                    lambda k, nb, key=key, th=th: ratio(
                        fit(k, big, nb, th, key), fit(k, small, nb, th, key)
                    ),
                    bins,
                )
            else:
                lines.append(f"- {title}: n/a (needs both sizes)")
        line(
            f"Strict vs DecisionTree, fit, {workloads.rows_label(small)}×20, "
            f"{threads_label(lo_t)} (Strict time ÷ DecisionTree time; want ≤ 1.5×)",
            lambda v: v <= 1.5,
            lambda k, nb: ratio(fit(k, small, nb, lo_t, "strict"), fit(k, small, nb, lo_t, "dt")),
            [8] if 8 in self.n_bins else None,
        )
        for label, key in (("Fast", "fast"), ("Strict", "strict")):
            line(
                f"{label} predict vs DecisionTree predict, {rows} rows, {threads_label(hi_t)}"
                f" ({label} ÷ DecisionTree; informational)",
                None,
                lambda k, nb, key=key: ratio(
                    pred(k, big, nb, hi_t, key), pred(k, big, nb, hi_t, "dt")
                ),
            )
        line(
            f"Fast peak memory per matrix cell, {rows}×20, {threads_label(hi_t)} (want < 11 B)",
            lambda v: v < 11,
            lambda k, nb: mem(k, big, nb, hi_t, "fast"),
            unit="B",
        )
        line(
            f"Strict peak memory per matrix cell, {rows}×20, {threads_label(hi_t)} (want ≤ 12 B)",
            lambda v: v <= 12,
            lambda k, nb: mem(k, big, nb, hi_t, "strict"),
            unit="B",
        )
        return lines


# ---------------------------------------------------------------------------------------------
# Machine description


def _cpu_model() -> str:
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def _mem_total() -> str:
    try:
        with open("/proc/meminfo") as f:
            for line in f:
                if line.startswith("MemTotal:"):
                    return f"{int(line.split()[1]) / 1024**2:.1f} GiB"
    except OSError:
        pass
    return "unknown"


def _version(module: str) -> str:
    try:
        mod = __import__(module)
    except ImportError:
        return "not installed"
    return getattr(mod, "__version__", "unknown")


def _git(*args: str) -> str:
    out = subprocess.run(["git", *args], cwd=BENCH_DIR, capture_output=True, text=True, check=True)
    return out.stdout.strip()


def _git_commit() -> str:
    """The checkout's commit, flagged when the library sources differ from it."""
    try:
        commit = _git("rev-parse", "--short", "HEAD")
        dirty = _git("status", "--porcelain", "--", "../src", "../ornik", "../CMakeLists.txt")
    except (OSError, subprocess.CalledProcessError):
        return "unknown"
    return commit + (" (with uncommitted changes to the library sources)" if dirty else "")


def load_average() -> str:
    """The 1/5/15-minute load averages: other work on the machine skews the timings."""
    try:
        return " / ".join(f"{v:.2f}" for v in os.getloadavg())
    except (AttributeError, OSError):
        return "unknown"


def machine_lines(ornik_origin: str) -> list[str]:
    try:
        affinity = len(os.sched_getaffinity(0))
    except AttributeError:
        affinity = os.cpu_count()
    return [
        f"- CPU: {_cpu_model()}; {os.cpu_count()} logical cores ({affinity} usable)",
        f"- Memory: {_mem_total()}; OS: {platform.platform()}",
        f"- Load average (1/5/15 min) at start: {load_average()}",
        f"- Python {platform.python_version()}; numpy {np.__version__}; "
        f"scikit-learn {_version('sklearn')}; lightgbm {_version('lightgbm')}",
        f"- ornik {_version('ornik')} ({ornik_origin}); repository at commit {_git_commit()}",
    ]


# ---------------------------------------------------------------------------------------------


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
                request = {
                    "data": str(data),
                    "contender": key,
                    "task": w.task,
                    "n_bins": nb if nb is not None else max(args.n_bins),
                    "threads": th,
                    "categorical": list(w.categorical),
                    "repeats": args.repeats,
                    "floor": key == "fast",
                }
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
