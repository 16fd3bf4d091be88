"""to_sklearn, to_shap, to_onnx and decision_path route every row as ornik does."""

import math

import numpy as np
import pytest
from native_helpers import MISSING, leaf, tree_dict
from sklearn.impute import SimpleImputer
from sklearn.pipeline import make_pipeline

import ornik
from ornik import ORNIKClassifier, ORNIKRegressor
from ornik._ornik import RawRegressor

shap = pytest.importorskip("shap")
ort = pytest.importorskip("onnxruntime")


def data(n, seed):
    rng = np.random.default_rng(seed)
    X = rng.normal(size=(n, 4))
    X[:, 2] = rng.integers(0, 5, n)
    X[:, 3] = rng.choice([-2.0, 0.0, 2.5, 7.0], n)
    X[rng.random(X.shape) < 0.1] = np.nan
    y = np.nan_to_num(X[:, 0]) + (X[:, 2] == 1) + 2 * (X[:, 3] == 2.5) + rng.normal(size=n) / 2
    return X, y


def run_onnx(model, X):
    session = ort.InferenceSession(model.SerializeToString(), providers=["CPUExecutionProvider"])
    return session.run(None, {session.get_inputs()[0].name: X})


def outputs(model, X):
    """Predictions and, for a classifier, probabilities (the last: what SHAP explains)."""
    proba = [model.predict_proba(X)] if hasattr(model, "predict_proba") else []
    return [model.predict(X), *proba]


F1 = {"objective": "f1", "average": "macro"}
KINDS = [(ORNIKRegressor, {}), (ORNIKClassifier, {}), (ORNIKClassifier, F1)]


@pytest.mark.parametrize(
    "cls, settings",
    [(c, dict(kw, split_style=s)) for c, kw in KINDS for s in ("threshold", "bin")]
    + [(ORNIKClassifier, {"max_depth": 0, "split_style": "bin"})],  # a single leaf
)
def test_exports_route_every_row_as_ornik(cls, settings):
    X, y = data(3000, 0)
    est = cls(categorical=[2, 3], min_samples_leaf=3, **settings)
    labels = np.array(["low", "mid", "high"])[np.digitize(y, [0.0, 1.2])]
    est.fit(X, y if isinstance(est, ORNIKRegressor) else labels)
    rows, _ = data(100_000, 1)
    rng = np.random.default_rng(2)
    infinite = np.where(rng.random(rows.shape) < 0.5, np.inf, -np.inf)
    with_inf = np.where(rng.random(rows.shape) < 0.01, infinite, rows)
    onnx = run_onnx(ornik.to_onnx(est), with_inf)
    for got, want in zip(onnx, outputs(est, with_inf), strict=True):
        np.testing.assert_array_equal(got.reshape(want.shape), want)

    # scikit-learn reads float32: exact on the training rows (thresholds among them) and,
    # but for values a float32 step below a threshold, on others.
    sample = np.vstack([X, rows[:2000]])
    codes, sk = ornik.encode(est, sample), est.to_sklearn()
    for got, want in zip(outputs(sk, codes), outputs(est, sample), strict=True):
        np.testing.assert_array_equal(got, want)
    # SHAP values add up to the prediction (the probabilities) less the expected value,
    # which is the mean prediction over the training rows.
    mean, explained = outputs(est, X)[-1].mean(axis=0), outputs(est, sample[:400])[-1]
    for model in (ornik.to_shap(est), sk):
        explainer = shap.TreeExplainer(model)
        phi = np.asarray(explainer.shap_values(codes[:400]))
        base = np.asarray(explainer.expected_value).reshape(-1)
        np.testing.assert_allclose(base, mean, atol=1e-12)
        np.testing.assert_allclose(phi.sum(axis=1) + base, explained, atol=1e-12)

    few = with_inf[:2000]
    leaves, paths, tree = est.apply(few), est.decision_path(few), est.tree_
    at_leaf = tree["value" if "value" in tree else "proba"][leaves]
    np.testing.assert_array_equal(at_leaf, outputs(est, few)[-1])
    parent = {c: p for p in np.flatnonzero(~tree["is_leaf"])
              for c in (tree["children_left"][p], tree["children_right"][p])}  # fmt: skip
    for i, node in enumerate(leaves):
        path = [node]
        while path[-1]:
            path.append(parent[path[-1]])
        assert paths[i].indices.tolist() == path[::-1]
    assert paths.shape == (2000, tree["node_count"])


def test_rules_at_their_edges_route_as_the_core():
    # Down the right branches: bounds that admit nothing, splits across kinds and on the
    # missing category never send left; then code 0, a lower bound, code 2 (2.5 rounds to
    # 3), a bin and "not missing".
    chain = [leaf(1.1, 3)]
    for split in [("num", 0, None, None), ("num", 0, -1.0, 0.5), ("cat", 1, 2),
                  ("num", 0, 1.0, None), ("cat", 1, 0), ("cat", 1, MISSING), ("num", 1, None, 5.0),
                  ("cat", 0, 1), ("num", 0, 2.0, 1.0), ("num", 0, math.nan, 1.0)]:  # fmt: skip
        chain.append(split + (leaf(len(chain) / 10, 3), chain[-1]))
    X = np.array([[0.0, "a"], [1.0, "b"], [2.0, "c"]], dtype=object)
    est = ORNIKRegressor(categorical=[1]).fit(X, [0.0, 1.0, 2.0])
    est._set_raw(RawRegressor.from_tree(tree_dict(chain[-1]), [1]))
    # float32 numbers, which scikit-learn's trees read exactly; [-0.5, 0) is no category.
    codes = [-0.5, -0.25, -0.0, 0.49999997, 0.5, 1.5, 2.4999998, 2.5, 3.5, 7.0, 2.0**32 - 1, np.nan]
    numbers = [-2.0, -1.0, -0.99999994, 0.0, 0.5, 0.99999994, 1.0, 1.5, np.nan]
    grid = np.array([(a, b) for a in numbers for b in codes])
    want = est._raw.predict(grid)
    assert set(want) == {k / 10 for k in (1, 2, 3, 4, 5, 11)}
    np.testing.assert_array_equal(est.to_sklearn().predict(grid), want)
    np.testing.assert_array_equal(run_onnx(ornik.to_onnx(est), grid)[0][:, 0], want)
    explainer = shap.TreeExplainer(ornik.to_shap(est))
    np.testing.assert_allclose(explainer.shap_values(grid).sum(1) + explainer.expected_value, want)


def test_a_pipeline_converts_with_its_input_type():
    from skl2onnx.common.data_types import FloatTensorType

    rng = np.random.default_rng(3)
    X = np.column_stack([rng.normal(size=500), rng.integers(0, 3, 500)]).astype(np.float32)
    X[::7, 0] = np.nan
    y = np.nan_to_num(X[:, 0]) + (X[:, 1] == 1)
    pipe = make_pipeline(SimpleImputer(), ORNIKRegressor(categorical=[1])).fit(X, y)
    model = ornik.to_onnx(pipe, initial_types=[("X", FloatTensorType([None, 2]))])
    np.testing.assert_array_equal(run_onnx(model, X)[0][:, 0], pipe.predict(X))
