"""Decision trees whose every split is chosen by K-fold cross-validation.

``ORNIKClassifier`` and ``ORNIKRegressor`` are scikit-learn estimators; ``load``
reads a model written by ``est.save(path)``; ``export_text`` and ``plot_tree``
show a fitted tree; ``to_sklearn``, ``to_shap`` and ``to_onnx`` hand it to other
tools, which read ``encode(est, X)``. Submodules load on first use, so
``import ornik`` stays cheap.
"""

from pkgutil import extend_path

__version__ = "0.1.0"

# `python -m ornik` inside a source checkout puts the checkout's ornik folder, which
# has no compiled core, ahead of the installed package: let the package span both.
__path__ = extend_path(__path__, __name__)

__all__ = [
    "ORNIKClassifier",
    "ORNIKRegressor",
    "__version__",
    "encode",
    "export_text",
    "load",
    "plot_tree",
    "to_onnx",
    "to_shap",
    "to_sklearn",
]

_LAZY = {
    "ORNIKClassifier": "._estimators",
    "ORNIKRegressor": "._estimators",
    "load": "._persistence",
    "export_text": "._explain",
    "plot_tree": "._explain",
    "encode": "._binary_tree",
    "to_sklearn": "._sklearn_export",
    "to_shap": "._sklearn_export",
    "to_onnx": "._onnx",
}


def __getattr__(name):
    module = _LAZY.get(name)
    if module is None:
        raise AttributeError(f"module 'ornik' has no attribute {name!r}")
    from importlib import import_module

    value = getattr(import_module(module, __name__), name)
    globals()[name] = value
    return value


def __dir__():
    return sorted(set(globals()) | set(__all__))
