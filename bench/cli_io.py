"""Time and peak memory of `ornik fit` and `ornik predict` on a large CSV, beside pandas alone.

Writes a seeded CSV of --rows rows × --numeric numeric columns plus one text column (1M × 10
is about 81 MB), then runs each step in its own child process and reports its wall time and
peak resident memory (the child's ru_maxrss). The "import only" row is the floor that loading
Python, NumPy, pandas, scikit-learn and ornik costs before any data is read.

    python bench/cli_io.py DIR [DIR ...]        # DIR: a folder holding an importable ornik
    python bench/cli_io.py build/dev/pkg /path/to/old/pkg --rows 200000
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np


def write_csv(path: Path, rows: int, numeric: int) -> None:
    rng = np.random.default_rng(0)
    X = rng.normal(size=(rows, numeric)).round(4)
    text = rng.choice(np.array(["red", "green", "blue", "amber"]), size=rows)
    y = X[:, 0] + (text == "red") + 0.1 * rng.normal(size=rows)
    names = [f"x{j}" for j in range(numeric - 1)]
    with open(path, "w") as fh:
        fh.write(",".join([*names, "colour", "y"]) + "\n")
        for start in range(0, rows, 100_000):
            stop = min(rows, start + 100_000)
            numbers, labels = X[start:stop, : numeric - 1].astype(str), text[start:stop]
            block = np.column_stack([numbers, labels, y[start:stop].round(4).astype(str)])
            fh.write("\n".join(",".join(r) for r in block) + "\n")


def measure(argv: list[str], env: dict, cwd: str) -> tuple[float, float]:
    """Wall seconds and peak resident MB of one child process."""
    start = time.perf_counter()
    # Run away from a source tree, whose ornik folder would shadow the build under test.
    proc = subprocess.Popen(
        argv, env=env, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE
    )
    _, status, usage = os.wait4(proc.pid, 0)
    elapsed = time.perf_counter() - start
    if os.waitstatus_to_exitcode(status) != 0:
        raise SystemExit(f"{argv} failed: {proc.stderr.read().decode()}")
    return elapsed, usage.ru_maxrss / 1024


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawTextHelpFormatter)
    p.add_argument("builds", nargs="+", type=Path, help="folders holding an ornik package")
    p.add_argument("--rows", type=int, default=1_000_000)
    p.add_argument("--numeric", type=int, default=10, help="numeric columns (the target is one)")
    p.add_argument("--write", type=Path, help=argparse.SUPPRESS)
    args = p.parse_args(argv)
    if args.write:
        write_csv(args.write, args.rows, args.numeric)
        return 0
    py = sys.executable
    with tempfile.TemporaryDirectory() as tmp:
        data, model = Path(tmp) / "data.csv", Path(tmp) / "model.json"
        # Written by a child: a child forked from a large parent would count its pages.
        shape = ["--rows", str(args.rows), "--numeric", str(args.numeric)]
        subprocess.run([py, __file__, ".", *shape, "--write", str(data)], check=True)
        print(f"{data.stat().st_size / 1e6:.0f} MB CSV, {args.rows} rows × {args.numeric} numeric "
              f"+ 1 text column; the numbers as float64: {args.rows * args.numeric * 8 / 1e6:.0f} "
              "MB")  # fmt: skip
        env = dict(os.environ, PYTHONPATH=str(args.builds[0].resolve()))
        imports = "import pandas, pyarrow, sklearn, ornik._cli, ornik._estimators"
        steps = [("import only", [py, "-c", imports], env)]
        for engine in ("c", "pyarrow"):
            code = f"import pandas; pandas.read_csv({str(data)!r}, engine={engine!r})"
            steps.append((f"pandas.read_csv ({engine})", [py, "-c", code], env))
        for build in args.builds:
            env = dict(os.environ, PYTHONPATH=str(build.resolve()))
            fit = [py, "-m", "ornik", "fit", str(data), "--target", "y", "--task", "regression",
                   "--mode", "fast", "--out", str(model), "-q"]  # fmt: skip
            predict = [py, "-m", "ornik", "predict", str(model), str(data), "--out", f"{tmp}/p.csv"]
            steps += [
                (f"ornik fit      [{build}]", fit, env),
                (f"ornik predict  [{build}]", predict, env),
            ]
        print(f"{'step':<60} {'seconds':>8} {'peak MB':>8}")
        for name, cmd, env in steps:
            seconds, peak = measure(cmd, env, tmp)
            print(f"{name:<60} {seconds:8.2f} {peak:8.0f}", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
