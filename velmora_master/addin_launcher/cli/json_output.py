"""The command line's JSON documents: one on stdout per run, each naming its schema and that schema's version.

A version changes only when a field is removed, renamed or changes its meaning; new fields may appear within a
version, so readers ignore what they do not know. The schemas are described in the README.
"""

import json

# Each document's schema and its version.
CERTS_SHOW = ("velmora-addin/certs-show", 1)
DOCTOR = ("velmora-addin/doctor", 1)


def emit(schema: tuple[str, int], body: dict[str, object]) -> None:
    name, version = schema
    print(json.dumps({"schema": name, "version": version, **body}, indent=2))
