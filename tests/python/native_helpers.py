"""Shared helpers for the tests of the native module: argument sets and hand-built trees."""

import math

import numpy as np

from ornik._ornik import RawClassifier, RawObjectiveClassifier, RawRegressor
from ornik._settings import CLASSIFIER, REGRESSOR, SETTINGS, native_parameters

MISSING = 4294967295
NAN = math.nan


def _declared(cls, **fixed):
    """The constructor arguments of ``cls`` in signature order: the declared defaults of the
    settings, with ``fixed`` for the rest. Native tests grow trees without a depth limit and
    with the original aggregation, which the frozen trees were grown with."""
    names = native_parameters(cls.__name__)
    assert set(fixed) <= set(names), set(fixed) - set(names)
    task = REGRESSOR if cls is RawRegressor else CLASSIFIER
    values = {s.name: s.default_for(task) for s in SETTINGS} | dict(
        max_depth=None, categorical=[], aggregator="mean", agg_lambda=1.0, **fixed
    )
    return {n: values[n] for n in names}


ARGS = {
    RawRegressor: _declared(RawRegressor),
    RawClassifier: _declared(RawClassifier, n_classes=2),
    RawObjectiveClassifier: _declared(
        RawObjectiveClassifier, n_classes=2, objective="f1", pos_label=1
    ),
}
# The optional keyword-only arguments and their defaults, today's scoring and stop rule.
KEYWORDS = {c: dict(cv_score="impurity", cv_stop="score") for c in (RawRegressor, RawClassifier)}
KEYWORDS[RawObjectiveClassifier] = dict(cv_stop="score")


def package_native(task, cls):
    """What the package's defaults pass to ``cls`` beyond ARGS: its aggregation and the
    keyword-only scoring settings."""
    names = ("aggregator", "agg_lambda", *KEYWORDS[cls])
    return {s.name: s.default_for(task) for s in SETTINGS if s.name in names}


CLASSES = list(ARGS)


def make(cls, **overrides):
    return cls(**{**ARGS[cls], **overrides})


# ---- Hand-built trees: nested nodes flattened into the export dictionary (preorder). ----


def leaf(payload, n_samples=1):
    """payload: a float (regression) or (class, proba) (classification)."""
    return ("leaf", payload, n_samples)


def num(feature, lower, upper, left, right):
    return ("num", feature, lower, upper, left, right)


def cat(feature, category, left, right):
    return ("cat", feature, category, left, right)


# The evidence lists that follow the keys describing the tree; NaN and 0 where none is known.
EVIDENCE = ["score", "stop_score", "fold_score_mean", "fold_score_std", "n_scored_folds"]


def tree_dict(root, n_classes=None):
    """Export dictionary of a nested tree, without evidence; n_classes=None builds a regression
    tree."""
    keys = ["is_leaf", "children_left", "children_right", "feature", "is_categorical", "lower",
            "upper", "category", "n_samples"]  # fmt: skip
    keys += ["value"] if n_classes is None else ["predicted_class", "proba"]
    rows = []

    def visit(node):  # appends the node's row, then its subtrees' (preorder); returns its id
        i, kind = len(rows), node[0]
        row = dict(is_leaf=kind == "leaf", feature=node[1], is_categorical=kind == "cat", lower=NAN,
                   upper=NAN, category=-1, value=NAN, predicted_class=-1, proba=[])  # fmt: skip
        rows.append(row)
        if kind == "leaf":
            row.update(feature=-1, children_left=-1, children_right=-1, n_samples=node[2])
            if n_classes is None:
                row["value"] = node[1]
            else:
                row["predicted_class"], row["proba"] = node[1][0], list(node[1][1])
            return i
        if kind == "num":
            row["lower"] = -math.inf if node[2] is None else node[2]
            row["upper"] = math.inf if node[3] is None else node[3]
        else:
            row["category"] = node[2]
        kids = [visit(child) for child in node[-2:]]
        row.update(children_left=kids[0], children_right=kids[1])
        row["n_samples"] = sum(rows[k]["n_samples"] for k in kids)
        return i

    visit(root)
    n = len(rows)
    out = {"node_count": n} | {k: [r[k] for r in rows] for k in keys}
    out |= {} if n_classes is None else {"n_classes": n_classes}
    return out | {k: [NAN] * n for k in EVIDENCE[:-1]} | {"n_scored_folds": [0] * n}


def with_evidence(est, evidence=True):
    """A fitted estimator given made-up evidence at every split (the score 1 / 2**(id + 1) and,
    at odd ids, the same stop score), or none at all."""
    tree = est._raw.export_tree()
    for i, is_leaf in enumerate(tree["is_leaf"]):
        score = 1 / 2 ** (i + 1)
        values = [score, score if i % 2 else -0.5, 0.25, 0.125, 5]
        if not evidence or is_leaf:
            values = [NAN] * 4 + [0]
        for key, value in zip(EVIDENCE, values, strict=True):
            tree[key][i] = value
    return est._set_raw(est._raw_from_tree(tree))


def category_label(v):
    """Label of a value at a categorical position: round half away from zero, else missing."""
    if not (math.isfinite(v) and v >= 0.0):
        return MISSING
    r = math.floor(v) + bool(v % 1.0 >= 0.5)  # v % 1.0 is exact
    return MISSING if r >= MISSING else r


def route(node, row, categorical):
    """Payload of the leaf that a row reaches in a nested tree."""
    while node[0] != "leaf":
        kind, f = node[:2]
        if f in categorical:  # read as a label: only a category split can send it left
            go_left = kind == "cat" and category_label(row[f]) == node[2] != MISSING
        elif kind == "num":
            lo = -math.inf if node[2] is None else node[2]
            hi = math.inf if node[3] is None else node[3]
            go_left = math.isfinite(row[f]) and lo <= row[f] < hi
        else:  # a category split on a column read as numbers
            go_left = False
        node = node[-2] if go_left else node[-1]
    return node[1]


def same(a, b):
    """Equality that treats NaN as equal to NaN and tells bool, int and float apart."""
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        return (math.isnan(a) and math.isnan(b)) or a == b
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    if isinstance(a, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b, strict=True))
    return a == b


def long_data(cls, n, p=8, seed=0):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(n, p))
    y = x @ rng.normal(size=p) + rng.normal(size=n)
    if cls is not RawRegressor:  # noisy classes: the tree keeps growing
        y = np.digitize(y + 2.0 * rng.normal(size=n), [-1.0, 1.0]).astype(np.int_)
    return x, y
