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
from native_helpers import ARGS, EVIDENCE, KEYWORDS, cat, leaf, num, route, same, tree_dict

from ornik._ornik import RawClassifier, RawObjectiveClassifier, RawRegressor

KINDS = {c.__name__: c for c in (RawRegressor, RawClassifier, RawObjectiveClassifier)}
SCALE = max(1, int(os.environ.get("ORNIK_HOSTILE_EXAMPLES", "1")))
U64 = 2**64 - 1
CASES = Counter()  # (test, outcome) -> cases run


def hostile(n):
    return settings(
        max_examples=n * SCALE,
        deadline=None,
        database=None,
        print_blob=True,
        suppress_health_check=list(HealthCheck),
    )


@pytest.fixture(scope="module")
def guard(request):
    g = CrashGuard()
    yield g
    g.close()
    for test in sorted({t for t, _ in CASES}):
        parts = ", ".join(f"{n} {o}" for (t, o), n in sorted(CASES.items()) if t == test)
        total = sum(n for (t, _), n in CASES.items() if t == test)
        request.config.ornik_figures.append(f"hostile inputs, {test}: {total} cases ({parts})")
    request.config.ornik_figures.append(f"hostile inputs: child process restarts {g.restarts}")


# ---- Values and arrays. ----

NUMBERS = st.one_of(
    st.integers(-3, 6).map(float),
    st.floats(allow_nan=True, allow_infinity=True),
    st.sampled_from([math.nan, math.inf, -math.inf, -0.0, 1e308, -1e308, 5e-324, 4294967295.5]),
)
LAYOUTS = [
    "C",
    "F",
    "rows_strided",
    "cols_strided",
    "reversed",
    "broadcast",
    "unaligned",
    "readonly",
]
BAD_X = ["float32", "int64", "bool", "object", "complex", "big_endian", "list", "1d", "3d", "none"]


def shaped(values, layout):
    """values (float64, C order) laid out in memory as named; the logical content is the same
    except for "broadcast", which repeats the first row. Runs in the child: pickling would lose
    the layout."""
    n, p = values.shape
    if layout == "F":
        return np.asfortranarray(values)
    if layout == "rows_strided":
        big = np.full((2 * n, p), np.nan)
        big[::2] = values
        return big[::2]
    if layout == "cols_strided":
        big = np.full((n, 2 * p), np.nan)
        big[:, ::2] = values
        return big[:, ::2]
    if layout == "reversed":
        return np.ascontiguousarray(values[::-1, ::-1])[::-1, ::-1]
    if layout == "broadcast" and n > 0:
        return np.broadcast_to(values[0], (n, p))
    if layout == "unaligned":
        raw = np.zeros(values.size * 8 + 1, dtype=np.uint8)
        x = raw[1:].view(np.float64).reshape(n, p)
        x[...] = values
        return x
    if layout == "readonly":
        x = values.copy()
        x.flags.writeable = False
        return x
    return values


def wrong_x(values, kind):
    with np.errstate(all="ignore"):
        return wrong_x_of(values, kind)


def wrong_x_of(values, kind):
    return {
        "float32": lambda: values.astype(np.float32),
        "int64": lambda: np.nan_to_num(values).clip(-9, 9).astype(np.int64),
        "bool": lambda: values > 0,
        "object": lambda: values.astype(object),
        "complex": lambda: values.astype(np.complex128),
        "big_endian": lambda: values.astype(">f8"),
        "list": lambda: values.tolist(),
        "1d": lambda: values.ravel(),
        "3d": lambda: values[..., None],
        "none": lambda: None,
    }[kind]()


def make_x(values, kind):
    return shaped(values, kind) if kind in LAYOUTS else wrong_x(values, kind)


def is_matrix(kind):
    return kind in LAYOUTS


def chance(percent):
    """True in about percent % of the draws."""
    # Draws lean towards the bounds of a range: count from the top so that the low bound, drawn
    # most often, is a miss.
    return st.integers(0, 99).map(lambda r: r >= 100 - percent)


@st.composite
def matrices(draw, max_rows=30, max_cols=6, bad=12):
    n = draw(st.integers(0, max_rows))
    p = 0 if draw(chance(4)) else draw(st.integers(1, max_cols))
    values = draw(hnp.arrays(np.float64, (n, p), elements=NUMBERS))
    kind = draw(st.sampled_from(BAD_X)) if draw(chance(bad)) else draw(st.sampled_from(LAYOUTS))
    return values, kind


def logical(values, kind):
    """The matrix a well-typed x holds."""
    if kind == "broadcast" and values.shape[0] > 0:
        return np.broadcast_to(values[0], values.shape).copy()
    return values


# ---- Settings. ----


# Under AddressSanitizer a failed allocation ends the process (its operator new does not throw),
# so there only sizes past what any vector may hold are drawn; they fail before allocating.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")
HUGE = [2**62, 2**63, U64] + ([] if SANITIZED else [2**40])


def unsigned(small):
    """Mostly 0..small; one draw in twenty a huge value."""
    huge = st.sampled_from(HUGE)
    return chance(5).flatmap(lambda h: huge if h else st.integers(0, small))


FLOATS = st.one_of(st.floats(-2, 2), st.floats(allow_nan=True, allow_infinity=True))


@st.composite
def settings_for(draw, name):
    s = dict(
        max_depth=draw(st.one_of(st.none(), unsigned(12))),
        min_samples_split=draw(unsigned(30)),
        min_samples_leaf=draw(unsigned(15)),
        min_impurity_decrease=draw(st.one_of(st.just(0.0), FLOATS)),
        # Mid-sized bin and class counts would allocate gigabytes and succeed: small or huge only.
        n_bins=draw(unsigned(300)),
        cv_folds=draw(unsigned(12)),
        cv_seed=draw(st.integers(0, U64)),
        cv_shuffle=draw(st.booleans()),
        mode=draw(st.sampled_from(["strict", "fast"])),
        split_style=draw(st.sampled_from(["threshold", "bin", "bin_membership"])),
        aggregator=draw(
            st.sampled_from(
                ["mean", "median", "trimmed_mean", "signal_to_noise", "mean_minus_lambda_std"]
            )
        ),
        agg_frac=draw(FLOATS),
        agg_eps=draw(FLOATS),
        agg_lambda=draw(FLOATS),
        parallel=draw(st.booleans()),
        n_threads=draw(unsigned(4)),
        parallel_min_samples=draw(unsigned(40)),
        categorical=draw(st.lists(st.one_of(st.integers(0, 8), st.just(2**63)), max_size=4)),
    )
    if name == "RawRegressor":
        s["criterion"] = draw(st.sampled_from(["mse", "variance", "mae"]))
    else:
        s["n_classes"] = draw(unsigned(6))
    if name == "RawClassifier":
        s["criterion"] = draw(st.sampled_from(["gini", "entropy"]))
    if name == "RawObjectiveClassifier":
        s["objective"] = draw(st.sampled_from(["accuracy", "precision", "recall", "f1", "fbeta"]))
        s["average"] = draw(st.sampled_from(["binary", "micro", "macro", "weighted"]))
        s["pos_label"] = draw(unsigned(6))
        s["beta"] = draw(FLOATS)
    assert set(s) == set(ARGS[KINDS[name]])
    return s


# ---- fit. ----


def run_fit(name, params, values, x_kind, y):
    cls = KINDS[name]
    est = cls(**params)
    x = make_x(values, x_kind)
    est.fit(x, y)
    out = {"tree": est.export_tree(), "depth": est.depth(), "n_leaves": est.n_leaves()}
    out["predict"] = est.predict(x)
    args = [params["categorical"]]
    if name != "RawRegressor":
        out["proba"] = est.predict_proba(x)
        args.insert(0, params["n_classes"])
    back = cls.from_tree(out["tree"], *args)
    out["back_tree"] = back.export_tree()
    out["back_predict"] = back.predict(x)
    copy = cls(**params)
    copy.fit(np.ascontiguousarray(x), y)
    out["copy_tree"] = copy.export_tree()
    return out


@st.composite
def fit_cases(draw):
    name = draw(st.sampled_from(list(KINDS)))
    params = draw(settings_for(name))
    values, x_kind = draw(matrices())
    n = values.shape[0]
    m = n if not draw(chance(8)) else draw(st.integers(0, 35))
    y_kind = (
        "right"
        if not draw(chance(6))
        else draw(st.sampled_from(["float32", "int32", "2d", "list"]))
    )
    if name == "RawRegressor":
        y = draw(hnp.arrays(np.float64, m, elements=NUMBERS))
    else:
        labels = st.one_of(st.integers(-3, 8), st.sampled_from([-(2**63), 2**63 - 1]))
        y = draw(hnp.arrays(np.int_, m, elements=labels))
    with np.errstate(all="ignore"):
        y = {
            "right": y,
            "float32": y.astype(np.float32),
            "int32": y.astype(np.int32),
            "2d": y.reshape(-1, 1),
            "list": y.tolist(),
        }[y_kind]
    return name, params, values, x_kind, y


def y_ok(name, y):
    want = np.float64 if name == "RawRegressor" else np.int_
    return isinstance(y, np.ndarray) and y.ndim == 1 and y.dtype == want


def expected_fit_error(name, params, values, x_kind, y):
    """The error fit must raise, or None when it must succeed; "memory" when a huge setting may
    exhaust memory (or hit a fast-mode limit) instead."""
    n, p = values.shape
    if not is_matrix(x_kind):
        return TypeError, "argument 'x': "
    if not y_ok(name, y):
        return TypeError, "argument 'y': "
    if p == 0:
        return ValueError, "need at least one feature column"
    if len(y) != n:
        return ValueError, f"targets length {len(y)} does not match {n} samples"
    if n == 0:
        return ValueError, "need at least one sample"
    if params["mode"] == "fast" and params.get("criterion") == "mae":
        return ValueError, "this task (e.g. MAE) is not supported in SplitMode::Fast; use Strict"
    if params["n_bins"] > 2**32 or params.get("n_classes", 0) > 2**32:
        return "memory"
    return None


@hostile(700)
@given(case=fit_cases())
def test_fit_on_hostile_data_and_settings(guard, case):
    name, params, values, x_kind, y = case
    reply = guard.call(run_fit, name, params, values, x_kind, y)
    want = expected_fit_error(*case)
    if reply[0] == "raised":
        CASES["fit", f"raised {reply[1]}"] += 1
        if want == "memory":
            assert reply[1] in ("MemoryError", "ValueError"), reply
            if reply[1] == "ValueError":
                assert "exceed fast-mode limit" in reply[2], reply
            return
        assert want is not None, f"fit raised {reply[1]}: {reply[2]}"
        assert (reply[1], reply[2][: len(want[1])]) == (want[0].__name__, want[1])
        return
    CASES["fit", "returned"] += 1
    assert want in (None, "memory"), f"fit should have raised {want}"
    out = reply[1]
    n = values.shape[0]
    tree = out["tree"]
    assert tree["node_count"] == len(tree["is_leaf"]) == 2 * out["n_leaves"] - 1
    assert tree["n_samples"][0] == n  # every row reaches one leaf
    if params["max_depth"] is not None:
        assert out["depth"] <= params["max_depth"]
    for i, is_leaf in enumerate(tree["is_leaf"]):
        if not is_leaf:  # a split needs enough samples, and leaves enough on each side
            left, right = tree["children_left"][i], tree["children_right"][i]
            assert tree["n_samples"][i] >= params["min_samples_split"]
            assert min(tree["n_samples"][left], tree["n_samples"][right]) >= max(
                params["min_samples_leaf"], 1
            )
    assert same(out["back_tree"], tree)
    assert same(out["copy_tree"], tree)  # any layout reads like its C-ordered copy
    pred = out["predict"]
    assert pred.shape == (n,)
    assert np.array_equal(pred, out["back_predict"], equal_nan=pred.dtype.kind == "f")
    if name == "RawRegressor":
        assert pred.dtype == np.float64
        finite = y[np.isfinite(y)]
        if len(finite) == n and np.all(np.abs(y) < 1e300):
            lo, hi = y.min(), y.max()
            slack = 1e-9 * max(abs(lo), abs(hi), 1.0)
            assert np.all((pred >= lo - slack) & (pred <= hi + slack))
        return
    k = max(params["n_classes"], 1)
    assert pred.dtype == np.int_ and np.all((pred >= 0) & (pred < k))
    proba = out["proba"]
    assert proba.shape == (n, k) and np.all(np.isfinite(proba))
    sums = proba.sum(axis=1)
    assert np.all((sums == 0) | (np.abs(sums - 1) < 1e-9))


# ---- Constructors with junk in any argument. ----

ARG_JUNK = st.sampled_from(
    [None, "mean", "", "\x00\ud800", 1.5, math.nan, -1, 2**64, True, np.bool_(False), np.int64(3)]
    + [np.uint64(U64), np.float32(2.0), [], [1, -1], (3, 1), "01", b"ab"]
)


def run_construct_and_fit(name, args):
    est = KINDS[name](**args)
    x = np.arange(24.0).reshape(8, 3) % 5
    y = np.arange(8.0) if name == "RawRegressor" else np.arange(8) % 2
    try:
        est.fit(x, y)
    except (ValueError, MemoryError) as e:
        return "fit raised " + type(e).__name__
    return "fitted"


@st.composite
def junk_arguments(draw):
    name = draw(st.sampled_from(list(KINDS)))
    args = {**ARGS[KINDS[name]], **KEYWORDS[KINDS[name]]}
    for key in draw(st.lists(st.sampled_from(sorted(args)), min_size=1, max_size=3, unique=True)):
        args[key] = draw(ARG_JUNK)
    return name, args


@hostile(300)
@given(case=junk_arguments())
def test_constructors_take_junk_in_any_argument(guard, case):
    name, args = case
    reply = guard.call(run_construct_and_fit, name, args)
    outcome = reply[1] if reply[0] == "returned" else f"raised {reply[1]}"
    CASES["constructor junk", outcome] += 1
    if reply[0] == "raised":
        assert reply[1] in ("TypeError", "ValueError", "OverflowError"), reply
        if reply[1] == "TypeError" and reply[2].startswith("argument '"):
            assert reply[2].split("'")[1] in args


# ---- from_tree and predict on random trees. ----

BOUNDS = st.one_of(st.none(), NUMBERS)


def trees(n_classes):
    """Nested trees (native_helpers form) with feature positions 0..7."""
    if n_classes is None:
        payload = NUMBERS
    else:
        payload = st.tuples(
            st.integers(-3, n_classes + 2),
            st.lists(st.floats(0, 1), min_size=0, max_size=n_classes + 2),
        )
    leaves = st.builds(leaf, payload, st.integers(0, 50))
    categories = st.one_of(st.integers(0, 5), st.integers(-(2**40), 2**40))

    def splits(children):
        return st.one_of(
            st.builds(num, st.integers(0, 7), BOUNDS, BOUNDS, children, children),
            st.builds(cat, st.integers(0, 7), categories, children, children),
        )

    return st.recursive(leaves, splits, max_leaves=40)


def low32(node):
    """The tree as the import reads it: categories by their low 32 bits, negative classes 0."""
    if node[0] == "leaf":
        payload = node[1]
        if isinstance(payload, tuple):
            payload = (max(payload[0], 0), payload[1])
        return ("leaf", payload, node[2])
    if node[0] == "cat":
        return ("cat", node[1], node[2] & 0xFFFFFFFF, low32(node[3]), low32(node[4]))
    return node[:4] + (low32(node[4]), low32(node[5]))


def max_feature(node):
    if node[0] == "leaf":
        return -1
    return max(node[1], max_feature(node[-2]), max_feature(node[-1]))


def run_import_and_predict(name, d, n_classes, categorical, values, x_kind):
    cls = KINDS[name]
    args = [categorical] if name == "RawRegressor" else [n_classes, categorical]
    est = cls.from_tree(d, *args)
    out = {"tree": est.export_tree(), "depth": est.depth(), "n_leaves": est.n_leaves()}
    x = make_x(values, x_kind)
    for method in ["predict", "predict_proba"]:
        if hasattr(est, method):
            try:
                out[method] = ("returned", getattr(est, method)(x))
            except Exception as e:
                out[method] = ("raised", type(e).__name__, str(e))
    return out


@st.composite
def import_cases(draw):
    name = draw(st.sampled_from(list(KINDS)))
    n_classes = None if name == "RawRegressor" else draw(st.integers(0, 5))
    root = draw(trees(n_classes))
    categorical = draw(st.lists(st.integers(0, 9), max_size=4))
    container = draw(st.sampled_from(["list", "tuple", "ndarray"]))
    values, x_kind = draw(matrices(max_rows=20, max_cols=10, bad=10))
    return name, n_classes, root, categorical, container, values, x_kind


def contained(d, container):
    """The dictionary with its per-node lists as tuples or NumPy arrays (both are sequences)."""
    if container == "list":
        return d
    out = dict(d)
    for key, value in d.items():
        if not isinstance(value, list) or key == "proba":
            continue
        out[key] = tuple(value) if container == "tuple" else np.array(value)
    return out


@hostile(500)
@given(case=import_cases())
def test_random_trees_import_export_and_predict_like_the_lists(guard, case):
    name, n_classes, root, categorical, container, values, x_kind = case
    d = contained(tree_dict(root, n_classes), container)
    reply = guard.call(run_import_and_predict, name, d, n_classes, categorical, values, x_kind)
    assert reply[0] == "returned", reply
    out = reply[1]
    CASES["valid trees", "imported"] += 1
    norm = low32(root)
    want = tree_dict(norm, n_classes)
    assert same(out["tree"], want)
    n_leaves = sum(want["is_leaf"])
    assert out["n_leaves"] == n_leaves
    for method in ["predict", "predict_proba"]:
        if method not in out:
            continue
        got = out[method]
        if not is_matrix(x_kind):
            CASES["predict", f"raised {got[1]}"] += 1
            assert got[:2] == ("raised", "TypeError") and got[2].startswith("argument 'x': ")
            continue
        n, p = values.shape
        top = max_feature(norm)
        if top >= p:
            CASES["predict", f"raised {got[1]}"] += 1
            assert got == (
                "raised",
                "ValueError",
                f"x has {p} columns but the tree uses feature {top}",
            )
            continue
        CASES["predict", "returned"] += 1
        assert got[0] == "returned", got
        result = got[1]
        rows = logical(values, x_kind)
        leaves = [route(norm, list(row), set(categorical)) for row in rows]
        if method == "predict_proba":
            k = max(n_classes, 1)
            assert result.shape == (n, k)
            for r, (_, proba) in zip(result, leaves, strict=True):
                padded = (list(proba) + [0.0] * k)[:k]
                assert r.tolist() == padded
        elif name == "RawRegressor":
            assert result.shape == (n,) and result.dtype == np.float64
            assert np.array_equal(result, np.array(leaves, dtype=np.float64), equal_nan=True)
        else:
            assert result.shape == (n,) and result.dtype == np.int_
            assert result.tolist() == [c for c, _ in leaves]


# ---- from_tree on damaged dictionaries. ----

JUNK = [None, "x", b"\x00", 1, 0, True, 1.5, math.nan, 2**64, -(2**63) - 1, -1, [], {}, (1,)]
JUNK += [np.int64(3), np.bool_(True), np.float64(2.0), np.uint64(U64)]
IDS = [-(2**63), -2, -1, 0, 1, 2, 3, 5, 8, 2**31, 2**63 - 1]
STRUCTURE = re.compile(
    r"tree state (has no nodes|missing key \"\w+\"|key \"\w+\" has no entry for node \d+"
    r"|has a cycle: node \d+ links back to node \d+|reaches node \d+ twice \(again from node \d+\))"
    r"|node \d+ has (left|right) child -?\d+ out of range \(the tree state has \d+ nodes\)"
)


@st.composite
def damaged(draw):
    """A valid dictionary with a few damages; the flag tells whether every damage left the
    element types intact (then the outcome is decided by the structure alone)."""
    name = draw(st.sampled_from(list(KINDS)))
    n_classes = None if name == "RawRegressor" else 3
    d = tree_dict(draw(trees(n_classes)), n_classes)
    typed = True
    for _ in range(draw(st.integers(1, 3))):
        key = draw(st.sampled_from(sorted(d)))
        value = d[key]
        what = draw(st.sampled_from(["drop", "replace", "truncate", "extend", "element", "id"]))
        if what == "drop":
            del d[key]
        elif what == "replace":
            d[key] = draw(st.sampled_from(JUNK + ["abc", 5, {"a": 1}]))
            typed = typed and key in ("node_count", "n_classes")
        elif not isinstance(value, list):
            continue
        elif what == "truncate":
            del value[draw(st.integers(0, len(value))) :]
        elif what == "extend":
            value.extend(draw(st.lists(st.sampled_from(JUNK), max_size=3)))
            typed = False
        elif what == "element" and value:
            value[draw(st.integers(0, len(value) - 1))] = draw(st.sampled_from(JUNK))
            typed = False
        elif what == "id" and value and key in ("children_left", "children_right"):
            i = draw(st.integers(0, len(value) - 1))
            value[i] = draw(st.one_of(st.sampled_from(IDS), st.integers(0, len(value))))
    categorical = draw(st.lists(st.integers(0, 9), max_size=3))
    if draw(chance(10)):
        categorical = draw(st.sampled_from(JUNK))
    if not isinstance(categorical, list):
        typed = False
    tree = d if not draw(chance(5)) else draw(st.sampled_from(JUNK))
    typed = typed and isinstance(tree, dict)
    return name, tree, n_classes, categorical, typed


def structure_error(d, classifier):
    """Whether the import must refuse the well-typed lists, walking them as the import does."""
    keys = ["is_leaf", "children_left", "children_right", "feature", "is_categorical"]
    keys += ["lower", "upper", "category", "n_samples"]
    keys += ["predicted_class", "proba"] if classifier else ["value"]
    if any(k not in d for k in keys) or not d["is_leaf"]:
        return True
    n = len(d["is_leaf"])
    seen, stack = set(), [0]
    while stack:
        i = stack.pop()
        if i in seen:
            return True
        seen.add(i)
        need = ["n_samples"] + keys[-2:] if classifier else ["n_samples", "value"]
        if not d["is_leaf"][i]:
            need = keys[1:5] + [k for k in EVIDENCE if k in d]
            if all(i < len(d[k]) for k in need):
                need += ["category"] if d["is_categorical"][i] else ["lower", "upper"]
        if any(i >= len(d[k]) for k in need):
            return True
        if d["is_leaf"][i]:
            continue
        left, right = d["children_left"][i], d["children_right"][i]
        if not (0 <= left < n and 0 <= right < n):
            return True
        stack += [right, left]
    return False


def run_import(name, tree, n_classes, categorical):
    cls = KINDS[name]
    args = [categorical] if name == "RawRegressor" else [n_classes, categorical]
    est = cls.from_tree(tree, *args)
    d = est.export_tree()
    x = np.zeros((2, max([f + 1 for f in d["feature"]] + [1])))
    est.predict(x)
    return d


@hostile(700)
@given(case=damaged())
def test_damaged_tree_dictionaries_are_refused_in_order(guard, case):
    name, tree, n_classes, categorical, typed = case
    reply = guard.call(run_import, name, tree, n_classes, categorical)
    CASES["damaged trees", reply[0] if reply[0] == "returned" else f"raised {reply[1]}"] += 1
    if reply[0] == "raised":
        assert reply[1] in ("TypeError", "ValueError", "OverflowError"), reply
        if reply[1] == "ValueError":
            assert STRUCTURE.fullmatch(reply[2]), reply
    if typed:
        must_fail = structure_error(tree, name != "RawRegressor")
        assert (reply[0] == "raised") == must_fail, reply
        if must_fail:
            assert reply[1] == "ValueError", reply


# ---- Huge and deep dictionaries, and sequences that lie about their length. ----


class Lying:
    """A sequence that claims far more items than it holds."""

    def __init__(self, items, claimed):
        self.items, self.claimed = items, claimed

    def __len__(self):
        return self.claimed

    def __getitem__(self, i):
        return self.items[i]


def chain(n_splits, last_child=None):
    """A right-leaning chain of n_splits splits; last_child overrides the last right child."""
    d = {k: v for k, v in tree_dict(leaf(1.0)).items() if k not in EVIDENCE}
    keys = [k for k in d if k != "node_count"]
    cols = {k: [] for k in keys}
    for i in range(n_splits):
        row = dict(is_leaf=False, children_left=2 * i + 1, children_right=2 * i + 2, feature=0,
                   is_categorical=False, lower=float(i), upper=math.inf, category=-1,
                   n_samples=0, value=math.nan)  # fmt: skip
        for k in keys:
            cols[k].append(row[k])
        for k in keys:
            cols[k].append(d[k][0])  # the left leaf
    for k in keys:
        cols[k].append(d[k][0])
    if last_child is not None and n_splits:
        cols["children_right"][2 * n_splits - 2] = last_child
    return {"node_count": len(cols["is_leaf"]), **cols}


def balanced(depth):
    def build(level):
        return (
            leaf(float(level))
            if level == depth
            else num(level % 4, None, 0.5, build(level + 1), build(level + 1))
        )

    return tree_dict(build(0))


BIG_CASES = {
    "chain of 300000 splits": (lambda: chain(300_000), None),
    "balanced tree of 131071 nodes": (lambda: balanced(16), None),
    "chain closing a cycle at depth 300000": (
        lambda: chain(300_000, last_child=0),
        "tree state has a cycle: node 599998 links back to node 0",
    ),
    "chain leaving the lists at depth 300000": (
        lambda: chain(300_000, last_child=600_001),
        "node 599998 has right child 600001 out of range (the tree state has 600001 nodes)",
    ),
    "a million nodes pointing back": (
        lambda: million_looping(),
        "tree state has a cycle: node 1 links back to node 1",
    ),
}


def million_looping():
    n = 1_000_000
    d = {k: [v[0]] * n for k, v in chain(1).items() if k != "node_count"}
    d["children_left"], d["children_right"] = [1] * n, [2] * n
    return d


def run_big(maker):
    d = maker()
    est = RawRegressor.from_tree(d, [])
    return est.depth(), est.n_leaves(), est.predict(np.zeros((3, 4))).tolist()


@pytest.mark.parametrize("case", list(BIG_CASES))
def test_huge_and_deep_dictionaries(guard, case):
    maker, error = BIG_CASES[case]
    reply = guard.call(run_big_case, case)
    CASES["huge trees", reply[0]] += 1
    if error is None:
        assert reply[0] == "returned", reply
        depth, n_leaves, _ = reply[1]
        assert n_leaves == (maker()["node_count"] + 1) // 2
        assert depth in (300_000, 16)
    else:
        assert reply == ("raised", "ValueError", error)


def run_big_case(case):
    return run_big(BIG_CASES[case][0])


def run_lying(key, claimed):
    d = tree_dict(leaf(1.0))
    if key == "categorical":
        return RawRegressor.from_tree(d, Lying([], claimed)).n_leaves()
    d[key] = Lying(d[key], claimed)
    return RawRegressor.from_tree(d, []).n_leaves()


@pytest.mark.parametrize("key", ["is_leaf", "lower", "n_samples", "categorical"])
@pytest.mark.parametrize("claimed", [2**31, 2**40, 2**62])
def test_sequences_claiming_huge_lengths(guard, key, claimed):
    # Reading stops at the first missing item: no reservation of the claimed size.
    reply = guard.call(run_lying, key, claimed)
    CASES["lying lengths", reply[0]] += 1
    assert reply[:2] == ("raised", "IndexError"), reply


def test_a_crash_in_the_child_fails_the_call_and_the_next_call_runs(guard):
    with pytest.raises(ChildDied, match="died"):
        guard.call(os.abort)
    assert guard.call(run_lying, "categorical", 2) == (
        "raised",
        "IndexError",
        "list index out of range",
    )
