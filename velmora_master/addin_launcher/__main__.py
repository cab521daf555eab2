"""`python -m velmora_master.addin_launcher`: the same command line as `velmora-addin` (see cli/)."""

import sys

# The bare module: installing the handlers must not wait for the imports of `signal` (enum alone takes tens of
# milliseconds, during which a Ctrl-C would end in a traceback). `_signal` has no type stubs; `signal` wraps the
# same functions and constants (as enums, which are ints), so the checker reads this module's use of `_signal`
# against it. A constant rather than typing.TYPE_CHECKING: importing typing costs more than `signal` does.
TYPE_CHECKING = False
if TYPE_CHECKING:
    import signal as _signal
else:
    import _signal

# A Ctrl-C or SIGTERM while the command line is still being imported is kept, not raised, and acted on
# as soon as main() can do so cleanly.
_early: list[int] = []
for _signum in (_signal.SIGINT, _signal.SIGTERM):
    _signal.signal(_signum, lambda signum, _frame: _early.append(signum))

from .cli import main  # noqa: E402 - after the handlers, see above


def console_main() -> int:
    """The `velmora-addin` command: importing this module installed the signal handlers first."""
    return main(early_signals=_early)


if __name__ == "__main__":
    sys.exit(console_main())
