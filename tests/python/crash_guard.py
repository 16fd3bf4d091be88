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
        self.timeout, self.restarts, self._process, self._conn = timeout, 0, None, None

    def call(self, fn, *args):
        if self._process is None or not self._process.is_alive():
            self._conn, child = _CONTEXT.Pipe()
            self._process = _CONTEXT.Process(target=_serve, args=(child,), daemon=True)
            self._process.start()
            child.close()
        self._conn.send((fn, args))
        try:
            if self._conn.poll(self.timeout):
                return self._conn.recv()
            failure = f"{fn.__name__} did not return within {self.timeout:.0f} s"
        except EOFError:
            self._process.join()
            failure = f"the process died (exit code {self._process.exitcode}) in {fn.__name__}"
        self.close(wait=0)
        self.restarts += 1
        raise ChildDied(failure)

    def close(self, wait=10.0):
        """Ends the child, after up to ``wait`` seconds to finish what it is doing."""
        if self._process is not None:
            self._conn.close()
            self._process.join(timeout=wait)
            self._process.kill()  # a no-op once it has ended
            self._process.join()
            self._process = None
