"""Ctrl-C during a long fit: the builder stops between nodes, joins its workers, raises
KeyboardInterrupt and keeps the previous tree. The signal comes from the kernel (an interval
timer), handled as Ctrl-C is."""

import signal
import time

import numpy as np
import pytest
from native_helpers import long_data, make, same

from ornik._ornik import RawClassifier, RawObjectiveClassifier, RawRegressor

DELAY = 0.4  # seconds from the start of the fit to the signal
ANSWER_WITHIN = 5.0  # generous: a loaded two-core machine, or a sanitized build


CASES = [  # class, settings, rows: each fit runs for seconds when left alone
    (RawRegressor, dict(mode="strict"), 100_000),
    (RawRegressor, dict(mode="fast"), 10**6),
    (RawRegressor, dict(mode="strict", parallel=True, n_threads=2), 100_000),
    (RawRegressor, dict(mode="fast", parallel=True, n_threads=2, parallel_min_samples=64), 10**6),
    (RawClassifier, dict(mode="strict", parallel=True, n_threads=2, n_classes=3), 100_000),
    (RawObjectiveClassifier, dict(mode="fast", n_classes=3, average="macro", n_bins=64), 2 * 10**6),
]
IDS = [f"{c.__name__}-{s['mode']}{'-parallel' * s.get('parallel', False)}" for c, s, _ in CASES]
ANSWERED = []  # seconds from each signal to the KeyboardInterrupt


@pytest.fixture(scope="module", autouse=True)
def summary(request):
    yield
    if ANSWERED:
        request.config.ornik_figures.append(
            f"interrupts: {len(ANSWERED)} long fits stopped at most {max(ANSWERED):.3f} s "
            "after the signal"
        )


@pytest.fixture
def restore_signals():
    alarm, interrupt = signal.getsignal(signal.SIGALRM), signal.getsignal(signal.SIGINT)
    yield
    signal.setitimer(signal.ITIMER_REAL, 0)
    signal.signal(signal.SIGALRM, alarm)
    signal.signal(signal.SIGINT, interrupt)


def interrupted_fit(est, x, y):
    """Runs est.fit(x, y) with a Ctrl-C sent DELAY seconds in; returns the seconds from the signal
    to the KeyboardInterrupt. Fails if the fit ends first."""
    signal.signal(signal.SIGALRM, signal.default_int_handler)
    finished, start = False, time.monotonic()
    try:
        signal.setitimer(signal.ITIMER_REAL, DELAY)
        est.fit(x, y)
        finished = True
        time.sleep(DELAY + ANSWER_WITHIN)  # a late signal lands here
    except KeyboardInterrupt:
        pass
    assert not finished, "the fit ended before the interrupt: make the data larger"
    return time.monotonic() - start - DELAY


@pytest.mark.parametrize("cls, settings, n", CASES, ids=IDS)
def test_interrupt_stops_a_long_fit_and_keeps_the_tree(restore_signals, cls, settings, n):
    small_x, small_y = long_data(cls, 300, seed=1)
    est = make(cls, **settings)
    est.fit(small_x, small_y)
    before, predicted = est.export_tree(), est.predict(small_x)
    answered = interrupted_fit(est, *long_data(cls, n))
    ANSWERED.append(answered)
    assert answered < ANSWER_WITHIN
    assert same(est.export_tree(), before)
    assert np.array_equal(est.predict(small_x), predicted)
    est.fit(small_x, small_y)  # workers were joined: the estimator fits again as before
    assert same(est.export_tree(), before)
