"""predict / predict_proba: routing, the category conversion, input checks and result arrays."""

import math

import numpy as np
import pytest
from native_helpers import MISSING, cat, category_label, leaf, make, num, tree_dict

from ornik._ornik import RawClassifier, RawObjectiveClassifier, RawRegressor

INF = math.inf
NAN = math.nan
CLASSIFIERS = [RawClassifier, RawObjectiveClassifier]


def regressor(root, categorical=()):
    return RawRegressor.from_tree(tree_dict(root), list(categorical))


# Non-finite values go right; the lower bound is inclusive, the upper one exclusive.
@pytest.mark.parametrize(
    "lower, upper, v, expected",
    [(None, None, -1e308, 1.0), (None, None, NAN, 2.0), (-1e308, 1e308, INF, 2.0),
     (0.5, 1.5, 0.5, 1.0), (0.5, 1.5, 1.5, 2.0), (0.5, 1.5, 0.4999, 2.0), (None, 0.0, -0.0, 2.0),
     (-0.0, None, 0.0, 1.0)],
)  # fmt: skip
def test_numeric_interval(lower, upper, v, expected):
    est = regressor(num(0, lower, upper, leaf(1.0), leaf(2.0)))
    assert est.predict(np.array([[v]])).tolist() == [expected]


@pytest.mark.parametrize(
    "v, label",
    [(2.5, 3), (0.49, 0), (-0.0, 0), (0.5, 1), (4294967294.0, 4294967294),
     (4294967294.4, 4294967294), (4294967294.5, MISSING), (-1.0, MISSING), (NAN, MISSING),
     (INF, MISSING), (-INF, MISSING)],
)  # fmt: skip
def test_category_conversion(v, label):
    assert category_label(v) == label  # the reference model used below agrees with the table
    # Leaves: 1.0 when the label equals `label`, else 2.0 for every other probe.
    probe = 4294967294 if label == MISSING else label
    est = regressor(cat(0, probe, leaf(1.0), leaf(2.0)), categorical=[0])
    expected = 1.0 if label == probe else 2.0
    assert est.predict(np.array([[v]])).tolist() == [expected]


@pytest.mark.parametrize("method", ["predict", "predict_proba", "apply"])
def test_too_narrow_x(method):
    root = cat(5, 1, leaf((0, [1.0])), leaf((1, [0.0, 1.0])))
    call = getattr(RawClassifier.from_tree(tree_dict(root, 2), 2, [5]), method)
    for rows, p in [(3, 2), (0, 5)]:
        with pytest.raises(ValueError, match=f"^x has {p} columns but the tree uses feature 5$"):
            call(np.zeros((rows, p)))
    assert len(call(np.zeros((1, 6)))) == 1


@pytest.mark.parametrize("cls", [RawRegressor, *CLASSIFIERS])
@pytest.mark.parametrize("split_style", ["threshold", "bin"])
def test_apply_finds_the_leaves_that_predict_reads(cls, split_style):
    rng = np.random.default_rng(7)
    x = rng.normal(size=(600, 3))
    x[:, 1] = rng.integers(0, 5, size=600) + rng.choice([0.0, 0.4], size=600)
    y = (x[:, 0] > 0.3).astype(np.int_) + (np.round(x[:, 1]) == 2)
    x[rng.random(size=x.shape) < 0.1] = NAN
    est = make(cls, split_style=split_style, categorical=[1], max_depth=5)
    est.fit(x, y.astype(float) if cls is RawRegressor else y)
    tree = est.export_tree()
    leaves = est.apply(np.asfortranarray(x))
    assert leaves.dtype == np.intp and np.array(tree["is_leaf"])[leaves].all()
    assert all(a.flags.owndata and a.flags.writeable for a in (leaves, est.predict(x)))
    assert any(tree["is_categorical"]) and len(set(leaves.tolist())) >= 3
    if cls is RawRegressor:
        assert np.array_equal(np.array(tree["value"])[leaves], est.predict(x))
    else:
        assert np.array_equal(np.array(tree["predicted_class"])[leaves], est.predict(x))
        assert [tree["proba"][i] for i in leaves] == est.predict_proba(x).tolist()


@pytest.mark.parametrize("cls", CLASSIFIERS)
def test_huge_n_classes_is_a_memory_error(cls):
    est, huge = (cls.from_tree(tree_dict(leaf((0, [1.0])), 1), k, []) for k in (2**40, 2**64 - 1))
    for model, rows in [(est, 4), (huge, 1)]:
        with pytest.raises(MemoryError):
            model.predict_proba(np.zeros((rows, 1)))
    assert est.predict_proba(np.zeros((0, 1))).shape == (0, 2**40)
    assert est.predict(np.zeros((4, 1))).tolist() == [0] * 4


def test_subclass_and_keyword_x():
    est = regressor(num(0, None, 0.0, leaf(1.0), leaf(2.0)))
    x = np.ma.masked_array([[-1.0], [1.0]])  # a subclass of ndarray
    assert est.predict(x=x).tolist() == [1.0, 2.0]
    assert est.apply(x=x).tolist() == [1, 2]
