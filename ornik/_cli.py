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
import math
import os
import signal
import subprocess
import sys
import time
import warnings

import numpy as np

from . import __version__

USAGE_ERROR = 2
RUN_ERROR = 1

_MISSING_TOKENS = frozenset({"", "na", "n/a", "nan", "null", "none"})
_TRUE = frozenset({"true", "yes", "1", "on"})
_FALSE = frozenset({"false", "no", "0", "off"})
# Integer-valued numeric targets with at most this many distinct values are
# taken as class labels when --task is not given.
_MAX_INFERRED_CLASSES = 20


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
# Progress display
# ----------------------------------------------------------------------------

# The native fit holds the interpreter lock for its whole run, so no Python thread
# could animate anything meanwhile: the spinner is a tiny separate process.
_SPINNER = r"""
import os, signal, sys, time
label, delay, parent = sys.argv[1], float(sys.argv[2]), os.getppid()
drawn = False
def stop(*_):
    if drawn:
        sys.stderr.write("\r\x1b[K")
        sys.stderr.flush()
    os._exit(0)
signal.signal(signal.SIGTERM, stop)
start = time.monotonic()
time.sleep(delay)
frame = 0
while os.getppid() == parent:
    drawn = True
    sys.stderr.write("\r%s %s %.1fs " % ("|/-\\"[frame % 4], label, time.monotonic() - start))
    sys.stderr.flush()
    frame += 1
    time.sleep(0.1)
"""


class progress:
    """Show a spinner with the elapsed time on ``stream`` while the block runs.

    Nothing appears for work shorter than ``delay`` seconds, or when ``stream``
    is not a terminal (unless ``enabled`` is given). The spinner erases its line
    when it stops.
    """

    def __init__(self, label: str, stream=None, *, enabled: bool | None = None, delay=0.5):
        self.label = label
        self.stream = sys.stderr if stream is None else stream
        if enabled is None:
            enabled = hasattr(self.stream, "isatty") and self.stream.isatty()
        self.enabled = enabled
        self.delay = delay
        self.process = None

    def __enter__(self):
        self.started = time.perf_counter()
        if self.enabled:
            self.stream.flush()
            try:
                self.process = subprocess.Popen(
                    [sys.executable, "-S", "-c", _SPINNER, self.label, str(self.delay)],
                    stdin=subprocess.DEVNULL,
                    stdout=subprocess.DEVNULL,
                    stderr=self.stream,
                )
            except OSError:
                self.process = None  # no spinner is better than no result
        return self

    def __exit__(self, *exc):
        self.elapsed = time.perf_counter() - self.started
        if self.process is not None:
            self.process.send_signal(signal.SIGTERM)
            self.process.wait()
            self.process = None
        return False


# ----------------------------------------------------------------------------
# CSV input
# ----------------------------------------------------------------------------


class Table:
    """A CSV file as header names and one list of cell strings per column."""

    def __init__(self, path: str, delimiter: str = ","):
        self.path = path
        try:
            with open(path, newline="", encoding="utf-8-sig") as fh:
                reader = csv.reader(fh, delimiter=delimiter)
                header = next(reader, None)
                if header is None:
                    raise CLIError(f"{path} is empty")
                rows = []
                for row in reader:
                    if not row:
                        continue
                    if len(row) != len(header):
                        raise CLIError(
                            f"{path}, line {reader.line_num}: expected {len(header)} fields, "
                            f"found {len(row)}"
                        )
                    rows.append(row)
        except OSError as exc:
            raise CLIError(f"cannot read {path}: {exc.strerror or exc}") from exc
        except (UnicodeDecodeError, csv.Error) as exc:
            raise CLIError(f"cannot read {path}: {exc}") from exc
        self.names = [h.strip() for h in header]
        seen = set()
        for name in self.names:
            if name in seen:
                raise CLIError(f"{path}: column {name!r} appears twice in the header")
            seen.add(name)
        self.columns = {name: [row[j] for row in rows] for j, name in enumerate(self.names)}
        self.n_rows = len(rows)

    def column(self, name: str) -> list[str]:
        if name not in self.columns:
            shown = ", ".join(self.names[:12]) + (", ..." if len(self.names) > 12 else "")
            raise CLIError(f"column {name!r} not found in {self.path} (columns: {shown})")
        return self.columns[name]


def _is_missing(cell: str) -> bool:
    return cell.strip().lower() in _MISSING_TOKENS


def _to_numbers(cells: list[str]) -> np.ndarray | None:
    """The cells as float64 (missing tokens as NaN), or None if one is not a number."""
    try:
        return np.array([math.nan if _is_missing(c) else float(c) for c in cells], dtype=float)
    except ValueError:
        return None


def _to_text(cells: list[str]) -> np.ndarray:
    return np.array([None if _is_missing(c) else c.strip() for c in cells], dtype=object)


def _first_bad_number(cells: list[str]) -> str:
    for cell in cells:
        if not _is_missing(cell):
            try:
                float(cell)
            except ValueError:
                return cell
    return ""


# ----------------------------------------------------------------------------
# Settings given as name=value
# ----------------------------------------------------------------------------


def _parse_value(setting, text: str):
    kind, lowered = setting.kind, text.strip().lower()
    if kind.endswith("|None") and lowered == "none":
        return None
    try:
        if kind.startswith("int"):
            return int(text)
        if kind == "float":
            return float(text)
    except ValueError:
        expected = "an integer" if kind.startswith("int") else "a number"
        message = f"setting {setting.name} expects {expected}, got {text!r}"
        raise CLIError(message, USAGE_ERROR) from None
    if kind == "bool":
        if lowered in _TRUE:
            return True
        if lowered in _FALSE:
            return False
        raise CLIError(f"setting {setting.name} expects true or false, got {text!r}", USAGE_ERROR)
    if kind == "columns":
        return [c.strip() for c in text.split(",") if c.strip()]
    return text


def parse_settings(items: list[str]) -> dict:
    """``["max_depth=4", "mode=fast"]`` -> ``{"max_depth": 4, "mode": "fast"}``."""
    from ._estimators import SETTINGS_BY_NAME

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


def _check_settings(est) -> None:
    """Let the native core judge the settings now, before any fitting starts."""
    from . import _ornik

    kwargs = {"categorical": []}
    if est._task == "regressor":
        raw = _ornik.RawRegressor
    elif est.objective is None:
        raw, kwargs["n_classes"] = _ornik.RawClassifier, 2
    else:
        raw, kwargs["n_classes"], kwargs["pos_label"] = _ornik.RawObjectiveClassifier, 2, 0
    try:
        raw(**est._native_kwargs(raw.__name__), **kwargs)
    except (TypeError, ValueError, OverflowError) as exc:
        raise CLIError(f"bad setting: {exc}", USAGE_ERROR) from exc


# ----------------------------------------------------------------------------
# fit
# ----------------------------------------------------------------------------


def _target(table: Table, name: str, task: str | None) -> tuple[str, np.ndarray]:
    cells = table.column(name)
    missing = [i for i, c in enumerate(cells) if _is_missing(c)]
    if missing:
        raise CLIError(
            f"target column {name!r} has {len(missing)} missing values "
            f"(first on data row {missing[0] + 1})"
        )
    numbers = _to_numbers(cells)
    integral = (
        numbers is not None
        and bool(np.all(np.isfinite(numbers)))
        and bool(np.all(numbers == np.round(numbers)))
    )
    if task is None:
        few = numbers is None or len(np.unique(numbers)) <= _MAX_INFERRED_CLASSES
        task = "classification" if numbers is None or (integral and few) else "regression"
        print(
            f"ornik: treating {name!r} as a {task} target (choose with --task)",
            file=sys.stderr,
        )
    if task == "regression":
        if numbers is None:
            raise CLIError(
                f"target column {name!r} is not numeric (found {_first_bad_number(cells)!r}); "
                "use --task classification"
            )
        return task, numbers
    if numbers is None:
        return task, _to_text(cells).astype(str)
    return task, numbers.astype(np.int64) if integral else numbers


def _features(table: Table, names: list[str], categorical: list[str]):
    """The feature matrix and the categorical positions: text columns are categorical."""
    for name in categorical:
        table.column(name)
    positions, columns = [], []
    for j, name in enumerate(names):
        cells = table.column(name)
        numbers = _to_numbers(cells)
        if numbers is None:
            positions.append(j)
            columns.append(_to_text(cells))
        else:
            if name in categorical:
                positions.append(j)
            columns.append(numbers)
    if any(c.dtype == object for c in columns):
        X = np.empty((table.n_rows, len(names)), dtype=object)
        for j, c in enumerate(columns):
            X[:, j] = c
    else:
        X = np.column_stack(columns) if columns else np.empty((table.n_rows, 0))
    return X, positions


def _pos_label_like(value, y: np.ndarray):
    """A pos_label typed from the command line, in the type of the target's labels."""
    if not isinstance(value, str) or y.dtype.kind not in "if":
        return value
    try:
        number = float(value)
    except ValueError:
        return value
    return int(number) if y.dtype.kind == "i" and number.is_integer() else number


def cmd_fit(args) -> int:
    from ._estimators import ORNIKClassifier, ORNIKRegressor

    settings = parse_settings(args.settings)
    if args.mode is not None:
        settings["mode"] = args.mode
    categorical = [c.strip() for c in (args.categorical or "").split(",") if c.strip()]
    categorical += settings.pop("categorical", None) or []
    with progress(f"reading {args.data}"):
        table = Table(args.data, args.delimiter)
        task, y = _target(table, args.target, args.task)
        feature_names = [n for n in table.names if n != args.target]
        if not feature_names:
            raise CLIError(f"{args.data} has no feature columns besides {args.target!r}")
        X, positions = _features(table, feature_names, categorical)

    cls = ORNIKClassifier if task == "classification" else ORNIKRegressor
    valid = {s.name for s in _settings_for(cls)}
    wrong = sorted(set(settings) - valid)
    if wrong:
        raise CLIError(
            f"setting {wrong[0]!r} does not apply to {task} (use --task to choose)",
            USAGE_ERROR,
        )
    if "pos_label" in settings:
        settings["pos_label"] = _pos_label_like(settings["pos_label"], y)
    est = cls(**settings, categorical=positions or None)
    _check_settings(est)

    with progress(f"fitting {cls.__name__} on {X.shape[0]} rows × {X.shape[1]} columns") as p:
        est.fit(X, y)
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


def _settings_for(cls):
    from ._estimators import settings_for

    return settings_for(cls._task)


# ----------------------------------------------------------------------------
# predict
# ----------------------------------------------------------------------------


def _model_matrix(est, table: Table) -> np.ndarray:
    names = getattr(est, "feature_names_in_", None)
    if names is None:
        if len(table.names) != est.n_features_in_:
            raise CLIError(
                f"the model expects {est.n_features_in_} columns and has no column names; "
                f"{table.path} has {len(table.names)}"
            )
        names = table.names
    columns = []
    for j, name in enumerate(names):
        cells = table.column(str(name))
        cats = est.categories_[j]
        if cats is not None and cats.dtype.kind not in "biuf":
            columns.append(_to_text(cells))
            continue
        numbers = _to_numbers(cells)
        if numbers is None:
            if cats is not None:
                # A value that is not a number cannot be a known category: missing.
                numbers = np.array(
                    [v if isinstance(v, float) else math.nan for v in map(_try_float, cells)]
                )
            else:
                raise CLIError(
                    f"column {name!r} of {table.path} must be numeric, "
                    f"found {_first_bad_number(cells)!r}"
                )
        columns.append(numbers)
    X = np.empty((table.n_rows, len(columns)), dtype=object)
    for j, c in enumerate(columns):
        X[:, j] = c
    if all(c.dtype != object for c in columns):
        X = X.astype(np.float64)
    return X


def _try_float(cell: str):
    try:
        return float(cell)
    except ValueError:
        return None


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
        X = _model_matrix(est, table)
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
