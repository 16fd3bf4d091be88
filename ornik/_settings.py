"""The estimators' settings: each declared once, with its type, default, range and meaning.

Everything else is derived from :data:`SETTINGS`: the arguments of the native
constructors and the checks that ``fit``, ``ornik.load`` and the command line run
before any work (here), and the estimators' ``__init__`` signatures and docstrings,
the command line's list and the README's settings table (in ``_settings_generated``).
"""

from __future__ import annotations

import math
from collections.abc import Mapping
from dataclasses import dataclass

import numpy as np

CLASSIFIER = "classifier"
REGRESSOR = "regressor"
TASKS = (CLASSIFIER, REGRESSOR)

# The native constructors, and the parameters of each that come from the data, not from a
# setting: they lead the parameter list.
NATIVE_CLASSES = {
    "RawRegressor": (),
    "RawClassifier": ("n_classes",),
    "RawObjectiveClassifier": ("n_classes",),
}
_TREE_RAW = ("RawRegressor", "RawClassifier")
_OBJECTIVE_RAW = ("RawObjectiveClassifier",)

# The native core reads counts, depths and seeds as unsigned 64-bit integers.
_UINT64_END = 2**64


class SettingError(ValueError, TypeError):
    """A setting outside its allowed values.

    Also a TypeError, as scikit-learn's own parameter errors are: a value of the wrong
    type raised one before the settings were checked here.
    """


@dataclass(frozen=True)
class Setting:
    """One constructor setting.

    ``kind`` is "int", "float", "bool", "str", "label" (a class label), "columns"
    (column positions, names or a mask) or "class_weights" ("balanced" or a dict of
    class label to weight). Numbers must lie between ``low`` and ``high``
    (``closed`` says which ends are allowed: "both", "left", "right" or "neither");
    a "str" setting must be one of ``choices``. ``default`` and ``choices`` are one
    value, or a ``{task: value}`` dict when they differ between the estimators.
    ``native`` names the native constructors that take a parameter of that name;
    ``native_keyword`` marks one that they take as an optional keyword-only argument.
    """

    name: str
    kind: str
    default: object
    meaning: str
    low: float | None = None
    high: float | None = None
    closed: str = "both"
    choices: tuple | dict | None = None
    none_ok: bool = False
    fast_max: int | None = None  # the most that mode="fast" can use
    strict_only: tuple = ()  # choices that need mode="strict"
    tasks: tuple[str, ...] = TASKS
    native: tuple[str, ...] = tuple(NATIVE_CLASSES)
    native_keyword: bool = False

    def default_for(self, task: str | None) -> object:
        if isinstance(self.default, dict):
            return self.default.get(task)
        return self.default

    def choices_for(self, task: str | None) -> tuple:
        if not isinstance(self.choices, dict):
            return self.choices
        if task is None:
            return tuple(c for t in self.tasks for c in self.choices[t])
        return self.choices[task]

    def type_text(self) -> str:
        text = {"label": "class label", "columns": "list", "class_weights": "dict or str"}.get(
            self.kind, self.kind
        )
        return f"{text} or None" if self.none_ok else text

    def allowed(self, task: str | None) -> str:
        """The allowed values in words, e.g. "an integer in [2, 2**64)"."""
        text = self._allowed_values(task)
        if self.fast_max is not None:
            text += f" (at most {self.fast_max} with mode='fast')"
        if set(self.strict_only) & set(self.choices_for(task) or ()):
            text += f" ({_one_of([repr(c) for c in self.strict_only])} needs mode='strict')"
        return text

    def _allowed_values(self, task: str | None) -> str:
        if self.kind in ("int", "float"):
            text = _interval_text(self)
        elif self.kind == "bool":
            text = "True or False"
        elif self.kind == "str":
            text = _one_of([repr(c) for c in self.choices_for(task)])
        elif self.kind == "label":
            text = "one of the class labels"
        elif self.kind == "class_weights":
            text = "'balanced' or a dict of class label: finite weight >= 0"
        else:
            text = "column positions, column names or a boolean mask"
        return f"None or {text}" if self.none_ok else text

    def check(self, value, task: str | None = None) -> None:
        """Raise SettingError unless ``value`` is allowed."""
        if not self._allows(plain(value), task):
            raise SettingError(f"{self.name} must be {self.allowed(task)}, got {plain(value)!r}")

    def _allows(self, value, task) -> bool:
        if value is None:
            return self.none_ok
        if self.kind == "int":
            return isinstance(value, int) and not isinstance(value, bool) and self._in_range(value)
        if self.kind == "float":
            if not isinstance(value, (int, float)) or isinstance(value, bool):
                return False
            try:
                value = float(value)
            except OverflowError:
                return False
            return not math.isnan(value) and self._in_range(value)
        if self.kind == "bool":
            return isinstance(value, bool)
        if self.kind == "str":
            return isinstance(value, str) and value in self.choices_for(task)
        if self.kind == "label":
            return isinstance(value, (str, int, float))
        if self.kind == "class_weights":
            return (isinstance(value, str) and value == "balanced") or _class_weights(value)
        return column_items(value) is not None

    def _in_range(self, value) -> bool:
        low = -math.inf if self.low is None else self.low
        high = math.inf if self.high is None else self.high
        above = value >= low if self.closed in ("both", "left") else value > low
        below = value <= high if self.closed in ("both", "right") else value < high
        return above and below


def plain(value):
    """A Python scalar for a NumPy scalar, unchanged otherwise."""
    return value.item() if isinstance(value, np.generic) else value


def _one_of(items: list[str]) -> str:
    return items[0] if len(items) == 1 else ", ".join(items[:-1]) + " or " + items[-1]


def _number_text(value) -> str:
    return "2**64" if value == _UINT64_END else f"{value:g}"


def _interval_text(s: Setting) -> str:
    noun = "an integer" if s.kind == "int" else "a number"
    if s.low is None and s.high is None:
        return f"{noun}, not NaN"
    low_closed = s.closed in ("both", "left")
    high_closed = s.closed in ("both", "right")
    if s.high is None:
        noun = noun if high_closed else "a finite number"
        return f"{noun} {'>=' if low_closed else '>'} {_number_text(s.low)}"
    left, right = "[" if low_closed else "(", "]" if high_closed else ")"
    return f"{noun} in {left}{_number_text(s.low)}, {_number_text(s.high)}{right}"


def _class_weights(value) -> bool:
    """Whether ``value`` is a dict of class labels to finite weights >= 0."""
    if not isinstance(value, Mapping):
        return False
    for w in map(plain, value.values()):
        if isinstance(w, bool) or not isinstance(w, (int, float)) or not 0 <= w < math.inf:
            return False
    return True


def column_items(value) -> list | None:
    """The items of a ``categorical`` value, or None when it has no usable form.

    The items are all booleans (a mask), all integers (positions) or all strings
    (names); whether they fit the data is for ``fit`` to judge.
    """
    value = plain(value)
    if value is None:
        return []
    if isinstance(value, (str, int)) and not isinstance(value, bool):
        return [value]
    if isinstance(value, (bool, float, bytes, dict, set)):
        return None
    try:
        items = [plain(v) for v in np.asarray(value, dtype=object).ravel().tolist()]
    except (TypeError, ValueError):
        return None
    for kind in (bool, int, str):
        if all(isinstance(v, kind) and (kind is bool or not isinstance(v, bool)) for v in items):
            return items
    return None


def _count(name: str, default: int, meaning: str, low: int, **more) -> Setting:
    """An unsigned count of the native core, from ``low`` up."""
    return Setting(name, "int", default, meaning, low=low, high=_UINT64_END, closed="left", **more)


SETTINGS: tuple[Setting, ...] = (
    Setting(
        "criterion",
        "str",
        {CLASSIFIER: "gini", REGRESSOR: "mse"},
        "impurity that scores the splits; a classifier with an `objective` ignores it",
        choices={CLASSIFIER: ("gini", "entropy"), REGRESSOR: ("mse", "variance", "mae")},
        strict_only=("mae",),
        native=_TREE_RAW,
    ),
    Setting(
        "objective",
        "str",
        None,
        "score the splits by a classification metric instead of an impurity",
        choices=("accuracy", "precision", "recall", "f1", "fbeta"),
        none_ok=True,
        tasks=(CLASSIFIER,),
        native=_OBJECTIVE_RAW,
    ),
    Setting(
        "average",
        "str",
        "binary",
        'how `objective` combines the classes ("binary" scores the class `pos_label`)',
        choices=("binary", "micro", "macro", "weighted"),
        tasks=(CLASSIFIER,),
        native=_OBJECTIVE_RAW,
    ),
    Setting(
        "pos_label",
        "label",
        None,
        'the positive class of "binary"; None is `classes_[1]` of a two-class problem',
        none_ok=True,
        tasks=(CLASSIFIER,),
        native=_OBJECTIVE_RAW,
    ),
    Setting(
        "beta",
        "float",
        1.0,
        'the β of "fbeta": recall weighs β times as much as precision',
        low=0.0,
        closed="left",
        tasks=(CLASSIFIER,),
        native=_OBJECTIVE_RAW,
    ),
    Setting(
        "class_weight",
        "class_weights",
        None,
        'weights of the classes, multiplying each sample\'s weight; "balanced" weighs a '
        "class by n_samples / (n_classes * its count)",
        none_ok=True,
        tasks=(CLASSIFIER,),
        native=(),
    ),
    _count("max_depth", 8, "maximum depth of the tree; None grows without limit", 0, none_ok=True),
    _count("min_samples_split", 2, "smallest node that is considered for a split", 2),
    _count("min_samples_leaf", 1, "smallest number of training samples on each side", 1),
    Setting(
        "min_impurity_decrease",
        "float",
        0.0,
        "the aggregated cross-validated score that the best split must exceed",
    ),
    _count(
        "n_bins",
        8,
        "numeric features are cut at quantiles into at most this many bins",
        2,
        fast_max=65535,
    ),
    _count("cv_folds", 5, "folds that score every candidate split of a node", 2, fast_max=255),
    _count("cv_seed", 42, "seed of the fold shuffling", 0),
    Setting("cv_shuffle", "bool", True, "shuffle a node's samples before cutting the folds"),
    Setting(
        "cv_score",
        "str",
        "loss",
        '"impurity": a fold scores the impurity decrease on its held-out samples; "loss": the '
        "drop in their loss when each side predicts from the training part (ignored with an "
        "`objective`)",
        choices=("impurity", "loss"),
        native=_TREE_RAW,
        native_keyword=True,
    ),
    Setting(
        "cv_stop",
        "str",
        "selection",
        '"score": a node stays a leaf when its best score does not exceed '
        '`min_impurity_decrease`; "selection": when the held-out gains of the splits that '
        "each fold's training part alone would pick do not",
        choices=("score", "selection"),
        native_keyword=True,
    ),
    Setting(
        "mode",
        "str",
        "strict",
        'search mode: "strict" recomputes bins and folds at every node, "fast" bins once',
        choices=("strict", "fast"),
    ),
    Setting(
        "split_style",
        "str",
        "threshold",
        '"threshold": x < t goes left; "bin": one quantile bin goes left ("bin_membership" too)',
        choices=("threshold", "bin", "bin_membership"),
    ),
    Setting(
        "aggregator",
        "str",
        "mean_minus_lambda_std",
        "how the fold scores of a candidate are combined",
        choices=("mean", "median", "trimmed_mean", "signal_to_noise", "mean_minus_lambda_std"),
    ),
    Setting(
        "agg_frac",
        "float",
        0.1,
        'fraction trimmed from each end by "trimmed_mean"',
        low=0.0,
        high=0.5,
        closed="left",
    ),
    Setting(
        "agg_eps",
        "float",
        1e-9,
        'added to the standard deviation by "signal_to_noise"',
        low=0.0,
        closed="neither",
    ),
    Setting(
        "agg_lambda",
        "float",
        0.5,
        'weight of the standard deviation in "mean_minus_lambda_std"',
        low=0.0,
        closed="left",
    ),
    Setting("parallel", "bool", False, "score a node's features on worker threads"),
    _count("n_threads", 1, "worker threads when `parallel` is True", 1),
    _count("parallel_min_samples", 512, "smallest node that fast mode scores on worker threads", 0),
    Setting(
        "verbose",
        "int",
        0,
        "1 or more: `fit` shows a progress bar of the training samples settled in leaves",
        low=0,
        native=(),
    ),
    Setting(
        "categorical",
        "columns",
        None,
        "features split as categories (text and pandas category columns are in any case)",
        none_ok=True,
    ),
)

SETTINGS_BY_NAME = {s.name: s for s in SETTINGS}


def settings_for(task: str) -> tuple[Setting, ...]:
    return tuple(s for s in SETTINGS if task in s.tasks)


def check_settings(values: Mapping[str, object], task: str | None = None) -> None:
    """Raise SettingError for the first value in ``values`` that its setting refuses.

    ``values`` maps setting names to values; settings left out take their defaults
    when a rule combines several. With ``task`` None (the estimator is not known
    yet) a value is allowed when either estimator allows it.
    """
    for name, value in values.items():
        setting = SETTINGS_BY_NAME.get(name)
        if setting is not None and (task is None or task in setting.tasks):
            setting.check(value, task)

    def get(name):
        return values[name] if name in values else SETTINGS_BY_NAME[name].default_for(task)

    if get("mode") != "fast":
        return
    for s in SETTINGS:
        value = plain(get(s.name))
        if s.strict_only and value in s.strict_only:
            raise SettingError(f"{s.name}={value!r} needs mode='strict'")
        if s.fast_max is not None and value > s.fast_max:
            raise SettingError(
                f"{s.name}={value!r} needs mode='strict' (mode='fast' allows at most {s.fast_max})"
            )


def native_parameters(raw_name: str) -> tuple[str, ...]:
    """The required parameters of a native constructor, in its signature order."""
    return NATIVE_CLASSES[raw_name] + tuple(
        s.name for s in SETTINGS if raw_name in s.native and not s.native_keyword
    )


def native_keywords(raw_name: str) -> tuple[str, ...]:
    """The optional keyword-only parameters of a native constructor."""
    return tuple(s.name for s in SETTINGS if raw_name in s.native and s.native_keyword)
