"""The fitted tree as a scikit-learn decision tree, and as SHAP's tree dictionary.

Both read the matrix ``encode(est, X)`` (categorical features as their codes)
and compare ``x <= t``: ornik's ``x < v`` becomes ``x <= nextafter(v, -inf)``,
which selects the same doubles. A categorical split on code c is the interval
[c - 0.5, c + 0.5) of the core's rounding, so any number in a code column goes
where the core sends it. Missing values (NaN) take the side the core sends them
to, always its right branch; infinities go where the core sends NaN when they
are first replaced by NaN (scikit-learn refuses infinite inputs).

scikit-learn's trees round their input to float32. Where a split value v is a
float32 number (always for codes, and for trees grown on float32 data) every
float32 input goes where ornik sends it. Otherwise a value goes where v itself
goes when float32 rounds it to the same number as v (so the training values,
thresholds among them, are routed exactly), and the float32 number next to v on
its left errs. SHAP's dictionary form reads float64 and is exact for every input.
"""

from __future__ import annotations

import numpy as np

from ._binary_tree import BinaryTree, binary_tree, check_fitted_tree, split_tests


def _is_classifier(est) -> bool:
    return "proba" in est.tree_


def _thresholds(bt: BinaryTree, float32_inputs: bool) -> np.ndarray:
    """``x <= t`` thresholds for the "lt" comparisons (the only ones on codes)."""
    v = bt.value
    if float32_inputs:
        # A value that float32 rounds down onto v32 < v must still go right, as v does:
        # compare below v32 (float32 inputs then err only at v32 itself).
        with np.errstate(over="ignore"):
            v32 = v.astype(np.float32).astype(np.float64)
        v = np.where(np.isfinite(v32), np.minimum(v, v32), v)
    return np.where(bt.is_leaf, -2.0, np.nextafter(v, -np.inf))


def _written(est):
    """The binary tree, its node weights and per-node outputs: class shares (one row
    per node) for the classifier, the value (one column) for the regressor."""
    bt = binary_tree(est, split_tests(est))
    t = est.tree_
    leaf_rows = t["proba"] if _is_classifier(est) else t["value"][:, None]
    return bt, bt.totals(t["n_samples"]), bt.averages(leaf_rows, t["n_samples"])


def to_sklearn(est):
    """A fitted scikit-learn ``DecisionTreeClassifier`` / ``DecisionTreeRegressor``
    that predicts what ``est`` predicts.

    It reads ``encode(est, X)``: categorical features as the estimator's codes,
    missing and unseen values as NaN (replace infinities by NaN too). Tools that
    read scikit-learn trees (``sklearn.tree.plot_tree``, SHAP's TreeExplainer,
    skl2onnx) accept it. Its nodes send NaN to the side ornik does through
    ``missing_go_to_left`` (scikit-learn 1.3 and newer; ornik itself needs 1.6).

    Splits on an interval (``split_style="bin"``, and categorical splits) are two
    threshold nodes that both lead to the one right subtree; predict, apply and
    decision_path follow the links, tools that walk every path see it twice. Node
    sample counts are derived from the tree: each way into a shared subtree counts
    half of its samples. Impurities are the Gini index of the class shares, or for
    the regressor, which keeps no spread of its training targets, the variance of
    the tree's own predictions below the node.
    """
    check_fitted_tree(est)
    from sklearn.tree import DecisionTreeClassifier, DecisionTreeRegressor
    from sklearn.tree._tree import Tree

    bt, weights, outputs = _written(est)
    classifier = _is_classifier(est)
    n_classes = outputs.shape[1] if classifier else 1
    if classifier:
        impurity = 1.0 - np.sum(outputs**2, axis=1)
    else:
        mean_square = bt.averages(est.tree_["value"][:, None] ** 2, est.tree_["n_samples"])
        impurity = np.maximum(mean_square - outputs**2, 0.0)[:, 0]

    tree = Tree(est.n_features_in_, np.array([n_classes], dtype=np.intp), 1)
    nodes = np.zeros(bt.node_count, dtype=tree.__getstate__()["nodes"].dtype)
    nodes["left_child"] = bt.yes
    nodes["right_child"] = bt.no
    nodes["feature"] = np.where(bt.is_leaf, -2, bt.feature)
    nodes["threshold"] = _thresholds(bt, float32_inputs=True)
    nodes["impurity"] = impurity
    nodes["n_node_samples"] = np.rint(weights)
    nodes["weighted_n_node_samples"] = weights
    nodes["missing_go_to_left"] = bt.missing_yes
    tree.__setstate__(
        {
            "max_depth": bt.depth(),
            "node_count": bt.node_count,
            "nodes": nodes,
            # Class shares, as scikit-learn (1.4 and newer) stores and predicts them.
            "values": np.ascontiguousarray(outputs.reshape(bt.node_count, 1, n_classes)),
        }
    )
    if classifier:
        sk = DecisionTreeClassifier(criterion="gini")
        sk.classes_ = est.classes_
        sk.n_classes_ = n_classes
    else:
        sk = DecisionTreeRegressor(criterion="squared_error")
    sk.n_features_in_ = est.n_features_in_
    sk.n_outputs_ = 1
    sk.max_features_ = est.n_features_in_
    sk.tree_ = tree
    return sk


def to_shap(est) -> dict:
    """``est`` in SHAP's tree dictionary form, for ``shap.TreeExplainer(to_shap(est))``.

    Explain ``encode(est, X)`` (infinities replaced by NaN). The classifier's outputs
    are the class probabilities, one per class; the regressor's its prediction. The
    dictionary reads float64, so it routes every input exactly as ``est`` does.
    """
    check_fitted_tree(est)
    bt, weights, outputs = _written(est)
    tree = {
        "children_left": np.where(bt.is_leaf, -1, bt.yes),
        "children_right": np.where(bt.is_leaf, -1, bt.no),
        "children_default": np.where(bt.missing_yes, bt.yes, bt.no),
        "features": np.where(bt.is_leaf, -2, bt.feature),
        "thresholds": _thresholds(bt, float32_inputs=False),
        "values": outputs,
        "node_sample_weight": weights,
    }
    return {
        "trees": [tree],
        "base_offset": 0.0,
        "input_dtype": np.float64,
        "internal_dtype": np.float64,
    }
