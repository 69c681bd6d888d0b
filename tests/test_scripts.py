"""The set-up scripts' helpers: announced steps, output shown only on failure, and the
interpreter lookup."""

import pathlib
import subprocess
import sys

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
