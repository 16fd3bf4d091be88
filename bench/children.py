"""Runs one contender in a child process of its own (bench/measure.py) and collects its timings,
peak memory and the host's steal while it ran; every fit and predict has a timeout."""

from __future__ import annotations

import json
import os
import queue
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from dataclasses import dataclass, field
from pathlib import Path

import contenders
from measure import MARK

MEASURE = Path(__file__).resolve().with_name("measure.py")


@dataclass
class Result:
    status: str  # "ok", "timeout", "error", "skipped"
    fit_s: float | None = None
    predict_s: float | None = None
    apply_s: float | None = None  # leaf ids, when the request asks for them
    peak_bytes: int | None = None
    cpu_ratio: float | None = None  # CPU time ÷ wall time of the fits (median)
    floor_s: float | None = None  # the floor, timed beside the fits (Fast only)
    steal: float | None = None  # share of the cores' time the host took while the child ran
    paired: dict[int, list[float]] = field(default_factory=dict)  # fit times by thread count
    cells: int = 0
    note: str = ""
    mem_method: str = ""


def _reader(stream, out: queue.Queue) -> None:
    for line in stream:
        if line.startswith(MARK):
            out.put(json.loads(line[len(MARK) :]))
    out.put(None)


def steal_seconds() -> float | None:
    """CPU time the hypervisor has given to others while this machine's vCPUs wanted to run
    (the steal column of /proc/stat, summed over cores), or None where it is not reported."""
    try:
        with open("/proc/stat") as f:
            fields = f.readline().split()
        return int(fields[8]) / os.sysconf("SC_CLK_TCK")
    except (OSError, IndexError, ValueError):
        return None


def run_child(request: dict, threads: int, timeout: float, pythonpath: str | None = None) -> Result:
    """Runs bench/measure.py for one contender; every fit and predict must end within timeout.
    pythonpath, when given, leads the child's module path (a developer build of ornik)."""
    stolen_before, started = steal_seconds(), time.perf_counter()
    r = _run_child(request, threads, timeout, pythonpath)
    stolen_after, wall = steal_seconds(), time.perf_counter() - started
    if stolen_before is not None and stolen_after is not None and wall > 0:
        r.steal = (stolen_after - stolen_before) / (wall * (os.cpu_count() or 1))
    return r


def _run_child(request: dict, threads: int, timeout: float, pythonpath: str | None) -> Result:
    env = dict(os.environ)
    if pythonpath:
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [pythonpath, env.get("PYTHONPATH")]))
    for var in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS"):
        env[var] = str(threads)
    cmd = [sys.executable, str(MEASURE), json.dumps(request)]
    with tempfile.TemporaryFile(mode="w+") as err:
        proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=err, text=True, env=env)
        events: queue.Queue = queue.Queue()
        threading.Thread(target=_reader, args=(proc.stdout, events), daemon=True).start()
        fits, predicts, applies, cpu, peak, method = [], [], [], [], None, ""
        paired: dict[int, list[float]] = {}
        floor_passes = []
        status, finished = "ok", False
        try:
            while True:
                try:
                    ev = events.get(timeout=timeout)
                except queue.Empty:
                    status = "timeout"
                    break
                if ev is None:
                    status = "error"
                    break
                if ev["event"] == "fit":
                    fits.append(ev["seconds"])
                    if ev["seconds"] > 0:
                        cpu.append(ev["cpu_seconds"] / ev["seconds"])
                    if "peak_bytes" in ev:
                        peak, method = ev["peak_bytes"], ev["method"]
                elif ev["event"] == "paired":
                    paired.setdefault(ev["threads"], []).append(ev["seconds"])
                elif ev["event"] == "floor":
                    floor_passes.extend(ev["seconds"])
                elif ev["event"] == "predict":
                    predicts.append(ev["seconds"])
                elif ev["event"] == "apply":
                    applies.append(ev["seconds"])
                elif ev["event"] == "done":
                    finished = True
                    break
        finally:
            if finished:
                try:
                    proc.wait(timeout=30)
                except subprocess.TimeoutExpired:
                    pass
            # A timeout, Ctrl-C or SIGTERM: never leave a child running.
            if proc.poll() is None:
                proc.kill()
        proc.wait()
        if status == "error":
            err.seek(0)
            lines = [ln.strip() for ln in err.read().splitlines() if ln.strip()]
            msg = lines[-1] if lines else f"exit code {proc.returncode}"
            return Result("error", note=msg)
    if status == "timeout":
        return Result("timeout", note=f"a fit or predict took over {timeout:g} s")
    return Result(
        "ok",
        fit_s=statistics.median(fits) if fits else None,
        predict_s=statistics.median(predicts) if predicts else None,
        apply_s=statistics.median(applies) if applies else None,
        cpu_ratio=statistics.median(cpu) if cpu else None,
        floor_s=statistics.median(floor_passes) * contenders.DEPTH if floor_passes else None,
        peak_bytes=peak,
        mem_method=method,
        paired=paired,
    )
