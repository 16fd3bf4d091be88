"""Reading CSV files for the command line: column types, targets and feature frames.

pandas reads the files, with its pyarrow engine when pyarrow is installed. Its
missing markers ("", "NA", "NaN", "null", "None", "n/a", ...) and the tokens given
with --na-values are missing values. A column of numbers is numeric and a column
of text is categorical; a column of numbers with some other cells among them is an
error that names the first such cell, because it is most often a missing marker
that was not declared (a "?", a "-") or a number the reader cannot parse ("1,234.5").
"""

from __future__ import annotations

import csv
import importlib.util

import numpy as np
import pandas as pd

# Integer-valued numeric targets with at most this many distinct values are
# taken as class labels when the task is not given.
_MAX_INFERRED_CLASSES = 20
_PANDAS_MAJOR = int(pd.__version__.split(".")[0])


class DataFileError(ValueError):
    """A data file that cannot be used: unreadable, malformed, or without a needed column."""


def csv_engine() -> str:
    """pandas' pyarrow reader when pyarrow is installed (faster, leaner), else its C reader."""
    return "pyarrow" if importlib.util.find_spec("pyarrow") is not None else "c"


def _header(path: str, delimiter: str) -> list[str]:
    """The header's cells as written; pandas would rename a repeated name instead of refusing."""
    try:
        with open(path, newline="", encoding="utf-8-sig") as fh:
            header = next(csv.reader(fh, delimiter=delimiter), None)
    except OSError as exc:
        raise DataFileError(f"cannot read {path}: {exc.strerror or exc}") from exc
    except (UnicodeDecodeError, csv.Error) as exc:
        raise DataFileError(f"cannot read {path}: {exc}") from exc
    if not header:
        raise DataFileError(f"{path} is empty")
    seen = set()
    for name in header:
        if name.strip() in seen:
            raise DataFileError(f"{path}: column {name.strip()!r} appears twice in the header")
        seen.add(name.strip())
    return header


def read_table(
    path: str, delimiter: str = ",", na_values=(), text_columns=(), engine: str | None = None
) -> pd.DataFrame:
    """The CSV file as a frame with stripped column names; ``text_columns`` are read as text."""
    header = _header(path, delimiter)
    engine = engine or csv_engine()
    text = {raw: str for raw in header if raw.strip() in set(text_columns)}
    if engine == "pyarrow":
        # Columns stay Arrow arrays: no second copy of the data in NumPy blocks.
        options = {"dtype_backend": "pyarrow"}
    elif _PANDAS_MAJOR < 3:
        # Before pandas 3 the C reader's default float parser may miss the nearest double.
        options = {"float_precision": "round_trip"}
    else:
        options = {}
    try:
        frame = pd.read_csv(
            path,
            sep=delimiter,
            na_values=list(na_values),
            dtype=text or None,
            engine=engine,
            encoding="utf-8-sig",
            **options,
        )
    except OSError as exc:
        raise DataFileError(f"cannot read {path}: {exc.strerror or exc}") from exc
    except ValueError as exc:  # malformed rows, bad encoding
        raise DataFileError(f"cannot read {path}: {str(exc).splitlines()[0]}") from exc
    if engine == "pyarrow":
        import pyarrow

        # Hand the parser's buffers back before the fit needs memory.
        pyarrow.default_memory_pool().release_unused()
    frame.columns = [str(c).strip() for c in frame.columns]
    return frame


def column(frame: pd.DataFrame, name: str, path: str) -> pd.Series:
    if name not in frame.columns:
        names = list(frame.columns)
        shown = ", ".join(names[:12]) + (", ..." if len(names) > 12 else "")
        raise DataFileError(f"column {name!r} not found in {path} (columns: {shown})")
    return frame[name]


def _is_numeric(series: pd.Series) -> bool:
    return pd.api.types.is_numeric_dtype(series.dtype) or pd.api.types.is_bool_dtype(series.dtype)


def _non_numbers(series: pd.Series) -> tuple[int, int]:
    """The position of the first present cell that is not a number (-1 when none) and the
    count of such cells."""
    if _is_numeric(series):
        return -1, 0
    # Each distinct value is tried once: a text column holds few of them.
    values = pd.Series(series.dropna().unique(), dtype=object)
    text = values[pd.to_numeric(values, errors="coerce").isna()]
    if text.empty:
        return -1, 0
    is_text = series.isin(text).to_numpy(dtype=bool, na_value=False)
    return int(is_text.argmax()), int(is_text.sum())


def _as_numbers(series: pd.Series) -> pd.Series:
    """The cells as float64, NaN where missing or not a number."""
    if not _is_numeric(series):
        series = pd.to_numeric(series, errors="coerce")
    numbers = series.to_numpy(dtype=np.float64, na_value=np.nan)
    return pd.Series(numbers, index=series.index, name=series.name)


def _as_categories(series: pd.Series) -> pd.Series:
    # Encoding reads category codes; text would become one Python string per cell.
    return series.astype("category")


def _stray_cell_error(series: pd.Series, where: str, first: int, fix: str) -> DataFileError:
    value = series.iloc[first]
    return DataFileError(
        f"{where} holds numbers, but data row {first + 1} is {value!r}: give --na-values "
        f"{str(value).strip()!r} if that marks a missing value, {fix}"
    )


def read_target(series: pd.Series, task: str | None) -> tuple[str, np.ndarray]:
    """The task ("classification" or "regression"; inferred when None) and the target.

    A text target, or an integer one with few distinct values, is a classification
    target.
    """
    name = series.name
    missing = np.flatnonzero(series.isna().to_numpy())
    if missing.size:
        raise DataFileError(
            f"target column {name!r} has {missing.size} missing values "
            f"(first on data row {missing[0] + 1})"
        )
    first_bad, n_bad = _non_numbers(series)
    if n_bad and task != "classification" and 2 * n_bad <= len(series):
        fix = "or --task classification to take the cells as class labels"
        raise _stray_cell_error(series, f"target column {name!r}", first_bad, fix)
    if n_bad:
        if task == "regression":
            raise DataFileError(
                f"target column {name!r} is not numeric (found {series.iloc[first_bad]!r}); "
                "use --task classification"
            )
        return "classification", series.to_numpy(dtype=str)
    values = _as_numbers(series).to_numpy()
    integral = bool(np.all(np.isfinite(values)) and np.all(values == np.round(values)))
    if task is None:
        few = len(np.unique(values)) <= _MAX_INFERRED_CLASSES
        task = "classification" if integral and few else "regression"
    if task == "regression" or not integral:
        return task, values
    return task, values.astype(np.int64)


def feature_frame(frame: pd.DataFrame, categorical: list[str], path: str) -> pd.DataFrame:
    """``frame``'s columns as features, converted in place: numbers stay numeric, text columns
    and ``categorical`` ones are split as categories, a column of numbers with stray cells is
    refused."""
    for name in categorical:
        column(frame, name, path)
    for name in frame.columns:
        series = frame[name]
        if _is_numeric(series):
            continue
        if name not in categorical:
            first_bad, n_bad = _non_numbers(series)
            if n_bad == 0:
                frame[name] = _as_numbers(series)  # numbers the reader left as text
                continue
            if 2 * n_bad <= series.notna().sum():
                fix = f"or --categorical {name!r} to split the column as categories"
                raise _stray_cell_error(series, f"column {name!r} of {path}", first_bad, fix)
        frame[name] = _as_categories(series)
    return frame


def pos_label_like(value, y: np.ndarray):
    """A pos_label typed from the command line, in the type of the target's labels."""
    if not isinstance(value, str) or y.dtype.kind not in "if":
        return value
    try:
        number = float(value)
    except ValueError:
        return value
    return int(number) if y.dtype.kind == "i" and number.is_integer() else number


def model_frame(est, path: str, delimiter: str, na_values) -> pd.DataFrame:
    """A fitted model's features read from ``path`` with the types it was fitted with: its
    columns by name, or all the file's columns by position when it has no names."""
    names = getattr(est, "feature_names_in_", None)
    names = None if names is None else [str(n) for n in names]
    text_at = [
        j for j, cats in enumerate(est.categories_)
        if cats is not None and cats.dtype.kind not in "biuf"
    ]  # fmt: skip
    frame = read_table(path, delimiter, na_values, [names[j] for j in text_at] if names else [])
    if names is None:
        if frame.shape[1] != est.n_features_in_:
            raise DataFileError(
                f"the model expects {est.n_features_in_} columns and has no column names; "
                f"{path} has {frame.shape[1]}"
            )
        names = list(frame.columns)
    text = [names[j] for j in text_at]
    for name in names:
        column(frame, name, path)
    for name, cats in zip(names, est.categories_, strict=True):
        series = frame[name]
        if name in text:
            frame[name] = _as_categories(series)
            continue
        if _is_numeric(series):
            continue
        first_bad, n_bad = _non_numbers(series)
        if n_bad and cats is None:
            fix = "as the model reads this column as numbers"
            raise _stray_cell_error(series, f"column {name!r} of {path}", first_bad, fix)
        frame[name] = _as_numbers(series)  # a cell that is no number is no known category
    features = frame if list(frame.columns) == names else frame[names]
    if getattr(est, "feature_names_in_", None) is None:
        features.columns = range(len(names))  # matched by position, as the model was fitted
    return features
