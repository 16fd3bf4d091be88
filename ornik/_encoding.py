"""Turning the estimators' inputs into the float64 matrix that the native core reads.

Numeric columns pass through as floats (NaN is missing). Categorical columns, whether
chosen by the ``categorical`` setting or text and pandas "category" columns, are
learned during ``fit`` (``categories_``) and coded 0..m-1 by value; a value unseen
during ``fit`` becomes NaN, a missing value.
"""

from __future__ import annotations

import sys

import numpy as np
from sklearn.utils.validation import check_array, validate_data

from ._settings import column_items


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
    """Turn the ``categorical`` setting, whose form is already checked, into sorted positions."""
    items = column_items(selection)
    if not items:
        return []
    if isinstance(items[0], bool):
        if len(items) != n_features:
            raise ValueError(
                f"categorical mask has {len(items)} entries but X has {n_features} features"
            )
        return [i for i, v in enumerate(items) if v]
    if isinstance(items[0], int):
        positions = sorted(set(items))
        for p in positions:
            if not 0 <= p < n_features:
                raise ValueError(
                    f"categorical position {p} is out of range for X with {n_features} features"
                )
        return positions
    if feature_names is None:
        raise ValueError(
            "categorical lists column names, which needs a pandas DataFrame "
            "with those columns; pass column positions for arrays"
        )
    names = [str(n) for n in feature_names]
    for v in items:
        if v not in names:
            raise ValueError(f"categorical names an unknown column {v!r}")
    return sorted({names.index(v) for v in items})


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


def encode_input(est, X, *, reset: bool) -> np.ndarray:
    """The float64 matrix the native tree reads, for the estimator ``est``.

    On ``reset`` the feature names, the categorical columns and their categories
    are learned into ``est``; otherwise the fitted ones are applied.
    """
    if _is_dataframe(X):
        validate_data(est, X, reset=reset, skip_check_array=True)
        return _encode_frame(est, X, reset=reset)
    wants_objects = isinstance(X, np.ndarray) and X.dtype.kind in "OUS"
    if reset:
        has_cats = est.categorical is not None
    else:
        has_cats = any(c is not None for c in est.categories_)
    X = check_array(
        X,
        dtype=None if (wants_objects and has_cats) else np.float64,
        ensure_all_finite=False,
        estimator=est,
    )
    validate_data(est, X, reset=reset, skip_check_array=True)
    if reset:
        positions = _resolve_categorical(est.categorical, X.shape[1], None)
        est.categories_ = [None] * X.shape[1]
        for j in positions:
            est.categories_[j] = _learn_categories(X[:, j])
    if X.dtype == np.float64 and all(c is None for c in est.categories_):
        return X  # the core only reads it, through any strides
    out = np.empty(X.shape, dtype=np.float64)
    for j in range(X.shape[1]):
        cats = est.categories_[j]
        if cats is not None:
            out[:, j] = _encode_column(X[:, j], cats)
        else:
            out[:, j] = X[:, j].astype(np.float64)
    return out


def _encode_frame(est, X, *, reset: bool) -> np.ndarray:
    n_rows, n_cols = X.shape
    for count, what in ((n_rows, "sample"), (n_cols, "feature")):
        if count == 0:
            raise ValueError(
                f"Found array with 0 {what}(s) (shape={X.shape}) while a minimum of 1 is "
                f"required by {type(est).__name__}."
            )
    if reset:
        positions = set(_resolve_categorical(est.categorical, n_cols, list(X.columns)))
        positions.update(j for j in range(n_cols) if _is_text_column(X.iloc[:, j]))
        est.categories_ = [
            _learn_categories(X.iloc[:, j]) if j in positions else None for j in range(n_cols)
        ]
    out = np.empty((n_rows, n_cols), dtype=np.float64)
    for j in range(n_cols):
        column = X.iloc[:, j]
        cats = est.categories_[j]
        if cats is not None:
            out[:, j] = _encode_column(column, cats)
        else:
            out[:, j] = _frame_column_to_float(X.columns[j], column)
    return out
