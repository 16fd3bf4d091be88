"""Threads and progress: the native calls release the interpreter lock, many threads can use
one estimator at once, each seeing a whole tree, and a fit reports its settled samples."""

import threading
import time

import numpy as np
import pytest
from native_helpers import long_data, make, same

import ornik._progress
from ornik import ORNIKRegressor
from ornik._ornik import RawClassifier, RawRegressor


@pytest.mark.parametrize("mode", ["strict", "fast"])
@pytest.mark.parametrize("cls", [RawRegressor, RawClassifier])
def test_many_threads_on_one_estimator_see_whole_trees(cls, mode):
    classes = {} if cls is RawRegressor else {"n_classes": 3}
    est = make(cls, mode=mode, parallel=True, n_threads=2, parallel_min_samples=64, **classes)
    sets = [long_data(cls, 1500, seed=seed) for seed in (1, 2)]
    x, grown, errors = sets[0][0], [], []  # grown: per set, its tree and its predictions of x
    for train in sets:
        est.fit(*train)  # a refit replaces the tree
        grown.append((est.export_tree(), est.predict(x)))
    assert not same(grown[0][0], grown[1][0])

    def hammer(first):
        try:
            for step in range(first, first + 12):
                if step % 3 == 0:
                    est.fit(*sets[step % 2])
                elif step % 3 == 1:  # one prediction, compared with both trees' predictions
                    predicted = est.predict(x)
                    assert any(np.array_equal(predicted, p) for _, p in grown)
                else:
                    tree = est.export_tree()
                    assert any(same(tree, t) for t, _ in grown)
                    copy = cls.from_tree(tree, *classes.values(), [])
                    predicted = copy.predict(x)
                    assert any(np.array_equal(predicted, p) for _, p in grown)
        except BaseException as e:  # reported by the main thread
            errors.append(e)

    threads = [threading.Thread(target=hammer, args=(i,)) for i in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []


@pytest.mark.parametrize("call", ["fit", "predict"])
def test_another_thread_runs_during_a_long_call(request, call):
    est = make(RawRegressor, mode="fast")
    x, y = long_data(RawRegressor, 100_000)
    if call == "predict":
        est.fit(x, y)
        x = np.tile(x, (3, 1))
    inside, done, ticks = threading.Event(), threading.Event(), []

    def tick():  # millisecond naps, counted while the call runs
        while not done.is_set():
            time.sleep(0.001)
            ticks.append(inside.is_set())

    ticker = threading.Thread(target=tick)
    ticker.start()
    inside.set()
    est.fit(x, y) if call == "fit" else est.predict(x)
    inside.clear()
    done.set()
    ticker.join()
    request.config.ornik_figures.append(
        f"threads: another thread napped {sum(ticks)} times during a {call}"
    )
    assert sum(ticks) >= 20  # a thread shut out by the lock naps at most once on each side


def test_progress_reports_the_settled_samples_and_can_end_the_fit():
    est = make(RawRegressor, mode="fast")
    x, y = long_data(RawRegressor, 100_000)
    calls = []
    est.fit(x, y, progress=lambda settled, total: calls.append((settled, total)))
    settled = [s for s, _ in calls]
    assert {t for _, t in calls} == {len(y)} and settled == sorted(settled)
    assert settled[-1] == len(y) and any(0 < s < len(y) for s in settled)
    before = est.export_tree()
    with pytest.raises(ZeroDivisionError):
        est.fit(x[:500], y[:500], progress=lambda settled, total: 1 / 0)
    with pytest.raises(
        TypeError, match="argument 'progress': expected a callable or None, got int"
    ):
        est.fit(x, y, progress=1)
    assert same(est.export_tree(), before)


@pytest.mark.parametrize("drawn_by", ["tqdm", "lines"])
def test_verbose_fit_shows_the_settled_share(monkeypatch, capsys, drawn_by):
    if drawn_by == "lines":
        monkeypatch.setattr(ornik._progress, "tqdm", None)
    x, y = long_data(RawRegressor, 3000)
    ORNIKRegressor(max_depth=3).fit(x, y)
    assert capsys.readouterr().err == ""
    ORNIKRegressor(max_depth=3, verbose=1).fit(x, y)
    err = capsys.readouterr().err
    assert "fitting ORNIKRegressor on 3000 rows × 8 columns" in err and "100%" in err
