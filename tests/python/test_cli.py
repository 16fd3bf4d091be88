"""The ``ornik`` command line."""

import csv
import json
import os
import subprocess
import sys
import time

import numpy as np
import pandas as pd
import pytest

import ornik
from ornik import ORNIKRegressor
from ornik._cli import main
from ornik._csv_data import DataFileError, feature_frame, read_table
from ornik._progress import progress
from ornik._settings import SETTINGS

# Where the package under test lives: the real command runs from elsewhere (the source
# tree's ornik folder has no compiled core) with this one.
PACKAGE_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(ornik.__file__)))
HEADER = ["width", "colour", "shelf", "label"]


def write_csv(path, header, rows):
    with open(path, "w", newline="") as fh:
        csv.writer(fh).writerows([header, *rows])
    return path


@pytest.fixture
def data(tmp_path):
    """A classification CSV with a text column and missing cells, plus its columns."""
    rng = np.random.default_rng(0)
    width, colour = rng.normal(size=160).round(3), rng.choice(["red", "green", "blue"], size=160)
    label = np.where((width > 0.2) | (colour == "red"), "keep", "drop")
    rows = [["" if i % 17 == 0 else str(width[i]), "NA" if i % 23 == 0 else colour[i], i % 5,
             label[i]] for i in range(160)]  # fmt: skip
    return write_csv(tmp_path / "train.csv", HEADER, rows), rows


def run(capsys, *argv):
    try:
        code = main([str(a) for a in argv])
    except SystemExit as e:  # argparse's own refusals
        code = e.code
    return code, *capsys.readouterr()


def command(*argv, cwd, umask=None):
    """The real ``ornik`` command, in a child process."""
    return subprocess.run(
        [sys.executable, "-m", "ornik", *map(str, argv)],
        capture_output=True, text=True, timeout=300, cwd=cwd,
        env=dict(os.environ, PYTHONPATH=PACKAGE_ROOT),
        preexec_fn=None if umask is None else lambda: os.umask(umask),
    )  # fmt: skip


def test_fit_then_predict_matches_the_python_model(data, tmp_path, capsys):
    path, rows = data
    model, out = tmp_path / "model.json", tmp_path / "pred.csv"
    fit = ["fit", path, "--target", "label", "max_depth=3", "--categorical", "shelf", "--out"]
    code, _, err = run(capsys, *fit, model)
    assert code == 0 and "'label' as a classification target" in err and f"-> {model}" in err
    est = ornik.load(model)
    assert est.max_depth == 3 and est.feature_names_in_.tolist() == ["width", "colour", "shelf"]
    assert est.is_categorical_.tolist() == [False, True, True]  # text columns are categorical
    assert sorted(est.categories_[1].tolist()) == ["blue", "green", "red"]
    assert est.categories_[2].tolist() == [0.0, 1.0, 2.0, 3.0, 4.0]  # numbers stay numbers
    assert run(capsys, "predict", model, path, "--out", out, "--proba")[0] == 0
    predicted = list(csv.DictReader(out.open()))
    X = [[float(r[0] or "nan"), None if r[1] == "NA" else r[1], r[2]] for r in rows]
    expected = est.predict(pd.DataFrame(X, columns=HEADER[:3]))
    assert [p["prediction"] for p in predicted] == expected.tolist()
    assert set(predicted[0]) == {"prediction", "proba_drop", "proba_keep"}
    assert np.mean(expected == [r[3] for r in rows]) > 0.9


@pytest.mark.parametrize(
    "argv, code, message",
    [
        (["fit", "absent.csv", "--target", "label", "--out", "m.json"], 1, "cannot read absent"),
        (["fit", "{train}", "--target", "nope", "--out", "m.json"], 1, "column 'nope' not found"),
        (["fit", "{train}", "--target", "label", "depth=3", "--out", "m"], 2, "unknown setting"),
        (["fit", "{train}", "--target", "label", "--mode", "fast", "mode=strict", "--out", "m"], 2,
         "--mode fast contradicts mode=strict"),
        (["fit", "{train}", "--target", "label", "--task", "regression", "--out", "m.json"], 1,
         "target column 'label' is not numeric"),
        (["fit", "{train}", "--target", "width", "--task", "regression", "--out", "m.json"], 1,
         "target column 'width' has 10 missing values"),
        (["fit", "{train}", "--target", "shelf", "objective=f1", "--out", "m.json"], 2,
         "average='binary' scores one class, but the target has 5 classes"),
        (["fit", "{train}", "--target", "label", "objective=f1", "pos_label=yes", "--out", "m"], 2,
         "pos_label='yes' is not one of the classes ['drop', 'keep']"),
        (["fit", "{stray}", "--target", "label", "--out", "m.json"], 1,
         "column 'width' of stray.csv holds numbers, but data row 3 is '?': give --na-values '?'"),
        (["fit", "{train}", "--target", "label", "--out", "nodir/m.json"], 1, "cannot write"),
        (["predict", "{regressor}", "{train}", "--proba"], 2, "--proba needs a classifier"),
    ],
)  # fmt: skip
def test_errors_are_one_line_with_the_exit_code(
    argv, code, message, data, tmp_path, capsys, monkeypatch
):
    train, rows = data
    stray = [[3 - i if i != 2 else "?", *rows[i][1:]] for i in range(9)]
    files = dict(train=train, model=tmp_path / "model.json", regressor=tmp_path / "regressor.json",
                 stray=write_csv(tmp_path / "stray.csv", HEADER, stray).name)  # fmt: skip
    assert main(["fit", str(train), "--target", "label", "-q", "--out", str(files["model"])]) == 0
    ORNIKRegressor().fit([[0.0], [1.0]], [0.0, 1.0]).save(files["regressor"])
    monkeypatch.chdir(tmp_path)
    returned, _, err = run(capsys, *[a.format(**files) for a in argv])
    last = err.splitlines()[-1]  # after a note on the inferred task, if any
    assert returned == code and "Traceback" not in err, err
    assert message in last + "$" and "error:" in last


@pytest.mark.parametrize("umask", [0o022, 0o077])
def test_declared_missing_markers_and_the_modes_of_written_files(data, tmp_path, capsys, umask):
    train, rows = data  # its width cells are missing where they are empty; mark them instead
    marked = [["?-"[i % 2] if r[0] == "" else r[0], *r[1:]] for i, r in enumerate(rows)]
    write_csv(tmp_path / "marked.csv", HEADER, marked)
    assert run(capsys, "fit", train, "--target", "label", "--out", tmp_path / "plain.json")[0] == 0
    fit = ["fit", "marked.csv", "--target", "label", "--na-values", "?", "--na-values", "-,x"]
    assert command(*fit, "--out", "m.json", cwd=tmp_path, umask=umask).returncode == 0
    tree, plain = (json.loads((tmp_path / f).read_text())["tree"] for f in ("m.json", "plain.json"))
    assert tree == plain
    predict = ["predict", "m.json", "marked.csv", "--na-values", "?,-", "--out", "p.csv"]
    assert command(*predict, cwd=tmp_path, umask=umask).returncode == 0
    expected = run(capsys, "predict", tmp_path / "plain.json", train)[1]
    assert (tmp_path / "p.csv").read_text() == expected
    for name in ("m.json", "p.csv"):
        assert os.stat(tmp_path / name).st_mode & 0o777 == 0o666 & ~umask


@pytest.mark.parametrize("engine", ["c", "pyarrow"])
def test_both_readers_parse_the_same_columns(engine, tmp_path):
    if engine == "pyarrow":
        pytest.importorskip("pyarrow")
    numbers = ["0.1", "2.2250738585072011e-308", "", "1.7976931348623157e308", "9007199254740993"]
    cells = zip(numbers, ["red", "blue", "NA", "red", "x"], "12?45", strict=True)
    path = write_csv(tmp_path / "t.csv", [" x ", "colour", "n"], cells)
    frame = feature_frame(read_table(path, na_values=["?"], engine=engine), [], path)
    assert list(frame.columns) == ["x", "colour", "n"]
    np.testing.assert_array_equal(frame["x"], [float(x or "nan") for x in numbers])
    assert frame["colour"].tolist()[:2] == ["red", "blue"] and frame["colour"].isna()[2]
    with pytest.raises(DataFileError, match=r"column 'n' of .*t\.csv holds numbers, .* row 3 "):
        feature_frame(read_table(path, engine=engine), [], path)


@pytest.mark.parametrize("terminal", [True, False])
def test_progress_spinner_draws_and_erases_on_a_terminal_only(tmp_path, terminal):
    log = tmp_path / "stderr.txt"
    with open(log, "w") as stream:
        with progress("crunching", stream, enabled=terminal or None, delay=0.05) as p:
            time.sleep(0.6)
    text = log.read_bytes().decode()
    assert p.elapsed >= 0.6 and p.thread is None
    # On a terminal the line is cleared when the work ends; elsewhere nothing is written.
    assert (text.endswith("\r\x1b[K") and "crunching" in text) if terminal else text == ""


def test_module_entry_point_runs_the_demo_by_default(tmp_path):
    result = command(cwd=tmp_path)
    lines = result.stdout.splitlines()
    scores = [float(ln.split("±")[0].split()[-1]) for ln in lines if "±" in ln and ln[0] != "|"]
    assert result.returncode == 0 and len(scores) == 15 and all(-1 < s <= 1 for s in scores)
    assert any(line.startswith("|--- ") for line in lines)


def test_version_and_help(capsys):
    assert run(capsys, "--version")[:2] == (0, f"ornik {ornik.__version__}\n")
    code, out, _ = run(capsys, "fit", "--help")
    assert code == 0 and "--target" in out and "--na-values" in out
    assert all(f"  {s.name}={s.default_for(s.tasks[0])}" in out for s in SETTINGS)
