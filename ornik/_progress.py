"""What the package shows while it works: a spinner with the elapsed time, and the
progress bar of a fit."""

from __future__ import annotations

import sys
import threading
import time

try:
    from tqdm.auto import tqdm
except ImportError:  # plain lines on the stream instead
    tqdm = None

_FRAMES = "|/-\\"


class progress:
    """Show a spinner with the elapsed time on ``stream`` while the block runs.

    Nothing appears for work shorter than ``delay`` seconds, or when ``stream``
    is not a terminal (unless ``enabled`` is given). The spinner runs on a thread of
    its own (the native work releases the interpreter lock) and erases its line when
    it stops.
    """

    def __init__(self, label: str, stream=None, *, enabled: bool | None = None, delay=0.5):
        self.label = label
        self.stream = sys.stderr if stream is None else stream
        if enabled is None:
            enabled = hasattr(self.stream, "isatty") and self.stream.isatty()
        self.enabled = enabled
        self.delay = delay
        self.thread = None

    def __enter__(self):
        self.started = time.perf_counter()
        self._stop = threading.Event()
        if self.enabled:
            self.stream.flush()
            self.thread = threading.Thread(target=self._spin, name="ornik-spinner", daemon=True)
            self.thread.start()
        return self

    def _spin(self):
        if self._stop.wait(self.delay):
            return
        frame = 0
        while True:
            elapsed = time.perf_counter() - self.started
            self.stream.write(f"\r{_FRAMES[frame % 4]} {self.label} {elapsed:.1f}s ")
            self.stream.flush()
            frame += 1
            if self._stop.wait(0.1):
                break
        self.stream.write("\r\x1b[K")
        self.stream.flush()

    def __exit__(self, *exc):
        self.elapsed = time.perf_counter() - self.started
        if self.thread is not None:
            self._stop.set()
            self.thread.join()
            self.thread = None
        return False


class fit_progress:
    """The progress of a fit: the share of the training samples already settled in
    leaves, as the native fit reports it through ``progress(settled, total)``.

    Drawn by tqdm where it is installed, else as a line on ``stream`` (stderr by
    default) at every tenth of the samples.
    """

    def __init__(self, label: str, stream=None):
        self.label = label
        self.stream = sys.stderr if stream is None else stream
        self.bar = None
        self.shown = None  # the tenths of the samples last written as a plain line

    def __enter__(self):
        return self

    def __call__(self, settled: int, total: int) -> None:
        if tqdm is not None:
            if self.bar is None:
                self.bar = tqdm(total=total, desc=self.label, unit="samples", file=self.stream)
            self.bar.update(settled - self.bar.n)
            return
        tenths = 10 * settled // total
        if tenths != self.shown:
            self.shown = tenths
            self.stream.write(
                f"{self.label}: {100 * settled // total}% of {total} samples settled in leaves\n"
            )
            self.stream.flush()

    def __exit__(self, *exc):
        if self.bar is not None:
            self.bar.close()
        return False
