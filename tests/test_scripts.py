"""The set-up scripts' helpers: announced steps, output shown only on failure, the
interpreter lookup and the private interpreters' cache."""

import os
import pathlib
import re
import shutil
import subprocess
import sys

import pytest

SCRIPTS = pathlib.Path(__file__).resolve().parent.parent / "scripts"


def bash(code, cwd, env=None):
    return subprocess.run(["bash", "-c", code], capture_output=True, text=True, cwd=cwd, env=env, timeout=60)


def test_a_failing_step_shows_its_output(tmp_path):
    result = bash(f"""
        source '{SCRIPTS}/venv.sh'
        step "building something" "about 1 s"
        logged quiet-one bash -c 'echo all fine'
        finish_step
        logged loud-one bash -c 'echo "model.cpp:1: error: expected ;" >&2; exit 3'
    """, tmp_path)
    assert result.returncode == 3
    assert result.stdout.splitlines()[0] == "--> building something (about 1 s)"
    assert result.stdout.splitlines()[1].startswith("    done in ")
    assert "all fine" not in result.stdout + result.stderr  # kept in its log only
    assert "FAILED (exit status 3)" in result.stderr
    assert "model.cpp:1: error: expected ;" in result.stderr
    assert (tmp_path / "build/logs/quiet-one.log").read_text() == "all fine\n"


def test_find_python_checks_the_version(tmp_path):
    import os
    version = "%d.%d" % sys.version_info[:2]
    other = "3.13" if version == "3.12" else "3.12"
    env = dict(os.environ, **{f"PYTHON{version.replace('.', '')}": sys.executable,
                              f"PYTHON{other.replace('.', '')}": sys.executable})
    found = bash(f"source '{SCRIPTS}/pythons.sh'; find_python {version}", tmp_path, env)
    assert found.returncode == 0 and found.stdout.strip() == sys.executable
    # an interpreter of the wrong version, named explicitly, is refused
    wrong = bash(f"source '{SCRIPTS}/pythons.sh'; find_python {other}", tmp_path, env)
    assert wrong.returncode == 1 and wrong.stdout == ""


def machine_env(cache, **extra):
    """An environment in which the machine offers no interpreter by name: no PYTHON...
    overrides, no pyenv, only the system's own folders on PATH; `cache` for the private ones."""
    env = {k: v for k, v in os.environ.items() if not re.fullmatch(r"PYTHON(3\d+)?", k)}
    env.update(PATH="/usr/bin:/bin", HALVEC_PYTHON_CACHE=str(cache), **extra)
    return env


def test_find_python_takes_only_a_complete_private_interpreter_from_the_cache(tmp_path):
    version = "%d.%d" % sys.version_info[:2]
    if shutil.which(f"python{version}", path="/usr/bin:/bin"):
        pytest.skip(f"the system itself has python{version}")
    cache = tmp_path / "cache"
    exe = cache / version / "usr" / "bin" / f"python{version}"
    exe.parent.mkdir(parents=True)
    exe.symlink_to(sys.executable)
    env = machine_env(cache)
    lookup = f"source '{SCRIPTS}/pythons.sh'; find_python {version}"
    # without the mark that scripts/get_pythons.sh sets last, a copy is half-made: unused
    assert bash(lookup, tmp_path, env).returncode == 1
    (cache / version / ".complete").touch()
    found = bash(lookup, tmp_path, env)
    assert found.returncode == 0 and found.stdout.strip() == str(exe)
    # "system" asks for what the machine itself has
    assert bash(lookup + " system", tmp_path, env).returncode == 1


def test_get_pythons_with_fetching_turned_off_removes_a_half_made_copy(tmp_path):
    if shutil.which("python3.15", path="/usr/bin:/bin"):
        pytest.skip("the system itself has python3.15")
    cache = tmp_path / "cache"
    (cache / "3.15" / "usr" / "bin").mkdir(parents=True)  # as a killed run leaves it
    result = subprocess.run(["bash", str(SCRIPTS / "get_pythons.sh"), "3.15"], capture_output=True, text=True,
                            env=machine_env(cache, HALVEC_GET_PYTHONS="no"), timeout=60)
    assert result.returncode == 1
    assert "CPython 3.15: not present, and HALVEC_GET_PYTHONS=no fetches nothing" in result.stderr
    assert "not obtained: CPython 3.15" in result.stderr
    assert sorted(p.name for p in cache.iterdir()) == [".lock"]


def test_get_pythons_obtains_only_the_versions_it_knows(tmp_path):
    result = subprocess.run(["bash", str(SCRIPTS / "get_pythons.sh"), "3.11"], capture_output=True, text=True,
                            env=machine_env(tmp_path / "cache", HALVEC_GET_PYTHONS="no"), timeout=60)
    assert result.returncode == 1
    assert "only CPython 3.14 3.15 can be obtained this way, not 3.11" in result.stderr
