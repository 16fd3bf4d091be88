"""fit: input checks and their order, training columns and targets, and the kept tree on failure."""

import numpy as np
import pytest
from native_helpers import CLASSES, long_data, make

from ornik._ornik import RawClassifier, RawObjectiveClassifier, RawRegressor

CLASSIFIERS = [RawClassifier, RawObjectiveClassifier]


@pytest.mark.parametrize("cls", CLASSES)
@pytest.mark.parametrize(
    "shape, m, w, message",
    [
        ((5, 2), 4, None, "targets length 4 does not match 5 samples"),
        ((0, 3), 2, None, "targets length 2 does not match 0 samples"),
        ((0, 3), 0, None, "need at least one sample"),
        ((4, 0), 7, None, "need at least one feature column"),
        ((0, 0), 0, None, "need at least one feature column"),
        ((3, 2), 3, np.ones(4), "sample_weight has 4 entries but x has 3 samples"),
        ((3, 2), 3, np.r_[1, -0.5, np.nan], "sample_weight[1] = -0.5 is not a finite weight >= 0"),
        ((3, 2), 3, np.r_[0, 1, np.inf], "sample_weight[2] = inf is not a finite weight >= 0"),
        ((3, 2), 3, np.zeros(3), "sample_weight is 0 for every sample"),
        ((3, 2), 3, [1.0] * 3, "argument 'sample_weight': expected a 1-dimensional float64"),
    ],
)
def test_input_checks_in_order(cls, shape, m, w, message):
    est = make(cls)
    y = np.zeros(m, dtype=np.float64 if cls is RawRegressor else np.int_)
    with pytest.raises(TypeError if message.startswith("argument") else ValueError) as info:
        est.fit(np.zeros(shape), y, sample_weight=w)
    assert str(info.value).startswith(message)
    assert est.depth() == 0 and est.n_leaves() == 0


@pytest.mark.parametrize("cls", CLASSES)
def test_max_depth_zero_gives_single_leaf(cls):
    x, y = long_data(cls, 120, p=3)
    w = (np.arange(len(y)) % 3) * 0.5  # zero-weight samples are counted but weigh nothing
    est = make(cls, max_depth=0, n_classes=3) if cls is not RawRegressor else make(cls, max_depth=0)
    est.fit(x, y, sample_weight=w)
    assert est.depth() == 0 and est.n_leaves() == 1
    out = est.export_tree()
    assert out["is_leaf"] == [True] and out["n_samples"] == [len(y)]
    pred = est.predict(np.zeros((3, 0)))
    assert len(set(pred.tolist())) == 1
    leaf = out["value"] if cls is RawRegressor else out["proba"]
    want = np.average(y, weights=w) if cls is RawRegressor else np.bincount(y, w, 3) / w.sum()
    np.testing.assert_allclose(np.ravel(leaf), want, rtol=1e-12)


@pytest.mark.parametrize("cls", CLASSIFIERS)
@pytest.mark.parametrize("mode", ["strict", "fast"])
def test_unallocatable_class_count_is_a_memory_error(cls, mode):
    est = make(cls, n_classes=2**62, mode=mode)
    with pytest.raises(MemoryError):
        est.fit(np.zeros((4, 1)), np.zeros(4, dtype=np.int_))
    assert est.n_leaves() == 0
