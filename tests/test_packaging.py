"""The type stub matches the built module, and the wheel installs and runs outside the checkout."""

import ast
import inspect
import os
import subprocess
import sys
import textwrap
import zipfile

import pytest

from conftest import ROOT
from test_class_surface import MEMBERS, function_of

STUB = ROOT / "velmora_master/addin_launcher/server_manager.pyi"


def stub_class():
    tree = ast.parse(STUB.read_text())
    return next(node for node in tree.body if isinstance(node, ast.ClassDef) and node.name == "AddinServerManager")


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
        assert defaults == real.__defaults__ and [type(d) for d in defaults or ()] == \
            [type(d) for d in real.__defaults__ or ()], name
        annotations = {a.arg: ast.unparse(a.annotation) for a in arguments if a.annotation}
        if name != "__init__":  # the stub says what __init__ returns; the module records no return annotation
            annotations["return"] = ast.unparse(node.returns)
        assert annotations == {k: v.replace('"', "'") for k, v in real.__annotations__.items()} | (
            {"return": "\"'AddinServerManager'\"".strip('"')} if name == "__enter__" else {}), name


def test_stub_fields_match_a_constructed_manager(doubles):
    fields = [node.target.id for node in stub_class().body if isinstance(node, ast.AnnAssign)]
    assert fields == list(vars(doubles.AddinServerManager()))


@pytest.mark.skipif(os.environ.get("VELMORA_SKIP_WHEEL") == "1", reason="wheel test disabled")
def test_wheel_builds_installs_and_runs(tmp_path, port):
    checkout = ROOT
    if not (checkout / "pyproject.toml").exists():
        pytest.skip("not a source checkout")
    dist = tmp_path / "dist"
    env = {k: v for k, v in os.environ.items() if not k.startswith(("LD_PRELOAD", "ASAN", "LSAN", "UBSAN"))}
    subprocess.run([sys.executable, "-m", "build", "--wheel", "--no-isolation", "--outdir", str(dist), str(checkout)],
                   check=True, capture_output=True, env=env, timeout=600)
    wheel = next(dist.glob("*.whl"))
    names = zipfile.ZipFile(wheel).namelist()
    for expected in ("velmora_master/py.typed", "velmora_master/logging_config.py",
                     "velmora_master/addin_launcher/server_manager.pyi",
                     "velmora_master/addin_launcher/addin/server.js",
                     "velmora_master/addin_launcher/certificate_manager.py"):
        assert expected in names
    assert len([n for n in names if n.startswith("velmora_master/addin_launcher/server_manager.") and
                n.endswith(".so")]) == 1
    metadata = zipfile.ZipFile(wheel).read(next(n for n in names if n.endswith("METADATA"))).decode()
    assert "Requires-Dist: cryptography" in metadata

    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", "--without-pip", str(venv)], check=True,
                   env=env)
    python = venv / "bin" / "python"
    subprocess.run([sys.executable, "-m", "pip", "--python", str(python), "install", "--no-index", "--no-deps",
                    "--quiet", str(wheel)], check=True, capture_output=True, env=env, timeout=300)
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    run = subprocess.run([str(python), "-m", "velmora_master.addin_launcher", "--once", "--port", str(port)],
                         cwd=elsewhere, capture_output=True, text=True, env=env, timeout=120)
    assert run.returncode == 0, run.stderr
    assert "-> 200" in run.stdout and "Server stopped" in run.stdout
    script = subprocess.run([str(venv / "bin" / "velmora-addin"), "--version"], cwd=elsewhere, capture_output=True,
                            text=True, env=env, timeout=60)
    assert script.stdout == "velmora-addin 0.1.0\n", script.stderr  # the console script, and the installed version
    where = subprocess.run([str(python), "-c", "import velmora_master.addin_launcher.server_manager as m; "
                            "print(m.__file__)"], cwd=elsewhere, capture_output=True, text=True, env=env)
    assert where.stdout.startswith(str(venv)), where.stdout
