"""Velmora Master: the spreadsheet add-in's Python side."""

# Looked up on first use only: reading package metadata costs more than the rest of the import.
__version__: str


def __getattr__(name: str) -> str:
    if name != "__version__":
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    globals()["__version__"] = found = _version()
    return found


def _version() -> str:
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("velmora-master")
    except PackageNotFoundError:
        pass
    # Imported from a checkout that was never installed: the version it declares.
    import tomllib
    from pathlib import Path

    try:
        with (Path(__file__).resolve().parent.parent / "pyproject.toml").open("rb") as declared:
            project = tomllib.load(declared)["project"]
    except OSError, tomllib.TOMLDecodeError, KeyError:
        return "0+unknown"
    return str(project["version"]) if project.get("name") == "velmora-master" else "0+unknown"
