"""The scikit-learn estimators: settings, label encoding, inputs, categories, importances."""

import json
import math
import re
from pathlib import Path

import numpy as np
import pandas as pd
import pytest
from native_helpers import leaf, long_data, make, num, package_native, same, tree_dict
from sklearn.exceptions import NotFittedError

import ornik
from ornik import ORNIKClassifier, ORNIKRegressor
from ornik._cli import main
from ornik._ornik import RawClassifier, RawObjectiveClassifier, RawRegressor
from ornik._persistence import ModelFileError, to_document
from ornik._settings_generated import settings_table


def make_data(n=240):
    """X, a regression target and three classes (0, 1, 2) from the same X."""
    X, y_reg = long_data(RawRegressor, n, p=4)
    return X, y_reg, long_data(RawClassifier, n, p=4)[1]


# Every non-default setting must reach the native core: the wrapper's tree must be
# the very tree that the raw estimator grows with the same settings.
@pytest.mark.parametrize(
    "settings",
    [{}, {"cv_score": "loss", "cv_stop": "selection", "max_depth": None, "min_samples_leaf": 7},
     {"min_samples_split": 40, "n_bins": 4, "cv_folds": 3, "cv_seed": 7, "cv_shuffle": False},
     {"mode": "fast", "split_style": "bin", "aggregator": "trimmed_mean", "agg_frac": 0.25,
      "parallel": True, "n_threads": 2, "parallel_min_samples": 16},
     {"aggregator": "signal_to_noise", "agg_eps": 0.5, "max_depth": 2},
     {"aggregator": "mean_minus_lambda_std", "agg_lambda": 2.0, "min_impurity_decrease": 0.01}],
)  # fmt: skip
def test_settings_grow_the_core_tree(settings):
    X, y_reg, y = make_data()
    w = (np.arange(len(y)) % 4) * 0.5  # some zero
    est = ORNIKRegressor(criterion="variance", **settings).fit(X, y_reg, sample_weight=w)
    settings = {"max_depth": 8, **settings}  # the package's default depth
    defaults = package_native("regressor", RawRegressor)
    raw = make(RawRegressor, criterion="variance", **defaults | settings)
    raw.fit(X, y_reg, sample_weight=w)
    assert same(est._raw.export_tree(), raw.export_tree())
    # The classifier's core gets each sample's weight times its class weight.
    est = ORNIKClassifier(criterion="entropy", class_weight={0: 3.0, 2: 0.25}, **settings)
    est.fit(X, y, sample_weight=w)
    defaults = package_native("classifier", RawClassifier)
    raw = make(RawClassifier, n_classes=3, criterion="entropy", **defaults | settings)
    raw.fit(X, y.astype(np.dtype("l")), sample_weight=w * np.array([3, 1, 0.25])[y])
    assert same(est._raw.export_tree(), raw.export_tree())
    np.testing.assert_array_equal(est.predict_proba(X), raw.predict_proba(X))


@pytest.mark.parametrize(
    "objective, average, pos_label, index",
    # pos_label=None means the second class, as scikit-learn's pos_label=1.
    [("precision", "binary", None, 1), ("recall", "binary", "neg", 0), ("f1", "macro", None, 1)],
)
def test_objective_classifier_maps_pos_label(objective, average, pos_label, index):
    X, _, y = make_data()
    y2 = (y > 0).astype(int)
    kwargs = dict(objective=objective, average=average, beta=2.0, max_depth=3, cv_stop="selection")
    # The objective is the fold score: cv_score does not reach the objective's native class.
    est = ORNIKClassifier(pos_label=pos_label, cv_score="loss", **kwargs)
    est.fit(X, np.array(["neg", "pos"])[y2])
    defaults = package_native("classifier", RawObjectiveClassifier)
    raw = make(RawObjectiveClassifier, pos_label=index, **{**defaults, **kwargs})
    raw.fit(X, y2.astype(np.dtype("l")))
    assert same(est._raw.export_tree(), raw.export_tree())


BAD_SETTINGS = [
    (ORNIKRegressor, {"n_bins": 2.5}, "n_bins must be an integer in [2, 2**64) (at most 65535"),
    (ORNIKClassifier, {"class_weight": "even"}, "class_weight must be None or 'balanced' or"),
    (ORNIKRegressor, {"agg_frac": 0.9}, "agg_frac must be a number in [0, 0.5), got 0.9"),
    (ORNIKRegressor, {"min_impurity_decrease": math.nan}, "must be a number, not NaN, got nan"),
    (ORNIKClassifier, {"mode": "fast", "cv_folds": 256}, "cv_folds=256 needs mode='strict' (mo"),
]  # fmt: skip


@pytest.mark.parametrize("via", ["fit", "command line", "model file"])
@pytest.mark.parametrize("cls, settings, message", BAD_SETTINGS)
def test_bad_settings_are_refused_by_name_before_any_work(
    via, cls, settings, message, tmp_path, capsys
):
    if via == "fit":
        with pytest.raises(ValueError, match=re.escape(message)):
            cls(**settings).fit("not data", None)  # construction never checks
    elif via == "command line":
        task = "regression" if cls is ORNIKRegressor else "classification"
        argv = ["fit", "absent.csv", "--target", "y", "--task", task, "--out", str(tmp_path / "m")]
        assert main(argv + [f"{k}={v}" for k, v in settings.items()]) == 2
        assert message in capsys.readouterr().err
    else:
        doc = to_document(cls(max_depth=1).fit([[0.0], [1.0]], [0, 1]))
        doc["params"].update(settings)
        (tmp_path / "m.json").write_text(json.dumps(doc))
        with pytest.raises(ModelFileError, match=re.escape(message)):
            ornik.load(tmp_path / "m.json")


# Negative labels must not merge (the core clips them to 0).
LABELS = dict(int=[-3, 0, 7], bool=[True, False, True], float=[-2.0, 1.0, 2.0**53],
              object=np.array(["b", "a", "c"], dtype=object))  # fmt: skip


@pytest.mark.parametrize("labels", [np.asarray(v) for v in LABELS.values()], ids=list(LABELS))
def test_classifier_labels_round_trip(labels, tmp_path):
    X, _, y = make_data()
    est = ORNIKClassifier(max_depth=4).fit(X, labels[y])
    classes = np.unique(labels)
    # The core must see each label's position among the sorted classes.
    reference = ORNIKClassifier(max_depth=4).fit(X, np.searchsorted(classes, labels[y]))
    np.testing.assert_array_equal(est.predict_proba(X), reference.predict_proba(X))
    est.save(tmp_path / "m.json")  # and the model file keeps their values and dtype
    for model in (est, ornik.load(tmp_path / "m.json")):
        assert model.classes_.tolist() == classes.tolist() and model.classes_.dtype == labels.dtype
        np.testing.assert_array_equal(model.predict(X), classes[reference.predict(X)])
        assert model.predict(X).dtype == labels.dtype


def shop_frame(n=300, seed=1):
    rng = np.random.default_rng(seed)
    colours = ["red", "green", "blue", "black"]
    colour, size = rng.choice(colours, size=n), rng.normal(size=n)
    frame = pd.DataFrame({"size": size, "colour": pd.Categorical(colour, categories=colours),
                          "shop": rng.choice(["north", "south"], size=n).astype(object),
                          "level": rng.integers(-1, 3, size=n)})  # fmt: skip
    return frame, np.where(colour == "blue", 5.0, 0.0) + 3.0 * (frame["level"] == -1) + size


@pytest.mark.parametrize("categorical", [None, ["level"], [3], [False, False, False, True]])
def test_dataframe_categories(categorical):
    frame, y = shop_frame()
    est = ORNIKRegressor(max_depth=4, categorical=categorical).fit(frame, y)
    assert est.feature_names_in_.tolist() == ["size", "colour", "shop", "level"]
    assert est.is_categorical_.tolist() == [False, True, True, categorical is not None]
    assert est.categories_[1].tolist() == ["red", "green", "blue", "black"]
    assert est.score(frame, y) > 0.8
    head = frame.head(40)
    if categorical is not None:  # -1 is a category of its own, not a missing value
        assert est.categories_[3].tolist() == [-1.0, 0.0, 1.0, 2.0]
        rows = frame[frame["level"] == -1].head(5)
        assert not np.array_equal(est.predict(rows), est.predict(rows.assign(level=np.nan)))
    # Categories are matched by value, not by code; an unseen one routes as missing.
    expected = est.predict(head)
    plain = head["colour"].astype(str)
    reordered = pd.Categorical(plain, categories=["black", "blue", "red", "green"])
    np.testing.assert_array_equal(est.predict(head.assign(colour=reordered)), expected)
    np.testing.assert_array_equal(est.predict(head.assign(colour=plain)), expected)
    unseen = head.assign(colour=pd.Categorical(["purple"] * 40))
    missing = head.assign(colour=pd.Categorical([None] * 40, categories=["red"]))
    np.testing.assert_array_equal(est.predict(unseen), est.predict(missing))


@pytest.mark.parametrize(
    "X, categorical, message",
    [(np.zeros((10, 3)), [3], "categorical position 3 is out of range"),
     (np.zeros((10, 3)), [True, False], "categorical mask has 2 entries"),
     (np.zeros((10, 3)), ["a"], "needs a pandas DataFrame"),
     (pd.DataFrame({"a": np.zeros(10)}), ["b"], "unknown column 'b'"),
     (pd.DataFrame({"t": pd.date_range("2020", periods=10)}), None, "column 't' has dtype")],
)  # fmt: skip
def test_bad_categorical_input_is_a_clear_error(X, categorical, message):
    with pytest.raises(ValueError, match=message):
        ORNIKRegressor(categorical=categorical).fit(X, np.arange(10.0))


@pytest.mark.parametrize(
    "scores, expected",
    [((0.4, 0.5, 0.25), [0.625, 0.0, 0.375]),  # score times share of the root's samples
     ((0.4, -0.5, 0.25), [1.0, 0.0, 0.0]),  # a split that loses on held-out samples: nothing
     ((math.nan, 0.0, -1.0), [0.0, 0.0, 0.0])],  # no evidence and no gain: all zeros
)  # fmt: skip
def test_feature_importances_are_held_out_gains(scores, expected):
    est = ORNIKRegressor().fit(np.zeros((4, 3)), np.zeros(4))
    assert est.feature_importances_.tolist() == [0.0, 0.0, 0.0]  # a single leaf
    inner = num(0, None, 0.0, leaf(1.0, 2), leaf(2.0, 2))
    d = tree_dict(num(0, None, 0.5, leaf(0.0, 4), num(2, None, 1.0, inner, leaf(3.0, 2))))
    d["score"][0], d["score"][2], d["score"][3] = scores
    est._set_raw(RawRegressor.from_tree(d, []))
    assert est.feature_importances_.tolist() == pytest.approx(expected)


def test_a_failed_refit_leaves_no_stale_tree():
    X, y, _ = make_data(40)
    est = ORNIKRegressor().fit(X, y)
    with pytest.raises(ValueError):
        est.set_params(mode="nope").fit(X, y)
    with pytest.raises(NotFittedError):
        est.predict(X)


def test_readme_shows_the_declared_settings():
    assert settings_table() in (Path(__file__).parents[2] / "README.md").read_text()
