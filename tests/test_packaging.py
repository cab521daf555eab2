"""The type stub matches the built module, and the wheel installs and runs outside the checkout."""

import ast
import functools
import inspect
import os
import re
import subprocess
import sys
import zipfile
from pathlib import Path

import pytest

from helpers import MEMBERS, ROOT, clean_environment, declared_version, function_of

STUB = ROOT / "velmora_master/addin_launcher/server_manager.pyi"


def stub_class():
    tree = ast.parse(STUB.read_text())
    return next(node for node in tree.body if isinstance(node, ast.ClassDef) and node.name == "AddinServerManager")


# Where the stub says more than the module's annotation texts: element types, the subclass from
# `__enter__`, and the parameters of `__exit__`, which the module leaves unannotated.
REFINED = {
    "Optional[int]": "int | None",
    "Optional[str]": "str | None",
    "list": "list[str]",
    "dict": "dict[str, object]",
    "'AddinServerManager'": "Self",
}
EXIT_PARAMETERS = {
    "exc_type": "type[BaseException] | None",
    "exc_val": "BaseException | None",
    "exc_tb": "TracebackType | None",
}


def test_stub_matches_the_module(sm):
    stubbed = {node.name: node for node in stub_class().body if isinstance(node, ast.FunctionDef)}
    assert list(stubbed) == MEMBERS
    for name, node in stubbed.items():
        real = function_of(sm.AddinServerManager, name)
        is_property = isinstance(vars(sm.AddinServerManager)[name], property)
        assert [ast.unparse(d) for d in node.decorator_list] == (["property"] if is_property else []), name
        arguments = node.args.args
        assert [a.arg for a in arguments] == list(inspect.signature(real).parameters), name
        defaults = tuple(ast.literal_eval(d) for d in node.args.defaults) or None
        assert defaults == real.__defaults__ and [type(d) for d in defaults or ()] == [
            type(d) for d in real.__defaults__ or ()
        ], name
        annotations = {a.arg: ast.unparse(a.annotation) for a in arguments if a.annotation}
        if name != "__init__":  # the stub says what __init__ returns; the module records no return annotation
            annotations["return"] = ast.unparse(node.returns)
        expected = {key: REFINED.get(text, text) for key, text in real.__annotations__.items()}
        if name == "__exit__":
            expected = EXIT_PARAMETERS | expected
        assert annotations == expected, name
        # Editors show the stub's docstrings, cleaned of their indentation as always.
        assert ast.get_docstring(node) == real.__doc__, name
    assert ast.get_docstring(stub_class()) == inspect.cleandoc(sm.AddinServerManager.__doc__)


def test_stub_fields_match_a_constructed_manager(doubles):
    fields = [node.target.id for node in stub_class().body if isinstance(node, ast.AnnAssign)]
    assert fields == list(vars(doubles.AddinServerManager()))


def test_version_from_a_checkout():
    import velmora_master

    if not (ROOT / "pyproject.toml").exists():
        pytest.skip("not a source checkout")
    assert velmora_master.__version__ == declared_version()


@pytest.mark.slow
@pytest.mark.skipif(os.environ.get("VELMORA_SKIP_WHEEL") == "1", reason="wheel test disabled")
def test_wheel_builds_installs_and_runs(tmp_path, port):
    checkout = ROOT
    if not (checkout / "pyproject.toml").exists():
        pytest.skip("not a source checkout")
    dist = tmp_path / "dist"
    env = clean_environment()
    run = functools.partial(subprocess.run, capture_output=True, text=True, env=env)
    built = run(["bash", str(checkout / "tools/wheel.sh"), str(dist)], check=True, timeout=600)
    wheel = Path(built.stdout.split()[-1])
    # Tagged with the manylinux policy auditwheel found the module to meet, not this machine's own tag.
    # A policy with a legacy alias carries both names, e.g. manylinux2014_x86_64.manylinux_2_17_x86_64.
    platforms = wheel.name.removesuffix(".whl").split("-")[-1].split(".")
    assert wheel.name.startswith("velmora_master-") and "-cp314-cp314-" in wheel.name, wheel.name
    assert any(re.fullmatch(r"manylinux_2_\d+_x86_64", tag) for tag in platforms), wheel.name
    assert all(tag.startswith("manylinux") for tag in platforms), wheel.name
    names = zipfile.ZipFile(wheel).namelist()
    for expected in (
        "velmora_master/py.typed",
        "velmora_master/logging_config.py",
        "velmora_master/addin_launcher/server_manager.pyi",
        "velmora_master/addin_launcher/addin/server.js",
        "velmora_master/addin_launcher/certificate_manager.py",
    ):
        assert expected in names
    assert (
        len([n for n in names if n.startswith("velmora_master/addin_launcher/server_manager.") and n.endswith(".so")])
        == 1
    )
    module = next(n for n in names if n.endswith(".so"))
    zipfile.ZipFile(wheel).extract(module, tmp_path / "unpacked")
    exported = run(["nm", "-D", "--defined-only", str(tmp_path / "unpacked" / module)], check=True)
    assert [line.split()[-1] for line in exported.stdout.splitlines()] == ["PyInit_server_manager"]
    metadata = zipfile.ZipFile(wheel).read(next(n for n in names if n.endswith("METADATA"))).decode()
    for line in (
        "Requires-Dist: cryptography",
        "Requires-Dist: psutil",
        "License-Expression: MIT",
        "License-File: LICENSE",
        "Typing :: Typed",
    ):
        assert line in metadata
    assert "Project-URL" not in metadata
    entry_points = zipfile.ZipFile(wheel).read(next(n for n in names if n.endswith("entry_points.txt"))).decode()
    assert "velmora-addin = velmora_master.addin_launcher.__main__:console_main" in entry_points
    assert "velmora_master.pytest_plugin = velmora_master.pytest_plugin" in entry_points

    venv = tmp_path / "venv"
    run([sys.executable, "-m", "venv", "--system-site-packages", "--without-pip", str(venv)], check=True)
    python = venv / "bin" / "python"
    pip = [sys.executable, "-m", "pip", "--python", str(python), "install", "--no-index", "--no-deps", "--quiet"]
    run([*pip, str(wheel)], check=True, timeout=300)
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    launched = run(
        [str(python), "-m", "velmora_master.addin_launcher", "--once", "--port", str(port)], cwd=elsewhere, timeout=120
    )
    assert launched.returncode == 0, launched.stderr
    assert "-> 200" in launched.stdout and "Server stopped" in launched.stdout
    where = run(
        [
            str(python),
            "-c",
            "import velmora_master, velmora_master.addin_launcher.server_manager as m; "
            "print(m.__file__, velmora_master.__version__)",
        ],
        cwd=elsewhere,
    )
    module_file, version = where.stdout.split()
    assert module_file.startswith(str(venv)), where.stdout
    assert version == declared_version(checkout)
    script = run([str(venv / "bin/velmora-addin"), "--help"])
    assert script.returncode == 0 and "--port" in script.stdout, script.stderr
    script = run([str(venv / "bin" / "velmora-addin"), "--version"], cwd=elsewhere)
    assert script.stdout == f"velmora-addin {version}\n", script.stderr  # the console script, the installed version
