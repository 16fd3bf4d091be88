"""Hostile inputs drawn by hypothesis. Every call of the native classes either returns a result
of the right shape and content or raises an ordinary Python exception with its documented
message, and the process survives. The calls run in a child process (crash_guard), so a crash
fails the test with the drawn input instead of ending the run.

ORNIK_HOSTILE_EXAMPLES multiplies the number of drawn cases (default 1)."""

import math
import os
import re
from collections import Counter

import numpy as np
import pytest
from crash_guard import ChildDied, CrashGuard
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp
from native_helpers import ARGS, KEYWORDS, cat, leaf, num, route, same, tree_dict

from ornik._ornik import RawClassifier, RawObjectiveClassifier, RawRegressor

KINDS = {c.__name__: c for c in (RawRegressor, RawClassifier, RawObjectiveClassifier)}
SCALE = max(1, int(os.environ.get("ORNIK_HOSTILE_EXAMPLES", "1")))
U64 = 2**64 - 1
CASES = Counter()  # outcome -> cases run


def hostile(n):
    # derandomize: the same draws on every run, so a red run can be repeated as it was
    return settings(max_examples=n * SCALE, deadline=None, database=None, print_blob=True,
                    derandomize=True, suppress_health_check=list(HealthCheck))  # fmt: skip


@pytest.fixture(scope="module")
def guard(request):
    g = CrashGuard()
    yield g
    g.close()
    parts = ", ".join(f"{n} {o}" for o, n in sorted(CASES.items()))
    request.config.ornik_figures.append(f"hostile inputs: {parts}; child restarts {g.restarts}")


def outcome(test, reply):
    CASES[f"{test} {reply[0] if reply[0] == 'returned' else 'raised ' + reply[1]}"] += 1
    return reply


NUMBERS = st.one_of(
    st.integers(-3, 6).map(float),
    st.floats(allow_nan=True, allow_infinity=True),
    st.sampled_from([math.nan, math.inf, -math.inf, -0.0, 1e308, -1e308, 5e-324, 4294967295.5]),
)


# Memory layouts of the same matrix ("broadcast" repeats the first row), then wrong arguments.
# They are built in the child: pickling would lose the layout.
LAYOUTS = {
    "unaligned": lambda v: np.ndarray(v.shape, buffer=bytearray(b"\0" + v.tobytes()), offset=1),
    "C": lambda v: v, "F": np.asfortranarray, "readonly": lambda v: np.broadcast_to(v, v.shape),
    "rows_strided": lambda v: np.repeat(v, 2, axis=0)[::2],
    "cols_strided": lambda v: np.repeat(v, 2, axis=1)[:, ::2],
    "reversed": lambda v: np.ascontiguousarray(v[::-1, ::-1])[::-1, ::-1],
    "broadcast": lambda v: np.broadcast_to(v[:1], v.shape) if len(v) else v,
}  # fmt: skip
BAD_X = {t: lambda v, t=t: v.astype(t) for t in ["float32", "object", "complex128", ">f8"]}
BAD_X |= {"int64": lambda v: np.nan_to_num(v).clip(-9, 9).astype(np.int64), "bool": lambda v: v > 0,
          "list": lambda v: v.tolist(), "1d": np.ravel, "3d": lambda v: v[..., None],
          "none": lambda v: None}  # fmt: skip


def make_x(values, kind):
    with np.errstate(all="ignore"):
        return {**LAYOUTS, **BAD_X}[kind](values)


def chance(percent):
    # Draws lean towards the low bound of a range: count from the top so that it is a miss.
    return st.integers(0, 99).map(lambda r: r >= 100 - percent)


@st.composite
def matrices(draw, max_rows=30, max_cols=6, bad=12):
    n = draw(st.integers(0, max_rows))
    p = 0 if draw(chance(4)) else draw(st.integers(1, max_cols))
    values = draw(hnp.arrays(np.float64, (n, p), elements=NUMBERS))
    return values, draw(st.sampled_from(sorted(BAD_X if draw(chance(bad)) else LAYOUTS)))


# Under AddressSanitizer a failed allocation ends the process (its operator new does not throw),
# so there only sizes past what any vector may hold are drawn; they fail before allocating.
HUGE = [2**62, 2**63, U64] + ([] if "libasan" in os.environ.get("LD_PRELOAD", "") else [2**40])
FLOATS = st.one_of(st.floats(-2, 2), st.floats(allow_nan=True, allow_infinity=True))
CRITERIA = {True: ["mse", "variance", "mae"], False: ["gini", "entropy"]}  # by regression or not
AGGREGATORS = ["mean", "median", "trimmed_mean", "signal_to_noise", "mean_minus_lambda_std"]


def unsigned(small):
    """Mostly 0..small; one draw in twenty a huge value (mid-sized counts would allocate
    gigabytes and succeed)."""
    return chance(5).flatmap(lambda h: st.sampled_from(HUGE) if h else st.integers(0, small))


@st.composite
def settings_for(draw, name):
    s = {
        k: draw(v)
        for k, v in dict(
            max_depth=st.one_of(st.none(), unsigned(12)), min_samples_split=unsigned(30),
            min_samples_leaf=unsigned(15), min_impurity_decrease=st.one_of(st.just(0.0), FLOATS),
            n_bins=unsigned(300), cv_folds=unsigned(12), cv_seed=st.integers(0, U64),
            cv_shuffle=st.booleans(), mode=st.sampled_from(["strict", "fast"]),
            split_style=st.sampled_from(["threshold", "bin", "bin_membership"]),
            aggregator=st.sampled_from(AGGREGATORS), agg_frac=FLOATS, agg_eps=FLOATS,
            agg_lambda=FLOATS, parallel=st.booleans(), n_threads=unsigned(4),
            parallel_min_samples=unsigned(40),
            categorical=st.lists(st.one_of(st.integers(0, 8), st.just(2**63)), max_size=4),
            criterion=st.sampled_from(CRITERIA[name == "RawRegressor"]),
            n_classes=unsigned(6), pos_label=unsigned(6), beta=FLOATS,
            objective=st.sampled_from(["accuracy", "precision", "recall", "f1", "fbeta"]),
            average=st.sampled_from(["binary", "micro", "macro", "weighted"]),
        ).items()
        if k in ARGS[KINDS[name]]
    }  # fmt: skip
    choices = {"cv_score": ["impurity", "loss"], "cv_stop": ["score", "selection"]}
    return s | {k: draw(st.sampled_from(choices[k])) for k in KEYWORDS[KINDS[name]]}


def run_fit(name, params, values, x_kind, y):
    cls, x, regression = KINDS[name], make_x(values, x_kind), name == "RawRegressor"
    est, copy = cls(**params), cls(**params)
    est.fit(x, y)
    copy.fit(np.ascontiguousarray(x), y)
    tree = est.export_tree()
    n_classes = [] if regression else [params["n_classes"]]
    back = cls.from_tree(tree, *n_classes, params["categorical"])
    return dict(tree=tree, depth=est.depth(), n_leaves=est.n_leaves(), predict=est.predict(x),
                proba=None if regression else est.predict_proba(x), copy_tree=copy.export_tree(),
                back=(back.export_tree(), back.predict(x)))  # fmt: skip


@st.composite
def fit_cases(draw):
    name = draw(st.sampled_from(list(KINDS)))
    values, x_kind = draw(matrices())
    m = values.shape[0] if not draw(chance(8)) else draw(st.integers(0, 35))
    if name == "RawRegressor":
        y = draw(hnp.arrays(np.float64, m, elements=NUMBERS))
    else:
        labels = st.one_of(st.integers(-3, 8), st.sampled_from([-(2**63), 2**63 - 1]))
        y = draw(hnp.arrays(np.int_, m, elements=labels))
    y_kind = "right" if not draw(chance(6)) else draw(st.sampled_from(["f4", "i4", "2d", "list"]))
    with np.errstate(all="ignore"):
        y = dict(f4=y.astype("f4"), i4=y.astype("i4"), list=y.tolist(), right=y)
        y = y.get(y_kind, y["right"].reshape(-1, 1))
    return name, draw(settings_for(name)), values, x_kind, y


def expected_fit_error(name, params, values, x_kind, y):
    """The error fit must raise, None when it must succeed, "memory" when a huge setting may
    exhaust memory (or hit a fast-mode limit) instead."""
    n, p = values.shape
    y_dtype = np.float64 if name == "RawRegressor" else np.int_
    if x_kind not in LAYOUTS:
        return TypeError, "argument 'x': "
    if not (isinstance(y, np.ndarray) and y.ndim == 1 and y.dtype == y_dtype):
        return TypeError, "argument 'y': "
    if p == 0:
        return ValueError, "need at least one feature column"
    if len(y) != n:
        return ValueError, f"targets length {len(y)} does not match {n} samples"
    if n == 0:
        return ValueError, "need at least one sample"
    if params["mode"] == "fast" and params.get("criterion") == "mae":
        return ValueError, "this task (e.g. MAE) is not supported in SplitMode::Fast; use Strict"
    return "memory" if max(params["n_bins"], params.get("n_classes", 0)) > 2**32 else None


@hostile(400)
@given(case=fit_cases())
def test_fit_on_hostile_data_and_settings(guard, case):
    name, params, values, x_kind, y = case
    reply = outcome("fit", guard.call(run_fit, name, params, values, x_kind, y))
    want = expected_fit_error(*case)
    if reply[0] == "raised":
        if want == "memory":
            assert reply[1] == "MemoryError" or "exceed fast-mode limit" in reply[2], reply
        else:
            assert want is not None, reply
            assert (reply[1], reply[2][: len(want[1])]) == (want[0].__name__, want[1])
        return
    assert want in (None, "memory"), f"fit should have raised {want}"
    out, n = reply[1], values.shape[0]
    tree = out["tree"]
    assert tree["node_count"] == len(tree["is_leaf"]) == 2 * out["n_leaves"] - 1
    assert tree["n_samples"][0] == n  # every row reaches one leaf
    assert params["max_depth"] is None or out["depth"] <= params["max_depth"]
    for i in np.flatnonzero(~np.array(tree["is_leaf"])):
        sides = [tree["n_samples"][tree[k][i]] for k in ("children_left", "children_right")]
        assert tree["n_samples"][i] >= params["min_samples_split"]
        assert min(sides) >= max(params["min_samples_leaf"], 1)
    assert same(out["back"][0], tree) and same(out["copy_tree"], tree)
    pred = out["predict"]
    assert pred.shape == (n,) and np.array_equal(pred, out["back"][1], equal_nan=True)
    if name == "RawRegressor":
        if np.all(np.abs(y) < 1e300):  # finite targets: every prediction is a mean of some
            slack = 1e-9 * max(np.abs(y).max(), 1.0)
            assert np.all((pred >= y.min() - slack) & (pred <= y.max() + slack))
        return
    k = max(params["n_classes"], 1)
    assert pred.dtype == np.int_ and np.all((pred >= 0) & (pred < k))
    proba = out["proba"]
    assert proba.shape == (n, k) and np.all(np.isfinite(proba))
    assert np.all(np.isin(proba.sum(axis=1).round(9), [0.0, 1.0]))


JUNK = [None, "x", "", "\x00\ud800", b"\x00", 1, 0, -1, True, 1.5, math.nan, 2**64, -(2**63) - 1]
JUNK += [[], {}, (3, 1), [1, -1], np.int64(3), np.bool_(True), np.float32(2.0), np.uint64(U64)]


def run_construct_and_fit(name, args):
    est = KINDS[name](**args)
    y = np.arange(8.0) if name == "RawRegressor" else np.arange(8) % 2
    est.fit(np.arange(24.0).reshape(8, 3) % 5, y)


@st.composite
def junk_arguments(draw):
    name = draw(st.sampled_from(list(KINDS)))
    args = {**ARGS[KINDS[name]], **KEYWORDS[KINDS[name]]}
    for key in draw(st.lists(st.sampled_from(sorted(args)), min_size=1, max_size=3, unique=True)):
        args[key] = draw(st.sampled_from(JUNK + ["mean", "01"]))
    return name, args


@hostile(200)
@given(case=junk_arguments())
def test_constructors_take_junk_in_any_argument(guard, case):
    reply = outcome("junk arguments", guard.call(run_construct_and_fit, *case))
    if reply[0] == "raised":
        assert reply[1] in ("TypeError", "ValueError", "OverflowError", "MemoryError"), reply
        if reply[2].startswith("argument '"):
            assert reply[2].split("'")[1] in case[1]


def trees(n_classes):
    """Nested trees (native_helpers form) with feature positions 0..7."""
    probas = st.lists(st.floats(0, 1), max_size=(n_classes or 0) + 2)
    payload = NUMBERS if n_classes is None else st.tuples(st.integers(-3, n_classes + 2), probas)
    bounds = st.one_of(st.none(), NUMBERS)
    categories = st.one_of(st.integers(0, 5), st.integers(-(2**40), 2**40))
    return st.recursive(
        st.builds(leaf, payload, st.integers(0, 50)),
        lambda kids: st.one_of(
            st.builds(num, st.integers(0, 7), bounds, bounds, kids, kids),
            st.builds(cat, st.integers(0, 7), categories, kids, kids),
        ),
        max_leaves=40,
    )


def as_imported(node):
    """The tree as the import reads it: categories by their low 32 bits, negative classes 0."""
    if node[0] == "leaf":
        payload = (max(node[1][0], 0), node[1][1]) if isinstance(node[1], tuple) else node[1]
        return ("leaf", payload, node[2])
    head = (*node[:2], node[2] & 0xFFFFFFFF) if node[0] == "cat" else node[:4]
    return head + tuple(map(as_imported, node[-2:]))


def run_import_and_predict(name, d, n_classes, categorical, values, x_kind):
    est = KINDS[name].from_tree(d, *([] if n_classes is None else [n_classes]), categorical)
    calls = {}
    for method in ["predict", "predict_proba"][: 1 if n_classes is None else 2]:
        try:
            calls[method] = ("returned", getattr(est, method)(make_x(values, x_kind)))
        except Exception as e:
            calls[method] = ("raised", type(e).__name__, str(e))
    return {"tree": est.export_tree(), "n_leaves": est.n_leaves(), "calls": calls}


@st.composite
def import_cases(draw):
    name = draw(st.sampled_from(list(KINDS)))
    n_classes = None if name == "RawRegressor" else draw(st.integers(0, 5))
    root = draw(trees(n_classes))
    d = tree_dict(root, n_classes)
    container = draw(st.sampled_from([list, tuple, np.array]))  # any sequence will do
    d = {k: container(v) if isinstance(v, list) and k != "proba" else v for k, v in d.items()}
    categorical = draw(st.lists(st.integers(0, 9), max_size=4))
    return name, n_classes, root, d, categorical, draw(matrices(20, 10, bad=10))


@hostile(300)
@given(case=import_cases())
def test_random_trees_import_export_and_predict_like_the_lists(guard, case):
    name, n_classes, root, d, categorical, (values, x_kind) = case
    reply = guard.call(run_import_and_predict, name, d, n_classes, categorical, values, x_kind)
    out = outcome("valid trees", reply)[1]
    norm = as_imported(root)
    assert same(out["tree"], tree_dict(norm, n_classes))
    assert out["n_leaves"] == (out["tree"]["node_count"] + 1) // 2
    features = np.array(out["tree"]["feature"])[~np.array(out["tree"]["is_leaf"], dtype=bool)]
    n, p = values.shape
    for method, got in out["calls"].items():
        outcome(method, got)
        if x_kind not in LAYOUTS:
            assert got[:2] == ("raised", "TypeError") and got[2].startswith("argument 'x': ")
        elif features.max(initial=-1) >= p:
            msg = f"x has {p} columns but the tree uses feature {max(features)}"
            assert got == ("raised", "ValueError", msg)
        else:
            rows = LAYOUTS[x_kind](values)
            leaves = [route(norm, list(row), set(categorical)) for row in rows]
            if method == "predict_proba":
                k = max(n_classes, 1)
                want = np.array([(list(pr) + [0.0] * k)[:k] for _, pr in leaves]).reshape(n, k)
            else:
                want = np.array([c for c, _ in leaves] if n_classes is not None else leaves)
                want = want.astype(np.float64 if n_classes is None else np.int_)
            assert got[1].dtype == want.dtype
            assert np.array_equal(got[1], want.reshape(got[1].shape), equal_nan=True)


STRUCTURE = re.compile(
    r"tree state (has no nodes|missing key \"\w+\"|key \"\w+\" has no entry for node \d+"
    r"|has a cycle: node \d+ links back to node \d+|reaches node \d+ twice \(again from node \d+\))"
    r"|node \d+ has (left|right) child -?\d+ out of range \(the tree state has \d+ nodes\)"
)
IDS = [-(2**63), -2, -1, 0, 1, 2, 3, 5, 8, 2**31, 2**63 - 1]


@st.composite
def damaged(draw):
    """A valid dictionary (or junk) with one to three damages."""
    name = draw(st.sampled_from(list(KINDS)))
    n_classes = None if name == "RawRegressor" else 3
    d = tree_dict(draw(trees(n_classes)), n_classes)
    for _ in range(draw(st.integers(1, 3))):
        key = draw(st.sampled_from(sorted(d)))
        what = draw(st.sampled_from(["drop", "replace", "truncate", "extend", "element", "id"]))
        value = d[key]
        if what == "drop":
            del d[key]
        elif what == "replace":
            d[key] = draw(st.sampled_from(JUNK))
        elif isinstance(value, list) and what == "truncate":
            del value[draw(st.integers(0, len(value))) :]
        elif isinstance(value, list) and what == "extend":
            value.extend(draw(st.lists(st.sampled_from(JUNK), max_size=3)))
        elif isinstance(value, list) and value:
            junk = st.sampled_from(IDS if what == "id" and key.startswith("children") else JUNK)
            value[draw(st.integers(0, len(value) - 1))] = draw(junk)
    categorical = draw(st.sampled_from(JUNK)) if draw(chance(10)) else [0, 4]
    tree = d if not draw(chance(5)) else draw(st.sampled_from(JUNK))
    return name, tree, n_classes, categorical


def run_import(name, tree, n_classes, categorical):
    est = KINDS[name].from_tree(tree, *([] if n_classes is None else [n_classes]), categorical)
    x = np.zeros((2, max(est.export_tree()["feature"] + [0]) + 1))
    est.predict(x)


@hostile(400)
@given(case=damaged())
def test_damaged_tree_dictionaries_are_refused_with_their_reason(guard, case):
    reply = outcome("damaged trees", guard.call(run_import, *case))
    if reply[0] == "raised":
        assert reply[1] in ("TypeError", "ValueError", "OverflowError"), reply
        assert reply[1] != "ValueError" or STRUCTURE.fullmatch(reply[2]), reply


# Every node a copy of one split whose children are nodes 1 and 2: a loop, or, with its odd nodes
# and the last made leaves, a right-leaning chain (leaves ignore their children and features).
SPLIT = tree_dict(num(0, 0.0, None, leaf(1.0), leaf(1.0)))
SPLIT = {k: v[0] for k, v in SPLIT.items() if k != "node_count"}


def run_big(n_nodes, last_child):
    d = {k: [v] * n_nodes for k, v in SPLIT.items()}
    if last_child != "loop":
        d["is_leaf"] = [i % 2 == 1 or i == n_nodes - 1 for i in range(n_nodes)]
        d["children_left"] = list(range(1, n_nodes + 1))
        d["children_right"] = [i + 1 for i in d["children_left"]]
        d["value"] = [1.0] * n_nodes
        if last_child is not None:
            d["children_right"][-3] = last_child
    est = RawRegressor.from_tree(d, [])
    return est.depth(), est.n_leaves(), est.predict(np.zeros((3, 4))).tolist()


CYCLE = "tree state has a cycle: node {} links back to node {}"
RANGE = "node 599998 has right child 600001 out of range (the tree state has 600001 nodes)"


@pytest.mark.parametrize(
    "n_nodes, last_child, reply",
    [(600_001, None, ("returned", (300_000, 300_001, [1.0] * 3))),
     (600_001, 0, ("raised", "ValueError", CYCLE.format(599998, 0))),
     (600_001, 600_001, ("raised", "ValueError", RANGE)),
     (10**6, "loop", ("raised", "ValueError", CYCLE.format(1, 1)))],
)  # fmt: skip
def test_huge_and_deep_dictionaries(guard, n_nodes, last_child, reply):
    assert outcome("huge trees", guard.call(run_big, n_nodes, last_child)) == reply


def run_lying(key, claimed):
    """Imports a tree with one sequence that claims far more items than it holds."""
    d = tree_dict(leaf(1.0))
    items = d.get(key, [])  # categorical: none
    methods = {"__len__": lambda _: claimed, "__getitem__": lambda _, i: items[i]}
    lying = type("Lying", (), methods)()
    if key == "categorical":
        return RawRegressor.from_tree(d, lying)
    return RawRegressor.from_tree(d | {key: lying}, [])


@pytest.mark.parametrize("key", ["is_leaf", "lower", "n_samples", "categorical"])
@pytest.mark.parametrize("claimed", [2**31, 2**62])
def test_sequences_claiming_huge_lengths(guard, key, claimed):
    # Reading stops at the first missing item: no reservation of the claimed size.
    reply = outcome("lying lengths", guard.call(run_lying, key, claimed))
    assert reply[:2] == ("raised", "IndexError")


def test_a_crash_in_the_child_fails_the_call_and_the_next_call_runs(guard):
    with pytest.raises(ChildDied, match="died"):
        guard.call(os.abort)
    assert guard.call(run_lying, "categorical", 2)[:2] == ("raised", "IndexError")
