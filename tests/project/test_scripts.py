"""The set-up scripts' helpers: announced steps, output shown only on failure, the
interpreter lookup and the private interpreters' cache."""

import os
import pathlib
import re
import shutil
import subprocess
import sys

import pytest

from conftest import SANITIZED

SCRIPTS = pathlib.Path(__file__).resolve().parents[2] / "scripts"
# bash, git and stand-ins: nothing here loads the module
pytestmark = pytest.mark.skipif(SANITIZED, reason="the scripts load no module: checked with the release builds")


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
    overrides, no pyenv, only the system's own folders on PATH; `cache` for the private ones;
    none of the scripts' settings (.ci/run, for one, sets HALVEC_REQUIRE_ALL_PYTHONS)."""
    env = {k: v for k, v in os.environ.items() if not re.fullmatch(r"PYTHON(3\d+)?|HALVEC_.*", k)}
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


# --- venvs and builds are reused only as their stamps say ---------------------------------------

FAKE_PYTHON = r"""#!/bin/bash
# Stands in for an interpreter, a venv's interpreter and pip; says what it was asked to do.
echo "$(basename "$(dirname "$(dirname "$0")")") $*" >>"$CALLS"
case "$1 $2" in
    "-m venv") mkdir -p "$3/bin" && cp "$0" "$3/bin/python" ;;
    "-m pip")
        [ "${FAIL:-}" != pip ] || exit 1
        if [ "${@: -1}" = . ]; then mkdir -p "$SITE/halvec" && cat src.txt >"$SITE/halvec/built.txt"; fi ;;
    "-c "*) case $2 in *purelib*) echo "$SITE" ;; *) echo "/fake/base 3.99.0" ;; esac ;;
esac
"""


@pytest.fixture
def fake(tmp_path):
    """A work tree (git) with a stand-in interpreter; run(code) runs bash there with venv.sh."""
    python = tmp_path / "base" / "bin" / "python"
    python.parent.mkdir(parents=True)
    python.write_text(FAKE_PYTHON)
    python.chmod(0o755)
    (tmp_path / "src.txt").write_text("one")
    (tmp_path / ".gitignore").write_text("/base/\n/build/\n/.venv*/\n/site/\n/calls\n")
    subprocess.run(["git", "init", "-q"], cwd=tmp_path, check=True)
    calls = tmp_path / "calls"

    def run(code, **env):
        calls.write_text("")
        result = bash(f"source '{SCRIPTS}/venv.sh'\n{code}", tmp_path,
                      dict(os.environ, CALLS=str(calls), SITE=str(tmp_path / "site"), **env))
        return result, calls.read_text().splitlines()
    run.python = python
    return run


def test_a_venv_is_reused_only_as_its_stamp_says(fake, tmp_path):
    make = f"make_venv .venv-x '{fake.python}' pytest hypothesis"
    result, calls = fake(make)
    assert result.returncode == 0 and [c.split()[1:3] for c in calls[1:]] == [["-m", "venv"], ["-m", "pip"]]
    result, calls = fake(make)  # as it was: no pip
    assert result.returncode == 0 and "as the last run left it" in result.stdout
    assert [c.split()[0] for c in calls] == ["base"]  # only the interpreter asked who it is
    # other packages: made afresh
    assert ".venv-x -m pip install --disable-pip-version-check pytest" in fake(make[:-11])[1][-1]
    # pip fails (or the run stops) before the stamp: the next run makes the venv again
    result, calls = fake(make, FAIL="pip")
    assert result.returncode == 1 and not (tmp_path / ".venv-x" / ".halvec-venv").exists()
    result, calls = fake(make)
    assert result.returncode == 0 and "creating .venv-x" in result.stdout


def test_the_package_is_installed_again_only_when_something_changed(fake, tmp_path):
    assert fake(f"make_venv .venv-x '{fake.python}' tools")[0].returncode == 0
    built = tmp_path / "site" / "halvec" / "built.txt"

    def installs(options="-Ca=b", **env):
        result, calls = fake(f"install_package .venv-x build/x {options}", **env)
        assert result.returncode == (1 if env else 0), result.stderr
        return any(call.endswith(" .") for call in calls)
    assert installs() and built.read_text() == "one"
    assert not installs()
    (tmp_path / "src.txt").write_text("two")  # a source changed (tracked or not)
    assert installs() and built.read_text() == "two"
    assert not installs()
    built.write_text("changed by hand")  # the installed files are not what was built
    assert installs() and not installs()
    assert installs("-Ca=c")  # other options
    (tmp_path / "src.txt").write_text("three")
    assert installs(FAIL="pip")  # a failed build leaves no stamp: the next run builds again
    assert installs() and built.read_text() == "three"


# --- which variants a run has ---------------------------------------------------------------------

def test_the_default_run_and_the_full_run(tmp_path):
    stand_in = tmp_path / "python"
    stand_in.write_text("#!/bin/sh\nexit 0\n")  # passes find_python's check of the version
    stand_in.chmod(0o755)
    env = machine_env(tmp_path / "cache", HALVEC_GET_PYTHONS="no", HALVEC_TEST_JOBS="2",
                      **{f"PYTHON3{minor}": str(stand_in) for minor in (12, 13, 14, 15)})

    def plan(*args, **extra):
        result = subprocess.run(["bash", str(SCRIPTS / "test.sh"), *args], capture_output=True, text=True,
                                env=dict(env, **extra), timeout=60)
        return result.returncode, result.stdout.split("nothing run (--plan):\n")[-1].splitlines(), result.stderr
    status, lines, _ = plan("--plan", "-k", "classifier")
    assert status == 0 and lines == ["   3.12 sanitizers", "   3.15 sanitizers", "   3.12 release, with basedpyright",
                                     "   3.13 release", "   3.14 release", "   3.15 release",
                                     "   pytest arguments: -k classifier", "   hypothesis profile: default"]
    status, lines, _ = plan("-k", "classifier", "--full", "--plan", HALVEC_PYTHONS="3.13 3.14")
    assert status == 0 and lines == ["   3.13 sanitizers", "   3.14 sanitizers", "   3.13 release, with basedpyright",
                                     "   3.14 release", "   pytest arguments: -k classifier",
                                     "   hypothesis profile: full, and the tests marked full"]
    # a version the machine cannot offer: skipped, or a failure where every version is required
    del env["PYTHON314"]
    status, lines, _ = plan("--plan", HALVEC_PYTHONS="3.12 3.14")
    assert status == 0 and lines[:2] == ["   3.12 sanitizers", "   3.12 release, with basedpyright"]
    status, lines, err = plan("--plan", HALVEC_PYTHONS="3.12 3.14", HALVEC_REQUIRE_ALL_PYTHONS="1")
    assert status == 1 and "CPython 3.14 not found nor obtained: a failure (HALVEC_REQUIRE_ALL_PYTHONS=1)" in err
    del env["PYTHON312"]
    status, _, err = plan("--plan")
    assert status == 1 and "error: CPython 3.12 not found" in err
