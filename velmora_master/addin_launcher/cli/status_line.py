"""The line on stderr that shows the wait for the server's port, and keeps out of the way of other lines."""

import os
import sys
import threading
import time
from typing import TextIO

# Moves to the start of the line and clears it: what a terminal other than a dumb one understands.
_CLEAR = "\r\x1b[K"


class StatusLine:
    """'waiting for URL … 2.4 s of 30 s' on stderr while the port is awaited.

    On a terminal that takes escape sequences it is a live line, redrawn ten times a second and replaced by the
    result; elsewhere (a pipe, a file, TERM=dumb) it is one line; quiet, nothing. Lines written by others while
    it runs (the server's, relayed) go through `write_line`, which clears it first: it is drawn again below them.
    """

    def __init__(self, url: str, timeout: float, quiet: bool) -> None:
        self.url = url
        self.timeout = timeout
        self.quiet = quiet
        self.live = not quiet and sys.stderr.isatty() and os.environ.get("TERM") != "dumb"
        self.began = time.monotonic()
        self._done = threading.Event()
        self._thread: threading.Thread | None = None
        # Held while anything is written that could meet the live line on the terminal.
        self._lock = threading.Lock()
        self._drawn = False

    def begin(self) -> None:
        self.began = time.monotonic()
        if self.quiet:
            return
        if not self.live:
            print(f"waiting for {self.url} (up to {self.timeout:g} s)", file=sys.stderr, flush=True)
            return
        self._thread = threading.Thread(target=self._redraw, name="status-line", daemon=True)
        self._thread.start()

    def _redraw(self) -> None:
        while not self._done.wait(0.1):
            with self._lock:
                if not self._done.is_set():
                    elapsed = time.monotonic() - self.began
                    sys.stderr.write(f"{_CLEAR}waiting for {self.url} … {elapsed:.1f} s of {self.timeout:g} s")
                    sys.stderr.flush()
                    self._drawn = True

    def write_line(self, sink: TextIO, line: str) -> None:
        """Write `line` (ending in a newline) to `sink`, on a line of its own: never after the live line."""
        with self._lock:
            if self._drawn:
                sys.stderr.write(_CLEAR)
                sys.stderr.flush()
                self._drawn = False
            sink.write(line)
            sink.flush()

    def end(self, result: str | None) -> None:
        """Stop redrawing; on a terminal replace the line with `result` (or clear it)."""
        with self._lock:
            already = self._done.is_set()
            self._done.set()
            if self._thread is None or already:
                return
            sys.stderr.write(_CLEAR + (f"{result}\n" if result else ""))
            sys.stderr.flush()
            self._drawn = False
