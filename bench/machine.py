"""What the benchmark ran on: CPU, memory, load, library versions and the repository's commit."""

from __future__ import annotations

import os
import platform
import subprocess
from pathlib import Path

import numpy as np

BENCH_DIR = Path(__file__).resolve().parent  # git runs here; the paths in git_commit are relative


def cpu_model() -> str:
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def _mem_total() -> str:
    try:
        with open("/proc/meminfo") as f:
            for line in f:
                if line.startswith("MemTotal:"):
                    return f"{int(line.split()[1]) / 1024**2:.1f} GiB"
    except OSError:
        pass
    return "unknown"


def package_version(module: str) -> str:
    try:
        mod = __import__(module)
    except ImportError:
        return "not installed"
    return getattr(mod, "__version__", "unknown")


def _git(*args: str) -> str:
    out = subprocess.run(["git", *args], cwd=BENCH_DIR, capture_output=True, text=True, check=True)
    return out.stdout.strip()


def git_commit() -> str:
    """The checkout's commit, flagged when the library sources differ from it."""
    try:
        commit = _git("rev-parse", "--short", "HEAD")
        dirty = _git("status", "--porcelain", "--", "../src", "../ornik", "../CMakeLists.txt")
    except (OSError, subprocess.CalledProcessError):
        return "unknown"
    return commit + (" (with uncommitted changes to the library sources)" if dirty else "")


def load_average() -> str:
    """The 1/5/15-minute load averages: other work on the machine skews the timings."""
    try:
        return " / ".join(f"{v:.2f}" for v in os.getloadavg())
    except (AttributeError, OSError):
        return "unknown"


def machine_lines(ornik_origin: str) -> list[str]:
    try:
        affinity = len(os.sched_getaffinity(0))
    except AttributeError:
        affinity = os.cpu_count()
    return [
        f"- CPU: {cpu_model()}; {os.cpu_count()} logical cores ({affinity} usable)",
        f"- Memory: {_mem_total()}; OS: {platform.platform()}",
        f"- Load average (1/5/15 min) at start: {load_average()}",
        f"- Python {platform.python_version()}; numpy {np.__version__}; "
        f"scikit-learn {package_version('sklearn')}; lightgbm {package_version('lightgbm')}",
        f"- ornik {package_version('ornik')} ({ornik_origin}); repository at commit {git_commit()}",
    ]
