"""Module object, class surface, constructor arguments and their validation."""

import inspect

import numpy as np
import pytest
from native_helpers import ARGS, CLASSES, KEYWORDS, make

from ornik._ornik import RawClassifier, RawObjectiveClassifier, RawRegressor


@pytest.mark.parametrize("cls", CLASSES)
def test_class_and_from_tree_signatures(cls):
    assert cls.__name__ == cls.__qualname__ and cls.__doc__
    keywords = "".join(f", {k}={v!r}" for k, v in KEYWORDS[cls].items())
    expected = "(" + ", ".join(ARGS[cls]) + ", *" + keywords + ")"
    assert cls.__text_signature__ == str(inspect.signature(cls)) == expected
    assert isinstance(inspect.getattr_static(cls, "from_tree"), staticmethod)
    n_classes = "" if cls is RawRegressor else "n_classes, "
    assert str(inspect.signature(cls.from_tree)) == f"(tree, {n_classes}categorical)"


REG_CRIT = 'unknown regression criterion {} (expected "mse", "variance" or "mae")'
CLS_CRIT = 'unknown classification criterion {} (expected "gini" or "entropy")'
AVERAGE = "unknown average {} (expected binary/micro/macro/weighted)"
OBJECTIVE = "unknown objective {} (expected precision/recall/f1/fbeta/accuracy)"
MODE = 'unknown mode {} (expected "strict" or "fast")'
STYLE = 'unknown split_style {} (expected "threshold" or "bin")'
AGG = "unknown aggregator {}"
CV_SCORE = 'unknown cv_score {} (expected "impurity" or "loss")'
CV_STOP = 'unknown cv_stop {} (expected "score" or "selection")'
REJECTED = [
    (RawRegressor, dict(criterion="MSE"), REG_CRIT),
    (RawRegressor, dict(criterion="gini"), REG_CRIT),
    (RawClassifier, dict(criterion="mse"), CLS_CRIT),
    (RawObjectiveClassifier, dict(average="samples"), AVERAGE),
    (RawObjectiveClassifier, dict(objective="f2"), OBJECTIVE),
    (RawRegressor, dict(cv_score="Loss"), CV_SCORE), (RawClassifier, dict(mode="strict\n"), MODE),
    (RawObjectiveClassifier, dict(split_style="membership"), STYLE),
    (RawRegressor, dict(aggregator=""), AGG), (RawClassifier, dict(cv_stop="selection "), CV_STOP),
    # Strings are checked in a fixed order; the first bad one, listed first here, is reported.
    (RawRegressor, dict(criterion="x", mode="y"), REG_CRIT),
    (RawRegressor, dict(mode="x", aggregator="y"), MODE),
    (RawRegressor, dict(split_style="x", aggregator="y"), STYLE),
    (RawObjectiveClassifier, dict(average="y", objective="x"), AVERAGE),
    (RawObjectiveClassifier, dict(objective="x", mode="y"), OBJECTIVE),
]  # fmt: skip


@pytest.mark.parametrize("cls, overrides, template", REJECTED)
def test_rejected_strings(cls, overrides, template):
    quoted = '"' + next(iter(overrides.values())).replace("\n", "\\n") + '"'
    with pytest.raises(ValueError) as info:
        make(cls, **overrides)
    assert str(info.value) == template.format(quoted)


@pytest.mark.parametrize(
    "text, quoted",
    # The last: the last two-byte and the first three-byte UTF-8 characters, both printable.
    [('say "hi"', r'"say \"hi\""'), ("tab\tlf\ncr\rnul\0", r'"tab\tlf\ncr\rnul\0"'),
     ("\x01\x1f\x7f", r'"\u{1}\u{1f}\u{7f}"'), ("lone\ud800", r'"lone\u{d800}"'),
     ("nbsp\u00a0zwsp\u200b", r'"nbsp\u{a0}zwsp\u{200b}"'), ("\u07ff\u0800", '"\u07ff\u0800"')],
)  # fmt: skip
def test_quoting_in_messages(text, quoted):
    with pytest.raises(ValueError) as info:
        make(RawRegressor, aggregator=text)
    assert str(info.value) == "unknown aggregator " + quoted


# ---- Conversions ----


def index(v):  # an object that converts only through __index__
    return type("Index", (), {"__index__": lambda _: v})()


FLOATY = type("Floaty", (), {"__float__": lambda _: 0.25})()  # converts only through __float__
ACCEPTED = dict(n_bins=[True, np.uint64(2**64 - 1)], cv_seed=[2**64 - 1], cv_folds=[index(3)],
                max_depth=[None], min_impurity_decrease=[FLOATY, index(2)],
                cv_shuffle=[np.bool_(False)],
                categorical=[(3, 1, 3), np.array([2, 0], dtype=np.uint8)])  # fmt: skip


@pytest.mark.parametrize("name, value", [(k, v) for k, vs in ACCEPTED.items() for v in vs])
def test_accepted_conversions(name, value):
    for cls in CLASSES:
        make(cls, **{name: value})


# Conversions run in signature order; the first failure, named first in a case, is reported.
TYPE_ERRORS = [dict(n_bins=1.5), dict(max_depth=2.0), dict(min_impurity_decrease="0.1"),
               dict(agg_frac=[0.1]), dict(cv_shuffle=1), dict(parallel=np.int64(1)),
               dict(mode=b"strict"), dict(categorical="01"), dict(categorical=[0, 1.0]),
               dict(cv_score=1), dict(n_classes=2.0), dict(pos_label="1"), dict(beta="1"),
               dict(average=1), dict(criterion=5, n_bins=1.5), dict(n_bins=1.5, criterion="bad"),
               dict(cv_shuffle=1, categorical="x"),
               dict(categorical="x", aggregator="bad")]  # fmt: skip
OVERFLOWS = [dict(cv_seed=-1), dict(max_depth=-3), dict(categorical=[1, -1]), dict(n_classes=-1),
             dict(min_impurity_decrease=10**400), dict(cv_seed=-1, cv_shuffle=1),
             dict(categorical=[-1], mode="bad")]  # fmt: skip


@pytest.mark.parametrize(
    "overrides, exc",
    [(o, TypeError) for o in TYPE_ERRORS] + [(o, OverflowError) for o in OVERFLOWS],
)
def test_rejected_conversions(overrides, exc):
    cls = next(c for c in CLASSES if set(overrides) <= {*ARGS[c], *KEYWORDS[c]})
    with pytest.raises(exc) as info:
        make(cls, **overrides)
    assert type(info.value) is exc
    prefix = f"argument '{next(iter(overrides))}': "
    assert str(info.value).startswith(prefix) == (exc is TypeError)
    assert len(str(info.value)) > len(prefix) or exc is not TypeError


def bound_function(cls, method):
    """A function that binds arguments, its name in messages and a complete set of arguments."""
    if method == "__init__":
        return cls, cls.__name__, ARGS[cls]
    if method == "from_tree":
        n_classes = {} if cls is RawRegressor else {"n_classes": 2}
        return cls.from_tree, "from_tree", dict(tree={}, **n_classes, categorical=[])
    args = dict(x=np.zeros((2, 1)), y=np.zeros(2, dtype=np.int_)) if method == "fit" else dict(x=0)
    return getattr(make(cls), method), method, args


@pytest.mark.parametrize(
    "cls, method",
    [(cls, method) for cls in CLASSES
     for method in ("__init__", "fit", "predict", "predict_proba", "apply", "from_tree")
     if cls is not RawRegressor or method != "predict_proba"],
)  # fmt: skip
def test_binding_messages(cls, method):
    f, name, args = bound_function(cls, method)
    names, values, n = list(args), list(args.values()), len(args)

    def message(*a, **k):
        with pytest.raises(TypeError) as info:
            f(*a, **k)
        return str(info.value)

    # The first unknown keyword names itself, before the count or a missing argument.
    unexpected = f"{name}() got an unexpected keyword argument "
    assert message(**args, random_state=1, seed=2) == unexpected + "'random_state'"
    assert message(values[0], seed=2, random_state=1) == unexpected + "'seed'"
    too_many = f"{name}() takes at most {n} argument{'s' * (n > 1)} ({n + 1} given)"
    assert message(*values, values[0]) == too_many
    assert message(values[0], **args) == too_many
    if method == "__init__":
        # The keyword-only arguments are not counted; the objective classifier has no cv_score.
        assert message(*values, values[0], **KEYWORDS[cls]) == too_many
        if cls is RawObjectiveClassifier:
            assert message(**args, cv_score="impurity") == unexpected + "'cv_score'"
    assert message(*values[:-1]) == f"{name}() missing required argument '{names[-1]}' (pos {n})"
    rest = dict(list(args.items())[1:])
    assert message(**rest) == f"{name}() missing required argument '{names[0]}' (pos 1)"


@pytest.mark.parametrize("cls", CLASSES)
def test_fresh_estimator(cls):
    est = make(cls)
    assert est.depth() == 0 and est.n_leaves() == 0
    with pytest.raises(ValueError, match=r"^estimator is not fitted$"):
        est.export_tree()
    for method in [est.predict, est.apply] + ([] if cls is RawRegressor else [est.predict_proba]):
        with pytest.raises(ValueError, match=r"^estimator is not fitted$"):
            method(np.zeros((2, 2)))
        # The argument is converted before the fitted flag is looked at.
        for x in ([[1.0]], np.zeros((2, 2), dtype=">f8"), None):
            with pytest.raises(TypeError, match=r"^argument 'x': "):
                method(x)
