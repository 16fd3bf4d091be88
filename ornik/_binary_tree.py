"""The fitted tree rewritten as binary comparisons, the form other tree formats hold.

Every ornik split becomes one or two nodes that each ask ``x < v`` or ``x == v``
of one feature and send a missing value (NaN) to a fixed side. scikit-learn's
trees, SHAP's tree dictionaries and ONNX's tree ensembles are written from this
one form, so the routing below is the only translation of ornik's split rules.

A split on ``[lower, upper)`` needs two comparisons, and the values that fail
either go right: both point at the one right subtree, so the nodes form a graph
in which that subtree has two parents (copying it instead doubles the tree at
every such split). Predictions simply follow the links; tools that walk every
path see the subtree twice. The tree does not record how its training samples
divided between the two ways in, so each counts half of them (``share``), which
keeps every node's sample weight the sum of its children's.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

from ._explain import _check_estimator as check_fitted_tree

# The label the native core reads as a missing category.
_MISSING_LABEL = 2**32 - 1


def encode(est, X) -> np.ndarray:
    """The float64 matrix that ``est``'s tree reads: categorical features as codes.

    A categorical feature's code indexes ``est.categories_[j]``; unseen and
    missing values become NaN. Numeric features pass through unchanged. This is
    the input of the trees that ``to_sklearn`` and ``to_shap`` write.
    """
    check_fitted_tree(est)
    return est._validate_X(X, reset=False)


def _code_interval(category: int) -> tuple[float, float] | None:
    """The values whose category label is ``category``: finite v >= 0 rounds half away
    from zero (so [c - 0.5, c + 0.5), and [0, 0.5) for 0: -0.5 < v < 0 is missing)."""
    if not 0 <= category < _MISSING_LABEL:
        return None
    return max(category - 0.5, 0.0), category + 0.5


def _number_interval(lower: float, upper: float) -> tuple[float, float] | None:
    """The finite values with lower <= v < upper; -inf and +inf stand for no bound."""
    # A NaN bound, or bounds that leave no room, send every value right.
    return (lower, upper) if lower < upper else None


@dataclass
class BinaryTree:
    """Nodes numbered so that children come after their parents.

    A split asks ``x[feature] < value`` (op "lt") or ``x[feature] == value`` (op
    "eq"); ``yes``/``no`` are the child ids when the answer is true/false and
    ``missing_yes`` says where NaN goes. A leaf has ``yes == no == -1`` and
    ``leaf`` holds the ornik node id it copies. ``share`` is the fraction of that
    ornik node's training samples the copy carries.
    """

    feature: np.ndarray
    op: np.ndarray
    value: np.ndarray
    yes: np.ndarray
    no: np.ndarray
    missing_yes: np.ndarray
    leaf: np.ndarray
    share: np.ndarray

    @property
    def node_count(self) -> int:
        return len(self.yes)

    @property
    def is_leaf(self) -> np.ndarray:
        return self.yes < 0

    def totals(self, leaf_rows: np.ndarray) -> np.ndarray:
        """Per node, the sum over the leaves below it of their ornik rows ``leaf_rows``
        times their share: with training sample counts, the samples that reach it."""
        rows = np.asarray(leaf_rows, dtype=np.float64)
        out = np.zeros((self.node_count,) + rows.shape[1:])
        leaves = self.is_leaf
        share = self.share[leaves].reshape((-1,) + (1,) * (rows.ndim - 1))
        out[leaves] = rows[self.leaf[leaves]] * share
        for i in range(self.node_count - 1, -1, -1):
            if self.yes[i] >= 0:
                out[i] = out[self.yes[i]] + out[self.no[i]]
        return out

    def averages(self, leaf_rows: np.ndarray, n_samples: np.ndarray) -> np.ndarray:
        """Per node, the sample-weighted mean of the ornik leaf rows below it (a leaf
        keeps its row exactly)."""
        rows = np.asarray(leaf_rows, dtype=np.float64)
        n = np.asarray(n_samples, dtype=np.float64).reshape((-1,) + (1,) * (rows.ndim - 1))
        weights = self.totals(n)
        sums = self.totals(rows * n)
        out = np.divide(sums, weights, out=np.zeros_like(sums), where=weights > 0)
        out[self.is_leaf] = rows[self.leaf[self.is_leaf]]
        return out

    def depth(self) -> int:
        depth = np.zeros(self.node_count, dtype=np.int64)
        for i in range(self.node_count - 1, -1, -1):
            if self.yes[i] >= 0:
                depth[i] = 1 + max(depth[self.yes[i]], depth[self.no[i]])
        return int(depth[0])


def binary_tree(est, test_of) -> BinaryTree:
    """Rewrite ``est``'s tree; ``test_of(node)`` gives a split's left set as
    ("eq", v), ("lt", lower, upper) with infinite bounds for none, or None (the
    split sends nothing left, so only its right subtree is written)."""
    t = est.tree_
    keys = ("feature", "op", "value", "yes", "no", "missing_yes", "leaf", "share")
    cols = {k: [] for k in keys}
    blank = (0, "lt", 0.0, -1, -1, False, -1, 1.0)

    def emit(links, feature=0, op="lt", value=0.0, missing_yes=False) -> int:
        me = len(cols["yes"])
        for key, default in zip(keys, blank, strict=True):
            cols[key].append(default)
        cols["feature"][me], cols["op"][me], cols["value"][me] = feature, op, value
        cols["missing_yes"][me] = missing_yes
        for parent, slot in links:
            cols[slot][parent] = me
        return me

    # Work items: (ornik node, share of its samples, the (parent, slot) links to it).
    stack: list[tuple] = [(0, 1.0, [])]
    while stack:
        i, share, links = stack.pop()
        test = None
        while not t["is_leaf"][i] and (test := test_of(i)) is None:
            i = int(t["children_right"][i])
        if t["is_leaf"][i]:
            me = emit(links)
            cols["leaf"][me], cols["share"][me] = i, share
            continue
        left, right, f = (
            int(t["children_left"][i]),
            int(t["children_right"][i]),
            int(t["feature"][i]),
        )
        if test[0] == "eq":
            me = emit(links, f, "eq", test[1])
            stack += [(right, share, [(me, "no")]), (left, share, [(me, "yes")])]
        elif test[1] == -np.inf:  # x < upper goes left
            me = emit(links, f, "lt", test[2])
            stack += [(right, share, [(me, "no")]), (left, share, [(me, "yes")])]
        elif test[2] == np.inf:  # x < lower goes right, as NaN does
            me = emit(links, f, "lt", test[1], missing_yes=True)
            stack += [(left, share, [(me, "no")]), (right, share, [(me, "yes")])]
        else:  # below lower: right; then x < upper: left, else right
            below = emit(links, f, "lt", test[1], missing_yes=True)
            inside = emit([(below, "no")], f, "lt", test[2])
            stack += [(right, share / 2, [(below, "yes"), (inside, "no")])]
            stack += [(left, share, [(inside, "yes")])]
    return BinaryTree(
        feature=np.asarray(cols["feature"], dtype=np.int64),
        op=np.asarray(cols["op"]),
        value=np.asarray(cols["value"], dtype=np.float64),
        yes=np.asarray(cols["yes"], dtype=np.int64),
        no=np.asarray(cols["no"], dtype=np.int64),
        missing_yes=np.asarray(cols["missing_yes"], dtype=bool),
        leaf=np.asarray(cols["leaf"], dtype=np.int64),
        share=np.asarray(cols["share"], dtype=np.float64),
    )


def split_tests(est, *, category_values: bool = False):
    """``test_of`` for ``binary_tree``: categorical features hold their codes
    (``encode``), or with ``category_values`` their values where the categories are
    numbers (what ``est.predict`` reads from a NumPy array)."""
    t = est.tree_

    # A rule of the other kind than its column (read from a file) carries no bounds or
    # category for it (NaN bounds, category -1), so sends nothing left, as in the core.
    def test_of(i):
        cats = est.categories_[int(t["feature"][i])]
        if cats is None:
            bounds = _number_interval(t["lower"][i], t["upper"][i])
        elif category_values and cats.dtype.kind in "biuf":
            code = int(t["category"][i])
            return ("eq", float(cats[code])) if 0 <= code < len(cats) else None
        else:
            bounds = _code_interval(int(t["category"][i]))
        return None if bounds is None else ("lt", *bounds)

    return test_of
