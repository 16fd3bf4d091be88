"""The ``ornik`` command line."""

import csv
import json
import os
import subprocess
import sys
import time

import numpy as np
import pytest

import ornik
from ornik._cli import main
from ornik._progress import progress


def write_csv(path, header, rows):
    with open(path, "w", newline="") as fh:
        writer = csv.writer(fh)
        writer.writerow(header)
        writer.writerows(rows)
    return path


@pytest.fixture
def data(tmp_path):
    """A classification CSV with a text column and missing cells, plus its columns."""
    rng = np.random.default_rng(0)
    n = 160
    width = rng.normal(size=n).round(3)
    colour = rng.choice(["red", "green", "blue"], size=n)
    label = np.where((width > 0.2) | (colour == "red"), "keep", "drop")
    rows = []
    for i in range(n):
        w = "" if i % 17 == 0 else str(width[i])
        c = "NA" if i % 23 == 0 else colour[i]
        rows.append([w, c, i % 5, label[i]])
    path = write_csv(tmp_path / "train.csv", ["width", "colour", "shelf", "label"], rows)
    return path, rows


def run(capsys, *argv):
    code = main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return code, out, err


def read_predictions(path):
    with open(path, newline="") as fh:
        return list(csv.DictReader(fh))


def test_fit_then_predict_matches_the_python_model(data, tmp_path, capsys):
    path, rows = data
    model = tmp_path / "model.json"
    code, _, err = run(
        capsys, "fit", path, "--target", "label", "max_depth=3", "--out", model, "cv_folds=4"
    )
    assert code == 0, err
    assert "'label' as a classification target" in err
    assert f"-> {model}" in err

    est = ornik.load(model)
    assert (est.max_depth, est.cv_folds) == (3, 4)
    assert est.feature_names_in_.tolist() == ["width", "colour", "shelf"]
    assert est.is_categorical_.tolist() == [False, True, False]  # text columns are categorical
    assert sorted(est.categories_[1].tolist()) == ["blue", "green", "red"]

    out = tmp_path / "pred.csv"
    code, _, err = run(capsys, "predict", model, path, "--out", out, "--proba")
    assert code == 0, err
    predicted = read_predictions(out)
    assert len(predicted) == len(rows)
    X = np.array(
        [
            [float(r[0]) if r[0] else np.nan, None if r[1] == "NA" else r[1], float(r[2])]
            for r in rows
        ],
        dtype=object,
    )
    with pytest.warns(UserWarning, match="feature names"):
        expected = est.predict(X)
    assert [p["prediction"] for p in predicted] == expected.tolist()
    assert set(predicted[0]) == {"prediction", "proba_drop", "proba_keep"}
    accuracy = np.mean([p["prediction"] == r[3] for p, r in zip(predicted, rows, strict=True)])
    assert accuracy > 0.9


def test_regression_with_numeric_categories_beside_text(tmp_path, capsys):
    rows = [[i % 4, "ab"[i % 2], i / 10, (i % 4 == 2) * 10.0 + i / 10] for i in range(120)]
    path = write_csv(tmp_path / "r.csv", ["code", "side", "x", "y"], rows)
    model = tmp_path / "r.json"
    code, _, err = run(
        capsys, "fit", path, "--target", "y", "--task", "regression", "--categorical", "code",
        "--mode", "fast", "--out", model, "-q",
    )  # fmt: skip
    assert (code, err) == (0, "")
    est = ornik.load(model)
    assert est.mode == "fast" and est.is_categorical_.tolist() == [True, True, False]
    # The numeric categories stay numbers even in a matrix that also holds text.
    assert est.categories_[0].tolist() == [0.0, 1.0, 2.0, 3.0]
    code, out, _ = run(capsys, "predict", model, path)
    values = [float(line) for line in out.splitlines()[1:]]
    assert out.splitlines()[0] == "prediction"
    X = np.array([[float(r[0]), r[1], r[2]] for r in rows], dtype=object)
    with pytest.warns(UserWarning, match="feature names"):
        expected = est.predict(X)
    np.testing.assert_array_equal(values, expected)
    assert np.mean(np.abs(expected - [r[3] for r in rows])) < 1.0


@pytest.mark.parametrize(
    "argv, code, message",
    [
        (["fit", "absent.csv", "--target", "label", "--out", "m.json"], 1, "cannot read absent"),
        (["fit", "{train}", "--target", "nope", "--out", "m.json"], 1, "column 'nope' not found"),
        (["fit", "{train}", "--target", "label", "--categorical", "size", "--out", "m.json"], 1,
         "column 'size' not found"),
        (["fit", "{train}", "--target", "label", "depth=3", "--out", "m.json"], 2,
         "unknown setting 'depth'"),
        (["fit", "{train}", "--target", "label", "3", "--out", "m.json"], 2, "name=value"),
        (["fit", "{train}", "--target", "label", "--task", "regression", "--out", "m.json"], 1,
         "target column 'label' is not numeric"),
        (["fit", "{train}", "--target", "width", "--task", "regression", "--out", "m.json"], 1,
         "target column 'width' has 10 missing values"),
        (["fit", "{train}", "--target", "shelf", "criterion=mse", "--out", "m.json"], 2,
         "criterion must be 'gini' or 'entropy', got 'mse'"),
        (["fit", "{train}", "--out", "m.json"], 2, "required: --target"),
        (["fit", "{train}", "--target", "label", "--out", "nodir/m.json"], 1, "cannot write"),
        (["predict", "absent.json", "{train}"], 1, "cannot read absent.json"),
        (["predict", "{garbage}", "{train}"], 1, "not an ornik model file"),
        (["predict", "{model}", "{other}"], 1, "column 'colour' not found"),
        (["predict", "{model}", "{badnum}"], 1, "column 'width' of"),
        (["train"], 2, "unknown command 'train'"),
    ],
)  # fmt: skip
def test_errors_are_one_line(argv, code, message, data, tmp_path, capsys, monkeypatch):
    monkeypatch.chdir(tmp_path)
    train, _ = data
    files = {
        "train": train,
        "garbage": tmp_path / "garbage.json",
        "model": tmp_path / "model.json",
        "other": write_csv(tmp_path / "other.csv", ["width", "shelf"], [[1, 2]]),
        "badnum": write_csv(tmp_path / "bad.csv", ["width", "colour", "shelf"], [["x", "red", 1]]),
    }
    files["garbage"].write_text("{not json")
    assert main(["fit", str(train), "--target", "label", "-q", "--out", str(files["model"])]) == 0
    capsys.readouterr()
    result, out, err = run(capsys, *[a.format(**files) for a in argv])
    assert result == code
    lines = err.strip().splitlines()
    assert "Traceback" not in err
    assert message in lines[-1] and "error:" in lines[-1]


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
    # Run away from the source tree (its ornik folder has no compiled core), with
    # the package that this test imported.
    here = os.path.dirname(os.path.dirname(os.path.abspath(ornik.__file__)))
    env = dict(os.environ, PYTHONPATH=here)
    result = subprocess.run(
        [sys.executable, "-m", "ornik"],
        capture_output=True,
        text=True,
        timeout=300,
        cwd=tmp_path,
        env=env,
    )
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    for model in ("ORNIKClassifier, strict", "ORNIKClassifier, fast", "DecisionTreeClassifier",
                  "ORNIKRegressor, fast", "DecisionTreeRegressor"):  # fmt: skip
        assert any(model in line for line in lines), model
    scores = [float(ln.split("±")[0].split()[-1]) for ln in lines if "±" in ln and ln[0] != "|"]
    assert len(scores) == 15 and all(-1 < s <= 1 for s in scores)
    assert any(line.startswith("|--- ") for line in lines)


def test_version_and_help(capsys):
    assert run(capsys, "--version")[:2] == (0, f"ornik {ornik.__version__}\n")
    code, out, _ = run(capsys, "--help")
    assert code == 0 and "predict" in out
    code, out, _ = run(capsys, "fit", "--help")
    assert code == 0 and "--target" in out


def test_model_file_from_the_cli_is_plain_json(data, tmp_path, capsys):
    path, _ = data
    run(capsys, "fit", path, "--target", "label", "--out", tmp_path / "m.json")
    doc = json.loads((tmp_path / "m.json").read_text())
    assert doc["feature_names_in"] == ["width", "colour", "shelf"]
    assert doc["classes"] == {"dtype": "<U4", "values": ["drop", "keep"]}
