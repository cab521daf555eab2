"""The command line's standard streams: there even when the caller closed them (`2>&-`), and harmless once
their reader has gone (a closed terminal, a pipe whose reader exited), so that neither changes how a run ends.

What the program says is only ever told to the user: once nobody can read it, it is dropped. An error there would
instead cut the stop of the server short, turn the exit status after a signal into 1 (or 120 at the final
flush), and be reported on the very stream that failed.
"""

from __future__ import annotations

import errno
import io
import os
import sys
from collections.abc import Buffer, Callable
from typing import TextIO

# The errors of a write whose reader has gone: a terminal hung up, a pipe with no reader, a descriptor closed.
_READER_GONE = {errno.EIO, errno.EPIPE, errno.EBADF, errno.ENXIO}


def steady_streams() -> Callable[[], None]:
    """Make the standard streams safe for the run; returns what puts the caller's own streams back."""
    _fill_closed_descriptors()
    replaced: list[tuple[str, TextIO | None]] = []
    for name, fd in (("stdout", 1), ("stderr", 2)):
        current: TextIO | None = getattr(sys, name)
        if not _writes_to(current, fd):
            continue  # a stream of the caller's own making (a test's capture, say): left as it is
        _flush_quietly(current)
        setattr(sys, name, _forgiving_text(fd, current))
        replaced.append((name, current))

    def restore() -> None:
        for name, original in replaced:
            _flush_quietly(getattr(sys, name))
            setattr(sys, name, original)

    return restore


def _fill_closed_descriptors() -> None:
    # A closed 0, 1 or 2 would be taken by the next file this process opens (the store's lock, a socket, a pipe),
    # which the server then inherits as its standard stream, and writes into. The null device takes the place.
    for fd in (0, 1, 2):
        try:
            os.fstat(fd)
        except OSError:
            null = os.open(os.devnull, os.O_RDWR)
            if null == fd:
                os.set_inheritable(fd, True)  # as a standard stream is: the server gets it too
            else:
                os.dup2(null, fd)  # inheritable by default
                os.close(null)


def _writes_to(stream: TextIO | None, fd: int) -> bool:
    if stream is None:
        return True  # the interpreter found the descriptor closed at start-up
    try:
        return stream.fileno() == fd
    except OSError, ValueError:  # io.UnsupportedOperation is both
        return False


def _flush_quietly(stream: TextIO | None) -> None:
    if stream is None:
        return
    try:
        stream.flush()
    except OSError, ValueError:
        pass


def _forgiving_text(fd: int, like: TextIO | None) -> io.TextIOWrapper:
    """A text stream on `fd` as `like` was (its encoding), line by line, that drops what cannot be written."""
    encoding = getattr(like, "encoding", None) or "utf-8"
    errors = "backslashreplace" if fd == 2 else (getattr(like, "errors", None) or "strict")
    return io.TextIOWrapper(
        io.BufferedWriter(_ForgivingDescriptor(fd)), encoding=encoding, errors=errors, line_buffering=True
    )


class _ForgivingDescriptor(io.RawIOBase):
    """An output descriptor whose reader may go: the first write that finds it gone puts the null device in its
    place (for every later write, the interpreter's last flush and whatever else holds the descriptor) and
    drops the data."""

    def __init__(self, fd: int) -> None:
        super().__init__()
        self._fd = fd

    def fileno(self) -> int:
        return self._fd

    def writable(self) -> bool:
        return True

    def isatty(self) -> bool:
        return os.isatty(self._fd)

    def write(self, data: Buffer) -> int:
        try:
            return os.write(self._fd, data)
        except OSError as error:
            if error.errno not in _READER_GONE:
                raise
        null = os.open(os.devnull, os.O_WRONLY)
        try:
            os.dup2(null, self._fd)
        finally:
            os.close(null)
        return memoryview(data).nbytes
