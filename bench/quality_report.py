"""The quality benchmark's markdown report: tables, the comparison with pruned CART, targets."""

from __future__ import annotations

import os
import statistics
from dataclasses import dataclass
from typing import TYPE_CHECKING

import numpy as np
from quality_data import CONTROLS, CUT_TOLERANCE, FOUR_LEAVES
from speed_report import fmt_s

if TYPE_CHECKING:
    from quality import Contender, Results

ERROR_FACTOR = 1.1
ALPHA = 0.05  # level of the Wilcoxon test

# Targets: the least percentage of seeds or of data sets.
NOISE_TARGET = 95
STRUCTURE_TARGET = 75
WITHIN_TARGET = 80
FEWER_TARGET = 70


@dataclass
class Comparison:
    """An ornik contender against pruned CART over the data sets both ran."""

    n: int
    within: int  # data sets with error <= ERROR_FACTOR x pruned CART's
    fewer: int  # data sets with fewer leaves (mean over the outer folds)
    lower: int  # data sets with lower error
    higher: int
    median_diff: float  # median of (ornik error - pruned CART error)
    p: float  # two-sided Wilcoxon signed-rank p-value; nan with fewer than 2 non-zero differences
    direction: str  # "higher" or "lower": the side the signed ranks lean to, for ornik's error

    @property
    def significant_loss(self) -> bool:
        return self.direction == "higher" and self.p < ALPHA


def compare(res: Results, c: Contender, ref: Contender) -> Comparison | None:
    from scipy.stats import rankdata, wilcoxon

    err, ref_err, fewer = [], [], 0
    for d in res.datasets:
        mine, theirs = res.cell(d.name, c), res.cell(d.name, ref)
        if mine is None or theirs is None:
            continue
        err.append(1 - mine.score)
        ref_err.append(1 - theirs.score)
        fewer += mine.n_leaves < theirs.n_leaves
    if not err:
        return None
    err, ref_err = np.array(err), np.array(ref_err)
    diff = err - ref_err
    nonzero = diff[diff != 0]
    ranks = rankdata(np.abs(nonzero))
    lean = ranks[nonzero > 0].sum() - ranks[nonzero < 0].sum()
    p = float(wilcoxon(err, ref_err).pvalue) if len(nonzero) >= 2 else float("nan")
    return Comparison(
        n=len(err),
        within=int(np.sum(err <= ERROR_FACTOR * ref_err)),
        fewer=fewer,
        lower=int(np.sum(diff < 0)),
        higher=int(np.sum(diff > 0)),
        median_diff=float(np.median(diff)),
        p=p,
        direction="higher" if lean > 0 else "lower" if lean < 0 else "even",
    )


def share(k: int, n: int) -> str:
    return f"{k}/{n} ({100 * k / n:.0f}%)" if n else "—"


def verdict(ok: bool) -> str:
    return "met" if ok else "**missed**"


def reaches(k: int, n: int, percent: int) -> str:
    """k of n, with met or missed against the least percentage wanted."""
    return f"{share(k, n)} {verdict(100 * k >= percent * n)}"


def status(c: Contender) -> str:
    if c.skipped:
        return f"skipped: {c.skipped}"
    parts = []
    if c.shares:
        parts.append(f"same effective settings as {c.shares}: its results are shown")
    if c.error:
        parts.append(f"failed on {c.error}; later data sets and controls not run")
    if len(c.tasks) == 1:
        parts.append(f"{c.tasks[0]} only")
    if c.note:
        parts.append(c.note)
    return "; ".join(parts) or "ran"


def table(header: list[str], rows: list[list[str]]) -> list[str]:
    return [
        "| " + " | ".join(header) + " |",
        "|" + "---|" * len(header),
        *("| " + " | ".join(r) + " |" for r in rows),
    ]


def per_dataset(res: Results, shown: list[Contender], value) -> list[str]:
    rows = []
    for d in res.datasets:
        cells = [res.cell(d.name, c) for c in shown]
        rows.append([d.name, *("—" if cell is None else value(cell) for cell in cells)])
    return table(["data set", *(c.name for c in shown)], rows)


def target_rows(res: Results, orniks: list[Contender], ref: Contender | None, seeds: int):
    def control(name, want):
        out = []
        for c in orniks:
            got = res.control(name, c)
            out.append("—" if got is None else reaches(got[0], seeds, want))
        return out

    rows = [
        [
            "single leaf on noise, classification",
            f"≥ {NOISE_TARGET}% of seeds",
            *control("noise, classification", NOISE_TARGET),
        ],
        [
            "single leaf on noise, regression",
            f"≥ {NOISE_TARGET}% of seeds",
            *control("noise, regression", NOISE_TARGET),
        ],
        [
            "4-leaf tree recovered",
            f"≥ {STRUCTURE_TARGET}% of seeds",
            *control(FOUR_LEAVES, STRUCTURE_TARGET),
        ],
    ]
    comps = [compare(res, c, ref) if ref is not None else None for c in orniks]

    def by(fn):
        return ["—" if m is None else fn(m) for m in comps]

    rows += [
        [
            f"error ≤ {ERROR_FACTOR}× pruned CART's",
            f"≥ {WITHIN_TARGET}% of data sets",
            *by(lambda m: reaches(m.within, m.n, WITHIN_TARGET)),
        ],
        [
            "fewer leaves than pruned CART",
            f"≥ {FEWER_TARGET}% of data sets",
            *by(lambda m: reaches(m.fewer, m.n, FEWER_TARGET)),
        ],
        [
            "no significant loss (Wilcoxon)",
            f"not (p < {ALPHA} with higher error)",
            *by(lambda m: f"p = {m.p:.3g}, {m.direction} {verdict(not m.significant_loss)}"),
        ],
    ]
    return rows, comps


def busy_note(res: Results) -> list[str]:
    cores = os.cpu_count() or 1
    if not res.loads or statistics.median(res.loads) <= cores + 0.5:
        return []
    return [
        "**The machine was busy during this run** (median 1-minute load "
        f"{statistics.median(res.loads):.1f} on {cores} cores): fit times are inflated; scores "
        "and leaves are not, since every fit is seeded and deterministic.",
        "",
    ]


def render(res: Results, args, machine: list[str], started, cli: str, folds: int, ref: str) -> str:
    """The report; ref names the contender that ornik is compared with."""
    shown = [c for c in res.contenders if not c.skipped]
    orniks = [c for c in shown if c.kind == "ornik"]
    ref = next((c for c in shown if c.name == ref), None)
    quick = args.repeats < 2 or args.seeds < 20 or args.max_rows is not None
    lacks = sorted({s for c in res.contenders for s in c.lacks})
    cut = f", data sets cut to {args.max_rows} random rows" if args.max_rows else ""
    out = [
        "# ornik quality benchmark",
        "",
        f"{'**Quick run**' if quick else 'Run'}: `{cli}`; started {started:%Y-%m-%d %H:%M} UTC; "
        f"{args.repeats} × {folds}-fold outer cross-validation per data set, "
        f"{args.seeds} seeds per control{cut}.",
        "",
        "The ornik figures are for the settings listed under Contenders, on the installed ornik; "
        "a setting it does not have skips that contender (see its status)."
        + (
            f" This ornik has no {', '.join(lacks)} setting: its figures are for its current "
            "defaults, which are the original scoring and stop rule."
            if lacks
            else ""
        ),
        "",
        *busy_note(res),
        "## Machine",
        "",
        *machine,
        "",
        "## Contenders",
        "",
        *table(
            ["name", "settings", "status"],
            [[c.name, c.describe(), status(c)] for c in res.contenders],
        ),
        "",
        "## Data sets",
        "",
        "Classification: accuracy; regression: R². Error is 1 − accuracy or 1 − R². Categorical "
        'columns are pandas "category" for ornik and one-hot for scikit-learn.',
        "",
        *table(
            ["data set", "task", "rows", "features (categorical)", "from", "predicts"],
            [
                [
                    d.name,
                    d.task,
                    str(len(d.y)),
                    f"{d.X.shape[1]} ({d.n_categorical})",
                    d.source,
                    d.target,
                ]
                for d in res.datasets
            ],
        ),
        "",
        "## Held-out score (mean over the outer folds; accuracy or R²)",
        "",
        *per_dataset(res, shown, lambda cell: f"{cell.score:.3f}"),
        "",
        "## Leaves (mean over the outer folds)",
        "",
        *per_dataset(res, shown, lambda cell: f"{cell.n_leaves:.1f}"),
        "",
        "## Fit time, seconds (median over the outer folds)",
        "",
        *per_dataset(res, shown, lambda cell: fmt_s(statistics.median(cell.fit_s))),
        "",
        "## Controls",
        "",
        f"x uniform on [0, 1]^10, n = 400, seeds 0–{args.seeds - 1}, fitted on all rows. Noise: "
        "y independent of x (a fair coin, or a standard normal); the share of seeds giving a "
        "single leaf. 4-leaf tree: P(y = 1) = 0.1 / 0.6 for x0 < 0.5 and x1 < / ≥ 0.5, 0.4 / 0.9 "
        "for x0 ≥ 0.5 and x2 < / ≥ 0.5; the share of seeds giving exactly that structure: the "
        "root cuts x0, its lower child cuts x1 and its upper child cuts x2, every cut within "
        f"{CUT_TOLERANCE} of 0.5, and those four grandchildren are leaves. Median leaves in "
        "brackets.",
        "",
    ]
    rows = []
    for name, (_, _, want) in CONTROLS.items():
        row = [f"{name} ({want})"]
        for c in shown:
            got = res.control(name, c)
            row.append(
                "—"
                if got is None
                else f"{share(got[0], args.seeds)} [{statistics.median(got[1]):g}]"
            )
        rows.append(row)
    out += table(["control", *(c.name for c in shown)], rows) + [""]
    if res.greedy_four_leaves is not None:
        hits, wrong_root = res.greedy_four_leaves
        out += [
            "Greedy ceiling of the 4-leaf control: a depth-2 CART tree (the best in-sample Gini "
            "split at the root and at each child, exact cuts) has the structure on "
            f"{share(hits, args.seeds)} seeds; on {wrong_root} of the {args.seeds} its root does "
            "not cut x0, since x1 and x2 separate the classes at the root too and that sample "
            "favours one of them: a choice that no tree grown one best split at a time can undo.",
            "",
        ]

    target, comps = target_rows(res, orniks, ref, args.seeds)
    out += ["## ornik against pruned CART", ""]
    if ref is None:
        out += ["Pruned CART was not run, so there is no comparison.", ""]
    else:
        out += [
            f"Per data set: error at most {ERROR_FACTOR}× pruned CART's, fewer mean leaves, lower "
            "or higher error; the median error difference (ornik − pruned CART); a two-sided "
            "Wilcoxon signed-rank test on the paired errors over the data sets (scipy, zero "
            "differences dropped), and which side the signed ranks lean to.",
            "",
            *table(
                [
                    "contender",
                    "data sets",
                    f"error ≤ {ERROR_FACTOR}×",
                    "fewer leaves",
                    "lower / higher error",
                    "median difference",
                    "Wilcoxon p",
                    "ornik error",
                ],
                [
                    [
                        c.name,
                        str(m.n),
                        share(m.within, m.n),
                        share(m.fewer, m.n),
                        f"{m.lower} / {m.higher}",
                        f"{m.median_diff:+.4f}",
                        f"{m.p:.3g}",
                        m.direction,
                    ]
                    for c, m in zip(orniks, comps, strict=True)
                    if m
                ],
            ),
            "",
        ]
    out += ["## Targets", "", *table(["target", "want", *(c.name for c in orniks)], target), ""]
    return "\n".join(out)
