"""fit: input checks and their order, training columns and targets, and the kept tree on failure."""

import numpy as np
import pytest
from native_helpers import CLASSES, make, same

from ornik._ornik import RawClassifier, RawObjectiveClassifier, RawRegressor

CLASSIFIERS = [RawClassifier, RawObjectiveClassifier]


def data(cls, n=120, p=3, seed=0):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(n, p))
    if cls is RawRegressor:
        y = 2.0 * x[:, 0] + np.where(x[:, 1] > 0, 1.0, -1.0) + rng.normal(scale=0.1, size=n)
    else:
        y = (x[:, 0] > 0).astype(np.int_) + (x[:, 1] > 0.5).astype(np.int_)
    return x, y


def target(cls, n):
    return np.zeros(n) if cls is RawRegressor else np.zeros(n, dtype=np.int_)


@pytest.mark.parametrize("cls", CLASSES)
@pytest.mark.parametrize(
    "shape, m, message",
    [
        ((5, 2), 4, "targets length 4 does not match 5 samples"),
        ((5, 2), 6, "targets length 6 does not match 5 samples"),
        ((0, 3), 2, "targets length 2 does not match 0 samples"),
        ((0, 3), 0, "need at least one sample"),
        ((4, 0), 4, "need at least one feature column"),
        ((4, 0), 7, "need at least one feature column"),
        ((0, 0), 0, "need at least one feature column"),
    ],
)
def test_shape_checks_in_order(cls, shape, m, message):
    est = make(cls)
    with pytest.raises(ValueError) as info:
        est.fit(np.zeros(shape), target(cls, m))
    assert str(info.value) == message
    assert est.depth() == 0 and est.n_leaves() == 0


def test_refit_failure_keeps_previous_tree():
    x, y = data(RawRegressor)
    est = make(RawRegressor)
    est.fit(x, y)
    before, pred = est.export_tree(), est.predict(x)
    failures = [
        (lambda: est.fit(x[:, :0], y), ValueError),
        (lambda: est.fit(x, y[:-1]), ValueError),
        (lambda: est.fit(x.astype(np.float32), y), TypeError),
    ]
    for call, exc in failures:
        with pytest.raises(exc):
            call()
        assert same(est.export_tree(), before)
        assert np.array_equal(est.predict(x), pred)


def test_fast_binning_error_is_passed_on_and_keeps_tree():
    x, y = data(RawRegressor, n=50)
    est = make(RawRegressor, mode="fast", n_bins=70_000)
    est.fit(np.full((50, 1), np.nan), y)  # no finite value: no edges, within the limits
    before = est.export_tree()
    with pytest.raises(ValueError) as info:
        est.fit(x, y)
    assert str(info.value).startswith("feature 0: ")
    assert "fast-mode limit" in str(info.value)
    assert same(est.export_tree(), before)


def test_refit_replaces_tree():
    est = make(RawRegressor)
    x, y = data(RawRegressor)
    est.fit(x, y)
    first = est.export_tree()
    est.fit(x[:40], y[:40])
    second = est.export_tree()
    assert second["n_samples"][0] == 40 and not same(first, second)
    est.fit(x, y)
    assert same(est.export_tree(), first)


@pytest.mark.parametrize("cls", CLASSIFIERS)
@pytest.mark.parametrize("mode", ["strict", "fast"])
def test_unallocatable_class_count_is_a_memory_error(cls, mode):
    est = make(cls, n_classes=2**62, mode=mode)
    with pytest.raises(MemoryError):
        est.fit(np.zeros((4, 1)), np.zeros(4, dtype=np.int_))
    assert est.n_leaves() == 0
