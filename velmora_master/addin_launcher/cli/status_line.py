"""The line on stderr that shows the wait for the server's port."""

import sys
import threading
import time


class StatusLine:
    """'waiting for URL … 2.4 s of 30 s' on stderr while the port is awaited.

    On a terminal it is a live line, redrawn ten times a second and replaced by the result; off a terminal
    it is one line; quiet, nothing.
    """

    def __init__(self, url: str, timeout: float, quiet: bool) -> None:
        self.url = url
        self.timeout = timeout
        self.quiet = quiet
        self.live = not quiet and sys.stderr.isatty()
        self.began = time.monotonic()
        self._done = threading.Event()
        self._thread: threading.Thread | None = None
        self._lock = threading.Lock()

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
                    sys.stderr.write(f"\r\x1b[Kwaiting for {self.url} … {elapsed:.1f} s of {self.timeout:g} s")
                    sys.stderr.flush()

    def end(self, result: str | None) -> None:
        """Stop redrawing; on a terminal replace the line with `result` (or clear it)."""
        with self._lock:
            already = self._done.is_set()
            self._done.set()
        if self._thread is None or already:
            return
        sys.stderr.write("\r\x1b[K" + (f"{result}\n" if result else ""))
        sys.stderr.flush()
