"""`python -m velmora_master.addin_launcher`: the same command line as `velmora-addin` (see cli.py)."""

import _signal  # the bare module: installing the handlers must not wait for the imports of `signal`
import sys

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
