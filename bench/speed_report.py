"""The speed benchmark's report: number formats (shared with compare.py and the quality report),
the table of every workload and the lines that check the results against the targets."""

from __future__ import annotations

import os
import statistics

import contenders
import workloads
from children import Result

SMALL, LARGE = 100_000, 1_000_000  # the row counts of a full run
ORNIK_KEYS = ("fast", "fast_weighted", "strict")  # the contenders a --baseline build also runs
ORDER = ("fast", "fast_weighted", "strict", "dt", "hgb", "lgbm")  # the tables' row order
FLOOR_KEY = "floor"  # stands for the floor beside Fast in the target lines


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


def paired_ratio(r: Result | None, lo: int, hi: int) -> float | None:
    """The median over rounds of the lo-thread fit's time ÷ the hi-thread fit's time, the two fits
    of a round made one after the other in one process."""
    if r is None or r.status != "ok" or not r.paired.get(lo) or not r.paired.get(hi):
        return None
    return statistics.median([a / b for a, b in zip(r.paired[lo], r.paired[hi], strict=True)])


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
        # Fast's thread counts fitted in turn, by (kind, rows, n_bins): this build's and the
        # baseline's, and the 1-minute load after this build's.
        self.paired: dict[tuple, Result] = {}
        self.paired_before: dict[tuple, Result] = {}
        self.paired_load: dict[tuple, float] = {}

    def sample_load(self) -> float | None:
        try:
            self.loads.append(os.getloadavg()[0])
        except (AttributeError, OSError):
            return None
        return self.loads[-1]

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

    def paired_table(self) -> list[str]:
        """Fast's thread counts fitted in turn: the rows behind the paired scaling target."""
        if not self.paired:
            return []
        lo, hi = min(self.threads), max(self.threads)
        lines = [
            f"### ornik Fast, {threads_label(lo)} and {threads_label(hi)} fitted in turn",
            "",
            f"| workload | n_bins | rounds | {lo}-thread fit s | {hi}-thread fit s "
            f"| {lo} ÷ {hi} | steal | 1-min load after | {lo} ÷ {hi} before |",
            "|" + "---|" * 9,
        ]
        for (kind, n, nb), r in self.paired.items():
            name = f"{kind} {workloads.rows_label(n)}×{workloads.N_FEATURES}"
            if r.status != "ok":
                lines.append(f"| {name} | {nb} | {self.note_ref(r)} | — | — | — | — | — | — |")
                continue
            before = paired_ratio(self.paired_before.get((kind, n, nb)), lo, hi)
            load = self.paired_load.get((kind, n, nb))
            lines.append(
                f"| {name} | {nb} | {len(r.paired.get(lo, []))} "
                f"| {fmt_s(statistics.median(r.paired[lo])) if r.paired.get(lo) else '—'} "
                f"| {fmt_s(statistics.median(r.paired[hi])) if r.paired.get(hi) else '—'} "
                f"| {fmt_ratio(paired_ratio(r, lo, hi))} "
                f"| {'—' if r.steal is None else f'{r.steal:.1%}'} "
                f"| {'—' if load is None else f'{load:.2f}'} | {fmt_ratio(before)} |"
            )
        lines += [
            "",
            f"Each round fits once with {threads_label(lo)}, then straight after with "
            f"{threads_label(hi)}, in one child process, so that the two fits of a round meet "
            "the same state of the shared machine; the fit times are medians, the ratio is the "
            "median of the rounds' ratios. Steal is the share of the cores' time the host took "
            "while the child ran.",
        ]
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
            if self.paired:

                def in_turn(kind, nb):
                    results = self.paired_before if use_before[0] else self.paired
                    return paired_ratio(results.get((kind, big, nb)), lo_t, hi_t)

                line(
                    f"Fast {threads_label(hi_t)} vs {lo_t}, fitted in turn, {rows} rows (median "
                    f"over rounds of a {lo_t}-thread fit ÷ the {hi_t}-thread fit made just after "
                    "it in the same process; want ≥ 1.7×)",
                    lambda v: v >= 1.7,
                    in_turn,
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
