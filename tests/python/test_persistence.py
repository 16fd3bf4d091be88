"""pickle, joblib and the JSON model files."""

import io
import json
import pickle

import joblib
import numpy as np
import pandas as pd
import pytest
from native_helpers import EVIDENCE, with_evidence
from sklearn.exceptions import NotFittedError

import ornik
from ornik import ORNIKClassifier, ORNIKRegressor
from ornik._persistence import ModelFileError, from_document, to_document


def frame(n=200, seed=3):
    rng = np.random.default_rng(seed)
    colour = rng.choice(["red", "green", "blue"], size=n)
    X = pd.DataFrame(
        {
            "a": rng.normal(size=n),
            "b": np.where(rng.random(n) < 0.1, np.nan, rng.normal(size=n)),
            "colour": pd.Categorical(colour),
            "grade": rng.integers(0, 4, size=n).astype(float),
        }
    )
    y = X["a"] + np.where(colour == "red", 2.0, 0.0) + 0.5 * X["grade"]
    return X, y.to_numpy()


def fitted(kind):
    """A fitted estimator whose splits carry evidence, and its X."""
    X, y = frame()
    if kind == "regressor":
        est = ORNIKRegressor(max_depth=4, categorical=["grade"], min_impurity_decrease=-np.inf)
    elif kind == "objective":
        est = ORNIKClassifier(max_depth=3, mode="fast", objective="recall", pos_label="hi")
        y = np.where(y > 1, "hi", "lo")
    else:
        est, y = ORNIKClassifier(max_depth=4, split_style="bin"), (y > 0).astype(int) + (y > 2)
    return with_evidence(est.fit(X, y)), X


def assert_same_model(a, b, X):
    np.testing.assert_array_equal(a.predict(X), b.predict(X))
    np.testing.assert_array_equal(a.apply(X), b.apply(X))
    if hasattr(a, "predict_proba"):
        np.testing.assert_array_equal(a.predict_proba(X), b.predict_proba(X))
        np.testing.assert_array_equal(a.classes_, b.classes_)
        assert a.classes_.dtype == b.classes_.dtype
    assert a.get_params() == b.get_params() or np.isnan(a.min_impurity_decrease)
    assert list(a.feature_names_in_) == list(b.feature_names_in_)
    for ca, cb in zip(a.categories_, b.categories_, strict=True):
        assert (ca is None and cb is None) or ca.tolist() == cb.tolist()
    for key, value in a.tree_.items():
        np.testing.assert_array_equal(value, b.tree_[key])  # NaN == NaN here


KINDS = ["regressor", "classifier", "objective"]


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("dump, undump", [(pickle.dumps, pickle.loads), ("joblib", "joblib")])
def test_pickle_and_joblib_round_trip(kind, dump, undump):
    est, X = fitted(kind)
    if dump == "joblib":
        buffer = io.BytesIO()
        joblib.dump(est, buffer)
        buffer.seek(0)
        copy = joblib.load(buffer)
    else:
        copy = undump(dump(est))
    assert_same_model(est, copy, X)
    # The copy is a working estimator: it refits with its own settings.
    copy.fit(X, est.predict(X))


def test_unfitted_estimator_pickles():
    copy = pickle.loads(pickle.dumps(ORNIKClassifier(max_depth=2)))
    assert copy.max_depth == 2
    with pytest.raises(NotFittedError):
        copy.predict(np.zeros((1, 1)))


@pytest.mark.parametrize("kind", KINDS)
def test_json_round_trip(kind, tmp_path):
    est, X = fitted(kind)
    path = tmp_path / "model.json"
    est.save(path)
    text = path.read_text()
    # Strict JSON: no NaN or Infinity literals.
    json.loads(text, parse_constant=lambda c: pytest.fail(f"non-standard constant {c}"))
    loaded = ornik.load(path)
    assert type(loaded) is type(est)
    assert_same_model(est, loaded, X)
    loaded.save(tmp_path / "again.json")
    assert (tmp_path / "again.json").read_text() == text


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


def test_json_encodes_non_finite_floats(tmp_path):
    est, _ = fitted("regressor")
    est.save(tmp_path / "m.json")
    doc = json.loads((tmp_path / "m.json").read_text())
    assert doc["params"]["min_impurity_decrease"] == "-inf"
    leaf = doc["tree"]["is_leaf"].index(True)
    assert doc["tree"]["lower"][leaf] == "nan"
    assert "-inf" in doc["tree"]["lower"]
    assert ornik.load(tmp_path / "m.json").min_impurity_decrease == -np.inf


@pytest.mark.parametrize(
    "labels",
    [
        np.array([3, 5]),
        np.array([True, False]),
        np.array(["yes", "no"]),
        np.array(["yes", "no"], dtype=object),
        np.array([0.0, 2.0**53]),  # float labels must be integral in scikit-learn
        np.array([-2.0, 7.0]),
    ],
    ids=["int", "bool", "str", "object", "float", "negative-float"],
)
def test_class_labels_keep_their_values_and_dtype(labels, tmp_path):
    X = np.linspace(0, 1, 60).reshape(-1, 1)
    y = labels[(X[:, 0] > 0.5).astype(int)]
    est = ORNIKClassifier(max_depth=2).fit(X, y)
    est.save(tmp_path / "m.json")
    loaded = ornik.load(tmp_path / "m.json")
    assert loaded.classes_.dtype == est.classes_.dtype
    assert loaded.classes_.tolist() == est.classes_.tolist()
    np.testing.assert_array_equal(loaded.predict(X), est.predict(X))


def test_save_refuses_unfitted(tmp_path):
    with pytest.raises(NotFittedError):
        ORNIKRegressor().save(tmp_path / "m.json")
    assert not (tmp_path / "m.json").exists()


def corrupt(doc, how):
    tree = doc["tree"]
    split = tree["is_leaf"].index(False)
    if how == "version":
        doc["format_version"] = 99
    elif how == "format":
        doc["format"] = "something-else"
    elif how == "estimator":
        doc["estimator"] = "os.system"
    elif how == "setting":
        doc["params"]["max_leaves"] = 3
    elif how == "cycle":
        tree["children_left"][split] = split
    elif how == "child-range":
        tree["children_right"][split] = tree["node_count"]
    elif how == "missing-key":
        del tree["upper"]
    elif how == "short-list":
        tree["lower"].pop()
    elif how == "feature":
        tree["feature"][split] = 99
    elif how == "float":
        tree["upper"][split] = "infinity"
    elif how == "bool":
        tree["is_leaf"][0] = 0
    elif how == "classes-dtype":
        doc["classes"]["dtype"] = "datetime64[ns]"
    elif how == "classes-values":
        doc["classes"]["values"] = [0, 1, 2, 3]
    elif how == "leaf-class":
        leaf = tree["is_leaf"].index(True)
        tree["predicted_class"][leaf] = 7
    elif how == "categories":
        doc["categories"] = doc["categories"][:1]
    elif how == "evidence-list":
        tree["fold_score_std"].pop()
    elif how == "evidence-count":
        tree["n_scored_folds"][split] = -5
    return doc


@pytest.mark.parametrize(
    "how, message",
    [
        ("version", "unsupported model format version 99"),
        ("format", "not an ornik model file"),
        ("estimator", "unknown estimator"),
        ("setting", "unknown settings for ORNIKClassifier: max_leaves"),
        ("cycle", "child ids out of range"),
        ("child-range", "child ids out of range"),
        ("missing-key", "missing key 'upper'"),
        ("short-list", "expected a list of"),
        ("feature", "feature 99 out of range"),
        ("float", "expected a number"),
        ("bool", "expected booleans"),
        ("classes-dtype", "bad values for dtype"),
        ("classes-values", "leaf does not match 4 classes"),
        ("leaf-class", "leaf does not match"),
        ("categories", "'categories' must be a list of 4 entries"),
        ("evidence-list", "tree 'fold_score_std': expected a list of"),
        ("evidence-count", "tree 'n_scored_folds': negative count"),
    ],
)
def test_damaged_files_are_rejected(how, message, tmp_path):
    est, _ = fitted("classifier")
    est.save(tmp_path / "m.json")
    doc = corrupt(json.loads((tmp_path / "m.json").read_text()), how)
    (tmp_path / "bad.json").write_text(json.dumps(doc))
    with pytest.raises(ModelFileError, match=message):
        ornik.load(tmp_path / "bad.json")


@pytest.mark.parametrize(
    "content", [b"", b"{", b"\xff\xfe\x00", b"[1, 2]", b'{"format": "ornik-model"}']
)
def test_files_that_are_not_models(content, tmp_path):
    path = tmp_path / "m.json"
    path.write_bytes(content)
    with pytest.raises(ModelFileError, match=str(path)):
        ornik.load(path)


def test_missing_file(tmp_path):
    with pytest.raises(FileNotFoundError):
        ornik.load(tmp_path / "absent.json")
