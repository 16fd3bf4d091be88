"""A hyper-parameter search spread over a local Dask cluster of worker processes."""

import sys

import numpy as np
import pytest
from joblib import parallel_backend
from sklearn.datasets import load_breast_cancer
from sklearn.model_selection import GridSearchCV

from ornik import ORNIKClassifier

distributed = pytest.importorskip("dask.distributed")


def test_grid_search_on_a_dask_cluster():
    X, y = load_breast_cancer(return_X_y=True)
    grid = {"max_depth": [2, 4], "mode": ["strict", "fast"], "aggregator": ["mean", "median"]}
    serial = GridSearchCV(ORNIKClassifier(), grid, cv=3).fit(X, y)

    with (
        distributed.LocalCluster(
            n_workers=2,
            threads_per_worker=1,
            processes=True,
            host="127.0.0.1",
            dashboard_address=None,
        ) as cluster,
        distributed.Client(cluster) as client,
    ):
        with parallel_backend("dask"):
            search = GridSearchCV(ORNIKClassifier(), grid, cv=3, refit=True).fit(X, y)
        # The fits ran in the worker processes, which had to import ornik to unpickle
        # the estimators they were sent.
        imported = client.run(lambda: "ornik._estimators" in sys.modules)
        assert len(imported) == 2 and all(imported.values())
        # Fitted trees travel both ways: one fitted on a worker comes back, and the
        # search's best estimator predicts on a worker.
        remote = client.submit(lambda: ORNIKClassifier(max_depth=3).fit(X, y)).result()
        remote_predictions = client.submit(lambda est: est.predict(X), search.best_estimator_)
        remote_predictions = remote_predictions.result()

    np.testing.assert_array_equal(
        search.cv_results_["mean_test_score"], serial.cv_results_["mean_test_score"]
    )
    assert search.best_params_ == serial.best_params_
    np.testing.assert_array_equal(search.predict(X), serial.predict(X))
    np.testing.assert_array_equal(remote_predictions, serial.predict(X))
    local = ORNIKClassifier(max_depth=3).fit(X, y)
    np.testing.assert_array_equal(remote.predict_proba(X), local.predict_proba(X))
