"""scikit-learn's own estimator checks, for both estimators and both search modes."""

from sklearn.utils.estimator_checks import parametrize_with_checks

from ornik import ORNIKClassifier, ORNIKRegressor

ESTIMATORS = [
    ORNIKClassifier(max_depth=6),
    ORNIKClassifier(max_depth=6, mode="fast", objective="f1", average="macro"),
    ORNIKRegressor(max_depth=6),
    ORNIKRegressor(max_depth=6, mode="fast", split_style="bin", aggregator="median"),
]
# Folds and bins count samples: a repeated row can land in two folds where its weight cannot,
# and a zero-weight row still takes its place in the folds and the bins.
FOLDS_COUNT_SAMPLES = {
    "check_sample_weight_equivalence_on_dense_data": "folds and bins count samples, not weights"
}


@parametrize_with_checks(ESTIMATORS, expected_failed_checks=lambda _: FOLDS_COUNT_SAMPLES)
def test_sklearn_compatible(estimator, check):
    check(estimator)
