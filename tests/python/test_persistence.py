"""pickle, joblib and the JSON model files."""

import json
import pickle
import re

import joblib
import numpy as np
import pandas as pd
import pytest
from native_helpers import EVIDENCE, with_evidence
from sklearn.exceptions import NotFittedError

import ornik
from ornik import ORNIKClassifier, ORNIKRegressor
from ornik._persistence import ModelFileError, from_document, to_document


def fitted(kind):
    """A fitted estimator whose splits carry evidence, and its X."""
    rng = np.random.default_rng(3)
    colour = rng.choice(["red", "green", "blue"], size=200)
    b = np.where(rng.random(200) < 0.1, np.nan, rng.normal(size=200))
    X = pd.DataFrame({"a": rng.normal(size=200), "b": b, "colour": pd.Categorical(colour),
                      "grade": rng.integers(0, 4, size=200).astype(float)})  # fmt: skip
    y = (X["a"] + 2.0 * (colour == "red") + 0.5 * X["grade"]).to_numpy()
    if kind == "regressor":
        est = ORNIKRegressor(max_depth=4, categorical=["grade"], min_impurity_decrease=-np.inf)
    elif kind == "objective":
        est = ORNIKClassifier(max_depth=3, mode="fast", objective="recall", pos_label="hi")
        y = np.where(y > 1, "hi", "lo")
    else:
        est, y = ORNIKClassifier(max_depth=4, split_style="bin"), (y > 0).astype(int) + (y > 2)
    return with_evidence(est.fit(X, y)), X


def json_copy(est, path):
    est.save(path)
    text = path.read_text()
    # Strict JSON: no NaN or Infinity literals.
    json.loads(text, parse_constant=lambda c: pytest.fail(f"non-standard constant {c}"))
    copy = ornik.load(path)
    copy.save(path.with_suffix(".again"))
    assert path.with_suffix(".again").read_text() == text
    return copy


@pytest.mark.parametrize("kind", ["regressor", "classifier", "objective"])
@pytest.mark.parametrize("how", ["pickle", "joblib", "json"])
def test_round_trip_keeps_the_model(kind, how, tmp_path):
    est, X = fitted(kind)
    copy = {"pickle": lambda e: pickle.loads(pickle.dumps(e)),
            "joblib": lambda e: joblib.load(joblib.dump(e, tmp_path / "m.pkl")[0]),
            "json": lambda e: json_copy(e, tmp_path / "m.json")}[how](est)  # fmt: skip
    assert type(copy) is type(est)
    for method in ("predict", "apply", "predict_proba"):
        if hasattr(est, method):
            np.testing.assert_array_equal(getattr(est, method)(X), getattr(copy, method)(X))
    if hasattr(est, "classes_"):
        assert copy.classes_.dtype == est.classes_.dtype
    assert copy.get_params() == est.get_params()  # min_impurity_decrease=-inf survives JSON
    assert list(copy.feature_names_in_) == list(est.feature_names_in_)
    for ca, cb in zip(est.categories_, copy.categories_, strict=True):
        assert (ca is None and cb is None) or ca.tolist() == cb.tolist()
    for key, value in est.tree_.items():
        np.testing.assert_array_equal(value, copy.tree_[key])  # NaN == NaN here
    copy.fit(X, est.predict(X))  # the copy refits with its own settings


def test_unfitted_estimators_pickle_but_do_not_save(tmp_path):
    copy = pickle.loads(pickle.dumps(ORNIKClassifier(max_depth=2)))
    assert copy.max_depth == 2
    with pytest.raises(NotFittedError):
        copy.save(tmp_path / "m.json")
    assert not (tmp_path / "m.json").exists()


def test_files_written_before_the_split_evidence_and_cv_settings_load():
    est, X = fitted("classifier")
    doc = to_document(est)
    for key in EVIDENCE:
        del doc["tree"][key]
    del doc["params"]["cv_score"], doc["params"]["cv_stop"]
    loaded = from_document(doc)
    assert (loaded.cv_score, loaded.cv_stop) == ("impurity", "score")
    assert np.isnan(loaded.tree_["score"]).all() and not loaded.tree_["n_scored_folds"].any()
    np.testing.assert_array_equal(loaded.predict_proba(X), est.predict_proba(X))


def split_of(doc):
    return doc["tree"]["is_leaf"].index(False)


DAMAGE = [
    (lambda d: d.update(format_version=99), "unsupported model format version 99"),
    (lambda d: d.update(format="other"), "not an ornik model file"),
    (lambda d: d.update(estimator="os.system"), "unknown estimator"),
    (lambda d: d["params"].update(max_leaves=3), "unknown settings for ORNIKClassifier: max_leav"),
    (lambda d: d["tree"]["children_left"].__setitem__(split_of(d), split_of(d)), "child ids out"),
    (lambda d: d["tree"].pop("upper"), "missing key 'upper'"),
    (lambda d: d["tree"]["lower"].pop(), "expected a list of"),
    (lambda d: d["tree"]["feature"].__setitem__(split_of(d), 99), "feature 99 out of range"),
    (lambda d: d["tree"]["upper"].__setitem__(split_of(d), "infinity"), "expected a number"),
    (lambda d: d["tree"]["is_leaf"].__setitem__(0, 0), "expected booleans"),
    (lambda d: d["classes"].update(dtype="datetime64[ns]"), "bad values for dtype"),
    (lambda d: d["classes"].update(values=[0, 1, 2, 3]), "leaf does not match 4 classes"),
    (lambda d: d.update(categories=d["categories"][:1]), "'categories' must be a list of 4 entr"),
    (lambda d: d["tree"]["fold_score_std"].pop(), "tree 'fold_score_std': expected a list of"),
    (lambda d: d["tree"]["n_scored_folds"].__setitem__(split_of(d), -5), "negative count"),
]  # fmt: skip
NOT_MODELS = ["{", "\udcff", "[1, 2]", '{"format": "ornik-model"}']  # replace the whole file
NOT_MODELS = [(lambda d, t=t: d.update(text=t), "") for t in NOT_MODELS]


@pytest.mark.parametrize("damage, message", DAMAGE + NOT_MODELS)
def test_damaged_files_are_rejected(damage, message, tmp_path):
    path = tmp_path / "m.json"
    fitted("classifier")[0].save(path)
    doc = json.loads(path.read_text())
    damage(doc)
    path.write_text(doc.get("text") or json.dumps(doc), errors="surrogateescape")
    with pytest.raises(ModelFileError, match=re.escape(str(path)) + ".*" + message):
        ornik.load(path)
