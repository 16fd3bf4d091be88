"""Export of fitted trees to dictionaries and their import through from_tree."""

import math

import numpy as np
import pytest
from native_helpers import EVIDENCE, cat, leaf, make, num, same, tree_dict

from ornik._ornik import RawClassifier, RawObjectiveClassifier, RawRegressor

INF = math.inf
NAN = math.nan

REG_TREE = num(
    0,
    None,
    1.5,
    leaf(10.0, 3),
    cat(2, 4, num(1, -2.0, None, leaf(-1.0, 2), leaf(0.5, 1)), leaf(7.25, 4)),
)
CLS_TREE = num(
    1,
    0.0,
    2.0,
    leaf((2, [0.25, 0.25, 0.5]), 4),
    cat(0, 9, leaf((0, [1.0, 0.0, 0.0]), 2), leaf((1, [0.0, 1.0, 0.0]), 5)),
)
CLASSIFIERS = [RawClassifier, RawObjectiveClassifier]
KEY_ORDER = [
    "node_count",
    "is_leaf",
    "children_left",
    "children_right",
    "feature",
    "is_categorical",
    "lower",
    "upper",
    "category",
    "n_samples",
]


def load(cls, d, n_classes=3, categorical=()):
    if cls is RawRegressor:
        return cls.from_tree(d, list(categorical))
    return cls.from_tree(d, n_classes, list(categorical))


def test_regressor_round_trip():
    d = tree_dict(REG_TREE)
    out = load(RawRegressor, d, categorical=[2]).export_tree()
    assert list(out) == KEY_ORDER + ["value"] + EVIDENCE
    assert same(out, d)
    assert out["children_left"] == [1, -1, 3, 4, -1, -1, -1]
    assert out["children_right"] == [2, -1, 6, 5, -1, -1, -1]
    assert out["n_samples"] == [10, 3, 7, 3, 2, 1, 4]
    assert out["lower"][0] == -INF and out["upper"][3] == INF
    assert out["category"][2] == 4 and math.isnan(out["lower"][2])


@pytest.mark.parametrize("cls", CLASSIFIERS)
def test_classifier_round_trip(cls):
    d = tree_dict(CLS_TREE, n_classes=3)
    out = load(cls, d, categorical=[0]).export_tree()
    assert list(out) == KEY_ORDER + ["predicted_class", "proba", "n_classes"] + EVIDENCE
    assert same(out, d)
    assert out["proba"][0] == [] and out["predicted_class"][0] == -1
    assert all(type(v) is list for v in out.values() if not isinstance(v, int))


@pytest.mark.parametrize("cls", [RawRegressor, *CLASSIFIERS])
@pytest.mark.parametrize("absent", [[], ["stop_score", "n_scored_folds"], EVIDENCE])
def test_split_evidence_round_trips_and_absent_lists_give_defaults(cls, absent):
    d = tree_dict(REG_TREE) if cls is RawRegressor else tree_dict(CLS_TREE, 3)
    expected = {k: list(d[k]) for k in EVIDENCE}
    for i in [i for i, is_leaf in enumerate(d["is_leaf"]) if not is_leaf]:
        for k, v in zip(EVIDENCE, [0.5 + i, -0.25, 0.375, 0.125, 5 + i], strict=True):
            d[k][i] = v
            expected[k][i] = v if k not in absent else expected[k][i]
    out = load(cls, {k: v for k, v in d.items() if k not in absent}).export_tree()
    assert same({k: out[k] for k in EVIDENCE}, expected)
    assert same(load(cls, out).export_tree(), out)


def test_export_value_types():
    out = load(RawRegressor, tree_dict(REG_TREE)).export_tree()
    assert type(out["node_count"]) is int
    for key, kind in [
        ("is_leaf", bool),
        ("children_left", int),
        ("feature", int),
        ("is_categorical", bool),
        ("lower", float),
        ("category", int),
        ("n_samples", int),
        ("value", float),
    ]:
        assert type(out[key]) is list
        assert all(type(v) is kind for v in out[key]), key


@pytest.mark.parametrize("cls", [RawRegressor, *CLASSIFIERS])
def test_single_leaf(cls):
    root = leaf(2.5, 6) if cls is RawRegressor else leaf((1, [0.5, 0.5]), 6)
    est = load(cls, tree_dict(root, None if cls is RawRegressor else 2), n_classes=2)
    assert est.depth() == 0 and est.n_leaves() == 1
    out = est.export_tree()
    assert out["node_count"] == 1 and out["is_leaf"] == [True]
    assert out["children_left"] == [-1] and out["feature"] == [-1]
    assert math.isnan(out["lower"][0]) and out["n_samples"] == [6]


def test_depth_and_leaves_of_imported_tree():
    est = load(RawRegressor, tree_dict(REG_TREE))
    assert est.depth() == 3 and est.n_leaves() == 4


def test_unused_entries_are_ignored_and_split_counts_recomputed():
    d = tree_dict(REG_TREE)
    d["n_samples"][0] = 999  # a split's count
    d["value"][0] = 123.0  # a split's payload
    d["feature"][1] = 77  # a leaf's feature and bounds
    d["lower"][1] = 5.0
    d["children_left"][1] = 40
    d["is_categorical"][1] = True
    d["category"][0] = 12345  # category of a numeric split
    d["score"][1], d["n_scored_folds"][4] = 5.0, 7  # evidence of leaves
    d["node_count"] = 1
    out = load(RawRegressor, d).export_tree()
    assert same(out, tree_dict(REG_TREE))


def test_bounds_and_category_conventions():
    d = tree_dict(num(0, None, None, leaf(1.0), cat(1, 2**32 + 7, leaf(2.0), leaf(3.0))))
    est = load(RawRegressor, d, categorical=[1])
    out = est.export_tree()
    assert out["lower"][0] == -INF and out["upper"][0] == INF
    assert out["category"][2] == 7  # the low 32 bits
    x = np.array([[1e300, 0.0], [NAN, 7.0], [INF, 8.0], [-INF, 7.4]])
    assert est.predict(x).tolist() == [1.0, 2.0, 3.0, 2.0]


def test_imported_layout_is_renumbered_in_preorder():
    # Root 0 with its right child stored before its left child.
    d = {
        "is_leaf": [False, True, True],
        "children_left": [2, -1, -1],
        "children_right": [1, -1, -1],
        "feature": [0, -1, -1],
        "is_categorical": [False, False, False],
        "lower": [-INF, NAN, NAN],
        "upper": [0.0, NAN, NAN],
        "category": [-1, -1, -1],
        "n_samples": [0, 4, 6],
        "value": [NAN, 1.0, 2.0],
    }
    out = load(RawRegressor, d).export_tree()
    assert out["children_left"] == [1, -1, -1] and out["children_right"] == [2, -1, -1]
    assert out["value"][1:] == [2.0, 1.0] and out["n_samples"] == [10, 6, 4]


@pytest.mark.parametrize("cls", CLASSIFIERS)
def test_classifier_leaf_payloads(cls):
    root = num(0, None, 0.0, leaf((-2, [0.5, 0.5]), 2), leaf((5, [0.1, 0.2, 0.3, 0.4]), 3))
    est = load(cls, tree_dict(root, 3), n_classes=3)
    x = np.array([[-1.0], [1.0]])
    assert est.predict(x).tolist() == [0, 5]
    out = est.export_tree()
    assert out["predicted_class"] == [-1, 0, 5]
    assert out["proba"] == [[], [0.5, 0.5], [0.1, 0.2, 0.3, 0.4]]
    assert out["n_classes"] == 3


def test_dictionary_n_classes_is_ignored():
    d = tree_dict(CLS_TREE, n_classes=3)
    est = RawClassifier.from_tree(d, 5, [])
    p = est.predict_proba(np.array([[0.0, 1.0]]))
    assert p.shape == (1, 5) and p[0].tolist() == [0.25, 0.25, 0.5, 0.0, 0.0]
    assert est.export_tree()["n_classes"] == 5


def test_from_tree_accepts_tuples_numpy_scalars_and_dict_subclass():
    d = tree_dict(REG_TREE)

    class Sub(dict):
        pass

    d2 = Sub({k: tuple(v) if isinstance(v, list) else v for k, v in d.items()})
    d2["is_leaf"] = [np.bool_(b) for b in d["is_leaf"]]
    d2["children_left"] = [np.int64(c) for c in d["children_left"]]
    d2["lower"] = np.array(d["lower"])
    assert same(load(RawRegressor, d2).export_tree(), d)


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


@pytest.mark.parametrize("cls", [RawRegressor, *CLASSIFIERS])
def test_from_tree_empty_dictionaries(cls):
    with pytest.raises(ValueError) as info:
        load(cls, {})
    assert str(info.value) == 'tree state missing key "is_leaf"'
    empty = {k: [] for k in KEY_ORDER[1:]}
    # The empty-tree check comes before the payload keys are read.
    with pytest.raises(ValueError) as info:
        load(cls, empty)
    assert str(info.value) == "tree state has no nodes"


@pytest.mark.parametrize(
    "key, value, exc",
    [
        ("is_leaf", [1, 0, 0, 0, 0, 0, 0], TypeError),
        ("is_leaf", "TFT", TypeError),
        ("is_leaf", 5, TypeError),
        ("is_leaf", None, TypeError),
        ("children_left", [1.0], TypeError),
        ("children_right", ["2"], TypeError),
        ("children_right", [2**63], OverflowError),
        ("feature", {0: 1}, TypeError),
        ("is_categorical", [None], TypeError),
        ("lower", ["x"], TypeError),
        ("upper", [None], TypeError),
        ("category", [0.5], TypeError),
        ("n_samples", [-1], OverflowError),
        ("n_samples", [2**64], OverflowError),
        ("value", [object()], TypeError),
        ("value", "abc", TypeError),
        ("score", ["x"], TypeError),
        ("fold_score_std", 0.5, TypeError),
        ("n_scored_folds", [-1], OverflowError),
    ],
)
def test_from_tree_bad_elements(key, value, exc):
    d = tree_dict(REG_TREE)
    d[key] = value
    with pytest.raises(exc) as info:
        load(RawRegressor, d)
    assert type(info.value) is exc
    assert not str(info.value).startswith("argument")


@pytest.mark.parametrize(
    "key, value, exc",
    [
        ("predicted_class", [0.0] * 5, TypeError),
        ("predicted_class", [2**64] * 5, OverflowError),
        ("proba", [5] * 5, TypeError),
        ("proba", ["ab"] * 5, TypeError),
        ("proba", [["x"]] * 5, TypeError),
        ("proba", "abcde", TypeError),
    ],
)
def test_from_tree_bad_classifier_payloads(key, value, exc):
    d = tree_dict(CLS_TREE, 3)
    d[key] = value
    with pytest.raises(exc):
        load(RawClassifier, d)


@pytest.mark.parametrize(
    "args, exc, prefix",
    [
        (([1], 3, []), TypeError, "argument 'tree': "),
        (([1], -1, "x"), TypeError, "argument 'tree': "),
        (({}, -1, "x"), OverflowError, None),
        (({}, 1.5, []), TypeError, "argument 'n_classes': "),
        (({}, 3, "0"), TypeError, "argument 'categorical': "),
        (({}, 3, [-1]), OverflowError, None),
        # Arguments are converted before the dictionary is read.
        (({"is_leaf": [1]}, 3, [0.5]), TypeError, "argument 'categorical': "),
    ],
)
def test_from_tree_argument_conversion(args, exc, prefix):
    with pytest.raises(exc) as info:
        RawClassifier.from_tree(*args)
    if prefix:
        assert str(info.value).startswith(prefix)


def test_from_tree_keywords_and_binding():
    d = tree_dict(REG_TREE)
    RawRegressor.from_tree(tree=d, categorical=[])
    RawClassifier.from_tree(categorical=[], n_classes=3, tree=tree_dict(CLS_TREE, 3))
    with pytest.raises(TypeError):
        RawRegressor.from_tree(d)
    with pytest.raises(TypeError):
        RawRegressor.from_tree(d, [], 3)


def bad(**changes):
    d = tree_dict(REG_TREE)
    for key, (i, v) in changes.items():
        d[key][i] = v
    return d


def truncated(key, n):
    d = tree_dict(REG_TREE)
    d[key] = d[key][:n]
    return d


@pytest.mark.parametrize(
    "d, message",
    [
        (bad(children_left=(0, -1)), "node 0 has left child -1 out of range"),
        (bad(children_right=(2, 7)), "node 2 has right child 7 out of range"),
        (bad(children_right=(3, 2**40)), "node 3 has right child 1099511627776 out of range"),
        (bad(children_left=(3, 0)), "tree state has a cycle: node 3 links back to node 0"),
        (bad(children_right=(0, 0)), "tree state has a cycle: node 0 links back to node 0"),
        (bad(children_right=(2, 1)), "tree state reaches node 1 twice (again from node 2)"),
        (bad(children_right=(3, 4)), "tree state reaches node 4 twice (again from node 3)"),
        (truncated("value", 6), 'tree state key "value" has no entry for node 6'),
        (truncated("n_samples", 5), 'tree state key "n_samples" has no entry for node 5'),
        (truncated("children_right", 3), 'tree state key "children_right" has no entry for node 3'),
        (truncated("category", 2), 'tree state key "category" has no entry for node 2'),
        (truncated("upper", 3), 'tree state key "upper" has no entry for node 3'),
        (
            truncated("fold_score_mean", 2),
            'tree state key "fold_score_mean" has no entry for node 2',
        ),
    ],
)
def test_from_tree_broken_structure(d, message):
    with pytest.raises(ValueError) as info:
        RawRegressor.from_tree(d, [])
    assert str(info.value).startswith(message)


def test_from_tree_short_lists_for_unreached_nodes_are_fine():
    # Node 0 is a leaf: no other entry is ever read.
    d = {k: [] for k in KEY_ORDER[1:] + ["value"]}
    d.update(is_leaf=[True, False], n_samples=[3], value=[1.5])
    est = RawRegressor.from_tree(d, [])
    assert est.predict(np.zeros((2, 0))).tolist() == [1.5, 1.5]


def test_broken_classifier_payload_lists():
    d = tree_dict(CLS_TREE, 3)
    d["proba"] = d["proba"][:4]
    with pytest.raises(ValueError, match='"proba" has no entry for node 4'):
        RawClassifier.from_tree(d, 3, [])


def test_imported_regressor_refits_with_fixed_settings():
    rng = np.random.default_rng(3)
    x = rng.normal(size=(200, 3))
    y = x[:, 0] * 2 + rng.normal(scale=0.1, size=200)
    imported = RawRegressor.from_tree(tree_dict(leaf(0.0)), [])
    imported.fit(x, y)
    reference = make(
        RawRegressor,
        criterion="mse",
        max_depth=8,
        aggregator="mean",
        cv_folds=5,
        cv_seed=42,
        cv_shuffle=True,
        mode="strict",
        split_style="threshold",
        min_samples_split=2,
        min_samples_leaf=1,
        min_impurity_decrease=0.0,
        n_bins=8,
    )
    reference.fit(x, y)
    assert same(imported.export_tree(), reference.export_tree())
    assert imported.depth() <= 8


def test_chain_of_a_million_splits():
    n_splits = 1_000_000
    n = 2 * n_splits + 1
    # Split i sends values >= n_splits - 1 - i to its left leaf; the chain continues right.
    is_leaf = [False, True] * n_splits + [True]
    left = [v for i in range(n_splits) for v in (2 * i + 1, -1)] + [-1]
    right = [v for i in range(n_splits) for v in (2 * i + 2, -1)] + [-1]
    lower = [v for i in range(n_splits) for v in (float(n_splits - 1 - i), NAN)] + [NAN]
    value = [v for i in range(n_splits) for v in (NAN, float(i))] + [-1.0]
    d = {
        "is_leaf": is_leaf,
        "children_left": left,
        "children_right": right,
        "feature": [0, -1] * n_splits + [-1],
        "is_categorical": [False] * n,
        "lower": lower,
        "upper": [INF, NAN] * n_splits + [NAN],
        "category": [-1] * n,
        "n_samples": [1] * n,
        "value": value,
    }
    est = RawRegressor.from_tree(d, [])
    assert est.depth() == n_splits
    assert est.n_leaves() == n_splits + 1
    x = np.array([[n_splits + 5.0], [0.0], [-1.0], [n_splits / 2]])
    assert est.predict(x).tolist() == [0.0, n_splits - 1.0, -1.0, n_splits / 2 - 1]
    out = est.export_tree()
    assert out["node_count"] == n and out["n_samples"][0] == n_splits + 1
    assert out["children_right"][:4] == [2, -1, 4, -1]
    assert out["value"][-2:] == [n_splits - 1.0, -1.0]
    del out, d
    del est
