"""10,000 calls of each method, on its success and on its failure paths: the process's resident
memory stays flat, and the inputs, the classes and NumPy's dtypes keep their reference counts."""

import gc
import os
import sys

import numpy as np
import pytest
from native_helpers import leaf, make, num, tree_dict

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


def inputs(cls):
    rng = np.random.default_rng(0)
    x = rng.normal(size=(40, 3))
    x[::7, 1] = np.nan
    if cls is RawRegressor:
        y = x[:, 0] + (x[:, 2] > 0)
    else:
        y = (x[:, 0] > 0).astype(np.int_) + (x[:, 2] > 0.5)
    return x, y


def import_args(cls, tree, categorical):
    return (tree, categorical) if cls is RawRegressor else (tree, 3, categorical)


def calls(cls):
    """name -> (call, objects whose reference counts must not move, exception it raises)."""
    x, y = inputs(cls)
    est = make(cls, n_classes=3, categorical=[2]) if cls is not RawRegressor else make(cls)
    est.fit(x, y)
    d = est.export_tree()
    categorical = [2]
    narrow = x[:, :1]
    bad_element = dict(d, lower=d["lower"][:-1] + ["x"])
    looping = tree_dict(num(0, None, 0.5, leaf(1.0), leaf(2.0)))
    looping["children_right"][0] = 0
    if cls is not RawRegressor:
        looping["predicted_class"], looping["proba"] = [0] * 3, [[1.0]] * 3
    out = {
        "fit": (lambda: est.fit(x, y), [x, y], None),
        "predict": (lambda: est.predict(x), [x], None),
        "export_tree": (lambda: est.export_tree(), [], None),
        "from_tree": (
            lambda: cls.from_tree(*import_args(cls, d, categorical)),
            [d, categorical] + [v for v in d.values() if isinstance(v, list)],
            None,
        ),
        "fit, wrong length": (lambda: est.fit(x, y[:-1]), [x, y], ValueError),
        "fit, wrong dtype": (lambda: est.fit(x, y.astype(np.float32)), [x], TypeError),
        "predict, too few columns": (lambda: est.predict(narrow), [narrow], ValueError),
        "from_tree, bad element": (
            lambda: cls.from_tree(*import_args(cls, bad_element, categorical)),
            [bad_element, bad_element["lower"]],
            TypeError,
        ),
        "from_tree, cycle": (
            lambda: cls.from_tree(*import_args(cls, looping, categorical)),
            [looping, looping["children_right"]],
            ValueError,
        ),
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

    run(ITERATIONS // 10)  # warm caches and pools
    gc.collect()
    refs = [sys.getrefcount(o) for o in watched]
    before = rss()
    run(ITERATIONS)
    gc.collect()
    grown = rss() - before
    assert [sys.getrefcount(o) for o in watched] == refs
    if SANITIZED:
        return
    GROWTH.append(grown)
    assert grown < RSS_BOUND
