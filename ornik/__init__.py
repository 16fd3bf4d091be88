"""Decision trees whose every split is chosen by K-fold cross-validation.

``ORNIKClassifier`` and ``ORNIKRegressor`` are scikit-learn estimators; ``load``
reads a model written by ``est.save(path)``; ``export_text`` and ``plot_tree``
show a fitted tree. Submodules load on first use, so ``import ornik`` stays cheap.
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
    "export_text",
    "load",
    "plot_tree",
]

_LAZY = {
    "ORNIKClassifier": "._estimators",
    "ORNIKRegressor": "._estimators",
    "load": "._persistence",
    "export_text": "._explain",
    "plot_tree": "._explain",
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
