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
    cluster = dict(n_workers=2, threads_per_worker=1, host="127.0.0.1", dashboard_address=None)
    with distributed.LocalCluster(processes=True, **cluster) as c, distributed.Client(c) as client:
        with parallel_backend("dask"):
            search = GridSearchCV(ORNIKClassifier(), grid, cv=3).fit(X, y)
        # The workers imported ornik to unpickle the estimators they were sent.
        imported = client.run(lambda: "ornik._estimators" in sys.modules)
        assert len(imported) == 2 and all(imported.values())
        # A fitted tree travels back from a worker, and the best estimator predicts on one.
        remote = client.submit(lambda: ORNIKClassifier(max_depth=3).fit(X, y)).result()
        predicted = client.submit(lambda est: est.predict(X), search.best_estimator_).result()
    scores = [s.cv_results_["mean_test_score"] for s in (search, serial)]
    np.testing.assert_array_equal(*scores)
    np.testing.assert_array_equal(predicted, serial.predict(X))
    local = ORNIKClassifier(max_depth=3).fit(X, y)
    np.testing.assert_array_equal(remote.predict_proba(X), local.predict_proba(X))
