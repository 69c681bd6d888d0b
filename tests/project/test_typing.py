"""Typed throughout: mypy --strict on the package and the README example, pyright's
--verifytypes (through basedpyright, which ships pyright with its Node.js runtime from
PyPI) and mypy's stubtest against the stubs of the module and of the package's private
extension modules.

The checkers read the installed package (its py.typed, the stubs beside the extensions),
so they check what a user gets. Only stubtest loads the native modules; the others run on
the release builds (the sanitizer runs are about memory, and they never load it), and
stubtest under the sanitizers only in the full run. basedpyright (about 280 MB) is
installed in one venv only (scripts/test.sh: the release run of the oldest version), and
checks the package there as each supported version of Python would see it."""

import json
import os
import pathlib
import subprocess
import sys

import pytest

from conftest import SANITIZED

SUPPORTED_PYTHONS = ["3.12", "3.13", "3.14", "3.15"]
ALLOWLIST = pathlib.Path(__file__).with_name("stubtest_allowlist.txt")
not_under_sanitizers = pytest.mark.skipif(
    SANITIZED, reason="type checks do not load the module; they run with the release build")


def _run(command, env, cwd, timeout=300):
    return subprocess.run(command, capture_output=True, text=True, env=env, cwd=cwd, timeout=timeout)


@not_under_sanitizers
def test_mypy_strict_on_the_package(tool_env, tmp_path):
    pytest.importorskip("mypy")
    result = _run([sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"),
                   "-p", "halvec"], tool_env, tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr
    # every source file of the installed package, the command line's included
    import halvec
    files = [f for f in pathlib.Path(halvec.__file__).parent.rglob("*") if f.suffix in (".py", ".pyi")]
    assert {"__main__.py", "cli/__init__.py", "cli/route.py"} <= {
        f.relative_to(pathlib.Path(halvec.__file__).parent).as_posix() for f in files}
    assert result.stdout.startswith(f"Success: no issues found in {len(files)} source files")


@not_under_sanitizers
def test_mypy_strict_on_the_readme_example(tool_env, tmp_path, readme_example):
    pytest.importorskip("mypy")
    (tmp_path / "example.py").write_text(readme_example)
    result = _run([sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"),
                   "example.py"], tool_env, tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


@not_under_sanitizers
@pytest.mark.parametrize("version", SUPPORTED_PYTHONS)
def test_pyright_verifytypes_finds_every_type_known(tool_env, tmp_path, version):
    executable = pathlib.Path(sys.executable).with_name("basedpyright")
    if not executable.exists():
        pytest.skip("basedpyright is not installed in this venv (scripts/test.sh puts it in one venv only)")
    result = _run([str(executable), "--verifytypes", "halvec", "--outputjson", "--pythonversion", version],
                  tool_env, tmp_path)
    report = json.loads(result.stdout)
    completeness = report["typeCompleteness"]
    assert completeness["packageRootDirectory"].startswith(sys.prefix)
    assert completeness["pyTypedPath"].endswith("py.typed")
    assert {"halvec", "halvec.config", "halvec.core.model_router", "halvec.__main__", "halvec.cli",
            "halvec.cli.route"} <= {
        m["name"] for m in completeness["modules"]}
    unknown = [s["name"] for s in completeness["symbols"] if not s["isTypeKnown"]]
    assert unknown == []
    assert completeness["exportedSymbolCounts"]["withUnknownType"] == 0
    assert completeness["exportedSymbolCounts"]["withAmbiguousType"] == 0
    assert completeness["completenessScore"] == 1
    assert result.returncode == 0, result.stdout[-2000:] + result.stderr


@pytest.mark.full(under_sanitizers=True)  # it checks the stub on every release build already
def test_stubtest_against_the_stub(tmp_path):
    # Loads the module: the stub must match what it really holds.
    pytest.importorskip("mypy")
    env = dict(os.environ, MYPY_CACHE_DIR=str(tmp_path / "cache"))
    modules = ["halvec.core.model_router", "halvec.config", "halvec._patterns", "halvec._fitted", "halvec._workload",
               "halvec._quality"]
    result = _run([sys.executable, "-m", "mypy.stubtest", *modules, "--allowlist", str(ALLOWLIST)], env, tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr
    assert f"Success: no issues found in {len(modules)} modules" in result.stdout
