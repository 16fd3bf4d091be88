"""Saving fitted estimators as JSON and loading them back.

A model file is one JSON object::

    {
      "format": "ornik-model",
      "format_version": 1,
      "ornik_version": "0.1.0",
      "estimator": "ORNIKClassifier",            # or "ORNIKRegressor"
      "params": {"max_depth": 8, ...},          # every constructor setting
      "n_features_in": 4,
      "feature_names_in": ["a", "b", ...],      # or null
      "categories": [null, {"dtype": "object", "values": ["red", "blue"]}, ...],
      "classes": {"dtype": "int64", "values": [0, 1]},   # classifier only
      "tree": {"node_count": 3, "is_leaf": [...], ...}
    }

The tree's evidence lists ("score", "stop_score", "fold_score_mean",
"fold_score_std", "n_scored_folds") are optional: a file written before they
existed loads with NaN and 0 in their place.

JSON has no NaN or infinity, so a float that is not finite is written as one of
the strings "nan", "inf" or "-inf" wherever the field holds floats (the tree's
"lower", "upper", "value", "proba" and evidence floats, float settings, and the
values of a float-typed "classes" or "categories" entry). Typed value lists carry their NumPy
dtype so that labels come back as the same kind (ints, floats, strings, bools).
Loading never executes anything from the file.
"""

from __future__ import annotations

import json
import math
from pathlib import Path

import numpy as np
from sklearn.utils.validation import check_is_fitted

from . import __version__
from ._atomic_file import replacing
from ._estimators import EVIDENCE_COUNT_KEY, EVIDENCE_FLOAT_KEYS, ORNIKClassifier, ORNIKRegressor
from ._settings import (
    SETTINGS_BY_NAME,
    SettingError,
    check_settings,
    column_items,
    plain,
    settings_for,
)

FORMAT = "ornik-model"
FORMAT_VERSION = 1

_ESTIMATORS = {cls.__name__: cls for cls in (ORNIKClassifier, ORNIKRegressor)}
_NON_FINITE = {"nan": math.nan, "inf": math.inf, "-inf": -math.inf}
_BOOL_KEYS = ("is_leaf", "is_categorical")
_INT_KEYS = ("children_left", "children_right", "feature", "category", "n_samples")
_FLOAT_KEYS = ("lower", "upper")
_EVIDENCE_KEYS = (*EVIDENCE_FLOAT_KEYS, EVIDENCE_COUNT_KEY)
_UINT32_MAX = 4294967295


class ModelFileError(ValueError):
    """A model file that cannot be read: not JSON, not a model, or damaged."""


# ----------------------------------------------------------------------------
# Scalars
# ----------------------------------------------------------------------------

# Settings added after the first model files, with the value that grows the trees those files
# hold (the package's defaults have moved on since).
_ORIGINAL_VALUES = {"cv_score": "impurity", "cv_stop": "score"}


def _encode_float(value) -> float | str:
    value = float(value)
    if math.isfinite(value):
        return value
    return "nan" if math.isnan(value) else ("inf" if value > 0 else "-inf")


def _decode_float(value, where: str) -> float:
    if isinstance(value, str) and value in _NON_FINITE:
        return _NON_FINITE[value]
    if isinstance(value, (int, float)) and not isinstance(value, bool):
        return float(value)
    raise ModelFileError(f"{where}: expected a number, got {value!r}")


def _encode_setting(name: str, value):
    value = plain(value)
    if name == "categorical" and value is not None:
        if isinstance(value, (str, int)):
            return value
        items = column_items(value)
        if items is None:
            raise TypeError(f"setting categorical={value!r} cannot be stored in a model file")
        return items
    if value is None or isinstance(value, (bool, int, str)):
        return value
    if isinstance(value, float):
        return _encode_float(value)
    if name == "class_weight":  # a dict, as [label, weight] pairs: labels need not be strings
        return [[plain(k), _encode_setting(name, w)] for k, w in value.items()]
    raise TypeError(f"setting {name}={value!r} cannot be stored in a model file")


def _decode_setting(name: str, value):
    if SETTINGS_BY_NAME[name].kind == "float" and isinstance(value, str):
        return _decode_float(value, f"setting {name!r}")
    if name == "class_weight" and isinstance(value, list):
        return {k: w for k, w in value}
    return value


# ----------------------------------------------------------------------------
# Typed value lists (class labels, categories)
# ----------------------------------------------------------------------------


def _encode_values(values: np.ndarray, what: str) -> dict:
    values = np.asarray(values)
    kind = values.dtype.kind
    items = values.tolist()
    if kind == "f":
        items = [_encode_float(v) for v in items]
    elif kind == "O":
        for v in items:
            ok = isinstance(v, (str, bool, int)) or (isinstance(v, float) and math.isfinite(v))
            if not ok:
                raise TypeError(f"{what} value {v!r} cannot be stored in a model file")
    elif kind not in "biuU":
        raise TypeError(f"{what} of dtype {values.dtype} cannot be stored in a model file")
    return {"dtype": str(values.dtype), "values": items}


def _decode_values(entry, where: str) -> np.ndarray:
    if not isinstance(entry, dict) or set(entry) != {"dtype", "values"}:
        raise ModelFileError(f"{where}: expected an object with 'dtype' and 'values'")
    try:
        dtype = np.dtype(entry["dtype"])
    except TypeError as exc:
        raise ModelFileError(f"{where}: unknown dtype {entry['dtype']!r}") from exc
    items = entry["values"]
    if not isinstance(items, list) or dtype.kind not in "biufUO":
        raise ModelFileError(f"{where}: bad values for dtype {dtype}")
    expected = {
        "b": (bool,),
        "i": (int,),
        "u": (int,),
        "U": (str,),
        "O": (str, bool, int, float),
    }.get(dtype.kind)
    if dtype.kind == "f":
        items = [_decode_float(v, where) for v in items]
    else:
        for v in items:
            if not isinstance(v, expected) or (dtype.kind in "iu" and isinstance(v, bool)):
                raise ModelFileError(f"{where}: value {v!r} does not fit dtype {dtype}")
    try:
        array = np.array(items, dtype=dtype)
    except (OverflowError, ValueError) as exc:
        raise ModelFileError(f"{where}: {exc}") from exc
    if dtype.kind != "f" and array.tolist() != items:
        raise ModelFileError(f"{where}: values do not fit dtype {dtype}")
    return array


# ----------------------------------------------------------------------------
# The tree
# ----------------------------------------------------------------------------


def _encode_tree(tree: dict) -> dict:
    out = {}
    for key, value in tree.items():
        if key in _FLOAT_KEYS or key in EVIDENCE_FLOAT_KEYS or key == "value":
            out[key] = [_encode_float(v) for v in value]
        elif key == "proba":
            out[key] = [[_encode_float(v) for v in row] for row in value]
        else:
            out[key] = value
    return out


def _int_list(tree: dict, key: str) -> list[int]:
    values = tree[key]
    if not all(isinstance(v, int) and not isinstance(v, bool) for v in values):
        raise ModelFileError(f"tree {key!r}: expected integers")
    return values


def _decode_tree(tree, *, classifier: bool, n_features: int, n_classes: int) -> dict:
    """Check the tree's structure and types, and decode its floats.

    A tree that passes reaches a leaf from every node in fewer than node_count
    steps (children have larger ids than their parent), and every index it holds
    is in range.
    """
    if not isinstance(tree, dict):
        raise ModelFileError("tree: expected an object")
    payload = ("predicted_class", "proba") if classifier else ("value",)
    keys = ("node_count", *_BOOL_KEYS, *_INT_KEYS, *_FLOAT_KEYS, *payload)
    for key in keys:
        if key not in tree:
            raise ModelFileError(f"tree: missing key {key!r}")
    n = tree["node_count"]
    if not isinstance(n, int) or isinstance(n, bool) or n < 1:
        raise ModelFileError("tree: node_count must be a positive integer")
    evidence = [key for key in _EVIDENCE_KEYS if key in tree]
    for key in (*keys[1:], *evidence):
        if not isinstance(tree[key], list) or len(tree[key]) != n:
            raise ModelFileError(f"tree {key!r}: expected a list of {n} entries")
    out = dict(tree)
    for key in _BOOL_KEYS:
        if not all(isinstance(v, bool) for v in tree[key]):
            raise ModelFileError(f"tree {key!r}: expected booleans")
    for key in (*_FLOAT_KEYS, *(k for k in evidence if k in EVIDENCE_FLOAT_KEYS)):
        out[key] = [_decode_float(v, f"tree {key!r}") for v in tree[key]]
    if EVIDENCE_COUNT_KEY in tree and min(_int_list(tree, EVIDENCE_COUNT_KEY)) < 0:
        raise ModelFileError(f"tree {EVIDENCE_COUNT_KEY!r}: negative count")
    left, right = _int_list(tree, "children_left"), _int_list(tree, "children_right")
    feature, category = _int_list(tree, "feature"), _int_list(tree, "category")
    n_samples = _int_list(tree, "n_samples")
    for i in range(n):
        if n_samples[i] < 0:
            raise ModelFileError(f"tree node {i}: negative n_samples")
        if tree["is_leaf"][i]:
            continue
        if not (i < left[i] < n and i < right[i] < n):
            raise ModelFileError(f"tree node {i}: child ids out of range")
        if not 0 <= feature[i] < n_features:
            raise ModelFileError(f"tree node {i}: feature {feature[i]} out of range")
        if tree["is_categorical"][i] and not 0 <= category[i] <= _UINT32_MAX:
            raise ModelFileError(f"tree node {i}: category {category[i]} out of range")
    if classifier:
        predicted = _int_list(tree, "predicted_class")
        proba = []
        for i, row in enumerate(tree["proba"]):
            if not isinstance(row, list):
                raise ModelFileError(f"tree 'proba' of node {i}: expected a list")
            if tree["is_leaf"][i] and (len(row) != n_classes or not 0 <= predicted[i] < n_classes):
                raise ModelFileError(f"tree node {i}: leaf does not match {n_classes} classes")
            proba.append([_decode_float(v, "tree 'proba'") for v in row])
        out["proba"] = proba
    else:
        out["value"] = [_decode_float(v, "tree 'value'") for v in tree["value"]]
    return out


# ----------------------------------------------------------------------------
# Whole documents
# ----------------------------------------------------------------------------


def to_document(est) -> dict:
    """The JSON-ready description of a fitted estimator."""
    check_is_fitted(est)
    params = {
        s.name: _encode_setting(s.name, getattr(est, s.name)) for s in settings_for(est._task)
    }
    names = getattr(est, "feature_names_in_", None)
    categories = [
        None if cats is None else _encode_values(cats, f"category of feature {j}")
        for j, cats in enumerate(est.categories_)
    ]
    doc = {
        "format": FORMAT,
        "format_version": FORMAT_VERSION,
        "ornik_version": __version__,
        "estimator": type(est).__name__,
        "params": params,
        "n_features_in": int(est.n_features_in_),
        "feature_names_in": None if names is None else [str(n) for n in names],
        "categories": categories,
    }
    if isinstance(est, ORNIKClassifier):
        doc["classes"] = _encode_values(est.classes_, "class label")
    doc["tree"] = _encode_tree(est._raw.export_tree())
    return doc


def from_document(doc):
    """Rebuild a fitted estimator from :func:`to_document`'s output."""
    if not isinstance(doc, dict) or doc.get("format") != FORMAT:
        raise ModelFileError('not an ornik model file (no "format": "ornik-model")')
    version = doc.get("format_version")
    if version != FORMAT_VERSION:
        raise ModelFileError(
            f"unsupported model format version {version!r} "
            f"(this ornik {__version__} reads version {FORMAT_VERSION})"
        )
    cls = _ESTIMATORS.get(doc.get("estimator"))
    if cls is None:
        raise ModelFileError(f"unknown estimator {doc.get('estimator')!r}")
    params = doc.get("params")
    if not isinstance(params, dict):
        raise ModelFileError("'params' must be an object")
    known = {s.name for s in settings_for(cls._task)}
    unknown = sorted(set(params) - known)
    if unknown:
        raise ModelFileError(f"unknown settings for {cls.__name__}: {', '.join(unknown)}")
    params = {k: _decode_setting(k, v) for k, v in params.items()}
    # A file written before a setting existed was fitted as that setting's original value.
    params = {**{k: v for k, v in _ORIGINAL_VALUES.items() if k in known}, **params}
    try:
        check_settings(params, cls._task)
    except SettingError as exc:
        raise ModelFileError(f"bad setting: {exc}") from None
    est = cls(**params)

    n_features = doc.get("n_features_in")
    if not isinstance(n_features, int) or isinstance(n_features, bool) or n_features < 1:
        raise ModelFileError("'n_features_in' must be a positive integer")
    names = doc.get("feature_names_in")
    if names is not None and (
        not isinstance(names, list)
        or len(names) != n_features
        or not all(isinstance(n, str) for n in names)
    ):
        raise ModelFileError(f"'feature_names_in' must be null or {n_features} strings")
    categories = doc.get("categories")
    if not isinstance(categories, list) or len(categories) != n_features:
        raise ModelFileError(f"'categories' must be a list of {n_features} entries")
    categories = [
        None if c is None else _decode_values(c, f"categories of feature {j}")
        for j, c in enumerate(categories)
    ]
    n_classes = 0
    if cls is ORNIKClassifier:
        classes = _decode_values(doc.get("classes"), "classes")
        if classes.size == 0:
            raise ModelFileError("'classes' is empty")
        n_classes = classes.size
    tree = _decode_tree(
        doc.get("tree"),
        classifier=cls is ORNIKClassifier,
        n_features=n_features,
        n_classes=n_classes,
    )

    est.n_features_in_ = n_features
    if names is not None:
        est.feature_names_in_ = np.asarray(names, dtype=object)
    est.categories_ = categories
    if cls is ORNIKClassifier:
        est.classes_ = classes
        est.n_classes_ = int(n_classes)
    try:
        est._set_raw(est._raw_from_tree(tree))
    except (TypeError, ValueError, OverflowError) as exc:
        raise ModelFileError(f"damaged tree: {exc}") from exc
    return est


def _dumps(doc: dict) -> str:
    # One line per top-level entry and per tree array keeps large trees readable.
    def compact(value):
        return json.dumps(value, allow_nan=False, ensure_ascii=False, separators=(",", ":"))

    lines = []
    for key, value in doc.items():
        if key == "tree":
            inner = ",\n".join(f"    {json.dumps(k)}: {compact(v)}" for k, v in value.items())
            lines.append(f'  "tree": {{\n{inner}\n  }}')
        else:
            lines.append(f"  {json.dumps(key)}: {compact(value)}")
    return "{\n" + ",\n".join(lines) + "\n}\n"


def save(est, path) -> None:
    """Write ``est`` to ``path`` as a JSON model file (replacing it atomically)."""
    text = _dumps(to_document(est))
    with replacing(path) as fh:
        fh.write(text)


def load(path):
    """Read an estimator written by ``est.save(path)``.

    Raises ``FileNotFoundError`` for a missing file and ``ModelFileError`` (a
    ``ValueError``) for a file that is not a valid ornik model.
    """
    data = Path(path).read_bytes()
    try:
        doc = json.loads(data.decode("utf-8"))
    except (UnicodeDecodeError, json.JSONDecodeError) as exc:
        raise ModelFileError(f"{path}: not an ornik model file: invalid JSON ({exc})") from exc
    try:
        return from_document(doc)
    except ModelFileError as exc:
        raise ModelFileError(f"{path}: {exc}") from exc
