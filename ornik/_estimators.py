"""scikit-learn estimators on top of the native cross-validated tree core."""

from __future__ import annotations

import sys
import textwrap
from dataclasses import dataclass

import numpy as np
from sklearn.base import BaseEstimator, ClassifierMixin, RegressorMixin
from sklearn.utils import assert_all_finite, column_or_1d
from sklearn.utils.multiclass import check_classification_targets
from sklearn.utils.validation import check_array, check_is_fitted, validate_data

from . import _ornik

# The native classifiers read class numbers as the platform C long.
_CLASS_DTYPE = np.dtype("l")
# Category label that the native core treats as missing (and never sends left).
_MISSING_LABEL = 4294967295

_CLASSIFIER = "classifier"
_REGRESSOR = "regressor"
_RAW = ("RawRegressor", "RawClassifier", "RawObjectiveClassifier")
_TREE_RAW = ("RawRegressor", "RawClassifier")
_OBJECTIVE_RAW = ("RawObjectiveClassifier",)


@dataclass(frozen=True)
class Setting:
    """One constructor setting, shared by every place that needs it.

    The estimators' ``__init__`` signatures and docstrings, the arguments handed
    to the native constructors, the JSON model files and the command line's
    ``name=value`` parsing are all generated from :data:`SETTINGS`.
    """

    name: str
    kind: str  # "int", "int|None", "float", "bool", "str", "str|None", "label", "columns"
    default: object  # one value, or a {task: value} dict when it differs per estimator
    doc: str
    tasks: tuple[str, ...] = (_CLASSIFIER, _REGRESSOR)
    native: tuple[str, ...] = _RAW  # native constructors that take the value unchanged

    def default_for(self, task: str) -> object:
        if isinstance(self.default, dict):
            return self.default[task]
        return self.default

    def doc_for(self, task: str) -> str:
        if isinstance(self.doc, dict):
            return self.doc[task]
        return self.doc


SETTINGS: tuple[Setting, ...] = (
    Setting(
        "criterion",
        "str",
        {_CLASSIFIER: "gini", _REGRESSOR: "mse"},
        {
            _CLASSIFIER: 'Impurity that scores the splits: "gini" or "entropy". '
            "Ignored when ``objective`` is set.",
            _REGRESSOR: 'Impurity that scores the splits: "mse", "variance" or "mae" '
            '("mae" needs ``mode="strict"``).',
        },
        native=_TREE_RAW,
    ),
    Setting(
        "objective",
        "str|None",
        None,
        'Score the splits by a classification metric instead of an impurity: "accuracy", '
        '"precision", "recall", "f1" or "fbeta". None uses ``criterion``.',
        tasks=(_CLASSIFIER,),
        native=_OBJECTIVE_RAW,
    ),
    Setting(
        "average",
        "str",
        "binary",
        'How ``objective`` combines per-class values: "binary" (the class ``pos_label``), '
        '"micro", "macro" or "weighted".',
        tasks=(_CLASSIFIER,),
        native=_OBJECTIVE_RAW,
    ),
    Setting(
        "pos_label",
        "label",
        None,
        'The positive class of the "binary" average, as one of the labels in ``classes_``. '
        "None means the second class (``classes_[1]``) of a two-class problem.",
        tasks=(_CLASSIFIER,),
        native=(),
    ),
    Setting(
        "beta",
        "float",
        1.0,
        'The beta of the "fbeta" objective (recall weighs beta times as much as precision).',
        tasks=(_CLASSIFIER,),
        native=_OBJECTIVE_RAW,
    ),
    Setting("max_depth", "int|None", 8, "Maximum depth of the tree; None grows without limit."),
    Setting("min_samples_split", "int", 2, "Smallest node that is considered for a split."),
    Setting("min_samples_leaf", "int", 1, "Smallest number of training samples on each side."),
    Setting(
        "min_impurity_decrease",
        "float",
        0.0,
        "The aggregated cross-validated score that the best split must exceed.",
    ),
    Setting(
        "n_bins", "int", 8, "Numeric features are cut at quantiles into at most this many bins."
    ),
    Setting("cv_folds", "int", 5, "Number of folds that score every candidate split of a node."),
    Setting("cv_seed", "int", 42, "Seed of the fold shuffling."),
    Setting("cv_shuffle", "bool", True, "Shuffle a node's samples before cutting them into folds."),
    Setting(
        "mode",
        "str",
        "strict",
        '"strict" recomputes bins and folds at every node from that node\'s own samples; '
        '"fast" bins the whole training matrix once and scores from per-fold histograms.',
    ),
    Setting(
        "split_style",
        "str",
        "threshold",
        '"threshold" splits a numeric feature at a cut point (x < t goes left); '
        '"bin" sends one quantile bin left and the rest right.',
    ),
    Setting(
        "aggregator",
        "str",
        "mean",
        'How the fold scores of a candidate are combined: "mean", "median", "trimmed_mean", '
        '"signal_to_noise" or "mean_minus_lambda_std".',
    ),
    Setting("agg_frac", "float", 0.1, 'Fraction trimmed from each end by "trimmed_mean".'),
    Setting("agg_eps", "float", 1e-9, 'Added to the standard deviation by "signal_to_noise".'),
    Setting(
        "agg_lambda",
        "float",
        1.0,
        'Weight of the standard deviation in "mean_minus_lambda_std".',
    ),
    Setting("parallel", "bool", False, "Score a node's features on worker threads."),
    Setting("n_threads", "int", 1, "Number of worker threads when ``parallel`` is True."),
    Setting(
        "parallel_min_samples",
        "int",
        512,
        "Smallest node that fast mode scores on worker threads.",
    ),
    Setting(
        "categorical",
        "columns",
        None,
        "Categorical features: column positions, column names (DataFrame input) or a "
        'boolean mask. Columns of pandas "category", string or object dtype are '
        "categorical in any case. A categorical split sends one category left.",
        native=(),
    ),
)

SETTINGS_BY_NAME = {s.name: s for s in SETTINGS}


def settings_for(task: str) -> tuple[Setting, ...]:
    return tuple(s for s in SETTINGS if task in s.tasks)


def _make_init(task: str):
    """Build an ``__init__`` with one keyword-only argument per setting.

    scikit-learn reads the parameter names from the signature, so the function is
    generated with a real signature rather than taking ``**kwargs``.
    """
    settings = settings_for(task)
    args = ", ".join(f"{s.name}=_defaults[{s.name!r}]" for s in settings)
    body = "\n".join(f"    self.{s.name} = {s.name}" for s in settings)
    namespace = {"__name__": __name__, "_defaults": {s.name: s.default_for(task) for s in settings}}
    exec(f"def __init__(self, *, {args}):\n{body}\n", namespace)  # noqa: S102
    return namespace["__init__"]


def _settings_doc(task: str) -> str:
    lines = ["Parameters", "----------"]
    for s in settings_for(task):
        kind = s.kind.replace("|", " or ")
        lines.append(f"{s.name} : {kind}, default={s.default_for(task)!r}")
        lines.extend(
            textwrap.wrap(
                s.doc_for(task),
                76,
                initial_indent="    ",
                subsequent_indent="    ",
                break_on_hyphens=False,
            )
        )
    return "\n".join(lines)


# ----------------------------------------------------------------------------
# Input conversion
# ----------------------------------------------------------------------------


def _pandas():
    # pandas is optional: only look at it when the caller already imported it.
    return sys.modules.get("pandas")


def _is_dataframe(X) -> bool:
    pd = _pandas()
    return pd is not None and isinstance(X, pd.DataFrame)


def _is_missing(value) -> bool:
    if value is None:
        return True
    if isinstance(value, (float, np.floating)):
        return bool(np.isnan(value))
    pd = _pandas()
    return pd is not None and (value is pd.NA or value is pd.NaT)


def _resolve_categorical(selection, n_features: int, feature_names) -> list[int]:
    """Turn the ``categorical`` setting into sorted column positions."""
    if selection is None:
        return []
    if isinstance(selection, (str, int, np.integer)) and not isinstance(
        selection, (bool, np.bool_)
    ):
        selection = [selection]
    items = (
        list(np.asarray(selection, dtype=object).ravel())
        if not isinstance(selection, list)
        else selection
    )
    if not items:
        return []
    if all(isinstance(v, (bool, np.bool_)) for v in items):
        if len(items) != n_features:
            raise ValueError(
                f"categorical mask has {len(items)} entries but X has {n_features} features"
            )
        return [i for i, v in enumerate(items) if v]
    if all(isinstance(v, (int, np.integer)) and not isinstance(v, bool) for v in items):
        positions = sorted({int(v) for v in items})
        for p in positions:
            if not 0 <= p < n_features:
                raise ValueError(
                    f"categorical position {p} is out of range for X with {n_features} features"
                )
        return positions
    if all(isinstance(v, str) for v in items):
        if feature_names is None:
            raise ValueError(
                "categorical lists column names, which needs a pandas DataFrame "
                "with those columns; pass column positions for arrays"
            )
        names = [str(n) for n in feature_names]
        positions = set()
        for v in items:
            if v not in names:
                raise ValueError(f"categorical names an unknown column {v!r}")
            positions.add(names.index(v))
        return sorted(positions)
    raise ValueError(
        f"categorical must be column positions, column names or a boolean mask, got {selection!r}"
    )


def _codes_from_numbers(values: np.ndarray, categories: np.ndarray) -> np.ndarray:
    """Category codes of numeric values; unseen and missing values become NaN."""
    cats = categories.astype(np.float64)
    codes = np.full(values.shape, np.nan)
    if cats.size == 0:
        return codes
    order = np.argsort(cats, kind="stable")
    ordered = cats[order]
    pos = np.minimum(np.searchsorted(ordered, values), ordered.size - 1)
    hit = ordered[pos] == values
    codes[hit] = order[pos[hit]]
    return codes


def _codes_from_objects(values, categories: np.ndarray) -> np.ndarray:
    lookup = {v: i for i, v in enumerate(categories.tolist())}
    out = np.empty(len(values), dtype=np.float64)
    for i, v in enumerate(values):
        out[i] = np.nan if _is_missing(v) else lookup.get(v, np.nan)
    return out


def _learn_categories(column) -> np.ndarray:
    """The categories of one training column, in code order."""
    pd = _pandas()
    if pd is not None and isinstance(column, pd.Series):
        if isinstance(column.dtype, pd.CategoricalDtype):
            return np.asarray(column.cat.categories)
        if pd.api.types.is_numeric_dtype(column.dtype):
            column = column.to_numpy(dtype=np.float64, na_value=np.nan)
        else:
            column = column.to_numpy(dtype=object)
    values = np.asarray(column)
    if values.dtype.kind in "biuf":
        values = values.astype(np.float64)
        return np.unique(values[np.isfinite(values)])
    present = [v for v in dict.fromkeys(values.tolist()) if not _is_missing(v)]
    if all(isinstance(v, (int, float, np.number)) for v in present):
        # Numbers held in an object column are matched numerically, as in a float column.
        numbers = np.asarray(present, dtype=np.float64)
        return np.unique(numbers[np.isfinite(numbers)])
    try:
        present = sorted(present)
    except TypeError:
        pass  # values that do not compare keep their order of appearance
    return np.asarray(present, dtype=object)


def _encode_column(column, categories: np.ndarray) -> np.ndarray:
    """Map a categorical column to float codes 0..m-1, NaN for missing or unseen values."""
    pd = _pandas()
    numeric_cats = categories.dtype.kind in "biuf"
    if pd is not None and isinstance(column, pd.Series):
        if numeric_cats and pd.api.types.is_numeric_dtype(column.dtype):
            values = column.to_numpy(dtype=np.float64, na_value=np.nan)
            return _codes_from_numbers(values, categories)
        codes = pd.Index(categories).get_indexer(column.to_numpy(dtype=object))
        return np.where(codes < 0, np.nan, codes.astype(np.float64))
    values = np.asarray(column)
    if numeric_cats:
        if values.dtype.kind not in "biuf":
            # Only numbers can match numeric categories; anything else is unseen.
            values = np.array(
                [v if isinstance(v, (int, float, np.number)) else np.nan for v in values.tolist()],
                dtype=np.float64,
            )
        return _codes_from_numbers(values.astype(np.float64), categories)
    if values.dtype.kind in "biuf":
        values = values.astype(object)
    return _codes_from_objects(values.tolist(), categories)


def _frame_column_to_float(name, column) -> np.ndarray:
    pd = _pandas()
    if pd.api.types.is_numeric_dtype(column.dtype) or pd.api.types.is_bool_dtype(column.dtype):
        return column.to_numpy(dtype=np.float64, na_value=np.nan)
    raise ValueError(
        f"column {name!r} has dtype {column.dtype}, which is neither numeric nor categorical; "
        "convert it to numbers or to the pandas 'category' dtype"
    )


def _is_text_column(column) -> bool:
    pd = _pandas()
    dtype = column.dtype
    return (
        isinstance(dtype, pd.CategoricalDtype)
        or pd.api.types.is_object_dtype(dtype)
        or pd.api.types.is_string_dtype(dtype)
    )


def _route_labels(values: np.ndarray) -> np.ndarray:
    """The native category conversion: round half away from zero, else missing."""
    labels = np.full(values.shape, _MISSING_LABEL, dtype=np.int64)
    ok = np.isfinite(values) & (values >= 0)
    v = values[ok]
    whole = np.floor(v)
    rounded = whole + (v - whole >= 0.5)
    labels[ok] = np.minimum(rounded, _MISSING_LABEL).astype(np.int64)
    return labels


# ----------------------------------------------------------------------------
# Estimators
# ----------------------------------------------------------------------------


class _ORNIKTree(BaseEstimator):
    """Everything the classifier and the regressor share."""

    _task: str

    def __init_subclass__(cls, **kwargs):
        super().__init_subclass__(**kwargs)
        if "_task" in cls.__dict__:
            cls.__init__ = _make_init(cls._task)
            cls.__init__.__qualname__ = f"{cls.__name__}.__init__"
            settings_doc = _settings_doc(cls._task).replace("\n", "\n    ")
            cls.__doc__ = (cls.__doc__ or "").replace("{settings}", settings_doc)

    # -- input -----------------------------------------------------------------

    def _validate_X(self, X, *, reset: bool) -> np.ndarray:
        """The float64 matrix the native tree reads.

        On ``reset`` the feature names, the categorical columns and their
        categories are learned; otherwise the fitted ones are applied.
        """
        if _is_dataframe(X):
            validate_data(self, X, reset=reset, skip_check_array=True)
            return self._encode_frame(X, reset=reset)
        wants_objects = isinstance(X, np.ndarray) and X.dtype.kind in "OUS"
        if reset:
            has_cats = self.categorical is not None
        else:
            has_cats = any(c is not None for c in self.categories_)
        X = check_array(
            X,
            dtype=None if (wants_objects and has_cats) else np.float64,
            ensure_all_finite=False,
            estimator=self,
        )
        validate_data(self, X, reset=reset, skip_check_array=True)
        if reset:
            positions = _resolve_categorical(self.categorical, X.shape[1], None)
            self.categories_ = [None] * X.shape[1]
            for j in positions:
                self.categories_[j] = _learn_categories(X[:, j])
        if X.dtype == np.float64 and all(c is None for c in self.categories_):
            return X  # the core only reads it, through any strides
        out = np.empty(X.shape, dtype=np.float64)
        for j in range(X.shape[1]):
            cats = self.categories_[j]
            if cats is not None:
                out[:, j] = _encode_column(X[:, j], cats)
            else:
                out[:, j] = X[:, j].astype(np.float64)
        return out

    def _encode_frame(self, X, *, reset: bool) -> np.ndarray:
        n_rows, n_cols = X.shape
        if n_rows == 0:
            raise ValueError(
                f"Found array with 0 sample(s) (shape={X.shape}) while a minimum of 1 is "
                f"required by {type(self).__name__}."
            )
        if n_cols == 0:
            raise ValueError(
                f"Found array with 0 feature(s) (shape={X.shape}) while a minimum of 1 is "
                f"required by {type(self).__name__}."
            )
        if reset:
            positions = set(_resolve_categorical(self.categorical, n_cols, list(X.columns)))
            positions.update(j for j in range(n_cols) if _is_text_column(X.iloc[:, j]))
            self.categories_ = [
                _learn_categories(X.iloc[:, j]) if j in positions else None for j in range(n_cols)
            ]
        out = np.empty((n_rows, n_cols), dtype=np.float64)
        for j in range(n_cols):
            column = X.iloc[:, j]
            cats = self.categories_[j]
            if cats is not None:
                out[:, j] = _encode_column(column, cats)
            else:
                out[:, j] = _frame_column_to_float(X.columns[j], column)
        return out

    @property
    def is_categorical_(self) -> np.ndarray:
        """Boolean mask of the features that are split as categories."""
        check_is_fitted(self)
        return np.array([c is not None for c in self.categories_], dtype=bool)

    def _categorical_positions(self) -> list[int]:
        return [j for j, c in enumerate(self.categories_) if c is not None]

    # -- native object ---------------------------------------------------------

    def _native_kwargs(self, raw_name: str) -> dict:
        return {
            s.name: getattr(self, s.name) for s in settings_for(self._task) if raw_name in s.native
        }

    def _set_raw(self, raw):
        self._raw = raw
        self._arrays = None
        return self

    def _forget_fit(self) -> None:
        # A fit that fails half-way must not leave the old tree beside new encodings.
        self._raw = None
        self._arrays = None

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
        """
        check_is_fitted(self)
        arrays = getattr(self, "_arrays", None)
        if arrays is None:
            arrays = _tree_arrays(self._raw.export_tree())
            self._arrays = arrays
        return arrays

    def apply(self, X) -> np.ndarray:
        """Id of the leaf that each sample reaches, in the numbering of ``tree_``."""
        check_is_fitted(self)
        Xf = self._validate_X(X, reset=False)
        return _apply(self.tree_, Xf, self._categorical_positions())

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

    _task = _REGRESSOR

    def fit(self, X, y):
        """Grow the tree on ``X`` (n_samples, n_features) and the numeric target ``y``.

        Missing values (NaN) in ``X`` are allowed; NaN or infinite targets are not.
        """
        if y is None:
            raise ValueError(
                f"This {type(self).__name__} estimator requires y to be passed, "
                "but the target y is None."
            )
        self._forget_fit()
        Xf = self._validate_X(X, reset=True)
        y = column_or_1d(y, warn=True, dtype=np.float64)
        assert_all_finite(y, input_name="y", estimator_name=type(self).__name__)
        y = np.ascontiguousarray(y, dtype=np.float64)
        raw = _ornik.RawRegressor(
            **self._native_kwargs("RawRegressor"), categorical=self._categorical_positions()
        )
        raw.fit(Xf, y)
        return self._set_raw(raw)

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

    _task = _CLASSIFIER

    def fit(self, X, y):
        """Grow the tree on ``X`` (n_samples, n_features) and the class labels ``y``.

        Missing values (NaN) in ``X`` are allowed.
        """
        if y is None:
            raise ValueError(
                f"This {type(self).__name__} estimator requires y to be passed, "
                "but the target y is None."
            )
        self._forget_fit()
        Xf = self._validate_X(X, reset=True)
        y = column_or_1d(y, warn=True)
        if y.dtype.kind == "f":
            assert_all_finite(y, input_name="y", estimator_name=type(self).__name__)
        check_classification_targets(y)
        classes, encoded = np.unique(y, return_inverse=True)
        encoded = np.ascontiguousarray(encoded.reshape(-1), dtype=_CLASS_DTYPE)
        categorical = self._categorical_positions()
        if self.objective is None:
            raw = _ornik.RawClassifier(
                n_classes=len(classes),
                **self._native_kwargs("RawClassifier"),
                categorical=categorical,
            )
        else:
            raw = _ornik.RawObjectiveClassifier(
                n_classes=len(classes),
                pos_label=self._pos_label_index(classes),
                **self._native_kwargs("RawObjectiveClassifier"),
                categorical=categorical,
            )
        raw.fit(Xf, encoded)
        self.classes_ = classes
        self.n_classes_ = len(classes)
        return self._set_raw(raw)

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
# The exported tree as arrays, and routing samples through it
# ----------------------------------------------------------------------------

_TREE_INT_KEYS = ("children_left", "children_right", "feature", "category", "n_samples")


def _tree_arrays(tree: dict) -> dict:
    n = len(tree["is_leaf"])
    arrays = {
        "node_count": n,
        "is_leaf": np.asarray(tree["is_leaf"], dtype=bool),
        "is_categorical": np.asarray(tree["is_categorical"], dtype=bool),
        "lower": np.asarray(tree["lower"], dtype=np.float64),
        "upper": np.asarray(tree["upper"], dtype=np.float64),
    }
    for key in _TREE_INT_KEYS:
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


def _apply(arrays: dict, X: np.ndarray, categorical: list[int]) -> np.ndarray:
    """Route every row of the encoded matrix to its leaf, one tree level at a time.

    A numeric split sends a finite value left when lower <= v < upper; a
    categorical split sends a label left when it equals the split's category.
    Missing values, and a categorical column at a numeric split (or the reverse),
    go right.
    """
    is_leaf = arrays["is_leaf"]
    node = np.zeros(X.shape[0], dtype=np.int64)
    cat_column = np.zeros(X.shape[1], dtype=bool)
    cat_column[categorical] = True
    active = np.flatnonzero(~is_leaf[node])
    # Preorder ids grow along every path, so a path has at most node_count steps.
    for _ in range(arrays["node_count"]):
        if active.size == 0:
            break
        at = node[active]
        feature = arrays["feature"][at]
        values = X[active, feature]
        is_cat_rule = arrays["is_categorical"][at]
        is_cat_value = cat_column[feature]
        with np.errstate(invalid="ignore"):
            left_num = (
                np.isfinite(values)
                & (values >= arrays["lower"][at])
                & (values < arrays["upper"][at])
            )
        labels = _route_labels(values)
        left_cat = (labels == arrays["category"][at]) & (labels != _MISSING_LABEL)
        left = np.where(is_cat_rule, left_cat & is_cat_value, left_num & ~is_cat_value)
        node[active] = np.where(left, arrays["children_left"][at], arrays["children_right"][at])
        active = active[~is_leaf[node[active]]]
    return node


__all__ = ["ORNIKClassifier", "ORNIKRegressor", "SETTINGS", "Setting"]
