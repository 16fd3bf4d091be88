"""Fitted trees of the native core against the pure-Python reference model, node by node.

Random datasets and settings are drawn from a fixed seed; ORNIK_REF_CASES raises the number
of random cases (ORNIK_REF_SEED picks another stream).
"""

import math
import os
import random
import struct

import numpy as np
import pytest
import reference_model as ref
from native_helpers import COMMON, without_evidence

from ornik._ornik import RawClassifier, RawObjectiveClassifier, RawRegressor

N_CASES = int(os.environ.get("ORNIK_REF_CASES", "3000"))
BASE_SEED = int(os.environ.get("ORNIK_REF_SEED", "20240611"))

NATIVE = {
    "regressor": RawRegressor,
    "classifier": RawClassifier,
    "objective": RawObjectiveClassifier,
}
INF = math.inf
NAN = math.nan


# ---------------------------------------------------------------- comparison


def bits(x):
    return struct.unpack("<Q", struct.pack("<d", x))[0]


def same_float(a, b):
    if math.isnan(a) or math.isnan(b):
        return math.isnan(a) and math.isnan(b)
    return bits(a) == bits(b)


def diff_trees(expected, actual):
    """Human-readable differences between two exported dictionaries (empty when equal)."""
    out = []
    if list(expected) != list(actual):
        out.append(f"keys {list(expected)} != {list(actual)}")
        return out
    for key, ev in expected.items():
        av = actual[key]
        if not isinstance(ev, list):
            if type(ev) is not type(av) or ev != av:
                out.append(f"{key}: {ev!r} != {av!r}")
            continue
        if not isinstance(av, list) or len(ev) != len(av):
            out.append(f"{key}: {ev!r} != {av!r}")
            continue
        for i, (e, a) in enumerate(zip(ev, av, strict=True)):
            if isinstance(e, float):
                ok = isinstance(a, float) and same_float(e, a)
            elif isinstance(e, list):
                ok = (
                    isinstance(a, list)
                    and len(a) == len(e)
                    and all(
                        isinstance(q, float) and same_float(p, q) for p, q in zip(e, a, strict=True)
                    )
                )
            else:
                ok = type(e) is type(a) and e == a
            if not ok:
                out.append(f"{key}[{i}]: expected {e!r}, got {a!r}")
    return out


def run_case(kind, settings, x, y):
    """Fit both sides; equal exported trees or equal fitting errors."""
    rows = [list(map(float, row)) for row in x]
    try:
        expected = ref.fit_reference(kind, settings, rows, x.shape[1], list(y))
    except ValueError as err:
        with pytest.raises(ValueError) as info:
            NATIVE[kind](**settings).fit(x, y)
        assert str(info.value) == str(err)
        return None
    est = NATIVE[kind](**settings)
    est.fit(x, y)
    actual = without_evidence(est.export_tree())  # the reference grows the tree alone
    problems = diff_trees(expected, actual)
    assert not problems, "\n".join(problems[:20])
    return expected


# ---------------------------------------------------------------- random cases


def numeric_column(rng, n):
    style = rng.choice(["normal", "ties", "ties", "zeros", "constant", "wild", "huge", "allnan"])
    if style == "normal":
        col = [rng.gauss(0.0, 1.0) for _ in range(n)]
    elif style == "ties":
        pool = [rng.randint(-3, 3) * 0.5 for _ in range(rng.randint(1, 5))]
        col = [rng.choice(pool) for _ in range(n)]
    elif style == "zeros":
        col = [rng.choice([0.0, -0.0, 1.0, -1.0]) for _ in range(n)]
    elif style == "constant":
        col = [rng.choice([2.0, -0.0, 0.0])] * n
    elif style == "huge":
        col = [rng.choice([1e308, -1e308, 5e-324, -5e-324, 1e-300, 0.0]) for _ in range(n)]
    elif style == "allnan":
        col = [rng.choice([NAN, INF, -INF]) for _ in range(n)]
    else:
        col = [
            rng.choice([rng.gauss(0, 10), float(rng.randint(0, 4)), NAN, INF, -INF, -0.0])
            for _ in range(n)
        ]
    if style not in ("allnan", "constant") and rng.random() < 0.4:
        frac = rng.random() * 0.4
        col = [rng.choice([NAN, INF, -INF]) if rng.random() < frac else v for v in col]
    return col


def categorical_column(rng, n):
    pool = [float(rng.randint(0, 6)) for _ in range(rng.randint(1, 5))]
    extras = [2.5, 0.49, -0.0, -1.0, NAN, INF, 4294967294.4, 4294967294.5, 7e9, 1e6]
    p_extra = rng.choice([0.0, 0.1, 0.3])
    return [rng.choice(extras) if rng.random() < p_extra else rng.choice(pool) for _ in range(n)]


def regression_targets(rng, n):
    style = rng.choice(["normal", "normal", "ints", "ints", "constant", "signal", "signal", "wild"])
    if style == "normal":
        return [rng.gauss(0.0, 1.0) for _ in range(n)]
    if style == "ints":
        return [float(rng.randint(-2, 2)) for _ in range(n)]
    if style == "constant":
        return [rng.choice([1.5, 0.0, -0.0])] * n
    if style == "signal":
        return [float(i % 3) * 10.0 + rng.random() for i in range(n)]
    return [rng.choice([rng.gauss(0, 1), 1e200, -1e200, 1e-300, NAN, INF]) for _ in range(n)]


def class_targets(rng, n, n_classes):
    hi = max(n_classes, 1)
    present = sorted(rng.sample(range(hi), rng.randint(min(2, hi), hi)))
    out = [rng.choice(present) for _ in range(n)]
    if rng.random() < 0.25:
        out = [
            rng.choice([-3, -1, n_classes, n_classes + 4]) if rng.random() < 0.15 else v
            for v in out
        ]
    if rng.random() < 0.05:
        out = [out[0]] * n
    return out


def random_settings(rng, kind):
    mode = rng.choice(["strict", "fast"])
    s = {}
    if kind == "regressor":
        s["criterion"] = rng.choice(
            ["mse", "variance", "mae"] if mode == "strict" else ["mse", "variance"]
        )
    elif kind == "classifier":
        s["n_classes"] = rng.choice([0, 1, 2, 2, 2, 3, 3, 3, 4, 5, 12])
        s["criterion"] = rng.choice(["gini", "entropy"])
    else:
        s["n_classes"] = rng.choice([0, 1, 2, 2, 2, 3, 3, 3, 4, 5, 12])
        s["objective"] = rng.choice(["accuracy", "precision", "recall", "f1", "fbeta"])
        s["average"] = rng.choice(["binary", "micro", "macro", "weighted"])
        s["pos_label"] = rng.choice([0, 1, 1, 2, 7, 2**64 - 1])
        s["beta"] = rng.choice([1.0, 0.0, 0.5, 2.0, 3.7, -1.5, 1e200, INF, NAN])
    n_bins_pool = [0, 1, 2, 3, 8, 8, 255]
    if mode == "strict" and rng.random() < 0.05:
        # Huge counts, but with n * n_bins below 2**64 (n <= 40 then).
        n_bins_pool = [2**32 + 1, 2**33 + 7, 2**40, 2**57]
    elif mode == "fast" and rng.random() < 0.03:
        n_bins_pool = [65535, 65536, 70000, 2**40, 2**64 - 1]
    s.update(
        max_depth=rng.choice([None, None, None, 0, 1, 2, 2, 3, 3, 4, 5, 6, 2**64 - 1]),
        min_samples_split=rng.choice([0, 1, 2, 2, 2, 3, 5, 10] * 5 + [2**64 - 1]),
        min_samples_leaf=rng.choice([0, 1, 1, 1, 2, 3, 5, 10] * 5 + [2**64 - 1]),
        min_impurity_decrease=rng.choice([0.0, 0.0, 0.0, -0.05, -1.0, 0.01, 0.2] * 3 + [INF, -INF]),
        n_bins=rng.choice(n_bins_pool),
        cv_folds=rng.choice([0, 1, 2, 3, 5, 10] * 10 + [300, 2**64 - 1]),
        cv_seed=rng.getrandbits(64),
        cv_shuffle=rng.random() < 0.7,
        mode=mode,
        split_style=rng.choice(["threshold", "threshold", "bin", "bin_membership"]),
        aggregator=rng.choice(
            ["mean", "median", "trimmed_mean", "signal_to_noise", "mean_minus_lambda_std"]
        ),
        agg_frac=rng.choice([0.0, 0.1, 0.25, 0.5, -0.3, 3.0, NAN, 1e30, -INF, INF]),
        agg_eps=rng.choice([1e-9, 0.0, 0.5, -0.25, INF, NAN]),
        agg_lambda=rng.choice([1.0, 0.0, -1.0, 2.5, INF, NAN]),
        parallel=rng.random() < 0.4,
        n_threads=rng.choice([1, 2, 3, 4, 16]),
        parallel_min_samples=rng.choice([0, 1, 4, 16, 512]),
        categorical=[],
    )
    return s


def signal_of(rng, col):
    """A per-row signal from one column, so that splits are worth making."""
    finite = sorted(v for v in col if math.isfinite(v))
    cut = finite[len(finite) // 2] if finite else 0.0
    step = rng.choice([1.0, 3.0, 10.0])
    return [
        (step if (math.isfinite(v) and v >= cut) else 0.0)
        + (v % 3 if math.isfinite(v) and abs(v) < 1e6 else 1.0)
        for v in col
    ]


def random_case(seed):
    rng = random.Random(seed)
    kind = rng.choice(["regressor", "classifier", "objective"])
    settings = random_settings(rng, kind)
    n = rng.choice(
        [
            rng.randint(1, 3),
            rng.randint(4, 30),
            rng.randint(10, 60),
            rng.randint(10, 60),
            rng.randint(30, 80),
            rng.randint(30, 80),
            rng.randint(80, 150),
        ]
    )
    if settings["n_bins"] > 300 and n > 40:
        n = rng.randint(2, 40)
    elif settings["cv_folds"] >= 300 and settings["mode"] == "fast":
        n = rng.randint(250, 400)
    p = rng.randint(1, 5)
    cats = [j for j in range(p) if rng.random() < 0.3]
    settings["categorical"] = cats + ([p + 2] if rng.random() < 0.1 else []) + cats[:1]
    rng.shuffle(settings["categorical"])
    cols = [categorical_column(rng, n) if j in cats else numeric_column(rng, n) for j in range(p)]
    x = np.array([[cols[j][i] for j in range(p)] for i in range(n)], dtype=np.float64).reshape(n, p)
    layout = rng.choice(["c", "c", "fortran", "strided"])
    if layout == "fortran":
        x = np.asfortranarray(x)
    elif layout == "strided":
        wide = np.zeros((n, 2 * p), dtype=np.float64)
        wide[:, ::2] = x
        x = wide[:, ::2]
    signal = signal_of(rng, cols[rng.randrange(p)]) if rng.random() < 0.7 else None
    if kind == "regressor":
        y = regression_targets(rng, n)
        if signal is not None:
            noise = rng.choice([0.0, 0.1, 1.0])
            y = [s + noise * rng.gauss(0, 1) for s in signal]
        y = np.array(y, dtype=np.float64)
    else:
        y = class_targets(rng, n, settings["n_classes"])
        if signal is not None:
            hi = max(settings["n_classes"], 1)
            y = [int(s) % hi if rng.random() > 0.1 else v for s, v in zip(signal, y, strict=True)]
        y = np.array(y, dtype=np.int64)
    return kind, settings, x, y


def test_random_trees_match_reference():
    failures = []
    splits = 0
    for i in range(N_CASES):
        seed = BASE_SEED + i
        kind, settings, x, y = random_case(seed)
        try:
            tree = run_case(kind, settings, x, y)
        except AssertionError as err:
            failures.append(f"case seed {seed} ({kind}, {settings}):\n{err}")
            continue
        if tree is not None:
            splits += tree["node_count"] > 1
    assert not failures, f"{len(failures)}/{N_CASES} cases differ:\n" + "\n\n".join(failures[:5])
    # The generator must actually exercise splitting, not just single leaves.
    assert splits > N_CASES // 4


# ---------------------------------------------------------------- hand-picked cases


def settings_for(kind, **over):
    base = dict(COMMON, cv_folds=3, cv_seed=7)
    if kind == "regressor":
        base["criterion"] = "mse"
    elif kind == "classifier":
        base.update(n_classes=2, criterion="gini")
    else:
        base.update(n_classes=2, objective="accuracy", average="binary", pos_label=1, beta=1.0)
    base.update(over)
    return base


STEP_X = np.array([[float(i)] for i in range(24)])
STEP_Y = np.array([0.0] * 12 + [5.0] * 12)
STEP_C = np.array([0] * 12 + [1] * 12, dtype=np.int64)
MIXED_X = np.array(
    [
        [v, c]
        for v, c in zip(
            [0.0, -0.0, NAN, 1.0, INF, 2.0, -INF, 3.0, 0.0, -0.0, 4.0, 5.0] * 2,
            [0, 1, 2, 2.5, NAN, 1] * 4,
            strict=True,
        )
    ]
)
ZERO_X = np.array([[-1.0]] * 10 + [[-0.0]] * 10 + [[0.0]] * 10)
ZERO_Y = np.array([0.0] * 10 + [1.0] * 20)
MIXED_C = np.array([0, 0, 1, 1, 1, 2, 0, 1, 1, 0, 2, 2] * 2, dtype=np.int64)

EDGE_CASES = {
    "single-row regressor": ("regressor", {}, np.array([[1.0]]), np.array([3.0])),
    "two rows two folds": (
        "regressor",
        {"cv_folds": 10},
        np.array([[0.0], [1.0]]),
        np.array([0.0, 1.0]),
    ),
    "step threshold strict": ("regressor", {}, STEP_X, STEP_Y),
    "step threshold fast": ("regressor", {"mode": "fast"}, STEP_X, STEP_Y),
    "step bin membership fast": (
        "regressor",
        {"mode": "fast", "split_style": "bin"},
        STEP_X,
        STEP_Y,
    ),
    "step mae strict": ("regressor", {"criterion": "mae", "aggregator": "median"}, STEP_X, STEP_Y),
    "max depth zero": ("regressor", {"max_depth": 0}, STEP_X, STEP_Y),
    "unshuffled folds": ("classifier", {"cv_shuffle": False, "cv_folds": 0}, STEP_X, STEP_C),
    "entropy fast": ("classifier", {"criterion": "entropy", "mode": "fast"}, STEP_X, STEP_C),
    "signed zeros and non-finite strict": (
        "classifier",
        {"n_classes": 3, "categorical": [1], "n_bins": 3, "cv_folds": 2},
        MIXED_X,
        MIXED_C,
    ),
    "signed zeros and non-finite fast bins": (
        "classifier",
        {
            "n_classes": 3,
            "categorical": [1],
            "n_bins": 3,
            "mode": "fast",
            "split_style": "bin_membership",
        },
        MIXED_X,
        MIXED_C,
    ),
    "objective macro f1 on mixed columns": (
        "objective",
        {"n_classes": 3, "objective": "f1", "average": "macro", "categorical": [1], "cv_folds": 2},
        MIXED_X,
        MIXED_C,
    ),
    "objective fast missing codes": (
        "objective",
        {
            "n_classes": 3,
            "objective": "fbeta",
            "beta": 0.0,
            "average": "weighted",
            "mode": "fast",
            "categorical": [1],
        },
        MIXED_X,
        MIXED_C,
    ),
    "class labels out of range": (
        "classifier",
        {"n_classes": 2},
        STEP_X,
        np.array([0] * 8 + [5] * 4 + [1] * 8 + [-2] * 4, dtype=np.int64),
    ),
    "no classes": ("objective", {"n_classes": 0}, STEP_X, STEP_C),
    "huge n_bins strict": ("regressor", {"n_bins": 2**40, "split_style": "bin"}, STEP_X, STEP_Y),
    "fast refuses too many bins": ("regressor", {"mode": "fast", "n_bins": 65536}, STEP_X, STEP_Y),
    "fast accepts 65535 bins": ("classifier", {"mode": "fast", "n_bins": 65535}, STEP_X, STEP_C),
    "fast refuses mae": ("regressor", {"mode": "fast", "criterion": "mae"}, STEP_X, STEP_Y),
    "near-constant targets count as pure": (
        "regressor",
        {"min_impurity_decrease": -1.0, "max_depth": 3},
        STEP_X,
        np.array([1.0] * 23 + [1.0 + 1e-9]),
    ),
    "negative min_impurity_decrease admits negative scores": (
        "regressor",
        {
            "aggregator": "mean_minus_lambda_std",
            "agg_lambda": 20.0,
            "min_impurity_decrease": -100.0,
            "max_depth": 2,
        },
        STEP_X,
        STEP_Y + np.sin(np.arange(24.0)),
    ),
    "signal to noise with zero eps": (
        "classifier",
        {"aggregator": "signal_to_noise", "agg_eps": 0.0, "mode": "fast"},
        STEP_X,
        STEP_C,
    ),
    "trimmed mean nan frac": (
        "regressor",
        {"aggregator": "trimmed_mean", "agg_frac": NAN, "cv_folds": 5},
        STEP_X,
        STEP_Y,
    ),
    "negative zero edge strict": ("regressor", {"n_bins": 3}, ZERO_X, ZERO_Y),
    "negative zero edge fast": ("regressor", {"n_bins": 3, "mode": "fast"}, ZERO_X, ZERO_Y),
    "threshold top bin gives a leaf": (
        "regressor",
        {"cv_folds": 2, "cv_shuffle": False},
        np.array([[float(i)] for i in range(16)] + [[NAN]] * 16),
        np.array([0.0] * 16 + [10.0] * 16),
    ),
    "fast names the first failing feature": (
        "classifier",
        {"mode": "fast", "n_bins": 2**64 - 1, "categorical": [0]},
        np.column_stack([STEP_X[:, 0] % 4, STEP_X[:, 0]]),
        STEP_C,
    ),
    "fast all-missing numeric column passes any n_bins": (
        "regressor",
        {"mode": "fast", "n_bins": 2**64 - 1, "categorical": [1]},
        np.column_stack([np.full(24, NAN), STEP_X[:, 0] % 4]),
        STEP_Y,
    ),
    # A NaN threshold: "best score <= NaN" is false, so the split is made.
    "nan min_impurity_decrease strict": (
        "regressor",
        {"min_impurity_decrease": NAN},
        STEP_X,
        STEP_Y,
    ),
    "nan min_impurity_decrease fast": (
        "objective",
        {"min_impurity_decrease": NAN, "mode": "fast"},
        STEP_X,
        STEP_C,
    ),
    "parallel fast": (
        "regressor",
        {"mode": "fast", "parallel": True, "n_threads": 3, "parallel_min_samples": 0},
        np.column_stack([STEP_X[:, 0], STEP_X[::-1, 0], STEP_X[:, 0] % 3]),
        STEP_Y,
    ),
}


@pytest.mark.parametrize("name", list(EDGE_CASES))
def test_edge_cases_match_reference(name):
    kind, over, x, y = EDGE_CASES[name]
    run_case(kind, settings_for(kind, **over), x, y)


# ---------------------------------------------------------------- reference building blocks


@pytest.mark.parametrize("n_bins", [2, 3, 7, 100, 5000])
def test_lazy_edges_match_listed_edges(n_bins):
    rng = random.Random(n_bins)
    values = [rng.choice([rng.gauss(0, 1), 0.0, -0.0, NAN, 1.0]) for _ in range(37)]
    lazy = ref.LazyEdges(ref.total_order_sorted([v for v in values if math.isfinite(v)]), n_bins)
    listed = ref.quantile_edges(values, n_bins) if n_bins <= ref.LAZY_EDGES_ABOVE else None
    if listed is not None:
        assert [bits(v) for v in listed] == [bits(lazy[j]) for j in range(lazy.count)]
    for v in values:
        if math.isfinite(v):
            expected = sum(1 for j in range(lazy.count) if lazy[j] <= v)
            assert ref.bin_code(lazy, v) == expected


@pytest.mark.parametrize(
    "values,n_bins,edges",
    [
        ([1.0, 2.0, 3.0, 4.0], 4, [2.0, 3.0, 4.0]),
        ([5.0, 5.0, 5.0], 4, [5.0] * 3),
        ([0.0, -0.0], 2, [0.0]),
    ],
)
def test_quantile_edges_examples(values, n_bins, edges):
    got = ref.quantile_edges(values, n_bins)
    assert [bits(v) for v in got] == [bits(v) for v in edges]


@pytest.mark.parametrize(
    "v,label",
    [
        (2.5, 3),
        (3.5, 4),
        (0.49, 0),
        (0.49999999999999994, 0),
        (-0.0, 0),
        (-1.0, ref.MISSING_CATEGORY),
        (NAN, ref.MISSING_CATEGORY),
        (4294967294.4, 4294967294),
        (4294967294.5, ref.MISSING_CATEGORY),
    ],
)
def test_category_conversion(v, label):
    assert ref.category_label(v) == label
