"""Writing a file whole or not at all, with the permissions that ``open()`` would give it."""

from __future__ import annotations

import contextlib
import errno
import os
import stat
import tempfile
from pathlib import Path


def _umask() -> int:
    # The umask can only be read by setting it; the command line writes no files meanwhile.
    mask = os.umask(0o022)
    os.umask(mask)
    return mask


@contextlib.contextmanager
def replacing(path, *, newline: str | None = None):
    """A text file whose content replaces ``path`` when the ``with`` block ends without error.

    The text goes to a temporary file beside ``path`` that is then renamed over it, so no
    reader ever sees half a file and a failure keeps the old one. The file gets the mode
    that ``open(path, "w")`` would give it: the old file's, or 0o666 less the umask.
    """
    path = Path(path)
    if path.is_dir():
        raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), str(path))
    try:
        mode = stat.S_IMODE(path.stat().st_mode)
    except FileNotFoundError:
        mode = 0o666 & ~_umask()
    try:
        fd, tmp = tempfile.mkstemp(prefix=f".{path.name}.", dir=path.parent)
    except OSError as exc:  # name the file asked for, not the temporary one
        raise type(exc)(exc.errno, exc.strerror, str(path)) from None
    try:
        with os.fdopen(fd, "w", encoding="utf-8", newline=newline) as fh:
            yield fh
        os.chmod(tmp, mode)
        os.replace(tmp, path)
    except BaseException:
        Path(tmp).unlink(missing_ok=True)
        raise
