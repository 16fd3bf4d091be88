"""Smoke test of the benchmark harness on tiny data: the whole pipeline runs, the workloads are
reproducible, and the report carries every contender and target line."""

import dataclasses
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

pytest.importorskip("ornik._ornik")

BENCH = Path(__file__).resolve().parents[2] / "bench"
sys.path.insert(0, str(BENCH))
import workloads  # noqa: E402


@pytest.mark.parametrize("make", [workloads.classification, workloads.regression, workloads.mixed])
def test_workloads_are_seeded(make):
    w = make(20_000)
    (x1, y1), (x2, y2) = workloads.generate(w), workloads.generate(w)
    assert x1.shape == (20_000, workloads.N_FEATURES) and x1.flags.c_contiguous
    np.testing.assert_array_equal(np.column_stack([x1, y1]), np.column_stack([x2, y2]))
    assert y1.dtype == (np.int64 if w.task == "classification" else np.float64)
    other, _ = workloads.generate(dataclasses.replace(w, seed=w.seed + 1))
    assert not np.array_equal(np.nan_to_num(x1), np.nan_to_num(other))
    cats = x1[:, list(w.categorical)]  # integer-valued levels, every one present, some missing
    levels = set(range(workloads.N_LEVELS)) if w.categorical else set()
    assert set(np.unique(cats[~np.isnan(cats)])) == levels
    assert np.isnan(cats).any(axis=0).all()


SPEED_RUN = ["run.py", "--rows", "1500", "--repeats", "1", "--threads", "1", "2", "--n-bins", "8"]
SPEED_RUN += ["--workloads", "classification", "mixed", "--contenders", "fast", "strict", "dt"]
QUALITY_RUN = ["quality.py", "--quick", "--seeds", "2", "--datasets", "iris", "diabetes"]
QUALITY_RUN += ["--ornik", 'absent={"no_such_setting": 1}']


@pytest.mark.parametrize("args", [SPEED_RUN, QUALITY_RUN], ids=["speed", "quality"])
def test_quick_pipeline_writes_report(tmp_path, args):
    out = tmp_path / "report.md"
    cmd = [sys.executable, str(BENCH / args[0]), *args[1:], "--output", str(out)]
    done = subprocess.run(cmd, capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    text = out.read_text()
    assert text.strip() in done.stdout
    if args is QUALITY_RUN:
        # Score, leaves and fit time of both data sets for all five built-in contenders.
        rows = [ln for ln in text.splitlines() if ln.startswith(("| iris |", "| diabetes |"))]
        assert len(rows) == 3 * 2 + 2 and all(r.count("|") == 7 and "—" not in r for r in rows[2:])
        assert "skipped: this ornik has no setting no_such_setting" in text
        assert text.count(" met") + text.count("**missed**") == 6 * 3
        return
    # Per workload and thread count: Fast, floor, Strict and DecisionTree, all measured.
    rows = [ln for ln in text.splitlines() if ln.startswith("| 8 |")]
    assert len(rows) == 2 * 2 * 4 and not [r for r in rows if "n/a" in r or "timeout" in r]
    assert all("| 1.00× |" in r for r in rows if "| ornik Fast |" in r)
    # Fast's thread counts fitted in turn, 7 rounds, at the largest size of each task.
    paired = "| classification 1500×20 | 8 | 7 |"
    for line in ("### mixed 1500×20", "## Targets", "Strict vs DecisionTree", "CPU:", paired):
        assert line in text
