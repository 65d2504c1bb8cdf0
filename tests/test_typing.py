"""The stubs against the installed package, and mypy --strict over the
examples and over what the stubs tell a user's code."""
import os
import pathlib
import subprocess
import sys

import pytest

from support.tclversion import TCL9

ROOT = pathlib.Path(__file__).resolve().parent.parent
TYPING = ROOT / "tests" / "typing"


@pytest.fixture(scope="module")
def mypy_cache(tmp_path_factory):
    return str(tmp_path_factory.mktemp("mypy-cache"))


def run(*args, cwd, env=None):
    # The venv's own Python, where the package is installed: its stubs and
    # py.typed are what users get.
    env = dict(os.environ, **(env or {}))
    out = subprocess.run([sys.executable, "-m", *args], cwd=cwd, env=env, capture_output=True, text=True)
    return out.returncode, out.stdout + out.stderr


def test_stubtest_against_the_installed_package(tmp_path):
    # From a folder without the sources, so that the installed modules and
    # stubs are the ones checked.
    allowlists = ["stubtest-allowlist.txt"] + (["stubtest-allowlist-tcl9.txt"] if TCL9 else [])
    code, output = run(
        "mypy.stubtest", "tarvo.tcl", "tarvo.datastructures", "tarvo.utils.utils",
        *(arg for name in allowlists for arg in ("--allowlist", str(TYPING / name))),
        cwd=tmp_path,
    )
    assert code == 0, output


@pytest.mark.parametrize(
    "target",
    [
        "examples",  # what a new user runs first
        "tests/typing/api_types.py",  # the types that the stubs give each call
        "src/tarvo/tcl/pytest_plugin.py",  # our own typed Python modules
        "src/tarvo/tcl/tcltest_files.py",
        "src/tarvo/tcl/__main__.py",
        "src/tarvo/tcl/expect.py",
    ],
)
def test_mypy_strict(target, mypy_cache):
    options, env = [], {}
    if target.startswith("src/"):
        # tarvo is a namespace package: name the module from src.
        options, env = ["--explicit-package-bases"], {"MYPYPATH": str(ROOT / "src")}
    code, output = run("mypy", "--strict", "--cache-dir", mypy_cache, *options, target, cwd=ROOT, env=env)
    assert code == 0, output


def test_the_stubs_and_markers_are_installed():
    import tarvo.tcl

    package = pathlib.Path(tarvo.tcl.__file__).parent
    stubs = {path.name for path in package.glob("*.pyi")}
    modules = {path.name.split(".")[0] for path in package.iterdir() if path.suffix in (".py", ".so")}
    assert stubs == {module + ".pyi" for module in modules}
    assert (package / "py.typed").exists() and (package.parent / "py.typed").exists()
    assert (package.parent / "datastructures.pyi").exists()
    assert (package.parent / "utils" / "utils.pyi").exists()
