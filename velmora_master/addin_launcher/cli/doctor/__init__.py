"""`doctor`: every check of the set-up, one line each. `command` runs them and tells the outcome, `check` is what
one check found; the checks themselves by what they look at: `setup_checks` (the interpreter, node or the
compiled server, the add-in), `store_checks` (the certificate store), `trust_checks` (the browsers' trust
stores) and `port_checks` (the port and who holds it)."""

from .command import doctor

__all__ = ["doctor"]
