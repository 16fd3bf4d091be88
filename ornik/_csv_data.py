"""Reading CSV files for the command line: cells, column types, targets and matrices.

The csv module reads the files, so the command line works without pandas. Missing
cells ("", "NA", "NaN", "null", "None") are missing values; a column whose other
cells are all numbers is numeric, any other column holds text.
"""

from __future__ import annotations

import csv
import math

import numpy as np

_MISSING_TOKENS = frozenset({"", "na", "n/a", "nan", "null", "none"})
# Integer-valued numeric targets with at most this many distinct values are
# taken as class labels when the task is not given.
_MAX_INFERRED_CLASSES = 20


class DataFileError(ValueError):
    """A data file that cannot be used: unreadable, malformed, or without a needed column."""


class Table:
    """A CSV file as header names and one list of cell strings per column."""

    def __init__(self, path: str, delimiter: str = ","):
        self.path = path
        try:
            with open(path, newline="", encoding="utf-8-sig") as fh:
                reader = csv.reader(fh, delimiter=delimiter)
                header = next(reader, None)
                if header is None:
                    raise DataFileError(f"{path} is empty")
                rows = []
                for row in reader:
                    if not row:
                        continue
                    if len(row) != len(header):
                        raise DataFileError(
                            f"{path}, line {reader.line_num}: expected {len(header)} fields, "
                            f"found {len(row)}"
                        )
                    rows.append(row)
        except OSError as exc:
            raise DataFileError(f"cannot read {path}: {exc.strerror or exc}") from exc
        except (UnicodeDecodeError, csv.Error) as exc:
            raise DataFileError(f"cannot read {path}: {exc}") from exc
        self.names = [h.strip() for h in header]
        seen = set()
        for name in self.names:
            if name in seen:
                raise DataFileError(f"{path}: column {name!r} appears twice in the header")
            seen.add(name)
        self.columns = {name: [row[j] for row in rows] for j, name in enumerate(self.names)}
        self.n_rows = len(rows)

    def column(self, name: str) -> list[str]:
        if name not in self.columns:
            shown = ", ".join(self.names[:12]) + (", ..." if len(self.names) > 12 else "")
            raise DataFileError(f"column {name!r} not found in {self.path} (columns: {shown})")
        return self.columns[name]


def _is_missing(cell: str) -> bool:
    return cell.strip().lower() in _MISSING_TOKENS


def _to_numbers(cells: list[str]) -> np.ndarray | None:
    """The cells as float64 (missing tokens as NaN), or None if one is not a number."""
    try:
        return np.array([math.nan if _is_missing(c) else float(c) for c in cells], dtype=float)
    except ValueError:
        return None


def _to_text(cells: list[str]) -> np.ndarray:
    return np.array([None if _is_missing(c) else c.strip() for c in cells], dtype=object)


def _first_bad_number(cells: list[str]) -> str:
    for cell in cells:
        if not _is_missing(cell):
            try:
                float(cell)
            except ValueError:
                return cell
    return ""


def read_target(table: Table, name: str, task: str | None) -> tuple[str, np.ndarray]:
    """The task ("classification" or "regression"; inferred when None) and the target.

    A text target, or an integer one with few distinct values, is a classification
    target.
    """
    cells = table.column(name)
    missing = [i for i, c in enumerate(cells) if _is_missing(c)]
    if missing:
        raise DataFileError(
            f"target column {name!r} has {len(missing)} missing values "
            f"(first on data row {missing[0] + 1})"
        )
    numbers = _to_numbers(cells)
    integral = (
        numbers is not None
        and bool(np.all(np.isfinite(numbers)))
        and bool(np.all(numbers == np.round(numbers)))
    )
    if task is None:
        few = numbers is None or len(np.unique(numbers)) <= _MAX_INFERRED_CLASSES
        task = "classification" if numbers is None or (integral and few) else "regression"
    if task == "regression":
        if numbers is None:
            raise DataFileError(
                f"target column {name!r} is not numeric (found {_first_bad_number(cells)!r}); "
                "use --task classification"
            )
        return task, numbers
    if numbers is None:
        return task, _to_text(cells).astype(str)
    return task, numbers.astype(np.int64) if integral else numbers


def read_features(table: Table, names: list[str], categorical: list[str]):
    """The feature matrix and the categorical positions: text columns are categorical."""
    for name in categorical:
        table.column(name)
    positions, columns = [], []
    for j, name in enumerate(names):
        cells = table.column(name)
        numbers = _to_numbers(cells)
        if numbers is None:
            positions.append(j)
            columns.append(_to_text(cells))
        else:
            if name in categorical:
                positions.append(j)
            columns.append(numbers)
    if any(c.dtype == object for c in columns):
        X = np.empty((table.n_rows, len(names)), dtype=object)
        for j, c in enumerate(columns):
            X[:, j] = c
    else:
        X = np.column_stack(columns) if columns else np.empty((table.n_rows, 0))
    return X, positions


def pos_label_like(value, y: np.ndarray):
    """A pos_label typed from the command line, in the type of the target's labels."""
    if not isinstance(value, str) or y.dtype.kind not in "if":
        return value
    try:
        number = float(value)
    except ValueError:
        return value
    return int(number) if y.dtype.kind == "i" and number.is_integer() else number


def model_matrix(est, table: Table) -> np.ndarray:
    """The matrix of a fitted model's features: its columns by name, or all by position."""
    names = getattr(est, "feature_names_in_", None)
    if names is None:
        if len(table.names) != est.n_features_in_:
            raise DataFileError(
                f"the model expects {est.n_features_in_} columns and has no column names; "
                f"{table.path} has {len(table.names)}"
            )
        names = table.names
    columns = []
    for j, name in enumerate(names):
        cells = table.column(str(name))
        cats = est.categories_[j]
        if cats is not None and cats.dtype.kind not in "biuf":
            columns.append(_to_text(cells))
            continue
        numbers = _to_numbers(cells)
        if numbers is None:
            if cats is not None:
                # A value that is not a number cannot be a known category: missing.
                numbers = np.array(
                    [v if isinstance(v, float) else math.nan for v in map(_try_float, cells)]
                )
            else:
                raise DataFileError(
                    f"column {name!r} of {table.path} must be numeric, "
                    f"found {_first_bad_number(cells)!r}"
                )
        columns.append(numbers)
    X = np.empty((table.n_rows, len(columns)), dtype=object)
    for j, c in enumerate(columns):
        X[:, j] = c
    if all(c.dtype != object for c in columns):
        X = X.astype(np.float64)
    return X


def _try_float(cell: str):
    try:
        return float(cell)
    except ValueError:
        return None
