"""A spinner with the elapsed time on stderr while the command line reads or fits."""

from __future__ import annotations

import signal
import subprocess
import sys
import time

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
