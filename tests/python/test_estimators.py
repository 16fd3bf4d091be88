"""The scikit-learn estimators: settings, label encoding, inputs, categories, apply."""

import math
import re
from pathlib import Path

import numpy as np
import pandas as pd
import pytest
from native_helpers import COMMON
from sklearn.exceptions import NotFittedError

from ornik import ORNIKClassifier, ORNIKRegressor
from ornik._estimators import SETTINGS, SETTINGS_BY_NAME
from ornik._ornik import RawClassifier, RawObjectiveClassifier, RawRegressor


def make_data(n=240, seed=0):
    rng = np.random.default_rng(seed)
    X = rng.normal(size=(n, 4))
    y_reg = 2.0 * X[:, 0] + np.where(X[:, 1] > 0.3, 3.0, 0.0) + 0.1 * rng.normal(size=n)
    y_cls = (X[:, 0] + 0.5 * X[:, 2] > 0.2).astype(int) + (X[:, 1] > 1.0)
    return X, y_reg, y_cls


def same_tree(a: dict, b: dict) -> bool:
    """Exported trees equal, with NaN equal to NaN."""
    if a.keys() != b.keys():
        return False
    for key in a:
        left, right = np.asarray(a[key], dtype=object), np.asarray(b[key], dtype=object)
        if key in ("lower", "upper", "value"):
            if not np.array_equal(np.asarray(a[key], float), np.asarray(b[key], float), True):
                return False
        elif key == "proba":
            if a[key] != b[key]:
                return False
        elif not np.array_equal(left, right):
            return False
    return True


NATIVE_COMMON = {k: v for k, v in COMMON.items() if k != "categorical"} | dict(max_depth=8)


def test_readme_settings_table_matches_the_estimators():
    readme = (Path(__file__).parents[2] / "README.md").read_text()
    rows = re.findall(r"^\| `(\w+)` \| (.+?) \|", readme, flags=re.MULTILINE)
    table = {name: cell for name, cell in rows if name in SETTINGS_BY_NAME}
    assert set(table) == set(SETTINGS_BY_NAME)

    def shown(value):
        return f'`"{value}"`' if isinstance(value, str) else f"`{value!r}`"

    for setting in SETTINGS:
        defaults = dict.fromkeys(shown(setting.default_for(t)) for t in setting.tasks)
        assert table[setting.name] == " / ".join(defaults), setting.name


def test_documented_defaults():
    common = dict(NATIVE_COMMON, categorical=None)
    assert ORNIKRegressor().get_params() == dict(common, criterion="mse")
    assert ORNIKClassifier().get_params() == dict(
        common, criterion="gini", objective=None, average="binary", pos_label=None, beta=1.0
    )


# Every non-default setting must reach the native core: the wrapper's tree must be
# the very tree that the raw estimator grows with the same settings.
SETTING_CASES = [
    {},
    {"max_depth": 2},
    {"max_depth": None, "min_samples_leaf": 7},
    {"min_samples_split": 40, "n_bins": 4},
    {"cv_folds": 3, "cv_seed": 7, "cv_shuffle": False},
    {"mode": "fast", "split_style": "bin"},
    {"aggregator": "trimmed_mean", "agg_frac": 0.25},
    {"aggregator": "signal_to_noise", "agg_eps": 0.5},
    {"aggregator": "mean_minus_lambda_std", "agg_lambda": 2.0, "min_impurity_decrease": 0.01},
    {"parallel": True, "n_threads": 2, "parallel_min_samples": 16, "mode": "fast"},
]


@pytest.mark.parametrize("settings", SETTING_CASES)
def test_regressor_grows_the_core_tree(settings):
    X, y, _ = make_data()
    est = ORNIKRegressor(criterion="variance", **settings).fit(X, y)
    raw = RawRegressor(criterion="variance", **dict(NATIVE_COMMON, **settings), categorical=[])
    raw.fit(X, y)
    assert same_tree(est._raw.export_tree(), raw.export_tree())
    np.testing.assert_array_equal(est.predict(X), raw.predict(X))


@pytest.mark.parametrize("settings", SETTING_CASES[:6])
def test_classifier_grows_the_core_tree(settings):
    X, _, y = make_data()
    est = ORNIKClassifier(criterion="entropy", **settings).fit(X, y)
    raw = RawClassifier(
        n_classes=3, criterion="entropy", **dict(NATIVE_COMMON, **settings), categorical=[]
    )
    raw.fit(X, y.astype(np.dtype("l")))
    assert same_tree(est._raw.export_tree(), raw.export_tree())
    np.testing.assert_array_equal(est.predict_proba(X), raw.predict_proba(X))


@pytest.mark.parametrize(
    "objective, average, pos_label, index",
    [
        ("precision", "binary", None, 1),  # the second class, as scikit-learn's pos_label=1
        ("recall", "binary", "neg", 0),
        ("fbeta", "binary", "pos", 1),
        ("f1", "macro", None, 1),
        ("accuracy", "binary", None, 1),
    ],
)
def test_objective_classifier_maps_pos_label(objective, average, pos_label, index):
    X, _, y = make_data()
    y2 = (y > 0).astype(int)
    labels = np.array(["neg", "pos"])[y2]
    est = ORNIKClassifier(
        objective=objective, average=average, pos_label=pos_label, beta=2.0, max_depth=3
    ).fit(X, labels)
    raw = RawObjectiveClassifier(
        n_classes=2,
        objective=objective,
        average=average,
        pos_label=index,
        beta=2.0,
        **dict(NATIVE_COMMON, max_depth=3),
        categorical=[],
    )
    raw.fit(X, y2.astype(np.dtype("l")))
    assert same_tree(est._raw.export_tree(), raw.export_tree())


@pytest.mark.parametrize(
    "kwargs, y, message",
    [
        ({"objective": "recall", "pos_label": "maybe"}, ["a", "b"], "pos_label='maybe' is not"),
        ({"objective": "f1"}, [0, 1, 2], "average='binary' scores one class"),
    ],
)
def test_objective_classifier_rejects_unusable_pos_label(kwargs, y, message):
    X = np.arange(30, dtype=float).reshape(-1, 1)
    with pytest.raises(ValueError, match=message):
        ORNIKClassifier(**kwargs).fit(X, np.resize(y, 30))


@pytest.mark.parametrize(
    "cls, kwargs, error, message",
    [
        (
            ORNIKRegressor,
            {"criterion": "MSE"},
            ValueError,
            'unknown regression criterion "MSE" (expected "mse", "variance" or "mae")',
        ),
        (ORNIKClassifier, {"mode": "quick"}, ValueError, 'unknown mode "quick"'),
        (ORNIKClassifier, {"objective": "auc"}, ValueError, 'unknown objective "auc"'),
        (ORNIKClassifier, {"aggregator": "max"}, ValueError, 'unknown aggregator "max"'),
        (
            ORNIKRegressor,
            {"criterion": "mae", "mode": "fast"},
            ValueError,
            "this task (e.g. MAE) is not supported in SplitMode::Fast; use Strict",
        ),
        (ORNIKRegressor, {"n_bins": 2.5}, TypeError, "argument 'n_bins': "),
        (ORNIKClassifier, {"cv_shuffle": 1}, TypeError, "argument 'cv_shuffle': "),
        (ORNIKRegressor, {"cv_seed": -1}, OverflowError, ""),
    ],
)
def test_core_messages_reach_the_user_at_fit(cls, kwargs, error, message):
    X, y_reg, y_cls = make_data(60)
    est = cls(**kwargs)  # construction never validates, as in scikit-learn
    with pytest.raises(error) as info:
        est.fit(X, y_reg if cls is ORNIKRegressor else y_cls)
    assert message in str(info.value)


@pytest.mark.parametrize("bad", [math.nan, math.inf, -math.inf])
def test_regressor_rejects_non_finite_targets(bad):
    X, y, _ = make_data(50)
    y[7] = bad
    with pytest.raises(ValueError, match="Input y contains"):
        ORNIKRegressor().fit(X, y)


@pytest.mark.parametrize(
    "labels",
    [
        np.array([10, 20, 30]),
        np.array([-3, 0, 7]),  # negative labels must not merge (the core clips them to 0)
        np.array(["setosa", "versicolor", "virginica"]),
        np.array([1.0, 2.0, 4.0]),
        np.array(["b", "a", "c"], dtype=object),
    ],
)
def test_classifier_labels_round_trip(labels):
    X, _, y = make_data()
    target = labels[y]
    est = ORNIKClassifier(max_depth=4).fit(X, target)
    classes = np.sort(labels)
    np.testing.assert_array_equal(est.classes_, classes)
    assert est.n_classes_ == 3
    # The core must see each label's position among the sorted classes.
    reference = ORNIKClassifier(max_depth=4).fit(X, np.searchsorted(classes, target))
    np.testing.assert_array_equal(est.predict(X), classes[reference.predict(X)])
    np.testing.assert_array_equal(est.predict_proba(X), reference.predict_proba(X))
    assert est.predict(X).dtype == labels.dtype


def test_boolean_labels():
    X, _, y = make_data()
    est = ORNIKClassifier(max_depth=3).fit(X, y > 0)
    assert est.classes_.tolist() == [False, True]
    assert est.predict(X).dtype == bool
    assert est.score(X, y > 0) > 0.8


@pytest.mark.parametrize(
    "convert",
    [
        lambda X: X.astype(np.float32),
        lambda X: np.round(X * 100).astype(np.int32),
        lambda X: np.asfortranarray(X),
        lambda X: X.tolist(),
        lambda X: np.repeat(X, 2, axis=1)[:, ::2],  # strided view
    ],
    ids=["float32", "int32", "fortran", "list", "strided"],
)
def test_any_numeric_input_matches_float64(convert):
    X, y, _ = make_data()
    Xc = convert(X)
    X64 = np.asarray(Xc, dtype=np.float64)
    est = ORNIKRegressor(max_depth=4).fit(Xc, y)
    np.testing.assert_array_equal(
        est.predict(Xc), ORNIKRegressor(max_depth=4).fit(X64, y).predict(X64)
    )


# ----------------------------------------------------------------------------
# pandas and categories
# ----------------------------------------------------------------------------


def shop_frame(n=300, seed=1):
    rng = np.random.default_rng(seed)
    colour = rng.choice(["red", "green", "blue", "black"], size=n)
    size = rng.normal(size=n)
    frame = pd.DataFrame(
        {
            "size": size,
            "colour": pd.Categorical(colour, categories=["red", "green", "blue", "black"]),
            "shop": rng.choice(["north", "south"], size=n).astype(object),
            "level": rng.integers(-1, 3, size=n),
        }
    )
    y = np.where(colour == "blue", 5.0, 0.0) + np.where(frame["level"] == -1, 3.0, 0.0) + size
    return frame, y


def test_dataframe_feature_names_and_automatic_categories():
    frame, y = shop_frame()
    est = ORNIKRegressor(max_depth=4).fit(frame, y)
    assert est.feature_names_in_.tolist() == ["size", "colour", "shop", "level"]
    assert est.is_categorical_.tolist() == [False, True, True, False]
    assert est.categories_[1].tolist() == ["red", "green", "blue", "black"]
    assert est.categories_[2].tolist() == ["north", "south"]
    assert est.score(frame, y) > 0.8


@pytest.mark.parametrize(
    "categorical", [["level"], [3], [False, False, False, True], "level"], ids=str
)
def test_categorical_setting_forms(categorical):
    frame, y = shop_frame()
    est = ORNIKRegressor(max_depth=4, categorical=categorical).fit(frame, y)
    assert est.is_categorical_.tolist() == [False, True, True, True]
    # -1 is a category of its own, not a missing value.
    assert est.categories_[3].tolist() == [-1.0, 0.0, 1.0, 2.0]
    rows = frame[frame["level"] == -1].head(5)
    missing = rows.assign(level=np.nan)
    assert not np.array_equal(est.predict(rows), est.predict(missing))


def test_categories_are_matched_by_value_not_by_code():
    frame, y = shop_frame()
    est = ORNIKRegressor(max_depth=4).fit(frame, y)
    expected = est.predict(frame)
    # The same values under a different category order, and as plain strings.
    reordered = frame.assign(
        colour=pd.Categorical(
            frame["colour"].astype(str), categories=["black", "blue", "red", "green"]
        )
    )
    np.testing.assert_array_equal(est.predict(reordered), expected)
    np.testing.assert_array_equal(
        est.predict(frame.assign(colour=frame["colour"].astype(str))), expected
    )


def test_unseen_category_predicts_as_missing():
    frame, y = shop_frame()
    est = ORNIKRegressor(max_depth=4).fit(frame, y)
    unseen = frame.head(8).assign(colour=pd.Categorical(["purple"] * 8))
    missing = frame.head(8).assign(colour=pd.Categorical([None] * 8, categories=["red"]))
    np.testing.assert_array_equal(est.predict(unseen), est.predict(missing))


def test_numpy_object_array_with_text_categories():
    frame, y = shop_frame()
    X = frame.to_numpy(dtype=object)
    est = ORNIKRegressor(max_depth=4, categorical=[1, 2]).fit(X, y)
    reference = ORNIKRegressor(max_depth=4).fit(frame.drop(columns=[]), y)
    # Text categories sort alphabetically here, so compare predictions, not codes.
    assert est.categories_[1].tolist() == ["black", "blue", "green", "red"]
    np.testing.assert_allclose(est.score(X, y), reference.score(frame, y), atol=0.1)


@pytest.mark.parametrize(
    "X, categorical, message",
    [
        (np.zeros((10, 3)), [3], "categorical position 3 is out of range"),
        (np.zeros((10, 3)), [True, False], "categorical mask has 2 entries"),
        (np.zeros((10, 3)), ["a"], "needs a pandas DataFrame"),
        (pd.DataFrame({"a": np.zeros(10)}), ["b"], "unknown column 'b'"),
        (np.zeros((10, 3)), [1.5], "categorical must be"),
        (pd.DataFrame({"t": pd.date_range("2020", periods=10)}), None, "column 't' has dtype"),
    ],
)
def test_bad_categorical_input_is_a_clear_error(X, categorical, message):
    with pytest.raises(ValueError, match=message):
        ORNIKRegressor(categorical=categorical).fit(X, np.arange(10.0))


# ----------------------------------------------------------------------------
# The fitted tree
# ----------------------------------------------------------------------------


def test_depth_and_leaves():
    X, y, _ = make_data()
    stump = ORNIKRegressor(max_depth=0).fit(X, y)
    assert (stump.get_depth(), stump.get_n_leaves()) == (0, 1)
    deep = ORNIKRegressor(max_depth=3).fit(X, y)
    assert deep.get_depth() == 3
    assert deep.get_n_leaves() == deep.tree_["is_leaf"].sum()


def test_unfitted_and_failed_fit():
    X, y, _ = make_data(40)
    est = ORNIKRegressor()
    for method in (est.predict, est.apply):
        with pytest.raises(NotFittedError):
            method(X)
    est.fit(X, y)
    with pytest.raises(ValueError):
        est.set_params(mode="nope").fit(X, y)
    # A failed refit leaves no stale tree behind.
    with pytest.raises(NotFittedError):
        est.predict(X)
