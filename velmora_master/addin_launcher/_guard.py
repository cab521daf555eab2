"""The guard: a small process, started beside a server, that ends the server when the process hosting it dies
without stopping it (SIGKILL, a crash, a signal nobody handles).

Roughly:

    host                                        guard (a session of its own, stdio on /dev/null)
    read_end, write_end = os.pipe()             word = os.read(read_end, 1)    # blocks
    start the guard, handing it read_end only   if word:                       # the host stood it down
    close read_end, keep write_end                  exit
    launch the server with the mark             end everything carrying the mark (SIGTERM, grace, SIGKILL)
    stop: end what carries the mark,            exit
          write the word, close write_end

The write end is close-on-exec and handed to no child, so the host alone holds it: the guard reads end-of-file
exactly when the host is gone, however it ended, since the kernel closes a dead process's descriptors. A child
that the host forked but that has not executed its program yet still holds a copy, so the guard cannot look for
the mark before a server that was being launched carries it. A host that dies before its server exists leaves a
guard that finds nothing and exits.

POSIX only: handing over one descriptor (`pass_fds`) and sessions have no counterpart here on Windows.
"""

import os
import sys

TYPE_CHECKING = False  # typing itself is not imported: the guard's program starts from this module
if TYPE_CHECKING:
    import subprocess

# What the host writes to stand its guard down.
STAND_DOWN = b"."
# Until then the guard only waits. After it, it loads what ending needs (psutil): a server starting meanwhile
# has the CPU to itself, and a host dying later is answered without that delay.
WARM_UP_SECONDS = 2.0
# The guard's program: the package from the folder the host imported it from, whatever the guard's sys.path.
_BOOT = (
    "import sys; sys.path.insert(0, sys.argv[1]); "
    "from velmora_master.addin_launcher._guard import main; sys.exit(main(sys.argv[2:]))"
)
_PACKAGE_ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


class Guard:
    """The host's side of one guard: its process and the one write end of its pipe.

    Starting it returns once the guard's program is executed, without waiting for its interpreter.
    """

    def __init__(self, mark: str) -> None:
        import subprocess

        read_end, self._write_end = os.pipe()  # both close-on-exec
        try:
            self.process = subprocess.Popen(
                [sys.executable, "-c", _BOOT, _PACKAGE_ROOT, str(read_end), mark],
                pass_fds=(read_end,),
                stdin=subprocess.DEVNULL,
                stdout=subprocess.DEVNULL,
                stderr=subprocess.DEVNULL,
                # The terminal's SIGINT and SIGHUP reach the host's group and session, never the guard.
                start_new_session=True,
                cwd="/",
            )
        except BaseException:
            os.close(self._write_end)
            raise
        finally:
            os.close(read_end)

    @property
    def pid(self) -> int:
        return self.process.pid

    def stand_down(self) -> None:
        """The server and what carried its mark are gone: the guard is told, and ended and collected at once.

        Collected here rather than left to run out: a child that is dropped unwaited stays a zombie, and subprocess
        reports it with a ResourceWarning. Its exit is not collected before, so its pid is still its own.
        """
        self._close(STAND_DOWN)
        self.process.kill()
        self.process.wait()

    def hand_over(self) -> None:
        """Leave the ending to the guard (the host's own was cut short): it acts as if the host had died."""
        self._close(b"")
        _handed_over.append(self.process)  # kept, not collected: it runs on, and the host is on its way out

    def _close(self, word: bytes) -> None:
        write_end, self._write_end = self._write_end, -1
        if write_end < 0:
            return
        try:
            if word:
                os.write(write_end, word)
        except OSError:
            pass  # the guard is gone already
        finally:
            os.close(write_end)


# Guards left to end a server themselves; referenced so that none is dropped while it runs.
_handed_over: list[subprocess.Popen[bytes]] = []


def main(argv: list[str]) -> int:
    """The guard's program. Arguments: the descriptor of the pipe's read end, the mark of the server it guards."""
    import select

    host, mark = int(argv[0]), argv[1]
    if not select.select([host], [], [], WARM_UP_SECONDS)[0]:
        import psutil  # noqa: F401 - loaded while nothing is urgent, see WARM_UP_SECONDS

    if os.read(host, len(STAND_DOWN)):
        return 0
    from . import _processes

    _processes.end_marked(mark)
    return 0
