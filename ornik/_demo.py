"""``ornik demo``: cross-validated trees beside scikit-learn's on bundled datasets."""

from __future__ import annotations

import sys
import time

import numpy as np

DEPTH = 5
FOLDS = 5

# (name, loader, task) — all ship inside scikit-learn, nothing is downloaded.
_DATASETS = (
    ("breast_cancer", "load_breast_cancer", "classification"),
    ("iris", "load_iris", "classification"),
    ("wine", "load_wine", "classification"),
    ("digits", "load_digits", "classification"),
    ("diabetes", "load_diabetes", "regression"),
)


def _models(task: str):
    from sklearn.tree import DecisionTreeClassifier, DecisionTreeRegressor

    from ._estimators import ORNIKClassifier, ORNIKRegressor

    if task == "classification":
        return (
            ("ORNIKClassifier, strict", ORNIKClassifier(max_depth=DEPTH, mode="strict")),
            ("ORNIKClassifier, fast", ORNIKClassifier(max_depth=DEPTH, mode="fast")),
            ("DecisionTreeClassifier", DecisionTreeClassifier(max_depth=DEPTH, random_state=0)),
        )
    return (
        ("ORNIKRegressor, strict", ORNIKRegressor(max_depth=DEPTH, mode="strict")),
        ("ORNIKRegressor, fast", ORNIKRegressor(max_depth=DEPTH, mode="fast")),
        ("DecisionTreeRegressor", DecisionTreeRegressor(max_depth=DEPTH, random_state=0)),
    )


def run_demo(out=None) -> int:
    """Print the comparison table and the top of one tree; returns the exit code."""
    import sklearn.datasets
    from sklearn.model_selection import KFold, StratifiedKFold, cross_validate

    from . import __version__
    from ._explain import export_text

    out = sys.stdout if out is None else out
    started = time.perf_counter()
    print(
        f"ornik {__version__}: every split chosen by K-fold cross-validation.\n"
        f"{FOLDS}-fold cross-validated test score of trees of depth {DEPTH}, "
        "beside scikit-learn's tree.\n",
        file=out,
    )
    header = (
        f"{'dataset':<14} {'size':<8} {'metric':<9} {'model':<24} {'score':>14} {'fit time':>10}"
    )
    print(header, file=out)
    print("-" * len(header), file=out)
    shown = None
    for name, loader, task in _DATASETS:
        data = getattr(sklearn.datasets, loader)()
        X, y = data.data.astype(np.float64), data.target
        size = f"{X.shape[0]}×{X.shape[1]}"
        if task == "classification":
            cv = StratifiedKFold(FOLDS, shuffle=True, random_state=0)
            lead = f"{name:<14} {size:<8} {'accuracy':<9}"
        else:
            cv = KFold(FOLDS, shuffle=True, random_state=0)
            lead = f"{name:<14} {size:<8} {'R²':<9}"
        for model_name, model in _models(task):
            result = cross_validate(model, X, y, cv=cv)
            scores = result["test_score"]
            fit_ms = 1000 * float(np.mean(result["fit_time"]))
            score = f"{scores.mean():.3f} ± {scores.std():.3f}"
            print(f"{lead} {model_name:<24} {score:>14} {fit_ms:>7.1f} ms", file=out)
            lead = " " * len(lead)
        if shown is None:
            # Fit on the class names so that the leaves read in the data's own labels.
            named = np.asarray(data.target_names)[y]
            shown = (name, data.feature_names, _models(task)[0][1].fit(X, named))
    name, feature_names, tree = shown
    print(f"\nThe strict-mode tree on {name}, first two levels of splits:\n", file=out)
    print(export_text(tree, feature_names=[str(n) for n in feature_names], max_depth=2), file=out)
    print(f"(done in {time.perf_counter() - started:.1f} s)", file=out)
    return 0
