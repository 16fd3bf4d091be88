"""The contenders: each is built with the same depth, bin count and thread count, and offers
`fit(x, y)` and `predict(x)`. Imports happen inside the builders so a child process loads only
the library it measures.
"""

from __future__ import annotations

import functools
from dataclasses import dataclass

import numpy as np

DEPTH = 8
CV_FOLDS = 5

NAMES = {
    "fast": "ornik Fast",
    "fast_weighted": "ornik Fast, weighted",
    "strict": "ornik Strict",
    "dt": "DecisionTree",
    "hgb": "HistGradientBoosting",
    "lgbm": "LightGBM",
}


@dataclass(frozen=True)
class Setting:
    task: str  # "classification" or "regression"
    n_bins: int
    threads: int
    categorical: tuple[int, ...]


def display_name(key: str) -> str:
    return NAMES[key]


def lightgbm_available() -> bool:
    try:
        import lightgbm  # noqa: F401
    except ImportError:
        return False
    return True


def build(key: str, s: Setting):
    return {
        "fast": lambda: _Ornik(s, "fast"),
        "fast_weighted": lambda: _Ornik(s, "fast", weighted=True),
        "strict": lambda: _Ornik(s, "strict"),
        "dt": lambda: _DecisionTree(s),
        "hgb": lambda: _HistGradientBoosting(s),
        "lgbm": lambda: _LightGBM(s),
    }[key]()


@functools.lru_cache(maxsize=1)
def _weights(n: int):
    """Seeded weights in [0.5, 1.5), every sample weighing differently; made once per size."""
    return np.random.default_rng(7).uniform(0.5, 1.5, size=n)


class _Ornik:
    """The native estimator classes, called directly (no Python wrapper in the timed path)."""

    def __init__(self, s: Setting, mode: str, weighted: bool = False):
        from ornik import _ornik

        self.weighted = weighted
        common = dict(
            max_depth=DEPTH,
            min_samples_split=2,
            min_samples_leaf=1,
            min_impurity_decrease=0.0,
            n_bins=s.n_bins,
            cv_folds=CV_FOLDS,
            cv_seed=42,
            cv_shuffle=True,
            mode=mode,
            split_style="threshold",
            aggregator="mean",
            agg_frac=0.1,
            agg_eps=1e-9,
            agg_lambda=1.0,
            parallel=s.threads > 1,
            n_threads=s.threads,
            parallel_min_samples=512,
            categorical=list(s.categorical),
        )
        if s.task == "classification":
            self.model = _ornik.RawClassifier(n_classes=2, criterion="gini", **common)
        else:
            self.model = _ornik.RawRegressor(criterion="mse", **common)

    def fit(self, x, y):
        if not self.weighted:
            self.model.fit(x, y)
            return
        self.model.fit(x, y, sample_weight=_weights(len(y)))

    def predict(self, x):
        return self.model.predict(x)

    @property
    def apply(self):
        # Leaf ids, from builds whose native classes have them.
        return self.model.apply


class _DecisionTree:
    """scikit-learn's exact-split tree; categories are plain numeric codes, NaN is missing."""

    def __init__(self, s: Setting):
        from sklearn.tree import DecisionTreeClassifier, DecisionTreeRegressor

        cls = DecisionTreeClassifier if s.task == "classification" else DecisionTreeRegressor
        self.model = cls(max_depth=DEPTH, random_state=0)

    def fit(self, x, y):
        self.model.fit(x, y)

    def predict(self, x):
        return self.model.predict(x)


class _HistGradientBoosting:
    """One boosting iteration of scikit-learn's histogram GBM, with native categorical support.

    Its thread count comes from OMP_NUM_THREADS, which the parent sets for every child.
    """

    def __init__(self, s: Setting):
        from sklearn.ensemble import (
            HistGradientBoostingClassifier,
            HistGradientBoostingRegressor,
        )

        cls = (
            HistGradientBoostingClassifier
            if s.task == "classification"
            else HistGradientBoostingRegressor
        )
        self.model = cls(
            max_iter=1,
            max_depth=DEPTH,
            max_leaf_nodes=None,
            early_stopping=False,
            max_bins=min(s.n_bins, 255),
            categorical_features=list(s.categorical) or None,
            random_state=0,
        )

    def fit(self, x, y):
        self.model.fit(x, y)

    def predict(self, x):
        return self.model.predict(x)


class _LightGBM:
    """One boosting round; building the Dataset (LightGBM's binning) is part of fit."""

    def __init__(self, s: Setting):
        import lightgbm

        self.lgb = lightgbm
        self.categorical = list(s.categorical) or "auto"
        self.params = {
            "objective": "binary" if s.task == "classification" else "regression",
            "max_depth": DEPTH,
            "num_leaves": 2**DEPTH,
            "min_data_in_leaf": 1,
            "max_bin": s.n_bins,
            "num_threads": s.threads,
            "seed": 0,
            "verbose": -1,
        }
        self.booster = None

    def fit(self, x, y):
        data = self.lgb.Dataset(
            x, label=y, categorical_feature=self.categorical, params=self.params
        )
        self.booster = self.lgb.train(self.params, data, num_boost_round=1)

    def predict(self, x):
        # Binary: the probability of class 1 (thresholding it would add a negligible pass).
        return self.booster.predict(x, num_threads=self.params["num_threads"])
