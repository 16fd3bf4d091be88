"""Frozen fits, compared with today's fits float by float (by their bits: NaN equals NaN, -0.0 is
not 0.0). Each case holds its data (plain lists: the file loads with any NumPy), settings and
the complete export (split evidence included) or the error message of the fit:

- a grid over every task kind, criterion, objective, average, aggregator, split style and mode on
  numeric, mixed (categorical, missing, infinite) and tiny data with ties, with variants of n_bins,
  folds, sample limits, depth and threads;
- small drawn data sets with drawn settings, hostile values included (signed zeros, non-finite
  values, labels out of range, huge counts, odd aggregator parameters, held-out loss scoring and
  the selection stop rule) and Fortran-ordered or strided x;
- the grid again with drawn sample weights (zeros included), under either fold score and stop
  rule. Every unweighted case also fits with all-one weights, which must give the same result.

Refreeze (only when a change of results is intended) with:
    PYTHONPATH=<package dir> python tests/python/test_golden_trees.py --regenerate
"""

import gzip
import pathlib
import pickle
import sys

import numpy as np
import pytest

from ornik._ornik import RawClassifier, RawObjectiveClassifier, RawRegressor

FROZEN = pathlib.Path(__file__).parent / "golden" / "frozen_cases.pkl.gz"
NATIVE = dict(regressor=RawRegressor, classifier=RawClassifier, objective=RawObjectiveClassifier)
LAYOUTS = {"C": np.asarray, "F": np.asfortranarray, "strided": lambda a: np.repeat(a, 2, 1)[:, ::2]}

with gzip.open(FROZEN, "rb") as fh:
    CASES = pickle.load(fh)


def bitwise(value):
    if isinstance(value, dict):
        return {k: bitwise(v) for k, v in value.items()}
    if isinstance(value, list):
        return [bitwise(v) for v in value]
    return value.hex() if isinstance(value, float) else value


def fit(case, weights=None):
    est = NATIVE[case["kind"]](**case["settings"], **case["kw"])
    weights = case.get("w") if weights is None else weights
    try:
        x = LAYOUTS[case["layout"]](np.array(case["x"], dtype=np.float64))
        w = {} if weights is None else {"sample_weight": np.array(weights, dtype=np.float64)}
        est.fit(x, np.array(case["y"], dtype=case["y_dtype"]), **w)
    except ValueError as err:
        return str(err)
    tree = est.export_tree()
    depth = [0] * tree["node_count"]  # from the leaves up: children follow their parent
    for i in reversed(np.flatnonzero(~np.array(tree["is_leaf"]))):
        depth[i] = 1 + max(depth[tree["children_left"][i]], depth[tree["children_right"][i]])
    assert (est.depth(), est.n_leaves()) == (depth[0], sum(tree["is_leaf"]))
    return bitwise(tree)


@pytest.mark.parametrize("case", CASES, ids=[c["name"] for c in CASES])
def test_fit_matches_frozen_export(case):
    assert fit(case) == case["expected"]
    if "w" not in case:
        assert fit(case, np.ones(len(case["x"]))) == case["expected"]


def test_frozen_cases_hold_real_trees_and_refusals():
    trees = [c["expected"] for c in CASES if isinstance(c["expected"], dict)]
    assert sum(t["node_count"] > 1 for t in trees) > len(CASES) // 4
    assert max(t["node_count"] for t in trees) > 20 and len(trees) < len(CASES) - 20


if __name__ == "__main__" and "--regenerate" in sys.argv:
    for c in CASES:
        c["expected"] = fit(c)
    with gzip.open(FROZEN, "wb") as fh:
        pickle.dump(CASES, fh, protocol=4)
