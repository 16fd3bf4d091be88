"""Quality benchmark: held-out error and tree size of ornik against scikit-learn's trees.

Real data sets that ship inside PyPI packages (quality_data.py) under repeated 5-fold outer
cross-validation, stratified for classification, with the same splits for every contender; and
three seeded controls: pure noise (a single leaf is right) and a known 4-leaf tree. The report
(bench/QUALITY.md) has the tables, the counts against pruned CART, a Wilcoxon signed-rank test
over the data sets and the targets, met or missed.

    python bench/quality.py                 # full run
    python bench/quality.py --quick         # a check: 1 repetition, 5 seeds, at most 1000 rows
    python bench/quality.py --ornik lossy='{"mode": "fast", "cv_score": "loss"}'

ornik contenders are data: --ornik NAME=JSON adds one (settings of ORNIKClassifier /
ORNIKRegressor). A setting the installed ornik does not have makes that contender skipped, with
the reason, rather than failing the run.
"""

from __future__ import annotations

import argparse
import datetime as dt
import json
import os
import shlex
import statistics
import sys
import time
import warnings
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np

BENCH_DIR = Path(__file__).resolve().parent
sys.path.insert(0, str(BENCH_DIR))
import quality_data as qd  # noqa: E402
import quality_report  # noqa: E402
from machine import cpu_model, git_commit, load_average, package_version  # noqa: E402
from quality_data import CLASSIFICATION, REGRESSION  # noqa: E402
from run import shown_options  # noqa: E402

OUTER_FOLDS = 5
INNER_FOLDS = 5
REPEATS = 6  # outer repetitions of a full run: about 15 minutes with the five built-in contenders
CONTROL_SEEDS = 20
QUICK_ROWS = 1000
MAX_ALPHAS = 30  # ccp_alpha candidates tried by pruned CART's inner cross-validation
PRUNED = "cart-pruned"

# Settings of ornik's original scoring and stop rule. An ornik without these settings has only
# that rule, so the "ornik-original" contender leaves out the ones it lacks.
ORIGINAL, ORIGINAL_RULE = "ornik-original", {"cv_score": "impurity", "cv_stop": "score"}
BUILT_IN = {
    "cart": ("cart", {}),
    PRUNED: ("cart-pruned", {}),
    "ornik-strict": ("ornik", {"mode": "strict"}),
    "ornik-fast": ("ornik", {"mode": "fast"}),
    ORIGINAL: ("ornik", ORIGINAL_RULE),
}
DESCRIPTIONS = {
    "cart": "scikit-learn DecisionTree at its defaults (random_state=0)",
    PRUNED: f"DecisionTree with ccp_alpha chosen by inner {INNER_FOLDS}-fold CV on each training "
    f"part (0 and at most {MAX_ALPHAS - 1} log-spaced alphas of the pruning path; ties go to "
    "the larger alpha); its fit time includes that search",
}


@dataclass
class Contender:
    name: str
    kind: str  # "cart", "cart-pruned" or "ornik"
    params: dict
    note: str = ""
    lacks: tuple[str, ...] = ()  # settings of the original rule that this ornik does not have
    skipped: str = ""  # why it did not run at all
    tasks: tuple[str, ...] = (CLASSIFICATION, REGRESSION)
    shares: str = ""  # name of an earlier contender with the same effective settings
    error: str = ""  # first failure, after which it stops

    @property
    def runs(self) -> bool:
        return not (self.skipped or self.shares or self.error)

    def describe(self) -> str:
        if self.kind != "ornik":
            return DESCRIPTIONS[self.kind]
        return "ornik, " + (json.dumps(self.params) if self.params else "package defaults")


def ornik_classes() -> dict:
    from ornik import ORNIKClassifier, ORNIKRegressor

    return {CLASSIFICATION: ORNIKClassifier, REGRESSION: ORNIKRegressor}


def resolve(contenders: list[Contender]) -> None:
    """Check ornik settings against the installed estimators; contenders that end up with the
    same effective settings share the first one's results (fits are deterministic)."""
    classes = ornik_classes()
    known = {task: set(cls().get_params()) for task, cls in classes.items()}
    seen: dict[str, str] = {}
    for c in contenders:
        if c.kind != "ornik":
            continue
        missing = sorted(set(c.params) - known[CLASSIFICATION] - known[REGRESSION])
        if missing and c.name == ORIGINAL:
            c.params = {k: v for k, v in c.params.items() if k not in missing}
            c.lacks = tuple(missing)
            c.note = f"this ornik has no {', '.join(missing)}: its only rule, at package defaults"
        elif missing:
            c.skipped = f"this ornik has no setting {', '.join(missing)}"
            continue
        c.tasks = tuple(t for t in c.tasks if set(c.params) <= known[t])
        if not c.tasks:
            c.skipped = "its settings belong to no single estimator"
            continue
        try:
            key = json.dumps(
                [sorted(classes[t]().set_params(**c.params).get_params().items()) for t in c.tasks],
                default=str,
            )
        except ValueError as e:
            c.skipped = str(e)
            continue
        if key in seen:
            c.shares = seen[key]
        else:
            seen[key] = c.name


def build(c: Contender, task: str, seed: int):
    from sklearn.tree import DecisionTreeClassifier, DecisionTreeRegressor

    if c.kind == "ornik":
        return ornik_classes()[task](**c.params)
    tree = DecisionTreeClassifier if task == CLASSIFICATION else DecisionTreeRegressor
    if c.kind == "cart":
        return tree(random_state=0)
    return PrunedCart(tree, task, seed)


class PrunedCart:
    """DecisionTree whose ccp_alpha is the best of the pruning path's alphas by inner K-fold CV
    on the training data, refitted on all of it."""

    def __init__(self, tree, task: str, seed: int):
        self.tree, self.task, self.seed = tree, task, seed

    def fit(self, X, y):
        from sklearn.model_selection import GridSearchCV, KFold, StratifiedKFold

        path = self.tree(random_state=0).cost_complexity_pruning_path(X, y)
        alphas = candidate_alphas(path.ccp_alphas)
        split = StratifiedKFold if self.task == CLASSIFICATION else KFold
        search = GridSearchCV(
            self.tree(random_state=0),
            {"ccp_alpha": list(alphas)},
            cv=split(INNER_FOLDS, shuffle=True, random_state=self.seed),
            scoring="accuracy" if self.task == CLASSIFICATION else "r2",
            refit=_largest_best_alpha,
        )
        self.best_ = search.fit(X, y).best_estimator_
        self.tree_ = self.best_.tree_
        return self

    def predict(self, X):
        return self.best_.predict(X)

    def get_n_leaves(self) -> int:
        return self.best_.get_n_leaves()


def candidate_alphas(path: np.ndarray) -> np.ndarray:
    """At most MAX_ALPHAS of the path's alphas: 0 (the full tree) and the ones nearest to a
    geometric grid from the smallest positive alpha to the largest, which reaches small trees
    as well as large ones (the path's alphas crowd near 0)."""
    alphas = np.unique(np.maximum(path, 0.0))  # rounding can leave -1e-19 on the path
    positive = alphas[alphas > 0]
    if len(alphas) <= MAX_ALPHAS:
        return alphas
    grid = np.geomspace(positive[0], positive[-1], MAX_ALPHAS - 1)
    nearest = np.abs(np.log(positive)[:, None] - np.log(grid)[None, :]).argmin(axis=0)
    return np.concatenate([[0.0], np.unique(positive[nearest])])


def _largest_best_alpha(results) -> int:
    scores = results["mean_test_score"]
    return int(np.flatnonzero(scores == np.nanmax(scores))[-1])


def score(task: str, y_true, y_pred) -> float:
    if task == CLASSIFICATION:
        return float(np.mean(y_true == y_pred))
    from sklearn.metrics import r2_score

    return float(r2_score(y_true, y_pred))


def outer_splits(d: qd.DataSet, repeats: int) -> list[tuple[np.ndarray, np.ndarray]]:
    from sklearn.model_selection import KFold, StratifiedKFold

    split = StratifiedKFold if d.task == CLASSIFICATION else KFold
    return [
        fold
        for r in range(repeats)
        for fold in split(OUTER_FOLDS, shuffle=True, random_state=1000 + r).split(d.X, d.y)
    ]


@dataclass
class Cell:
    """One contender on one data set, over every outer fold."""

    scores: list[float] = field(default_factory=list)
    leaves: list[int] = field(default_factory=list)
    fit_s: list[float] = field(default_factory=list)

    @property
    def score(self) -> float:
        return statistics.fmean(self.scores)

    @property
    def n_leaves(self) -> float:
        return statistics.fmean(self.leaves)


def evaluate(c: Contender, d: qd.DataSet, splits, one_hot: np.ndarray) -> Cell:
    cell = Cell()
    for i, (train, test) in enumerate(splits):
        if c.kind == "ornik":
            X_train, X_test = d.X.iloc[train], d.X.iloc[test]
        else:
            X_train, X_test = one_hot[train], one_hot[test]
        est = build(c, d.task, seed=i)
        t0 = time.perf_counter()
        est.fit(X_train, d.y[train])
        cell.fit_s.append(time.perf_counter() - t0)
        cell.scores.append(score(d.task, d.y[test], est.predict(X_test)))
        cell.leaves.append(int(est.get_n_leaves()))
    return cell


def control(c: Contender, name: str, seeds: int) -> tuple[int, list[int]]:
    """Seeds on which the fitted tree is right (a single leaf on noise, the true structure on the
    4-leaf data), and the leaf counts."""
    task, make, _ = qd.CONTROLS[name]
    hits, leaves = 0, []
    for seed in range(seeds):
        X, y = make(seed)
        est = build(c, task, seed=seed).fit(X, y)
        leaves.append(int(est.get_n_leaves()))
        if name == qd.FOUR_LEAVES:
            tree = est.tree_
            reader = qd.ornik_split(tree) if c.kind == "ornik" else qd.sklearn_split(tree)
            hits += qd.has_four_leaf_structure(reader)
        else:
            hits += leaves[-1] == 1
    return hits, leaves


def greedy_four_leaves(seeds: int) -> tuple[int, int]:
    """What the best in-sample split gives on the 4-leaf data: a depth-2 CART tree (Gini, exact
    cuts) per seed; the seeds on which it has the true structure, and those whose root does not
    cut x0. A tree grown greedily, by any score of one split on the node's sample, faces the same
    root choice."""
    from sklearn.tree import DecisionTreeClassifier

    hits = wrong_root = 0
    for seed in range(seeds):
        X, y = qd.four_leaves(seed)
        tree = DecisionTreeClassifier(max_depth=2, random_state=0).fit(X, y).tree_
        hits += qd.has_four_leaf_structure(qd.sklearn_split(tree))
        wrong_root += int(tree.feature[0]) != 0
    return hits, wrong_root


# ---------------------------------------------------------------------------------------------
# Running


@dataclass
class Results:
    contenders: list[Contender]
    datasets: list[qd.DataSet] = field(default_factory=list)
    cells: dict[tuple[str, str], Cell] = field(default_factory=dict)
    controls: dict[tuple[str, str], tuple[int, list[int]]] = field(default_factory=dict)
    loads: list[float] = field(default_factory=list)
    greedy_four_leaves: tuple[int, int] | None = None  # (structure recovered, root not on x0)

    def cell(self, dataset: str, c: Contender) -> Cell | None:
        return self.cells.get((dataset, c.shares or c.name))

    def control(self, name: str, c: Contender):
        return self.controls.get((name, c.shares or c.name))


def _guarded(c: Contender, what: str, work, *args):
    """Runs one contender's work; a failure stops that contender, not the benchmark."""
    try:
        return work(c, *args)
    except Exception as e:  # noqa: BLE001 - any failure of a contender is reported, not raised
        c.error = f"{what}: {type(e).__name__}: {e}".splitlines()[0]
        print(f"  {c.name} failed on {c.error}", file=sys.stderr, flush=True)
        return None


def run(res: Results, repeats: int, seeds: int) -> None:
    running = [c for c in res.contenders if c.runs]
    for d in res.datasets:
        splits, one_hot = outer_splits(d, repeats), d.one_hot()
        for c in running:
            if c.runs and d.task in c.tasks:
                t0 = time.perf_counter()
                cell = _guarded(c, d.name, evaluate, d, splits, one_hot)
                if cell is not None:
                    res.cells[(d.name, c.name)] = cell
                    print(
                        f"{d.name} {c.name}: score {cell.score:.3f}, {cell.n_leaves:.1f} leaves "
                        f"({time.perf_counter() - t0:.1f} s)",
                        file=sys.stderr,
                        flush=True,
                    )
        res.loads.append(os.getloadavg()[0])
    for name, (task, _, _) in qd.CONTROLS.items():
        for c in running:
            if c.runs and task in c.tasks:
                got = _guarded(c, name, control, name, seeds)
                if got is not None:
                    res.controls[(name, c.name)] = got
                    print(f"{name} {c.name}: {got[0]}/{seeds}", file=sys.stderr, flush=True)
        res.loads.append(os.getloadavg()[0])
    res.greedy_four_leaves = greedy_four_leaves(seeds)


# ---------------------------------------------------------------------------------------------


def ornik_option(text: str) -> Contender:
    name, sep, settings = text.partition("=")
    try:
        params = json.loads(settings) if sep else None
    except json.JSONDecodeError as e:
        raise argparse.ArgumentTypeError(f"{name}: settings are not JSON ({e})") from e
    if not name or not isinstance(params, dict):
        raise argparse.ArgumentTypeError("want NAME='{\"setting\": value, ...}'")
    return Contender(name, "ornik", params)


def parse_args(argv):
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawTextHelpFormatter)
    p.add_argument(
        "--quick",
        action="store_true",
        help=f"1 repetition, 5 control seeds, data sets cut to {QUICK_ROWS} random rows",
    )
    p.add_argument("--max-rows", type=int, help="cut larger data sets to this many random rows")
    p.add_argument("--repeats", type=int, help=f"outer 5-fold repetitions (default {REPEATS})")
    p.add_argument("--seeds", type=int, help=f"seeds of each control (default {CONTROL_SEEDS})")
    p.add_argument("--datasets", nargs="+", choices=list(qd.DATASETS), default=list(qd.DATASETS))
    p.add_argument(
        "--contenders",
        nargs="*",
        choices=list(BUILT_IN),
        default=list(BUILT_IN),
        help="built-in contenders to run (pruned CART is the reference of the summary)",
    )
    p.add_argument(
        "--ornik",
        type=ornik_option,
        action="append",
        default=[],
        metavar="NAME=JSON",
        help="an ornik contender given by its settings; repeatable",
    )
    p.add_argument("--output", type=Path, default=BENCH_DIR / "QUALITY.md")
    p.add_argument("--no-write", action="store_true", help="print only; leave QUALITY.md alone")
    args = p.parse_args(argv)
    args.repeats = args.repeats or (1 if args.quick else REPEATS)
    args.seeds = args.seeds or (5 if args.quick else CONTROL_SEEDS)
    args.max_rows = args.max_rows or (QUICK_ROWS if args.quick else None)
    names = list(args.contenders) + [c.name for c in args.ornik]
    if len(set(names)) != len(names):
        p.error("contender names must differ")
    return args


def main(argv=None) -> int:
    args = parse_args(argv)
    warnings.filterwarnings("ignore", message="The least populated class")
    contenders = [Contender(n, *BUILT_IN[n]) for n in args.contenders] + args.ornik
    resolve(contenders)
    res = Results(contenders, [qd.DATASETS[n]().cut(args.max_rows) for n in args.datasets])
    started = dt.datetime.now(dt.timezone.utc)
    machine = [
        f"- CPU: {cpu_model()}; {os.cpu_count()} logical cores",
        f"- Load average (1/5/15 min) at start: {load_average()}",
    ]
    t0 = time.perf_counter()
    run(res, args.repeats, args.seeds)
    machine += [
        f"- Load average (1/5/15 min) at end: {load_average()}; 1-minute load after each data "
        f"set and control: median {statistics.median(res.loads):.2f}, max {max(res.loads):.2f}",
        f"- Wall time of the run: {time.perf_counter() - t0:.0f} s",
        f"- numpy {np.__version__}; scikit-learn {package_version('sklearn')}; "
        f"scipy {package_version('scipy')}; statsmodels {package_version('statsmodels')}; "
        f"ornik {package_version('ornik')}; repository at commit {git_commit()}",
    ]
    cli = shlex.join(["bench/quality.py", *shown_options(sys.argv[1:] if argv is None else argv)])
    text = quality_report.render(res, args, machine, started, cli, OUTER_FOLDS, PRUNED)
    print(text)
    if not args.no_write:
        args.output.write_text(text)
        print(f"wrote {args.output}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
