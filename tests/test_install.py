"""The README's install steps, performed verbatim on a copy of the checkout, give a working package."""

import functools
import os
import re
import shutil
import subprocess
import textwrap

import pytest

from helpers import ROOT, clean_environment

# A user's program: start, one verified request, stop.
USER_PROGRAM = """
import ssl, sys, urllib.request
import velmora_master
from velmora_master.addin_launcher.server_manager import AddinServerManager

server = AddinServerManager(port=int(sys.argv[1]), timeout=30)
server.start()
try:
    context = ssl.create_default_context(cafile=str(server._cert_manager.paths.ca_cert))
    with urllib.request.urlopen(server.url + "/health", context=context, timeout=10) as answer:
        print(answer.status)
finally:
    server.stop()
print(server.is_running, velmora_master.__file__)
"""

# A user's own test, with the fixtures of the installed plugin.
USER_TEST = """
import urllib.request

def test_health(addin_server, addin_ssl_context, pytestconfig):
    with urllib.request.urlopen(addin_server.url + "/health", context=addin_ssl_context, timeout=10) as answer:
        assert answer.status == 200
    plugins = pytestconfig.pluginmanager.get_plugins()
    assert len([p for p in plugins if getattr(p, "__name__", "") == "velmora_master.pytest_plugin"]) == 1
"""


def install_steps(readme):
    """The first shell block of the README's install section."""
    section = readme.split("\n## Installing\n", 1)[1].split("\n## ", 1)[0]
    block = re.search(r"^```sh\n(.*?)^```$", section, re.S | re.M)
    assert block, "the install section has no ```sh block"
    return block.group(1)


def test_install_steps_are_found():
    steps = install_steps(
        "# x\n## Installing\ntext\n```sh\none\ntwo\n```\n```sh\nnot this\n```\n## Next\n```sh\nno\n```\n"
    )
    assert steps == "one\ntwo\n"


@pytest.mark.slow
@pytest.mark.skipif(os.environ.get("VELMORA_SKIP_WHEEL") == "1", reason="wheel test disabled")
def test_readme_install_steps_work_verbatim(tmp_path, port):
    if not (ROOT / "pyproject.toml").exists():
        pytest.skip("not a source checkout")
    # A fresh copy of the working tree: nothing built, no environment, no caches.
    checkout = tmp_path / "checkout"
    shutil.copytree(
        ROOT,
        checkout,
        ignore=shutil.ignore_patterns(".git", "build", "build-*", "dist", ".venv", "*.so", "__pycache__", ".*_cache"),
    )
    env = clean_environment()
    env.pop("PYTEST_DISABLE_PLUGIN_AUTOLOAD", None)
    steps = install_steps((checkout / "README.md").read_text())
    run = functools.partial(subprocess.run, capture_output=True, text=True, env=env)
    installed = run(["bash", "-euo", "pipefail", "-c", steps], cwd=checkout, timeout=900)
    assert installed.returncode == 0, installed.stdout + installed.stderr
    python = checkout / ".venv/bin/python"

    user = tmp_path / "user"
    user.mkdir()
    (user / "program.py").write_text(USER_PROGRAM)
    program = run([str(python), "program.py", str(port)], cwd=user, timeout=120)
    assert program.returncode == 0, program.stderr
    status, running, package = program.stdout.split()[-3:]
    assert (status, running) == ("200", "False")
    assert package.startswith(str(checkout / ".venv")), "the program did not use the installed package"

    # The plugin comes in through its entry point; naming it with -p as well still loads it once.
    (user / "test_user.py").write_text(textwrap.dedent(USER_TEST))
    for extra in ([], ["-p", "velmora_master.pytest_plugin"]):
        tested = run(
            [str(python), "-m", "pytest", "-q", "-p", "no:cacheprovider", *extra, "test_user.py"], cwd=user, timeout=180
        )
        assert tested.returncode == 0, tested.stdout + tested.stderr
