"""ONNX export: a skl2onnx converter for the estimators, and ``to_onnx``.

The graph reads float64 (other numeric inputs are cast, exactly), turns
infinities into NaN (the core sends both right at every split), and finds each
row's leaf with ai.onnx.ml's TreeEnsembleRegressor (opset 3): "x < v" splits
(BRANCH_LT), "x == v" for categories (BRANCH_EQ), NaN sent by the missing-value
tracks, thresholds held as doubles (``nodes_values_as_tensor``). Its output is
the ornik id of the leaf, a whole number that its float32 output holds exactly;
the leaf's value, class probabilities and label are then gathered from float64
tables, so they are the core's numbers bit for bit.

That operator rather than ai.onnx.ml opset 5's TreeEnsemble, whose output is
float64: skl2onnx (1.20) writes ai.onnx.ml opsets up to 3 only. Splits on an
interval point both of their comparisons at the one right subtree, which
onnxruntime follows.

Categorical features with numeric categories are read as their values (what
``est.predict`` takes in a NumPy array; a value equal to no category is missing);
those with other categories (strings) are read as codes, ``ornik.encode(est, X)``.
"""

from __future__ import annotations

import numpy as np
from onnx import TensorProto, numpy_helper
from skl2onnx import convert_sklearn, update_registered_converter
from skl2onnx.common.data_types import (
    BooleanTensorType,
    DoubleTensorType,
    Int64TensorType,
    StringTensorType,
)

from ._binary_tree import binary_tree, check_fitted_tree, split_tests
from ._estimators import ORNIKClassifier, ORNIKRegressor

_ALIAS = {ORNIKClassifier: "OrnikClassifier", ORNIKRegressor: "OrnikRegressor"}
# Leaf ids leave the tree operator as float32, which holds whole numbers up to 2**24.
_MAX_NODES = 2**24


def _tree_attributes(est) -> dict:
    if est.tree_["node_count"] > _MAX_NODES:
        raise ValueError(f"a tree of {est.tree_['node_count']} nodes is too large for ONNX export")
    bt = binary_tree(est, split_tests(est, category_values=True))
    leaf = bt.is_leaf
    ids = np.arange(bt.node_count)
    modes = np.where(leaf, "LEAF", np.where(bt.op == "eq", "BRANCH_EQ", "BRANCH_LT"))
    return dict(
        n_targets=1,
        aggregate_function="SUM",
        post_transform="NONE",
        nodes_treeids=[0] * bt.node_count,
        nodes_nodeids=ids.tolist(),
        nodes_featureids=np.where(leaf, 0, bt.feature).tolist(),
        nodes_modes=modes.tolist(),
        nodes_values_as_tensor=numpy_helper.from_array(np.where(leaf, 0.0, bt.value)),
        nodes_truenodeids=np.where(leaf, 0, bt.yes).tolist(),
        nodes_falsenodeids=np.where(leaf, 0, bt.no).tolist(),
        nodes_missing_value_tracks_true=bt.missing_yes.astype(int).tolist(),
        target_treeids=[0] * int(leaf.sum()),
        target_nodeids=ids[leaf].tolist(),
        target_ids=[0] * int(leaf.sum()),
        target_weights_as_tensor=numpy_helper.from_array(bt.leaf[leaf].astype(np.float64)),
    )


def _label_type(classes: np.ndarray):
    kind = classes.dtype.kind
    if kind == "b":
        return BooleanTensorType, TensorProto.BOOL, classes.astype(bool)
    if kind in "iu":
        return Int64TensorType, TensorProto.INT64, classes.astype(np.int64)
    if kind == "f":
        return DoubleTensorType, TensorProto.DOUBLE, classes.astype(np.float64)
    if all(isinstance(c, str) for c in classes.tolist()):
        return StringTensorType, TensorProto.STRING, classes
    raise TypeError(
        f"ONNX export supports numeric, boolean or string class labels, not {classes!r}"
    )


def _parse(scope, model, inputs, custom_parsers=None):
    # Classifier outputs are declared here so that skl2onnx adds no ZipMap (which reads
    # float32 probabilities only).
    op = scope.declare_local_operator(_ALIAS[type(model)], model)
    op.inputs = inputs
    if isinstance(model, ORNIKClassifier):
        label_type = _label_type(model.classes_)[0]
        op.outputs.append(scope.declare_local_variable("label", label_type()))
        op.outputs.append(scope.declare_local_variable("probabilities", DoubleTensorType()))
    else:
        op.outputs.append(scope.declare_local_variable("variable", DoubleTensorType()))
    return op.outputs


def _shapes(operator):
    est = operator.raw_operator
    n = operator.inputs[0].get_first_dimension()
    if isinstance(est, ORNIKClassifier):
        operator.outputs[0].type = _label_type(est.classes_)[0]([n])
        operator.outputs[1].type = DoubleTensorType([n, len(est.classes_)])
    else:
        operator.outputs[0].type = DoubleTensorType([n, 1])


def _convert(scope, operator, container):
    est = operator.raw_operator
    check_fitted_tree(est)

    def name(seed):
        return scope.get_unique_variable_name(seed)

    def node(op_type, inputs, seed, **attrs):
        out = name(seed)
        container.add_node(
            op_type, inputs, [out], name=scope.get_unique_operator_name(op_type), **attrs
        )
        return out

    def constant(seed, array, onnx_type=None):
        array = np.asarray(array)
        var = name(seed)
        if onnx_type == TensorProto.STRING:
            container.add_initializer(var, onnx_type, list(array.shape), array.ravel().tolist())
        else:
            container.add_initializer(var, None, None, numpy_helper.from_array(array))
        return var

    X = operator.inputs[0].full_name
    if not isinstance(operator.inputs[0].type, DoubleTensorType):
        X = node("Cast", [X], "X_double", to=TensorProto.DOUBLE)
    finite = node(
        "Where", [node("IsInf", [X], "is_inf"), constant("nan", np.float64(np.nan)), X], "X_finite"
    )
    leaf = name("leaf")
    container.add_node(
        "TreeEnsembleRegressor",
        [finite],
        [leaf],
        op_domain="ai.onnx.ml",
        op_version=3,
        name=scope.get_unique_operator_name("TreeEnsembleRegressor"),
        **_tree_attributes(est),
    )
    leaf = node("Cast", [leaf], "leaf_id", to=TensorProto.INT64)
    leaf = node("Reshape", [leaf, constant("flat", np.array([-1], dtype=np.int64))], "leaf_row")
    # The leaf's outputs, gathered from per-node tables (entries of splits are unused).
    t = est.tree_
    if isinstance(est, ORNIKClassifier):
        _, label_proto, labels = _label_type(est.classes_)
        tables = [constant("labels", labels[t["predicted_class"]], label_proto)]
        tables.append(constant("proba", t["proba"]))
    else:
        tables = [constant("values", t["value"].reshape(-1, 1))]
    for table, out in zip(tables, operator.outputs, strict=True):
        container.add_node(
            "Gather",
            [table, leaf],
            [out.full_name],
            axis=0,
            name=scope.get_unique_operator_name("Gather"),
        )


for _cls, _alias in _ALIAS.items():
    update_registered_converter(_cls, _alias, _shapes, _convert, parser=_parse)


def to_onnx(model, *, initial_types=None, target_opset=None, name: str | None = None):
    """An ONNX model of a fitted ORNIKClassifier / ORNIKRegressor, or of a scikit-learn
    Pipeline that ends in one (needs skl2onnx; run it with onnxruntime).

    The input ``X`` is float64 of shape (n, n_features_in_) unless ``initial_types``
    says otherwise. Outputs: ``label`` and ``probabilities`` (float64) for a
    classifier, ``variable`` (float64, shape (n, 1)) for a regressor. Categorical
    features with numeric categories are read as their values, others as their codes
    (``ornik.encode``). Importing this function also registers the converters, so
    ``skl2onnx.to_onnx`` converts pipelines with ornik estimators as well.
    """
    if initial_types is None:
        initial_types = [("X", DoubleTensorType([None, model.n_features_in_]))]
    return convert_sklearn(
        model,
        name=name or type(model).__name__,
        initial_types=initial_types,
        target_opset=target_opset,
    )
