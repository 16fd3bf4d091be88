"""Runs calls in a child process, so that a crash of the interpreter (a segfault, an abort, a
sanitizer report) fails one test with its input instead of ending the whole run."""

import multiprocessing

_CONTEXT = multiprocessing.get_context("spawn")  # no fork of a process that may hold threads


class ChildDied(AssertionError):
    pass


def _serve(conn):
    while True:
        try:
            fn, args = conn.recv()
        except EOFError:
            return
        try:
            reply = ("returned", fn(*args))
        except BaseException as e:  # noqa: B036 - every exception is reported to the parent
            reply = ("raised", type(e).__name__, str(e))
        conn.send(reply)


class CrashGuard:
    """call(fn, *args) runs fn(*args) in the child and returns ("returned", value) or
    ("raised", exception type name, message). fn and args must pickle; fn runs by reference, so
    it must be a module-level function. A child that dies or hangs is replaced, and the call
    raises ChildDied naming the call."""

    def __init__(self, timeout=300.0):
        self.timeout = timeout
        self._process = None
        self._conn = None
        self.restarts = 0

    def _start(self):
        parent, child = _CONTEXT.Pipe()
        self._process = _CONTEXT.Process(target=_serve, args=(child,), daemon=True)
        self._process.start()
        child.close()
        self._conn = parent

    def _stop(self):
        if self._process is not None:
            self._conn.close()
            self._process.kill()
            self._process.join()
        self._process = None
        self.restarts += 1

    def call(self, fn, *args):
        if self._process is None or not self._process.is_alive():
            self._start()
        self._conn.send((fn, args))
        if not self._conn.poll(self.timeout):
            self._stop()
            raise ChildDied(f"{fn.__name__} did not return within {self.timeout:.0f} s")
        try:
            return self._conn.recv()
        except EOFError:
            self._process.join()
            code = self._process.exitcode
            self._stop()
            raise ChildDied(f"the process died (exit code {code}) in {fn.__name__}") from None

    def close(self):
        if self._process is not None:
            self._conn.close()
            self._process.join(timeout=10)
            if self._process.is_alive():
                self._process.kill()
            self._process = None
