import os
import subprocess
import sys
import textwrap

import pytest

SANITIZED = bool(os.environ.get("HALVEC_SANITIZED"))


def run_python(code, *, env=None, timeout=120):
    """Runs `code` in a fresh interpreter (same venv, same sanitizer setup)."""
    full_env = dict(os.environ)
    full_env.update(env or {})
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, env=full_env, timeout=timeout)


@pytest.fixture
def python():
    def run(code, **kwargs):
        result = run_python(code, **kwargs)
        assert result.returncode == 0, result.stderr
        return result.stdout
    return run


@pytest.fixture(scope="session")
def mr():
    from halvec.core import model_router
    return model_router


@pytest.fixture
def patterns(mr):
    """Restores both pattern lists (binding and contents) after a test edits them."""
    saved = {name: (getattr(mr, name), list(getattr(mr, name)))
             for name in ("_COMPLEX_PATTERNS", "_SIMPLE_PATTERNS")}
    yield mr
    for name, (obj, items) in saved.items():
        obj[:] = items
        setattr(mr, name, obj)
