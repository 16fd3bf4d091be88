"""Deterministic synthetic workloads for the benchmark.

Every workload is a float64 matrix of 20 columns and a target, generated from a fixed seed so
that two runs (or two machines) fit exactly the same data.
"""

from __future__ import annotations

from dataclasses import dataclass, field

import numpy as np
from sklearn.datasets import make_classification, make_friedman1

N_FEATURES = 20
N_CATEGORICAL = 5
N_LEVELS = 30
MISSING_RATE = 0.05


@dataclass(frozen=True)
class Workload:
    """One data set: `kind` names the generator, `task` is "classification" or "regression"."""

    kind: str
    task: str
    n_rows: int
    seed: int
    categorical: tuple[int, ...] = field(default=())

    @property
    def name(self) -> str:
        return f"{self.kind} {rows_label(self.n_rows)}×{N_FEATURES}"

    @property
    def n_features(self) -> int:
        return N_FEATURES


def rows_label(n: int) -> str:
    if n >= 1_000_000 and n % 1_000_000 == 0:
        return f"{n // 1_000_000}M"
    if n >= 1_000 and n % 1_000 == 0:
        return f"{n // 1_000}k"
    return str(n)


def classification(n_rows: int, seed: int = 7) -> Workload:
    return Workload("classification", "classification", n_rows, seed)


def regression(n_rows: int, seed: int = 11) -> Workload:
    return Workload("regression", "regression", n_rows, seed)


def mixed(n_rows: int, seed: int = 13) -> Workload:
    first = N_FEATURES - N_CATEGORICAL
    return Workload("mixed", "classification", n_rows, seed, tuple(range(first, N_FEATURES)))


def generate(w: Workload) -> tuple[np.ndarray, np.ndarray]:
    """Returns (x, y): x is C-ordered float64 (n_rows, 20); y is int64 labels or float64."""
    if w.kind == "classification":
        x, y = make_classification(
            n_samples=w.n_rows,
            n_features=N_FEATURES,
            n_informative=10,
            n_redundant=4,
            n_repeated=0,
            n_classes=2,
            flip_y=0.05,
            class_sep=1.0,
            random_state=w.seed,
        )
        return np.ascontiguousarray(x, dtype=np.float64), y.astype(np.int64)
    if w.kind == "regression":
        # Friedman #1 uses the first five columns; the other fifteen are pure noise.
        x, y = make_friedman1(
            n_samples=w.n_rows, n_features=N_FEATURES, noise=1.0, random_state=w.seed
        )
        return np.ascontiguousarray(x, dtype=np.float64), y.astype(np.float64)
    if w.kind == "mixed":
        return _mixed(w)
    raise ValueError(f"unknown workload kind {w.kind!r}")


def _mixed(w: Workload) -> tuple[np.ndarray, np.ndarray]:
    """15 numeric columns and 5 categorical ones of 30 levels, with missing values in both.

    Categories are non-negative integer-valued floats and missing entries are NaN. The label
    depends on five numeric columns and on per-level effects of every categorical column.
    """
    rng = np.random.default_rng(w.seed)
    n = w.n_rows
    n_numeric = N_FEATURES - N_CATEGORICAL
    numeric = rng.standard_normal((n, n_numeric))
    levels = rng.integers(0, N_LEVELS, size=(n, N_CATEGORICAL))
    effects = rng.normal(0.0, 1.0, size=(N_CATEGORICAL, N_LEVELS))
    logit = numeric[:, :5] @ np.array([1.0, -0.8, 0.6, 0.5, -0.4])
    logit += numeric[:, 5] * numeric[:, 6] * 0.5
    for j in range(N_CATEGORICAL):
        logit += effects[j, levels[:, j]]
    y = (rng.random(n) < 1.0 / (1.0 + np.exp(-logit))).astype(np.int64)

    x = np.empty((n, N_FEATURES), dtype=np.float64)
    x[:, :n_numeric] = numeric
    x[:, n_numeric:] = levels
    # Missing values after the label is drawn: half the numeric columns and every categorical one.
    holes = rng.random((n, N_FEATURES)) < MISSING_RATE
    holes[:, : n_numeric // 2] = False
    x[holes] = np.nan
    return x, y


def code_matrix(n_rows: int, n_features: int, n_bins: int, seed: int = 5) -> np.ndarray:
    """A Fortran-ordered uint16 matrix of bin codes, the shape of Fast mode's binned data."""
    rng = np.random.default_rng(seed)
    codes = np.empty((n_rows, n_features), dtype=np.uint16, order="F")
    for j in range(n_features):
        codes[:, j] = rng.integers(0, n_bins, size=n_rows, dtype=np.uint16)
    return codes
