"""scikit-learn estimators on top of the native cross-validated tree core."""

from __future__ import annotations

import contextlib

import numpy as np
from sklearn.base import BaseEstimator, ClassifierMixin, RegressorMixin
from sklearn.utils import assert_all_finite, column_or_1d
from sklearn.utils.class_weight import compute_sample_weight
from sklearn.utils.multiclass import check_classification_targets
from sklearn.utils.validation import _check_sample_weight, check_is_fitted

from . import _ornik
from ._encoding import encode_input
from ._progress import fit_progress
from ._settings import (
    CLASSIFIER,
    REGRESSOR,
    check_settings,
    native_keywords,
    native_parameters,
)
from ._settings_generated import make_init, settings_doc

# The native classifiers read class numbers as the platform C long.
_CLASS_DTYPE = np.dtype("l")

_SAMPLE_WEIGHT_DOC = """sample_weight : array-like of shape (n_samples,), default=None
            Weight of each sample: it multiplies the sample's part in every sum,
            count, impurity, loss and confusion count that scores a split, and in
            the leaf values. Binning, the folds and ``min_samples_split`` /
            ``min_samples_leaf`` count samples, not weights, and a zero-weight
            sample is still routed and counted. So an integer weight is not the
            same as repeating a row: the repeats could land in different folds.
            None: every sample weighs one."""


class _ORNIKTree(BaseEstimator):
    """Everything the classifier and the regressor share."""

    _task: str

    def __init_subclass__(cls, **kwargs):
        super().__init_subclass__(**kwargs)
        if "_task" in cls.__dict__:
            cls.__init__ = make_init(cls._task, __name__)
            cls.__init__.__qualname__ = f"{cls.__name__}.__init__"
            doc = settings_doc(cls._task).replace("\n", "\n    ")
            cls.__doc__ = (cls.__doc__ or "").replace("{settings}", doc)

    def _start_fit(self, y) -> None:
        """Forget the previous tree and check the settings, before the data is touched."""
        # A fit that fails half-way must not leave the old tree beside new encodings.
        self._raw = None
        self._arrays = None
        check_settings(self.get_params(deep=False), self._task)
        if y is None:
            raise ValueError(
                f"This {type(self).__name__} estimator requires y to be passed, "
                "but the target y is None."
            )

    # -- input -----------------------------------------------------------------

    def _validate_X(self, X, *, reset: bool) -> np.ndarray:
        return encode_input(self, X, reset=reset)

    @staticmethod
    def _weights(sample_weight, X, times=None) -> np.ndarray | None:
        """The native weights: ``sample_weight`` (checked) times ``times``; None when
        both are None, which keeps the unweighted arithmetic."""
        if sample_weight is None and times is None:
            return None
        w = np.ones(len(X)) if sample_weight is None else sample_weight
        w = _check_sample_weight(w, X, dtype=np.float64, ensure_non_negative=True)
        return np.ascontiguousarray(w if times is None else w * times, dtype=np.float64)

    @property
    def is_categorical_(self) -> np.ndarray:
        """Boolean mask of the features that are split as categories."""
        check_is_fitted(self)
        return np.array([c is not None for c in self.categories_], dtype=bool)

    def _categorical_positions(self) -> list[int]:
        return [j for j, c in enumerate(self.categories_) if c is not None]

    # -- native object ---------------------------------------------------------

    def _native(self, raw_cls, **from_data):
        """A native estimator with these settings; ``from_data`` gives the parameters that
        the data decides (the categorical positions, the classes)."""
        from_data["categorical"] = self._categorical_positions()
        names = native_parameters(raw_cls.__name__) + native_keywords(raw_cls.__name__)
        return raw_cls(**{n: from_data[n] if n in from_data else getattr(self, n) for n in names})

    def _fit_native(self, raw, Xf, y, sample_weight) -> None:
        """Grow the native tree, with the progress bar that ``verbose`` asks for."""
        shown = (
            fit_progress(
                f"fitting {type(self).__name__} on {Xf.shape[0]} rows × {Xf.shape[1]} columns"
            )
            if self.verbose
            else contextlib.nullcontext()
        )
        with shown as report:
            raw.fit(Xf, y, sample_weight=sample_weight, progress=report)

    def _set_raw(self, raw):
        self._raw = raw
        self._arrays = None
        return self

    def __sklearn_is_fitted__(self) -> bool:
        return getattr(self, "_raw", None) is not None

    def __sklearn_tags__(self):
        tags = super().__sklearn_tags__()
        tags.input_tags.allow_nan = True
        tags.input_tags.categorical = True
        return tags

    # -- fitted tree -----------------------------------------------------------

    def get_depth(self) -> int:
        """Depth of the fitted tree (a single leaf has depth 0)."""
        check_is_fitted(self)
        return int(self._raw.depth())

    def get_n_leaves(self) -> int:
        """Number of leaves of the fitted tree."""
        check_is_fitted(self)
        return int(self._raw.n_leaves())

    @property
    def tree_(self) -> dict:
        """The fitted tree as a dict of read-only NumPy arrays, indexed by node id.

        Nodes are numbered in preorder (the root is 0, a split's left child is the
        next id). Keys: ``is_leaf``, ``children_left``, ``children_right``,
        ``feature``, ``is_categorical``, ``lower``, ``upper`` (a numeric split sends
        finite values with ``lower <= x < upper`` left), ``category`` (the code of
        the category a categorical split sends left, an index into
        ``categories_[feature]``), ``n_samples``, and ``value`` (regressor) or
        ``predicted_class`` and ``proba`` (classifier). Missing values always go right.

        What each split's choice rested on: ``score`` (its aggregated cross-validated
        score), ``stop_score`` (what the stop test compared with
        ``min_impurity_decrease``), ``fold_score_mean`` and ``fold_score_std`` (of its
        fold scores) and ``n_scored_folds`` (the folds that scored it). Leaves, and
        splits of a tree saved without this evidence, hold NaN and 0.
        """
        check_is_fitted(self)
        arrays = getattr(self, "_arrays", None)
        if arrays is None:
            arrays = _tree_arrays(self._raw.export_tree())
            self._arrays = arrays
        return arrays

    @property
    def feature_importances_(self) -> np.ndarray:
        """Held-out gain of each feature, normalised to sum to 1.

        A feature's gain is the sum over its splits of the split's share of the
        training samples times its aggregated cross-validated ``score``, counted
        only when positive: a feature whose splits do not help on held-out samples
        gets nothing. All zeros when no split has a positive score (a single leaf).
        """
        t = self.tree_
        split = ~t["is_leaf"]
        score = t["score"][split]  # NaN where the tree holds no evidence
        gain = np.where(score > 0, score, 0.0) * t["n_samples"][split]  # normalised below
        total = np.bincount(t["feature"][split], weights=gain, minlength=self.n_features_in_)
        return total / total.sum() if total.sum() > 0 else total

    def apply(self, X) -> np.ndarray:
        """Id of the leaf that each sample reaches, in the numbering of ``tree_``."""
        check_is_fitted(self)
        return self._raw.apply(self._validate_X(X, reset=False))

    def decision_path(self, X):
        """Sparse indicator (n_samples, node_count) of the nodes each sample passes."""
        from ._paths import decision_path

        return decision_path(self, X)

    def to_sklearn(self):
        """This tree as a fitted scikit-learn decision tree (see ``ornik.to_sklearn``)."""
        from ._sklearn_export import to_sklearn

        return to_sklearn(self)

    # -- persistence -----------------------------------------------------------

    def save(self, path) -> None:
        """Write the fitted estimator to ``path`` as JSON (read it back with ``ornik.load``)."""
        from ._persistence import save

        save(self, path)

    def _raw_from_tree(self, tree: dict):
        raise NotImplementedError

    def __getstate__(self):
        # Native objects are not picklable: carry the exported tree instead.
        state = dict(super().__getstate__())
        raw = state.pop("_raw", None)
        state.pop("_arrays", None)
        if raw is not None:
            state["_tree_dump"] = raw.export_tree()
        return state

    def __setstate__(self, state):
        state = dict(state)
        tree = state.pop("_tree_dump", None)
        super().__setstate__(state)
        if tree is not None:
            self._raw = self._raw_from_tree(tree)


class ORNIKRegressor(RegressorMixin, _ORNIKTree):
    """Regression tree whose every split is chosen by K-fold cross-validation.

    At each node every candidate split is scored on ``cv_folds`` held-out folds of
    that node's own samples, and the fold scores are aggregated; the split that
    holds up best on held-out data wins.

    {settings}

    Attributes
    ----------
    n_features_in_ : int
        Number of features seen during fit.
    feature_names_in_ : ndarray of str
        Column names, when fit on a pandas DataFrame with string column names.
    categories_ : list
        One entry per feature: the categories (in code order) of a categorical
        feature, None for a numeric one. Values unseen during fit are treated as
        missing.
    is_categorical_ : ndarray of bool
        Which features are categorical.
    tree_ : dict
        The fitted tree as NumPy arrays (see ``tree_``'s docstring).
    """

    _task = REGRESSOR

    def fit(self, X, y, sample_weight=None):
        """Grow the tree on ``X`` (n_samples, n_features) and the numeric target ``y``.

        Missing values (NaN) in ``X`` are allowed; NaN or infinite targets are not.

        The tree grows with the interpreter lock released, so other threads run
        meanwhile; predictions from many threads at once are safe. One estimator
        object must not be fitted from two threads at once (fit a clone in each).

        Parameters
        ----------
        X : array-like or DataFrame of shape (n_samples, n_features)
        y : array-like of shape (n_samples,)
        {sample_weight}
        """
        self._start_fit(y)
        Xf = self._validate_X(X, reset=True)
        y = column_or_1d(y, warn=True, dtype=np.float64)
        assert_all_finite(y, input_name="y", estimator_name=type(self).__name__)
        y = np.ascontiguousarray(y, dtype=np.float64)
        raw = self._native(_ornik.RawRegressor)
        self._fit_native(raw, Xf, y, self._weights(sample_weight, Xf))
        return self._set_raw(raw)

    fit.__doc__ = fit.__doc__.replace("{sample_weight}", _SAMPLE_WEIGHT_DOC)

    def predict(self, X) -> np.ndarray:
        """Predicted target of each sample (the value of the leaf it reaches)."""
        check_is_fitted(self)
        return self._raw.predict(self._validate_X(X, reset=False))

    def _raw_from_tree(self, tree):
        return _ornik.RawRegressor.from_tree(tree, self._categorical_positions())


class ORNIKClassifier(ClassifierMixin, _ORNIKTree):
    """Classification tree whose every split is chosen by K-fold cross-validation.

    At each node every candidate split is scored on ``cv_folds`` held-out folds of
    that node's own samples, by impurity decrease (``criterion``) or by the gain of
    a classification metric (``objective``), and the fold scores are aggregated;
    the split that holds up best on held-out data wins. Class labels can be of any
    type (ints, strings, booleans); they are available as ``classes_``.

    {settings}

    Attributes
    ----------
    classes_ : ndarray
        The class labels, sorted.
    n_classes_ : int
        Number of classes.
    n_features_in_ : int
        Number of features seen during fit.
    feature_names_in_ : ndarray of str
        Column names, when fit on a pandas DataFrame with string column names.
    categories_ : list
        One entry per feature: the categories (in code order) of a categorical
        feature, None for a numeric one. Values unseen during fit are treated as
        missing.
    is_categorical_ : ndarray of bool
        Which features are categorical.
    tree_ : dict
        The fitted tree as NumPy arrays (see ``tree_``'s docstring).
    """

    _task = CLASSIFIER

    def fit(self, X, y, sample_weight=None):
        """Grow the tree on ``X`` (n_samples, n_features) and the class labels ``y``.

        Missing values (NaN) in ``X`` are allowed. A sample weighs its
        ``sample_weight`` times the ``class_weight`` of its class.

        The tree grows with the interpreter lock released, so other threads run
        meanwhile; predictions from many threads at once are safe. One estimator
        object must not be fitted from two threads at once (fit a clone in each).

        Parameters
        ----------
        X : array-like or DataFrame of shape (n_samples, n_features)
        y : array-like of shape (n_samples,)
        {sample_weight}
        """
        self._start_fit(y)
        Xf = self._validate_X(X, reset=True)
        y = column_or_1d(y, warn=True)
        if y.dtype.kind == "f":
            assert_all_finite(y, input_name="y", estimator_name=type(self).__name__)
        check_classification_targets(y)
        classes, encoded = np.unique(y, return_inverse=True)
        encoded = np.ascontiguousarray(encoded.reshape(-1), dtype=_CLASS_DTYPE)
        if self.objective is None:
            raw = self._native(_ornik.RawClassifier, n_classes=len(classes))
        else:
            raw = self._native(
                _ornik.RawObjectiveClassifier,
                n_classes=len(classes),
                pos_label=self._pos_label_index(classes),
            )
        by_class = (
            None if self.class_weight is None else compute_sample_weight(self.class_weight, y)
        )
        self._fit_native(raw, Xf, encoded, self._weights(sample_weight, Xf, by_class))
        self.classes_ = classes
        self.n_classes_ = len(classes)
        return self._set_raw(raw)

    fit.__doc__ = fit.__doc__.replace("{sample_weight}", _SAMPLE_WEIGHT_DOC)

    def _pos_label_index(self, classes: np.ndarray) -> int:
        if self.pos_label is None:
            if (
                len(classes) > 2
                and self.average == "binary"
                and self.objective in ("precision", "recall", "f1", "fbeta")
            ):
                raise ValueError(
                    f"average='binary' scores one class, but the target has {len(classes)} "
                    "classes: set pos_label to that class, or choose average='micro', "
                    "'macro' or 'weighted'"
                )
            return 1 if len(classes) > 1 else 0
        wanted = self.pos_label.item() if isinstance(self.pos_label, np.generic) else self.pos_label
        for i, label in enumerate(classes.tolist()):
            if label == wanted:
                return i
        raise ValueError(
            f"pos_label={self.pos_label!r} is not one of the classes {classes.tolist()!r}"
        )

    def predict(self, X) -> np.ndarray:
        """Predicted class label of each sample."""
        check_is_fitted(self)
        return self.classes_[self._raw.predict(self._validate_X(X, reset=False))]

    def predict_proba(self, X) -> np.ndarray:
        """Class distribution of the leaf each sample reaches; columns follow ``classes_``."""
        check_is_fitted(self)
        return self._raw.predict_proba(self._validate_X(X, reset=False))

    def predict_log_proba(self, X) -> np.ndarray:
        """Logarithm of ``predict_proba``."""
        with np.errstate(divide="ignore"):
            return np.log(self.predict_proba(X))

    def _raw_from_tree(self, tree):
        raw_cls = _ornik.RawClassifier if self.objective is None else _ornik.RawObjectiveClassifier
        return raw_cls.from_tree(tree, self.n_classes_, self._categorical_positions())


# ----------------------------------------------------------------------------
# The exported tree as arrays
# ----------------------------------------------------------------------------

_TREE_INT_KEYS = ("children_left", "children_right", "feature", "category", "n_samples")
# The evidence of each split, exported after the keys that describe the tree.
EVIDENCE_FLOAT_KEYS = ("score", "stop_score", "fold_score_mean", "fold_score_std")
EVIDENCE_COUNT_KEY = "n_scored_folds"


def _tree_arrays(tree: dict) -> dict:
    n = len(tree["is_leaf"])
    arrays = {
        "node_count": n,
        "is_leaf": np.asarray(tree["is_leaf"], dtype=bool),
        "is_categorical": np.asarray(tree["is_categorical"], dtype=bool),
        "lower": np.asarray(tree["lower"], dtype=np.float64),
        "upper": np.asarray(tree["upper"], dtype=np.float64),
    }
    for key in EVIDENCE_FLOAT_KEYS:
        arrays[key] = np.asarray(tree[key], dtype=np.float64)
    for key in (*_TREE_INT_KEYS, EVIDENCE_COUNT_KEY):
        arrays[key] = np.asarray(tree[key], dtype=np.int64)
    if "value" in tree:
        arrays["value"] = np.asarray(tree["value"], dtype=np.float64)
    if "predicted_class" in tree:
        arrays["predicted_class"] = np.asarray(tree["predicted_class"], dtype=np.int64)
        width = max((len(p) for p in tree["proba"]), default=0)
        proba = np.zeros((n, width))
        for i, p in enumerate(tree["proba"]):
            proba[i, : len(p)] = p
        arrays["proba"] = proba
    for value in arrays.values():
        if isinstance(value, np.ndarray):
            value.flags.writeable = False
    return arrays


__all__ = ["ORNIKClassifier", "ORNIKRegressor"]
