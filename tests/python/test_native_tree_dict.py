"""Export of fitted trees to dictionaries and their import through from_tree."""

import math

import numpy as np
import pytest
from native_helpers import EVIDENCE, cat, leaf, long_data, make, num, same, tree_dict

from ornik._ornik import RawClassifier, RawObjectiveClassifier, RawRegressor

INF = math.inf
NAN = math.nan

SUBTREE = cat(2, 4, num(1, -2.0, None, leaf(-1.0, 2), leaf(0.5, 1)), leaf(7.25, 4))
REG_TREE = num(0, None, 1.5, leaf(10.0, 3), SUBTREE)
CLS_TREE = num(1, 0.0, 2.0, leaf((2, [0.25, 0.25, 0.5]), 4),
               cat(0, 9, leaf((0, [1.0, 0.0, 0.0]), 2), leaf((1, [0.0, 1.0, 0.0]), 5)))  # fmt: skip
CLASSIFIERS = [RawClassifier, RawObjectiveClassifier]
KEY_ORDER = ["node_count", "is_leaf", "children_left", "children_right", "feature",
             "is_categorical", "lower", "upper", "category", "n_samples"]  # fmt: skip


def load(cls, d, n_classes=3):
    return cls.from_tree(d, *([] if cls is RawRegressor else [n_classes]), [])


@pytest.mark.parametrize("cls", [RawRegressor, *CLASSIFIERS])
@pytest.mark.parametrize("absent", [[], ["stop_score", "n_scored_folds"], EVIDENCE])
def test_round_trip_keeps_every_key_and_absent_evidence_is_nan_or_zero(cls, absent):
    d = tree_dict(REG_TREE) if cls is RawRegressor else tree_dict(CLS_TREE, 3)
    defaults = {k: list(d[k]) for k in absent}
    for i in [i for i, is_leaf in enumerate(d["is_leaf"]) if not is_leaf]:
        for k, v in zip(EVIDENCE, [0.5 + i, -0.25, 0.375, 0.125, 5 + i], strict=True):
            d[k][i] = v
    given = {k: v for k, v in d.items() if k not in absent}
    payload = ["value"] if cls is RawRegressor else ["predicted_class", "proba", "n_classes"]
    args = {} if cls is RawRegressor else {"n_classes": 3}
    out = cls.from_tree(tree=given, categorical=[], **args).export_tree()  # keywords bind too
    assert list(out) == KEY_ORDER + payload + EVIDENCE
    assert same(out, {**d, **defaults})
    assert same(load(cls, out).export_tree(), out)


def test_unused_entries_are_ignored_and_split_counts_recomputed():
    d = tree_dict(REG_TREE) | {"node_count": 1}
    # A split's count, payload and (numeric split) category; a leaf's feature, bounds, child,
    # kind and evidence.
    for key, node, value in [("n_samples", 0, 999), ("value", 0, 123.0), ("category", 0, 12345),
                             ("feature", 1, 77), ("lower", 1, 5.0), ("children_left", 1, 40),
                             ("is_categorical", 1, True), ("score", 1, 5.0),
                             ("n_scored_folds", 4, 7)]:  # fmt: skip
        d[key][node] = value
    out = load(RawRegressor, d).export_tree()
    assert same(out, tree_dict(REG_TREE))


def test_imported_layout_is_renumbered_in_preorder():
    # Root 0 with its right child stored before its left child.
    d = dict(is_leaf=[False, True, True], children_left=[2, -1, -1], children_right=[1, -1, -1],
             feature=[0, -1, -1], is_categorical=[False] * 3, lower=[-INF, NAN, NAN],
             upper=[0.0, NAN, NAN], category=[-1] * 3, n_samples=[0, 4, 6],
             value=[NAN, 1.0, 2.0])  # fmt: skip
    out = load(RawRegressor, d).export_tree()
    assert out["children_left"] == [1, -1, -1] and out["children_right"] == [2, -1, -1]
    assert out["value"][1:] == [2.0, 1.0] and out["n_samples"] == [10, 6, 4]


def test_dictionary_n_classes_is_ignored():
    d = tree_dict(CLS_TREE, n_classes=3)
    est = RawClassifier.from_tree(d, 5, [])
    p = est.predict_proba(np.array([[0.0, 1.0]]))
    assert p.shape == (1, 5) and p[0].tolist() == [0.25, 0.25, 0.5, 0.0, 0.0]
    assert est.export_tree()["n_classes"] == 5


@pytest.mark.parametrize("cls", [RawRegressor, *CLASSIFIERS])
def test_from_tree_missing_keys_in_reading_order(cls):
    is_reg = cls is RawRegressor
    full = tree_dict(REG_TREE if is_reg else CLS_TREE, None if is_reg else 3)
    order = KEY_ORDER[1:] + (["value"] if is_reg else ["predicted_class", "proba"])
    for i, key in enumerate(order):
        d = {k: v for k, v in full.items() if k not in order[i:]}
        with pytest.raises(ValueError) as info:
            load(cls, d)
        assert str(info.value) == f'tree state missing key "{key}"'
        # A later key's bad value is never looked at.
        d.update({k: 5 for k in order[i + 1 :]})
        with pytest.raises(ValueError):
            load(cls, d)
    # The empty-tree check comes before the payload keys are read.
    with pytest.raises(ValueError, match="^tree state has no nodes$"):
        load(cls, {k: [] for k in KEY_ORDER[1:]})


@pytest.mark.parametrize(
    "key, value, exc",
    [("is_leaf", [1, 0, 0, 0, 0, 0, 0], TypeError), ("children_right", [2**63], OverflowError),
     ("lower", ["x"], TypeError), ("n_samples", [-1], OverflowError),
     ("value", [object()], TypeError),
     ("fold_score_std", 0.5, TypeError), ("n_scored_folds", [-1], OverflowError),
     ("predicted_class", [2**64] * 5, OverflowError), ("proba", [["x"]] * 5, TypeError),
     ("proba", "abcde", TypeError)],
)  # fmt: skip
def test_from_tree_bad_elements(key, value, exc):
    cls = RawClassifier if key in ("predicted_class", "proba") else RawRegressor
    d = tree_dict(REG_TREE) if cls is RawRegressor else tree_dict(CLS_TREE, 3)
    d[key] = value
    with pytest.raises(exc) as info:
        load(cls, d)
    assert type(info.value) is exc
    assert not str(info.value).startswith("argument")


@pytest.mark.parametrize(
    "args, exc, prefix",
    # Arguments are converted before the dictionary is read.
    [(([1], 3, []), TypeError, "argument 'tree': "), (({}, -1, "x"), OverflowError, None),
     (({}, 1.5, []), TypeError, "argument 'n_classes': "), (({}, 3, [-1]), OverflowError, None),
     (({}, 3, "0"), TypeError, "argument 'categorical': "),
     (({"is_leaf": [1]}, 3, [0.5]), TypeError, "argument 'categorical': ")],
)  # fmt: skip
def test_from_tree_argument_conversion(args, exc, prefix):
    with pytest.raises(exc) as info:
        RawClassifier.from_tree(*args)
    if prefix:
        assert str(info.value).startswith(prefix)


def test_imported_regressor_refits_with_fixed_settings():
    x, y = long_data(RawRegressor, 200, p=3, seed=3)
    imported = RawRegressor.from_tree(tree_dict(leaf(0.0)), [])
    imported.fit(x, y)
    reference = make(RawRegressor, criterion="mse", max_depth=8, aggregator="mean", cv_folds=5,
                     cv_seed=42, cv_shuffle=True, mode="strict", split_style="threshold",
                     min_samples_split=2, min_samples_leaf=1, min_impurity_decrease=0.0,
                     n_bins=8)  # fmt: skip
    reference.fit(x, y)
    assert same(imported.export_tree(), reference.export_tree())
    assert imported.depth() <= 8
