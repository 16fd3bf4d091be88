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
    # Before pandas 3 the C reader's default float parser may miss the nearest double.
    exact = {"float_precision": "round_trip"} if engine == "c" and _PANDAS_MAJOR < 3 else {}
    try:
        frame = pd.read_csv(
            path,
            sep=delimiter,
            na_values=list(na_values),
            dtype=text or None,
            engine=engine,
            encoding="utf-8-sig",
            **exact,
        )
    except OSError as exc:
        raise DataFileError(f"cannot read {path}: {exc.strerror or exc}") from exc
    except ValueError as exc:  # malformed rows, bad encoding
        raise DataFileError(f"cannot read {path}: {str(exc).splitlines()[0]}") from exc
    frame.columns = [str(c).strip() for c in frame.columns]
    return frame


def column(frame: pd.DataFrame, name: str, path: str) -> pd.Series:
    if name not in frame.columns:
        names = list(frame.columns)
        shown = ", ".join(names[:12]) + (", ..." if len(names) > 12 else "")
        raise DataFileError(f"column {name!r} not found in {path} (columns: {shown})")
    return frame[name]


def _numbers(series: pd.Series) -> tuple[pd.Series, int]:
    """The cells as numbers (NaN where not one) and the position of the first present cell that
    is not a number (-1 when all are)."""
    if pd.api.types.is_numeric_dtype(series.dtype):
        return series, -1
    numbers = pd.to_numeric(series, errors="coerce")
    bad = np.flatnonzero(numbers.isna().to_numpy() & series.notna().to_numpy())
    return numbers, int(bad[0]) if bad.size else -1


def stray_cell_error(series: pd.Series, where: str, first: int, fix: str) -> DataFileError:
    value = series.iloc[first]
    return DataFileError(
        f"{where} holds numbers, but data row {first + 1} is {value!r}: give --na-values "
        f"{str(value).strip()!r} if that marks a missing value, {fix}"
    )


def _mostly_numbers(numbers: pd.Series, series: pd.Series) -> bool:
    return 2 * int(numbers.notna().sum()) >= int(series.notna().sum())


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
    numbers, first_bad = _numbers(series)
    if first_bad >= 0 and task != "classification" and _mostly_numbers(numbers, series):
        raise stray_cell_error(
            series,
            f"target column {name!r}",
            first_bad,
            "or --task classification to take the cells as class labels",
        )
    if first_bad >= 0:
        if task == "regression":
            raise DataFileError(
                f"target column {name!r} is not numeric (found {series.iloc[first_bad]!r}); "
                "use --task classification"
            )
        return "classification", series.to_numpy(dtype=str)
    values = numbers.to_numpy(dtype=np.float64, copy=True)
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
        if name in categorical:
            continue
        series = frame[name]
        numbers, first_bad = _numbers(series)
        if first_bad < 0 and numbers is not series:
            frame[name] = numbers
        elif first_bad >= 0 and _mostly_numbers(numbers, series):
            raise stray_cell_error(
                series,
                f"column {name!r} of {path}",
                first_bad,
                f"or --categorical {name!r} to split the column as categories",
            )
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
    text = [] if names is None else [
        n for n, cats in zip(names, est.categories_, strict=True)
        if cats is not None and cats.dtype.kind not in "biuf"
    ]  # fmt: skip
    frame = read_table(path, delimiter, na_values, text)
    if names is None:
        if frame.shape[1] != est.n_features_in_:
            raise DataFileError(
                f"the model expects {est.n_features_in_} columns and has no column names; "
                f"{path} has {frame.shape[1]}"
            )
        names = list(frame.columns)
    for name in names:
        column(frame, name, path)
    for name, cats in zip(names, est.categories_, strict=True):
        series = frame[name]
        numbers, first_bad = _numbers(series)
        if name in text or numbers is series:
            continue
        if first_bad >= 0 and cats is None:
            raise stray_cell_error(
                series,
                f"column {name!r} of {path}",
                first_bad,
                "as the model reads this column as numbers",
            )
        frame[name] = numbers  # a cell that is no number is no known category: missing
    features = frame if list(frame.columns) == names else frame[names]
    if getattr(est, "feature_names_in_", None) is None:
        features.columns = range(len(names))  # matched by position, as the model was fitted
    return features
