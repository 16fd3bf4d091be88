"""The native extension module `ornik._ornik`: estimator classes of the package's native core."""

from collections.abc import Callable, Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

__all__: list[str]

# Per-node lists of a fitted tree, as written by ``export_tree`` and read by ``from_tree``.
TreeDict = dict[str, Any]

class RawRegressor:
    """Native regression tree."""

    def __init__(
        self,
        criterion: str,
        max_depth: int | None,
        min_samples_split: int,
        min_samples_leaf: int,
        min_impurity_decrease: float,
        n_bins: int,
        cv_folds: int,
        cv_seed: int,
        cv_shuffle: bool,
        mode: str,
        split_style: str,
        aggregator: str,
        agg_frac: float,
        agg_eps: float,
        agg_lambda: float,
        parallel: bool,
        n_threads: int,
        parallel_min_samples: int,
        categorical: Sequence[int],
        *,
        cv_score: str = "impurity",
        cv_stop: str = "score",
    ) -> None: ...
    def fit(
        self,
        x: npt.NDArray[np.float64],
        y: npt.NDArray[np.float64],
        *,
        sample_weight: npt.NDArray[np.float64] | None = None,
        progress: Callable[[int, int], object] | None = None,
    ) -> None:
        """Grow the tree with the interpreter lock released.

        Any number of threads may use one estimator: its fits run one after the other
        (a second waits for the first), and a prediction or export running beside a
        fit sees the old tree or the new one, whole. ``progress(settled, total)``, when
        given, is called between nodes with the samples already settled in leaves
        (a few times a second at most) and once more at the end; an exception it
        raises ends the fit, keeping the old tree.
        """
    def predict(self, x: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]: ...
    def apply(self, x: npt.NDArray[np.float64]) -> npt.NDArray[np.intp]:
        """Id of the leaf that each row of x reaches, in the node numbering of `export_tree`."""
    def depth(self) -> int: ...
    def n_leaves(self) -> int: ...
    def export_tree(self) -> TreeDict: ...
    @staticmethod
    def from_tree(tree: TreeDict, categorical: Sequence[int]) -> RawRegressor:
        """Rebuild a fitted regressor from an `export_tree` dump (used to unpickle)."""

class RawClassifier:
    """Native classification tree. Targets are already label-encoded to `0..n`
    by the Python layer; class recovery happens there via `classes_`."""

    def __init__(
        self,
        n_classes: int,
        criterion: str,
        max_depth: int | None,
        min_samples_split: int,
        min_samples_leaf: int,
        min_impurity_decrease: float,
        n_bins: int,
        cv_folds: int,
        cv_seed: int,
        cv_shuffle: bool,
        mode: str,
        split_style: str,
        aggregator: str,
        agg_frac: float,
        agg_eps: float,
        agg_lambda: float,
        parallel: bool,
        n_threads: int,
        parallel_min_samples: int,
        categorical: Sequence[int],
        *,
        cv_score: str = "impurity",
        cv_stop: str = "score",
    ) -> None: ...
    def fit(
        self,
        x: npt.NDArray[np.float64],
        y: npt.NDArray[np.int_],
        *,
        sample_weight: npt.NDArray[np.float64] | None = None,
        progress: Callable[[int, int], object] | None = None,
    ) -> None:
        """Grow the tree with the interpreter lock released.

        Any number of threads may use one estimator: its fits run one after the other
        (a second waits for the first), and a prediction or export running beside a
        fit sees the old tree or the new one, whole. ``progress(settled, total)``, when
        given, is called between nodes with the samples already settled in leaves
        (a few times a second at most) and once more at the end; an exception it
        raises ends the fit, keeping the old tree.
        """
    def predict(self, x: npt.NDArray[np.float64]) -> npt.NDArray[np.int_]: ...
    def predict_proba(self, x: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]: ...
    def apply(self, x: npt.NDArray[np.float64]) -> npt.NDArray[np.intp]:
        """Id of the leaf that each row of x reaches, in the node numbering of `export_tree`."""
    def depth(self) -> int: ...
    def n_leaves(self) -> int: ...
    def export_tree(self) -> TreeDict: ...
    @staticmethod
    def from_tree(tree: TreeDict, n_classes: int, categorical: Sequence[int]) -> RawClassifier:
        """Rebuild a fitted classifier from an `export_tree` dump (used to unpickle)."""

class RawObjectiveClassifier:
    """Native classification tree that selects splits by a metric objective
    (precision/recall/F1/Fβ/accuracy) instead of impurity."""

    def __init__(
        self,
        n_classes: int,
        objective: str,
        average: str,
        pos_label: int,
        beta: float,
        max_depth: int | None,
        min_samples_split: int,
        min_samples_leaf: int,
        min_impurity_decrease: float,
        n_bins: int,
        cv_folds: int,
        cv_seed: int,
        cv_shuffle: bool,
        mode: str,
        split_style: str,
        aggregator: str,
        agg_frac: float,
        agg_eps: float,
        agg_lambda: float,
        parallel: bool,
        n_threads: int,
        parallel_min_samples: int,
        categorical: Sequence[int],
        *,
        cv_stop: str = "score",
    ) -> None: ...
    def fit(
        self,
        x: npt.NDArray[np.float64],
        y: npt.NDArray[np.int_],
        *,
        sample_weight: npt.NDArray[np.float64] | None = None,
        progress: Callable[[int, int], object] | None = None,
    ) -> None:
        """Grow the tree with the interpreter lock released.

        Any number of threads may use one estimator: its fits run one after the other
        (a second waits for the first), and a prediction or export running beside a
        fit sees the old tree or the new one, whole. ``progress(settled, total)``, when
        given, is called between nodes with the samples already settled in leaves
        (a few times a second at most) and once more at the end; an exception it
        raises ends the fit, keeping the old tree.
        """
    def predict(self, x: npt.NDArray[np.float64]) -> npt.NDArray[np.int_]: ...
    def predict_proba(self, x: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]: ...
    def apply(self, x: npt.NDArray[np.float64]) -> npt.NDArray[np.intp]:
        """Id of the leaf that each row of x reaches, in the node numbering of `export_tree`."""
    def depth(self) -> int: ...
    def n_leaves(self) -> int: ...
    def export_tree(self) -> TreeDict: ...
    @staticmethod
    def from_tree(
        tree: TreeDict, n_classes: int, categorical: Sequence[int]
    ) -> RawObjectiveClassifier:
        """Rebuild a fitted objective classifier from an `export_tree` dump. The
        objective plays no part in prediction, so a placeholder task is used."""
