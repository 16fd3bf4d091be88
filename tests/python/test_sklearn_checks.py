"""scikit-learn's own estimator checks, for both estimators and both search modes."""

from sklearn.utils.estimator_checks import parametrize_with_checks

from ornik import ORNIKClassifier, ORNIKRegressor

ESTIMATORS = [
    ORNIKClassifier(max_depth=6),
    ORNIKClassifier(max_depth=6, mode="fast", objective="f1", average="macro"),
    ORNIKRegressor(max_depth=6),
    ORNIKRegressor(max_depth=6, mode="fast", split_style="bin", aggregator="median"),
]


@parametrize_with_checks(ESTIMATORS)
def test_sklearn_compatible(estimator, check):
    check(estimator)
