"""The ``ornik`` command line: ``demo``, ``fit`` and ``predict``.

Errors print one line on stderr; the exit code is 2 for a command line that
cannot be used (unknown option or setting, malformed value, a setting the
estimator refuses, even one that only the data shows to be wrong) and 1 when the
work itself fails (a missing or unreadable file, a missing column, unusable data,
a damaged model file).
"""

from __future__ import annotations

import argparse
import csv
import os
import sys

import numpy as np

from . import __version__
from ._atomic_file import replacing
from ._progress import progress
from ._settings import (
    CLASSIFIER,
    REGRESSOR,
    SETTINGS_BY_NAME,
    SettingError,
    check_settings,
    settings_for,
)
from ._settings_generated import settings_help

USAGE_ERROR = 2
RUN_ERROR = 1

_TRUE = frozenset({"true", "yes", "1", "on"})
_FALSE = frozenset({"false", "no", "0", "off"})
_TASKS = {"classification": CLASSIFIER, "regression": REGRESSOR}


class CLIError(Exception):
    """A failure that ends the command with a one-line message."""

    def __init__(self, message: str, code: int = RUN_ERROR, prog: str = "ornik"):
        super().__init__(message)
        self.code = code
        self.prog = prog


class _Parser(argparse.ArgumentParser):
    def error(self, message):
        raise CLIError(message, USAGE_ERROR, self.prog)


# ----------------------------------------------------------------------------
# Settings given as name=value
# ----------------------------------------------------------------------------


def _parse_value(setting, text: str):
    """The value that ``text`` spells for ``setting``; the settings check judges it."""
    lowered = text.strip().lower()
    if setting.none_ok and lowered == "none":
        return None
    if setting.kind == "bool":
        return True if lowered in _TRUE else False if lowered in _FALSE else text
    if setting.kind == "columns":
        return [c.strip() for c in text.split(",") if c.strip()]
    for convert in {"int": (int, float), "float": (float,)}.get(setting.kind, ()):
        try:
            return convert(text)
        except ValueError:
            pass
    return text


def parse_settings(items: list[str]) -> dict:
    """``["max_depth=4", "mode=fast"]`` -> ``{"max_depth": 4, "mode": "fast"}``."""
    settings = {}
    for item in items:
        name, sep, text = item.partition("=")
        name = name.strip()
        if not sep or not name:
            raise CLIError(f"expected a setting as name=value, got {item!r}", USAGE_ERROR)
        setting = SETTINGS_BY_NAME.get(name)
        if setting is None:
            known = ", ".join(sorted(SETTINGS_BY_NAME))
            raise CLIError(f"unknown setting {name!r} (settings: {known})", USAGE_ERROR)
        settings[name] = _parse_value(setting, text)
    return settings


def _check_settings(settings: dict, task: str | None) -> None:
    try:
        check_settings(settings, task)
    except SettingError as exc:
        raise CLIError(str(exc), USAGE_ERROR) from None
    if task is not None:
        wrong = sorted(set(settings) - {s.name for s in settings_for(task)})
        if wrong:
            noun = "classification" if task == CLASSIFIER else "regression"
            raise CLIError(
                f"setting {wrong[0]!r} does not apply to {noun} (use --task to choose)",
                USAGE_ERROR,
            )


def _names(values: list[str] | None) -> list[str]:
    """``["a,b", "c"]`` (an option given twice) -> ``["a", "b", "c"]``."""
    return [n.strip() for v in values or () for n in v.split(",") if n.strip()]


def _check_out(path: str) -> None:
    if os.path.isdir(path):
        raise CLIError(f"cannot write {path}: it is a directory")


# ----------------------------------------------------------------------------
# fit
# ----------------------------------------------------------------------------


def cmd_fit(args) -> int:
    from ._csv_data import column, feature_frame, pos_label_like, read_table, read_target
    from ._estimators import ORNIKClassifier, ORNIKRegressor

    settings = parse_settings(args.settings)
    if args.mode is not None:
        if settings.get("mode", args.mode) != args.mode:
            raise CLIError(
                f"--mode {args.mode} contradicts mode={settings['mode']}: give one", USAGE_ERROR
            )
        settings["mode"] = args.mode
    categorical = _names(args.categorical) + (settings.pop("categorical", None) or [])
    _check_settings(settings, _TASKS.get(args.task))
    _check_out(args.out)
    with progress(f"reading {args.data}"):
        frame = read_table(args.data, args.delimiter, _names(args.na_values))
        column(frame, args.target, args.data)
        task, y = read_target(frame.pop(args.target), args.task)
        if frame.shape[1] == 0:
            raise CLIError(f"{args.data} has no feature columns besides {args.target!r}")
        if len(frame) == 0:
            raise CLIError(f"{args.data} has no data rows")
        X = feature_frame(frame, categorical, args.data)
    if args.task is None and not args.quiet:
        print(
            f"ornik: treating {args.target!r} as a {task} target (choose with --task)",
            file=sys.stderr,
        )

    cls = ORNIKClassifier if task == "classification" else ORNIKRegressor
    if "pos_label" in settings:
        settings["pos_label"] = pos_label_like(settings["pos_label"], y)
    _check_settings(settings, cls._task)
    est = cls(**settings, categorical=categorical or None)
    if cls is ORNIKClassifier and est.objective is not None:
        try:  # the settings that only the classes can refuse
            est._pos_label_index(np.unique(y))
        except ValueError as exc:
            raise CLIError(str(exc), USAGE_ERROR) from None

    # On a terminal the fit shows the estimators' progress bar; the saved model keeps its setting.
    verbose = est.verbose
    est.verbose = verbose or int(sys.stderr.isatty() and not args.quiet)
    with progress("fitting", enabled=False) as p:  # its timer only: the bar shows the fit
        est.fit(X, y)
    est.verbose = verbose
    del X, frame
    try:
        est.save(args.out)
    except OSError as exc:
        raise CLIError(f"cannot write {args.out}: {exc.strerror or exc}") from exc
    if not args.quiet:
        print(
            f"ornik: fitted {cls.__name__} ({est.mode} mode) on {len(y)} rows × "
            f"{est.n_features_in_} features in {p.elapsed:.2f} s: depth {est.get_depth()}, "
            f"{est.get_n_leaves()} leaves -> {args.out}",
            file=sys.stderr,
        )
    return 0


# ----------------------------------------------------------------------------
# predict
# ----------------------------------------------------------------------------


def _format(value) -> str:
    if isinstance(value, (float, np.floating)):
        return repr(float(value))
    return str(value.item() if isinstance(value, np.generic) else value)


def cmd_predict(args) -> int:
    from ._csv_data import model_frame
    from ._persistence import load

    if args.out is not None:
        _check_out(args.out)
    try:
        est = load(args.model)
    except OSError as exc:
        raise CLIError(f"cannot read {args.model}: {exc.strerror or exc}") from exc
    if args.proba and not hasattr(est, "predict_proba"):
        raise CLIError(f"--proba needs a classifier; {args.model} holds a regressor", USAGE_ERROR)
    with progress(f"reading {args.data}"):
        X = model_frame(est, args.data, args.delimiter, _names(args.na_values))
    if len(X) == 0:
        raise CLIError(f"{args.data} has no data rows")
    with progress(f"predicting {len(X)} rows"):
        predictions = est.predict(X)
        proba = est.predict_proba(X) if args.proba else None
    del X
    header = ["prediction"]
    if proba is not None:
        header += [f"proba_{_format(c)}" for c in est.classes_]

    def write(out):
        writer = csv.writer(out, lineterminator="\n")
        writer.writerow(header)
        for i, value in enumerate(predictions):
            row = [_format(value)]
            if proba is not None:
                row += [repr(float(p)) for p in proba[i]]
            writer.writerow(row)

    if args.out is None:
        write(sys.stdout)
        return 0
    try:
        with replacing(args.out, newline="") as out:
            write(out)
    except OSError as exc:
        raise CLIError(f"cannot write {args.out}: {exc.strerror or exc}") from exc
    if not args.quiet:
        print(f"ornik: wrote {len(predictions)} predictions to {args.out}", file=sys.stderr)
    return 0


# ----------------------------------------------------------------------------
# Entry point
# ----------------------------------------------------------------------------


def _parsers() -> dict[str, argparse.ArgumentParser]:
    demo = _Parser(
        prog="ornik demo",
        description="Fit both estimators on datasets bundled with scikit-learn and compare "
        "them with scikit-learn's decision trees.",
    )
    fit = _Parser(
        prog="ornik fit",
        description="Fit a tree on a CSV file and save it as a JSON model.",
        epilog="Columns of numbers are numeric features, columns of text categorical ones.\n\n"
        "settings (as setting=value, e.g. max_depth=4 cv_folds=10; "
        "default shown after '='):\n" + settings_help(),
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    fit.add_argument("data", help="CSV file with a header row")
    fit.add_argument(
        "settings", nargs="*", default=[], metavar="setting=value", help="listed below"
    )
    fit.add_argument("--target", required=True, help="column to predict")
    fit.add_argument(
        "--task",
        choices=("classification", "regression"),
        help="default: classification for text or few distinct integer targets",
    )
    fit.add_argument(
        "--categorical", action="append", metavar="A,B", help="columns to split as categories"
    )
    fit.add_argument("--mode", choices=("strict", "fast"), help="search mode (default strict)")
    fit.add_argument("--out", required=True, metavar="MODEL.json", help="where to save the model")
    predict = _Parser(prog="ornik predict", description="Predict the rows of a CSV file.")
    predict.add_argument("model", help="model file written by 'ornik fit' or est.save()")
    predict.add_argument("data", help="CSV file with the model's feature columns")
    predict.add_argument("--out", metavar="PREDICTIONS.csv", help="default: standard output")
    predict.add_argument("--proba", action="store_true", help="add one probability per class")
    for parser in (fit, predict):
        parser.add_argument(
            "--na-values",
            action="append",
            metavar="TOKEN[,TOKEN]",
            help="cells that mark a missing value, besides empty, NA, NaN, null, None, n/a",
        )
        parser.add_argument("--delimiter", default=",", help="CSV field delimiter (default ,)")
        parser.add_argument("-q", "--quiet", action="store_true", help="print nothing on success")
    return {"demo": demo, "fit": fit, "predict": predict}


_COMMANDS_HELP = """\
usage: ornik [--version] [COMMAND [ARGS...]]

Decision trees whose every split is chosen by K-fold cross-validation.

commands:
  demo      compare with scikit-learn's trees on bundled datasets (the default)
  fit       fit a tree on a CSV file:  ornik fit DATA.csv --target COLUMN --out model.json
  predict   predict a CSV file:        ornik predict model.json DATA.csv [--out predictions.csv]

'ornik COMMAND --help' describes each command.
"""


def main(argv=None) -> int:
    """Run the command line; returns the exit code."""
    argv = list(sys.argv[1:] if argv is None else argv)
    try:
        if argv and argv[0] in ("-h", "--help"):
            print(_COMMANDS_HELP, end="")
            return 0
        if argv and argv[0] == "--version":
            print(f"ornik {__version__}")
            return 0
        command = argv.pop(0) if argv else "demo"
        parsers = _parsers()
        if command not in parsers:
            raise CLIError(
                f"unknown command {command!r} (commands: demo, fit, predict)", USAGE_ERROR
            )
        # A missing marker may begin with "-", which would read as an option.
        argv = [
            f"{a}={argv[i + 1]}" if a == "--na-values" and i + 1 < len(argv) else a
            for i, a in enumerate(argv)
            if i == 0 or argv[i - 1] != "--na-values"
        ]
        try:
            args = parsers[command].parse_intermixed_args(argv)
        except SystemExit as exc:  # --help
            return int(exc.code or 0)
        if command == "demo":
            from ._demo import run_demo

            return run_demo()
        return cmd_fit(args) if command == "fit" else cmd_predict(args)
    except CLIError as exc:
        print(f"{exc.prog}: error: {exc}", file=sys.stderr)
        return exc.code
    except SettingError as exc:
        print(f"ornik: error: {exc}", file=sys.stderr)
        return USAGE_ERROR
    except (ValueError, TypeError, OverflowError) as exc:
        print(f"ornik: error: {exc}", file=sys.stderr)
        return RUN_ERROR
    except KeyboardInterrupt:
        print("ornik: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # The reader of our output went away (e.g. `| head`): stop quietly.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return RUN_ERROR
