"""Exported trees of a broad set of fits, frozen before any speed work and compared node by node.

The second set (drawn_cases.pkl.gz) holds small drawn data sets with drawn settings, hostile
values included (signed zeros, non-finite values, labels out of range, huge counts), each with its
complete export (evidence included, every float compared by its bits) or its error message.

Regenerate (only when a change of results is intended) with:
    PYTHONPATH=<package dir> python tests/python/test_golden_trees.py --regenerate
"""

import gzip
import itertools
import json
import math
import pathlib
import pickle
import sys

import numpy as np
import pytest
from native_helpers import COMMON, without_evidence

from ornik._ornik import RawClassifier, RawObjectiveClassifier, RawRegressor

HERE = pathlib.Path(__file__).parent / "golden"
DATA = HERE / "datasets.npz"
TREES = HERE / "trees.json.gz"
DRAWN = HERE / "drawn_cases.pkl.gz"
NATIVE = {
    "regressor": RawRegressor,
    "classifier": RawClassifier,
    "objective": RawObjectiveClassifier,
}

BASE = dict(COMMON, max_depth=6, agg_frac=0.2, agg_eps=1e-3, agg_lambda=0.5)


def make_datasets():
    """Numeric, mixed (categorical + missing + infinities) and tiny data with ties."""
    rng = np.random.default_rng(20261206)
    out = {}
    n = 700
    x = rng.normal(size=(n, 5))
    x[:, 3] = np.round(x[:, 3] * 2)  # many ties
    out["num_x"] = x
    out["num_y_reg"] = 2 * x[:, 0] - x[:, 1] ** 2 + 0.3 * rng.normal(size=n)
    out["num_y_cls"] = (x[:, 0] + 0.5 * x[:, 2] + 0.4 * rng.normal(size=n) > 0).astype(np.int64)
    m = rng.normal(size=(n, 6))
    m[:, 1] = rng.integers(0, 6, size=n)
    m[:, 4] = rng.integers(0, 12, size=n) * 1.0
    m[rng.random((n, 6)) < 0.08] = np.nan
    m[rng.random(n) < 0.02, 0] = np.inf
    m[rng.random(n) < 0.02, 2] = -np.inf
    out["mix_x"] = m
    signal = np.nan_to_num(m[:, 0], posinf=3.0) + (np.nan_to_num(m[:, 1]) % 3 == 0)
    out["mix_y_reg"] = signal + 0.5 * rng.normal(size=n)
    out["mix_y_cls"] = np.digitize(signal + 0.5 * rng.normal(size=n), [0.0, 1.0]).astype(np.int64)
    t = np.array([[1.0, 0], [1, 1], [2, 0], [2, 1], [3, 0], [3, 1], [4, 0], [4, 1], [5, 0]])
    out["tiny_x"] = t
    out["tiny_y_reg"] = np.array([0.0, 1, 0, 1, 5, 6, 5, 6, 9])
    out["tiny_y_cls"] = np.array([0, 0, 0, 1, 1, 1, 1, 2, 2], dtype=np.int64)
    return out


def cases():
    """(name, class, dataset prefix, settings) for every fit that is frozen."""
    out = []
    for mode, style, data in itertools.product(
        ["strict", "fast"], ["threshold", "bin"], ["num", "mix"]
    ):
        cat = [1, 4] if data == "mix" else []
        common = dict(mode=mode, split_style=style, categorical=cat)
        for crit in ["mse", "variance"] + (["mae"] if mode == "strict" else []):
            out.append((RawRegressor, data, dict(criterion=crit, **common)))
        for crit in ["gini", "entropy"]:
            out.append((RawClassifier, data, dict(n_classes=3, criterion=crit, **common)))
        for obj, avg in [
            ("accuracy", "binary"),
            ("precision", "binary"),
            ("recall", "macro"),
            ("f1", "weighted"),
            ("fbeta", "micro"),
        ]:
            out.append(
                (
                    RawObjectiveClassifier,
                    data,
                    dict(n_classes=3, objective=obj, average=avg, pos_label=1, beta=2.0, **common),
                )
            )
    for mode in ["strict", "fast"]:
        for agg in ["median", "trimmed_mean", "signal_to_noise", "mean_minus_lambda_std"]:
            out.append((RawRegressor, "mix", dict(criterion="mse", mode=mode, aggregator=agg)))
            out.append(
                (
                    RawClassifier,
                    "num",
                    dict(n_classes=2, criterion="gini", mode=mode, aggregator=agg),
                )
            )
        variants = [
            dict(n_bins=2),
            dict(n_bins=255),
            dict(n_bins=0),
            dict(cv_folds=2, cv_shuffle=False),
            dict(cv_folds=1),
            dict(cv_folds=10, cv_seed=7),
            dict(min_samples_leaf=20, min_samples_split=50),
            dict(max_depth=None, min_samples_leaf=5),
            dict(min_impurity_decrease=-0.5),
            dict(parallel=True, n_threads=2, parallel_min_samples=100),
        ]
        for v in variants:
            out.append(
                (RawRegressor, "mix", dict(criterion="mse", mode=mode, categorical=[1], **v))
            )
            out.append(
                (RawClassifier, "mix", dict(n_classes=3, criterion="entropy", mode=mode, **v))
            )
        for style in ["threshold", "bin"]:
            for cls, extra in [
                (RawRegressor, dict(criterion="mse")),
                (RawClassifier, dict(n_classes=3, criterion="gini")),
            ]:
                out.append(
                    (
                        cls,
                        "tiny",
                        dict(mode=mode, split_style=style, n_bins=3, cv_folds=2, **extra),
                    )
                )
    named = []
    for i, (cls, data, settings) in enumerate(out):
        named.append((f"{i:03d}-{cls.__name__}-{data}", cls, data, settings))
    return named


def fit_tree(cls, data, settings, datasets):
    est = cls(**{**BASE, **settings})
    x = datasets[f"{data}_x"]
    y = datasets[f"{data}_y_reg" if cls is RawRegressor else f"{data}_y_cls"]
    est.fit(x, y)
    return without_evidence(est.export_tree())  # frozen before splits kept their evidence


def encode(value):
    """JSON-safe form of an exported tree: non-finite floats become strings."""
    if isinstance(value, float) and not math.isfinite(value):
        return repr(value)
    if isinstance(value, list):
        return [encode(v) for v in value]
    if isinstance(value, dict):
        return {k: encode(v) for k, v in value.items()}
    return value


def bitwise(value):
    """The export with every float as its exact hexadecimal form (NaN equal to NaN, -0.0 != 0.0)."""
    if isinstance(value, float):
        return value.hex()
    if isinstance(value, list):
        return [bitwise(v) for v in value]
    if isinstance(value, dict):
        return {k: bitwise(v) for k, v in value.items()}
    return value


def fit_drawn(case):
    x = {"F": np.asfortranarray, "strided": lambda a: np.repeat(a, 2, axis=1)[:, ::2]}.get(
        case["layout"], np.asarray
    )(case["x"])
    est = NATIVE[case["kind"]](**case["settings"], **case["kw"])
    try:
        est.fit(x, case["y"])
    except ValueError as err:
        return str(err)
    return bitwise(est.export_tree())


with gzip.open(DRAWN, "rb") as fh:
    DRAWN_CASES = pickle.load(fh)


def regenerate():
    for case in DRAWN_CASES:
        case["expected"] = fit_drawn(case)
    with gzip.open(DRAWN, "wb") as fh:
        pickle.dump(DRAWN_CASES, fh, protocol=4)
    datasets = make_datasets()
    HERE.mkdir(exist_ok=True)
    np.savez_compressed(DATA, **datasets)
    trees = {name: encode(fit_tree(cls, data, s, datasets)) for name, cls, data, s in cases()}
    with gzip.open(TREES, "wt") as fh:
        json.dump(trees, fh, sort_keys=True)
    print(f"wrote {len(trees)} trees")


@pytest.fixture(scope="module")
def frozen():
    with np.load(DATA) as npz:
        datasets = {k: npz[k] for k in npz.files}
    with gzip.open(TREES, "rt") as fh:
        trees = json.load(fh)
    return datasets, trees


@pytest.mark.parametrize("name,cls,data,settings", cases(), ids=[c[0] for c in cases()])
def test_tree_matches_frozen_export(frozen, name, cls, data, settings):
    datasets, trees = frozen
    assert encode(fit_tree(cls, data, settings, datasets)) == trees[name]


@pytest.mark.parametrize("case", DRAWN_CASES, ids=[c["name"] for c in DRAWN_CASES])
def test_drawn_case_matches_frozen_export(case):
    assert fit_drawn(case) == case["expected"]


def test_fixtures_cover_real_trees(frozen):
    # Guards against freezing degenerate output: most cases must have grown real splits.
    _, trees = frozen
    sizes = [t["node_count"] for t in trees.values()]
    assert sum(s > 1 for s in sizes) >= 0.8 * len(sizes)
    assert max(sizes) > 20
    drawn = [c["expected"] for c in DRAWN_CASES]
    assert sum(isinstance(t, dict) and t["node_count"] > 1 for t in drawn) > len(drawn) // 4
    assert sum(isinstance(t, str) for t in drawn) > 20  # refused settings are frozen too


if __name__ == "__main__" and "--regenerate" in sys.argv:
    regenerate()
