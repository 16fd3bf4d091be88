"""The ``ornik`` command line: ``demo``, ``fit`` and ``predict``.

Data files are read with the csv module, so the command works without pandas.
Errors print one line on stderr; the exit code is 2 for a command line that
cannot be used (unknown option or setting, malformed value, a setting the
estimator refuses) and 1 when the work itself fails (a missing or unreadable
file, a missing column, unusable data, a damaged model file).
"""

from __future__ import annotations

import argparse
import csv
import os
import sys
import warnings

import numpy as np

from . import __version__
from ._csv_data import Table, model_matrix, pos_label_like, read_features, read_target
from ._progress import progress
from ._settings import (
    CLASSIFIER,
    REGRESSOR,
    SETTINGS_BY_NAME,
    SettingError,
    check_settings,
    settings_for,
)

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


# ----------------------------------------------------------------------------
# fit
# ----------------------------------------------------------------------------


def cmd_fit(args) -> int:
    from ._estimators import ORNIKClassifier, ORNIKRegressor

    settings = parse_settings(args.settings)
    if args.mode is not None:
        settings["mode"] = args.mode
    categorical = [c.strip() for c in (args.categorical or "").split(",") if c.strip()]
    categorical += settings.pop("categorical", None) or []
    _check_settings(settings, _TASKS.get(args.task))
    with progress(f"reading {args.data}"):
        table = Table(args.data, args.delimiter)
        task, y = read_target(table, args.target, args.task)
        if args.task is None:
            print(
                f"ornik: treating {args.target!r} as a {task} target (choose with --task)",
                file=sys.stderr,
            )
        feature_names = [n for n in table.names if n != args.target]
        if not feature_names:
            raise CLIError(f"{args.data} has no feature columns besides {args.target!r}")
        X, positions = read_features(table, feature_names, categorical)

    cls = ORNIKClassifier if task == "classification" else ORNIKRegressor
    valid = {s.name for s in settings_for(cls._task)}
    wrong = sorted(set(settings) - valid)
    if wrong:
        raise CLIError(
            f"setting {wrong[0]!r} does not apply to {task} (use --task to choose)",
            USAGE_ERROR,
        )
    if "pos_label" in settings:
        settings["pos_label"] = pos_label_like(settings["pos_label"], y)
    _check_settings(settings, cls._task)
    est = cls(**settings, categorical=positions or None)

    # On a terminal the fit shows the estimators' progress bar; the saved model keeps its setting.
    verbose = est.verbose
    est.verbose = verbose or int(sys.stderr.isatty())
    with progress("fitting", enabled=False) as p:  # its timer only: the bar shows the fit
        est.fit(X, y)
    est.verbose = verbose
    est.feature_names_in_ = np.asarray(feature_names, dtype=object)
    try:
        est.save(args.out)
    except OSError as exc:
        raise CLIError(f"cannot write {args.out}: {exc.strerror or exc}") from exc
    if not args.quiet:
        print(
            f"ornik: fitted {cls.__name__} ({est.mode} mode) on {X.shape[0]} rows × "
            f"{X.shape[1]} features in {p.elapsed:.2f} s: depth {est.get_depth()}, "
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
    from ._persistence import load

    try:
        est = load(args.model)
    except OSError as exc:
        raise CLIError(f"cannot read {args.model}: {exc.strerror or exc}") from exc
    with progress(f"reading {args.data}"):
        table = Table(args.data, args.delimiter)
        X = model_matrix(est, table)
    if table.n_rows == 0:
        raise CLIError(f"{args.data} has no data rows")
    with progress(f"predicting {table.n_rows} rows"), warnings.catch_warnings():
        # The model knows its column names; the matrix built from them has none.
        warnings.filterwarnings("ignore", message="X does not have valid feature names")
        predictions = est.predict(X)
        proba = est.predict_proba(X) if args.proba and hasattr(est, "predict_proba") else None
    header = ["prediction"]
    if proba is not None:
        header += [f"proba_{_format(c)}" for c in est.classes_]
    try:
        out = sys.stdout if args.out is None else open(args.out, "w", newline="", encoding="utf-8")
    except OSError as exc:
        raise CLIError(f"cannot write {args.out}: {exc.strerror or exc}") from exc
    try:
        writer = csv.writer(out, lineterminator="\n")
        writer.writerow(header)
        for i, value in enumerate(predictions):
            row = [_format(value)]
            if proba is not None:
                row += [repr(float(p)) for p in proba[i]]
            writer.writerow(row)
    finally:
        if out is not sys.stdout:
            out.close()
    if not args.quiet and args.out is not None:
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
        epilog="Settings are the estimators' constructor arguments, e.g. max_depth=4 "
        "cv_folds=10 aggregator=median. Columns holding text are categorical.",
    )
    fit.add_argument("data", help="CSV file with a header row")
    fit.add_argument("settings", nargs="*", metavar="setting=value")
    fit.add_argument("--target", required=True, help="column to predict")
    fit.add_argument(
        "--task",
        choices=("classification", "regression"),
        help="default: classification for text or few distinct integer targets",
    )
    fit.add_argument("--categorical", metavar="A,B", help="columns to split as categories")
    fit.add_argument("--mode", choices=("strict", "fast"), help="search mode (default strict)")
    fit.add_argument("--out", required=True, metavar="MODEL.json", help="where to save the model")
    fit.add_argument("--delimiter", default=",", help="CSV field delimiter (default ,)")
    fit.add_argument("-q", "--quiet", action="store_true", help="print nothing on success")

    predict = _Parser(prog="ornik predict", description="Predict the rows of a CSV file.")
    predict.add_argument("model", help="model file written by 'ornik fit' or est.save()")
    predict.add_argument("data", help="CSV file with the model's feature columns")
    predict.add_argument("--out", metavar="PREDICTIONS.csv", help="default: standard output")
    predict.add_argument("--proba", action="store_true", help="add one probability per class")
    predict.add_argument("--delimiter", default=",", help="CSV field delimiter (default ,)")
    predict.add_argument("-q", "--quiet", action="store_true", help="print nothing on success")
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
