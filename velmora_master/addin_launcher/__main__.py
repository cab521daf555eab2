"""`python -m velmora_master.addin_launcher`: the same command line as `velmora-addin` (see cli/)."""

import sys

# Before the heavy imports (enum alone takes tens of milliseconds), so that no signal that ends the program can
# end it in a traceback meanwhile: one that comes while the command line is still being imported is kept, not
# raised, and acted on as soon as main() can do so cleanly.
from ._ending_signals import catch

_early: list[int] = []
_caught = list(catch(lambda signum, _frame: _early.append(signum)))

from .cli import main  # noqa: E402 - after the handlers, see above


def console_main() -> int:
    """The `velmora-addin` command: importing this module installed the signal handlers first."""
    return main(early_signals=_early, caught=_caught)


if __name__ == "__main__":
    sys.exit(console_main())
