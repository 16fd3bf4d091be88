"""Ctrl-C during a long fit: the builder stops between nodes, joins its workers, raises
KeyboardInterrupt and keeps the previous tree. The fit holds the interpreter lock, so no Python
thread can run until it returns: the signal comes from the kernel (an interval timer) or from
another process."""

import os
import signal
import subprocess
import time

import numpy as np
import pytest
from native_helpers import make, same

from ornik._ornik import RawClassifier, RawObjectiveClassifier, RawRegressor

DELAY = 0.4  # seconds from the start of the fit to the signal
ANSWER_WITHIN = 5.0  # generous: a loaded two-core machine, or a sanitized build


def long_data(cls, n, p=8, seed=0):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(n, p))
    y = x @ rng.normal(size=p) + rng.normal(size=n)
    if cls is not RawRegressor:  # noisy classes: the tree keeps growing
        y = np.digitize(y + 2.0 * rng.normal(size=n), [-1.0, 1.0]).astype(np.int_)
    return x, y


CASES = [
    # class, settings, rows: each fit runs for seconds when left alone.
    (RawRegressor, dict(mode="strict"), 100_000),
    (RawRegressor, dict(mode="fast"), 1_000_000),
    (RawRegressor, dict(mode="strict", parallel=True, n_threads=2), 100_000),
    (
        RawRegressor,
        dict(mode="fast", parallel=True, n_threads=2, parallel_min_samples=64),
        1_000_000,
    ),
    (RawClassifier, dict(mode="strict", parallel=True, n_threads=2, n_classes=3), 100_000),
    (RawObjectiveClassifier, dict(mode="fast", n_classes=3, average="macro", n_bins=64), 2_000_000),
]


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


def interrupted_fit(est, x, y, send):
    """Runs est.fit(x, y) with a Ctrl-C sent DELAY seconds in; returns the seconds from the signal
    to the KeyboardInterrupt. Fails if the fit ends first."""
    signal.signal(signal.SIGINT, signal.default_int_handler)
    finished = False
    sender = None
    start = time.monotonic()
    try:
        sender = send()
        est.fit(x, y)
        finished = True
        time.sleep(DELAY + ANSWER_WITHIN)  # a late signal lands here
    except KeyboardInterrupt:
        pass
    answered = time.monotonic() - start - DELAY
    if sender is not None:
        sender.wait()
    assert not finished, "the fit ended before the interrupt: make the data larger"
    return answered


def by_alarm():
    # SIGALRM at exactly DELAY, handled as Ctrl-C is.
    signal.signal(signal.SIGALRM, signal.default_int_handler)
    signal.setitimer(signal.ITIMER_REAL, DELAY)


def by_other_process():
    # A real SIGINT from outside, as a terminal sends it.
    return subprocess.Popen(["sh", "-c", f"sleep {DELAY}; kill -INT {os.getpid()}"])


def case_id(cls, settings, n, send):
    extra = "-parallel" if settings.get("parallel") else ""
    return f"{cls.__name__}-{settings['mode']}{extra}-{send.__name__}"


# Every case by the timer; one real SIGINT.
RUNS = [(*case, by_alarm) for case in CASES] + [(*CASES[1], by_other_process)]


@pytest.mark.parametrize("cls, settings, n, send", RUNS, ids=[case_id(*r) for r in RUNS])
def test_interrupt_stops_a_long_fit_and_keeps_the_tree(restore_signals, cls, settings, n, send):
    small_x, small_y = long_data(cls, 300, seed=1)
    est = make(cls, **settings)
    est.fit(small_x, small_y)
    before, predicted = est.export_tree(), est.predict(small_x)
    x, y = long_data(cls, n)

    answered = interrupted_fit(est, x, y, send)

    ANSWERED.append(answered)
    assert answered < ANSWER_WITHIN
    assert same(est.export_tree(), before)
    assert np.array_equal(est.predict(small_x), predicted)
    est.fit(small_x, small_y)  # workers were joined: the estimator fits again as before
    assert same(est.export_tree(), before)
