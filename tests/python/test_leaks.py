"""10,000 calls of each method, on its success and on its failure paths: the process's resident
memory stays flat, and the inputs, the classes and NumPy's dtypes keep their reference counts."""

import gc
import os
import sys

import numpy as np
import pytest
from native_helpers import long_data, make

from ornik._ornik import RawClassifier, RawObjectiveClassifier, RawRegressor

ITERATIONS = 10_000
# A leak of 200 bytes a call would grow the process by 2 MB; pymalloc arenas and the C
# allocator's caches stay well below this bound once warm.
RSS_BOUND = 2 << 20
# AddressSanitizer keeps freed memory in quarantine, so resident memory is no measure there.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")


GROWTH = []  # resident memory growth of each case


@pytest.fixture(scope="module", autouse=True)
def summary(request):
    yield
    if GROWTH:
        request.config.ornik_figures.append(
            f"leaks: {len(GROWTH)} cases of {ITERATIONS} calls, resident memory grew by at most "
            f"{max(GROWTH) / 1024:+.0f} KiB"
        )


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def calls(cls):
    """name -> (call, objects whose reference counts must not move, exception it raises)."""
    x, y = long_data(cls, 60, p=3)  # a tree of a few splits
    x[::7, 1] = np.nan
    n_classes, categorical, narrow = [] if cls is RawRegressor else [3], [2], x[:, :1]
    est = make(cls, categorical=categorical, **({} if cls is RawRegressor else {"n_classes": 3}))
    est.fit(x, y)
    d = est.export_tree()
    bad = dict(d, lower=d["lower"][:-1] + ["x"])
    loop = dict(d, children_right=[0] + d["children_right"][1:])  # the root's right child
    lists = [v for v in d.values() if isinstance(v, list)]

    def load(tree):
        return cls.from_tree(tree, *n_classes, categorical)

    out = {
        "fit": (lambda: est.fit(x, y), [x, y], None),
        "predict": (lambda: est.predict(x), [x], None),
        "export_tree": (est.export_tree, [], None),
        "from_tree": (lambda: load(d), [d, categorical, *lists], None),
        "fit, wrong length": (lambda: est.fit(x, y[:-1]), [x, y], ValueError),
        "fit, wrong dtype": (lambda: est.fit(x, y.astype(np.float32)), [x], TypeError),
        "predict, too few columns": (lambda: est.predict(narrow), [narrow], ValueError),
        "from_tree, bad element": (lambda: load(bad), [bad, bad["lower"]], TypeError),
        "from_tree, cycle": (lambda: load(loop), [loop, loop["children_right"]], ValueError),
    }
    if cls is not RawRegressor:
        out["predict_proba"] = (lambda: est.predict_proba(x), [x], None)
    return out


CASES = [(cls, name) for cls in (RawRegressor, RawClassifier, RawObjectiveClassifier)
         for name in calls(cls)]  # fmt: skip


@pytest.mark.parametrize("cls, name", CASES, ids=[f"{c.__name__}-{n}" for c, n in CASES])
def test_ten_thousand_calls_keep_memory_and_references(cls, name):
    call, watched, raises = calls(cls)[name]
    watched = watched + [cls, np.dtype(np.float64), np.dtype(np.int_)]

    def run(times):
        for _ in range(times):
            try:
                call()
            except Exception as e:
                if raises is None or not isinstance(e, raises):
                    raise
            else:
                assert raises is None, f"{name} should raise {raises.__name__}"

    run(ITERATIONS // 10)  # warm caches and pools
    gc.collect()
    refs = [sys.getrefcount(o) for o in watched]

    def growth():
        before = rss()
        run(ITERATIONS)
        gc.collect()
        return rss() - before

    grown = growth()
    if grown >= RSS_BOUND:  # a leak grows again; a one-off arena or cache does not
        grown = growth()
    assert [sys.getrefcount(o) for o in watched] == refs
    if SANITIZED:
        return
    GROWTH.append(grown)
    assert grown < RSS_BOUND
