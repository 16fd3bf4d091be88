"""Child process: times one contender on one workload and measures its peak memory.

Started by bench/children.py (for run.py and compare.py) as
`python bench/measure.py '<json request>'`. It loads the input from .npy files, builds the
estimator (so the library's import is not counted), records the resident set size, resets the
peak (high-water mark) and fits. Peak memory above the input is the high-water mark after the
first fit minus that baseline. A request with "floor" also times the floor (see
floor_pass_seconds) just before each fit, so that it meets the same moments of the machine as
the fits it is compared with. A request with "pairs" times only fits, one with each of its
thread counts in turn (see fit_in_turn). Every fit and predict is reported at once as a
line "@@bench {json}" on stdout, so the parent can enforce a per-fit timeout; libraries may print
other lines, which the parent ignores.
"""

from __future__ import annotations

import json
import resource
import sys
import time
from dataclasses import replace
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
import contenders  # noqa: E402
import workloads  # noqa: E402

MARK = "@@bench "


def emit(**event) -> None:
    sys.stdout.write(MARK + json.dumps(event) + "\n")
    sys.stdout.flush()


def _status_kib(key: str) -> int | None:
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith(key + ":"):
                    return int(line.split()[1])
    except OSError:
        return None
    return None


def _cpu_seconds() -> float:
    """User plus system time of every thread of this process so far."""
    ru = resource.getrusage(resource.RUSAGE_SELF)
    return ru.ru_utime + ru.ru_stime


class PeakMeter:
    """Peak resident memory of this process above a baseline, in bytes.

    Linux lets a process reset its high-water mark (writing 5 to /proc/self/clear_refs); then
    VmHWM after the fit is exactly the fit's peak. Where that is unavailable the meter falls back
    to ru_maxrss, which can only see a peak above every earlier one.
    """

    def __init__(self) -> None:
        self.method = "VmHWM"
        try:
            with open("/proc/self/clear_refs", "w") as f:
                f.write("5")
        except OSError:
            self.method = "ru_maxrss"
        rss = _status_kib("VmRSS")
        if self.method == "VmHWM" and rss is not None:
            self.baseline_kib = rss
        else:
            self.method = "ru_maxrss"
            self.baseline_kib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss

    def peak_bytes(self) -> int:
        if self.method == "VmHWM":
            peak = _status_kib("VmHWM") or 0
        else:
            peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        return max(0, peak - self.baseline_kib) * 1024


FLOOR_PASSES = 5


def floor_pass_seconds(codes: np.ndarray) -> list[float]:
    """Times of FLOOR_PASSES streaming passes over a Fortran uint16 code matrix.

    The pass is numpy's add.reduce down each column into uint64 sums: it reads every 16-bit code
    once, in the per-feature column order, on one thread. The floor is the median pass times
    the depth.
    """
    times = []
    for _ in range(FLOOR_PASSES):
        t0 = time.perf_counter()
        np.add.reduce(codes, axis=0, dtype=np.uint64)
        times.append(time.perf_counter() - t0)
    return times


def fit_in_turn(request: dict, setting: contenders.Setting, x, y) -> None:
    """Fits once with each thread count of request["pairs"] in turn, "repeats" times over: the
    fits of one round are made moments apart, so that their ratio sees one state of the machine.
    """
    for _ in range(request["repeats"]):
        for threads in request["pairs"]:
            model = contenders.build(request["contender"], replace(setting, threads=threads))
            t0 = time.perf_counter()
            model.fit(x, y)
            emit(event="paired", threads=threads, seconds=time.perf_counter() - t0)
            del model
    emit(event="done")


def main(request: dict) -> None:
    data = Path(request["data"])
    x = np.load(data / "x.npy")
    y = np.load(data / "y.npy")
    setting = contenders.Setting(
        task=request["task"],
        n_bins=request["n_bins"],
        threads=request["threads"],
        categorical=tuple(request["categorical"]),
    )
    key = request["contender"]
    if request.get("pairs"):
        fit_in_turn(request, setting, x, y)
        return
    model = contenders.build(key, setting)
    # Built before the memory baseline, so that it is not counted in the fit's peak.
    codes = workloads.code_matrix(*x.shape, 255) if request.get("floor") else None
    emit(event="ready", rss_bytes=(_status_kib("VmRSS") or 0) * 1024)

    for rep in range(request["repeats"]):
        if rep > 0:
            model = contenders.build(key, setting)
        if codes is not None:
            emit(event="floor", seconds=floor_pass_seconds(codes))
        meter = PeakMeter() if rep == 0 else None
        cpu0 = _cpu_seconds()
        t0 = time.perf_counter()
        model.fit(x, y)
        fit_s = time.perf_counter() - t0
        fit = {"seconds": fit_s, "cpu_seconds": _cpu_seconds() - cpu0}
        if meter is not None:
            fit.update(peak_bytes=meter.peak_bytes(), method=meter.method)
        emit(event="fit", **fit)
        t0 = time.perf_counter()
        model.predict(x)
        emit(event="predict", seconds=time.perf_counter() - t0)
        if request.get("apply") and hasattr(model, "apply"):
            t0 = time.perf_counter()
            model.apply(x)
            emit(event="apply", seconds=time.perf_counter() - t0)
        del model
    emit(event="done")


if __name__ == "__main__":
    main(json.loads(sys.argv[1]))
