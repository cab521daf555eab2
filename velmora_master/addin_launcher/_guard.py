"""The guard: one small process per host process (the program running the managers) that ends their servers
when the host dies without stopping them (SIGKILL, a crash, a signal nobody handles).

Roughly:

    host                                          guard (a session of its own, stdin the pipe, output /dev/null)
    first launch: read_end, write_end = os.pipe()
        spawn the guard, read_end as its stdin    marks = set()
        keep write_end, close read_end            for line in stdin:        # blocks
    each launch, before the server: "+MARK"           "+MARK": marks.add      "-MARK": marks.discard
    each stop, once nothing carries it: "-MARK"       "!MARK": end it now, on its own
    a stop cut short: "!MARK"                     end-of-file (the host is gone): end everything carrying one
                                                  of the marks (SIGTERM, grace, SIGKILL); exit

The write end is close-on-exec and handed to no child, so the host alone holds it: the guard reads end-of-file
exactly when the host is gone, however it ended, since the kernel closes a dead process's descriptors; a host
that exits normally has stood every mark down by then (its managers' exit hooks stop their servers), and its
guard exits at once. A child that the host forked closes its copy before it executes the server's program
(subprocess closes what it does not pass on), so a server being launched as the host died may not carry its
mark yet when the guard first looks: the guard looks again until nothing has carried a mark for SETTLE_SECONDS.
A mark is told before its server is launched: a host that dies before its server exists leaves a guard that
finds nothing.

One guard serves every launch of the host: starting a process costs the scheduler's time to run it, several
milliseconds on a loaded machine, which each start() would otherwise pay; telling a mark is one write. A host
that forks a child without executing a program forgets the guard in the child (the parent's stays the parent's).

POSIX only: sessions, and spawning with a pipe as stdin without Python's subprocess, which would want to wait
for a child that outlives its caller on purpose.
"""

import os
import sys
import threading

# Until then the guard only reads. After it, it loads what ending needs (psutil): a server starting meanwhile
# has the CPU to itself, and a host dying later is answered without that delay.
WARM_UP_SECONDS = 2.0
# After the host died, how long nothing may carry a watched mark before the guard believes nothing will.
SETTLE_SECONDS = 0.5
# The guard's program: the package from the folder the host imported it from, whatever the guard's sys.path.
_BOOT = (
    "import sys; sys.path.insert(0, sys.argv[1]); "
    "from velmora_master.addin_launcher._guard import main; sys.exit(main())"
)
_PACKAGE_ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


class _HostGuard:
    """The running guard as its host holds it: its pid and the one write end of its pipe."""

    def __init__(self) -> None:
        read_end, self.write_end = os.pipe()  # both close-on-exec
        try:
            self.pid = os.posix_spawn(
                sys.executable,
                [sys.executable, "-c", _BOOT, _PACKAGE_ROOT],
                os.environ,
                file_actions=[
                    (os.POSIX_SPAWN_DUP2, read_end, 0),
                    (os.POSIX_SPAWN_OPEN, 1, os.devnull, os.O_WRONLY, 0),
                    (os.POSIX_SPAWN_DUP2, 1, 2),
                ],
                # The terminal's SIGINT and SIGHUP reach the host's group and session, never the guard.
                setsid=True,
            )
        except BaseException:
            os.close(self.write_end)
            raise
        finally:
            os.close(read_end)

    def tell(self, lines: bytes) -> None:
        """Raises OSError (BrokenPipeError) when the guard is gone."""
        os.write(self.write_end, lines)

    def discard(self) -> None:
        """Forget a guard that died: collect its exit, close the pipe."""
        try:
            os.waitpid(self.pid, 0)
        except ChildProcessError:
            pass  # collected elsewhere
        os.close(self.write_end)


_lock = threading.Lock()
_guard: _HostGuard | None = None
_marks: set[str] = set()  # what the guard watches for this process


def watch(mark: str) -> int:
    """Have this process's guard watch `mark` (the guard is started on first use, and again should it have
    died, told every mark still watched); returns the guard's pid. Returns once the guard's program is
    executed, without waiting for its interpreter."""
    global _guard
    with _lock:
        _marks.add(mark)
        if _guard is not None:
            try:
                _guard.tell(_line("+", mark))
                return _guard.pid
            except OSError:
                _guard.discard()
                _guard = None
        guard = _HostGuard()
        _guard = guard
        guard.tell(b"".join(_line("+", each) for each in _marks))
        return guard.pid


def stand_down(mark: str) -> None:
    """Nothing carries `mark` any more: the guard stops watching it."""
    _forget(mark, "-")


def hand_over(mark: str) -> None:
    """The host's own ending of `mark` was cut short: the guard ends it now (SIGTERM, grace, SIGKILL)."""
    _forget(mark, "!")


def guard_pid() -> int | None:
    """The pid of this process's guard, if it has one."""
    return _guard.pid if _guard is not None else None


def _forget(mark: str, word: str) -> None:
    with _lock:
        _marks.discard(mark)
        if _guard is not None:
            try:
                _guard.tell(_line(word, mark))
            except OSError:
                pass  # gone: the next watch starts another


def _line(word: str, mark: str) -> bytes:
    return f"{word}{mark}\n".encode()


def _forget_all_in_child() -> None:
    # A forked child shares the parent's guard pipe: holding it, the child would hide the parent's death.
    global _guard, _lock
    _lock = threading.Lock()
    if _guard is not None:
        os.close(_guard.write_end)
        _guard = None
    _marks.clear()


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_forget_all_in_child)


# ---- the guard's program ----------------------------------------------------------------------------------------


def main() -> int:
    """Reads "+MARK", "-MARK" and "!MARK" lines from stdin until end-of-file, then ends what carries any mark
    it still watches."""
    import select

    os.chdir("/")  # hold no folder of the host's
    marks: set[str] = set()
    pending = b""
    warm = False
    while True:
        if not warm and not select.select([0], [], [], WARM_UP_SECONDS)[0]:
            import psutil  # noqa: F401 - loaded while nothing is urgent, see WARM_UP_SECONDS

            warm = True
            continue
        chunk = os.read(0, 4096)
        if not chunk:
            break
        *lines, pending = (pending + chunk).split(b"\n")
        for line in lines:
            word, mark = line[:1], line[1:].decode()
            if word == b"+":
                marks.add(mark)
            elif word in (b"-", b"!"):
                marks.discard(mark)
            if word == b"!":
                threading.Thread(target=_end, args=(mark,)).start()  # reading goes on meanwhile
    if marks:
        _end_settled(marks)
    return 0  # after the threads ending handed-over marks, which the interpreter joins


def _end(*marks: str) -> None:
    from . import _processes

    _processes.end_marked(*marks)


def _end_settled(marks: set[str]) -> None:
    import time

    from . import _processes

    quiet_since = time.monotonic()
    while time.monotonic() - quiet_since < SETTLE_SECONDS:
        if _processes.end_marked(*marks):
            quiet_since = time.monotonic()
        else:
            time.sleep(_processes.POLL_SECONDS)
