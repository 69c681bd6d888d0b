import contextlib
import io
import json
import logging
import os
import pathlib
import subprocess
import sys
import textwrap
import warnings

import pytest
from hypothesis import settings

# Test modules import helpers from each other by name, across folders too (the pattern engine's
# tests take the classifier's lists): every test folder is importable, whichever tests run.
for _folder in sorted(pathlib.Path(__file__).parent.iterdir()):
    if _folder.is_dir() and not _folder.name.startswith((".", "_")) and str(_folder) not in sys.path:
        sys.path.append(str(_folder))

SANITIZED = bool(os.environ.get("HALVEC_SANITIZED"))

# How thorough a run is. The everyday run (scripts/test.sh, .ci/run, pytest alone) takes the
# hypothesis profile "default" and leaves out the tests marked `full`; the full run
# (scripts/test.sh --full, which sets HALVEC_FULL=1, or pytest --hypothesis-profile=full)
# takes the profile "full", five times the examples, and runs every test.
#   @pytest.mark.full                         only the full run can afford the test
#   @pytest.mark.full(under_sanitizers=True)  under the sanitizers, only in the full run
# Property tests take their example counts from the profile; a test that fixes its own count
# says why. deadline=None: a sanitizer build, or a machine shared with other work, makes single
# examples slow now and then, and how long an example takes is not what is tested.
FULL = os.environ.get("HALVEC_FULL") == "1"
settings.register_profile("default", max_examples=100, deadline=None)
settings.register_profile("full", max_examples=500, deadline=None)
settings.load_profile("full" if FULL else "default")


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "full: a test only the full run can afford (scripts/test.sh --full), skipped otherwise; "
                   "full(under_sanitizers=True): under the sanitizers only in the full run, always elsewhere")


def pytest_collection_modifyitems(config, items):
    if FULL or config.getoption("hypothesis_profile", None) == "full":
        return
    for item in items:
        marker = item.get_closest_marker("full")
        if marker is None:
            continue
        if not marker.kwargs.get("under_sanitizers"):
            item.add_marker(pytest.mark.skip(reason="only in the full run (scripts/test.sh --full)"))
        elif SANITIZED:
            item.add_marker(pytest.mark.skip(reason="under the sanitizers only in the full run "
                                                    "(scripts/test.sh --full)"))


def run_python(code, *, env=None, timeout=120):
    """Runs `code` in a fresh interpreter (same venv, same sanitizer setup)."""
    full_env = dict(os.environ)
    full_env.update(env or {})
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, env=full_env, timeout=timeout)


# What the interpreter reads from the environment as it starts (the streams' encodings and
# buffering, the locale): a run that sets one of these needs an interpreter of its own.
STARTUP_VARIABLES = ("PYTHONIOENCODING", "PYTHONUNBUFFERED", "PYTHONUTF8", "PYTHONCOERCECLOCALE", "LANG", "LC_")
# A new interpreter's warning filters, first to last: what it shows on standard error.
_FRESH_WARNING_FILTERS = [("default", DeprecationWarning, "__main__"), ("ignore", DeprecationWarning, ""),
                          ("ignore", PendingDeprecationWarning, ""), ("ignore", ImportWarning, ""),
                          ("ignore", ResourceWarning, "")]


def needs_own_interpreter(env):
    return any(name.startswith(STARTUP_VARIABLES) for name in env or {})


def run_main(args, *, input=None, env=None, prog="python -m halvec"):
    """Runs the command line as `prog ARGS` runs with its standard streams on pipes, but in this
    process: main() with standard input, output and error of its own (UTF-8, as a process
    started under a UTF-8 locale has them), the environment without API keys and with `env`
    added, the logging and warnings set-up of a new interpreter. Returns the exit status and
    both outputs as text, as a CompletedProcess. Saves starting an interpreter (a tenth of a
    second, several times that under the sanitizers) where nothing about the run needs one;
    tests of what does (the streams' set-up, signals, exit) start the program itself."""
    from halvec.cli import main
    assert not needs_own_interpreter(env), env
    out, err = io.BytesIO(), io.BytesIO()
    streams = (io.TextIOWrapper(io.BytesIO(input or b""), encoding="utf-8"),
               io.TextIOWrapper(out, encoding="utf-8"),
               io.TextIOWrapper(err, encoding="utf-8", errors="backslashreplace", line_buffering=True))
    saved_streams, saved_env = (sys.stdin, sys.stdout, sys.stderr), dict(os.environ)
    root = logging.getLogger()
    saved_logging = root.handlers[:], root.level
    try:
        os.environ.clear()
        os.environ.update({k: v for k, v in saved_env.items() if not k.endswith("_API_KEY")}, **(env or {}))
        # a process whose standard output is a pipe lays out its help for 80 columns, whatever
        # terminal this process has
        os.environ.setdefault("COLUMNS", "80")
        sys.stdin, sys.stdout, sys.stderr = streams
        root.handlers[:], root.level = [], logging.WARNING
        with warnings.catch_warnings():
            warnings.resetwarnings()
            for action, category, module in _FRESH_WARNING_FILTERS:
                warnings.filterwarnings(action, category=category, module=module, append=True)
            status = main([os.fsdecode(arg) for arg in args], prog=prog)
        for stream in streams[1:]:
            stream.flush()
    finally:
        sys.stdin, sys.stdout, sys.stderr = saved_streams
        os.environ.clear()
        os.environ.update(saved_env)
        root.handlers[:], root.level = saved_logging
    return subprocess.CompletedProcess([prog, *args], status, out.getvalue().decode("utf-8", "replace"),
                                       err.getvalue().decode("utf-8", "replace"))


@pytest.fixture
def python():
    def run(code, **kwargs):
        result = run_python(code, **kwargs)
        assert result.returncode == 0, result.stderr
        return result.stdout
    return run


@pytest.fixture
def write(tmp_path):
    """Writes a file in the test's folder: bytes, text, or a value as JSON; its path."""
    def write(content, name="router.json"):
        path = tmp_path / name
        path.write_bytes(content if isinstance(content, bytes) else
                         (content if isinstance(content, str) else json.dumps(content)).encode())
        return str(path)
    return write


def _memory_hooks(module):
    """The test hooks of `module` (budget, allocation failures), reset after the test."""
    found = sys.modules.get(f"{module}_hooks")
    if found is None:
        pytest.skip("a build without the test hooks")
    yield found
    found.fail_allocation(0)
    found.set_budget(0)


@pytest.fixture
def pattern_hooks():
    """The test hooks of halvec._patterns (budget, allocation failures), reset after the test."""
    yield from _memory_hooks("halvec._patterns")


@pytest.fixture
def fitted_hooks():
    """The test hooks of halvec._fitted (the fitted routers' budget, allocation failures), reset
    after the test."""
    yield from _memory_hooks("halvec._fitted")


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


class RecordingStore:
    """A secrets store that answers from a set of providers and records every question."""

    def __init__(self, providers=(), answer=None):
        self.providers = set(providers)
        self.answer = answer
        self.calls = []

    def has_key(self, provider):
        self.calls.append(provider)
        if self.answer is not None:
            return self.answer
        return provider in self.providers


@contextlib.contextmanager
def router_log_lines():
    """(level name, message) of every record the router's logger takes at INFO and above."""
    lines = []
    handler = logging.Handler()
    handler.emit = lambda record: lines.append((record.levelname, record.getMessage()))
    logger = logging.getLogger("halvec.model_router")
    logger.addHandler(handler)
    level = logger.level
    logger.setLevel(logging.INFO)
    try:
        yield lines
    finally:
        logger.removeHandler(handler)
        logger.setLevel(level)


@pytest.fixture
def store():
    return RecordingStore


@pytest.fixture
def logs(caplog):
    """The module logger's records as (level, message), captured at INFO."""
    import logging
    caplog.set_level(logging.INFO, logger="halvec.model_router")

    def records():
        assert all(r.args == () for r in caplog.records)  # messages come assembled
        return [(r.levelname, r.getMessage()) for r in caplog.records if r.name == "halvec.model_router"]
    return records


@pytest.fixture
def catalogue(mr):
    """Restores AVAILABLE_MODELS (binding and contents) after a test edits it."""
    saved = mr.AVAILABLE_MODELS, dict(mr.AVAILABLE_MODELS)
    yield mr.AVAILABLE_MODELS
    saved[0].clear()
    saved[0].update(saved[1])
    mr.AVAILABLE_MODELS = saved[0]


README = pathlib.Path(__file__).resolve().parent.parent / "README.md"


@pytest.fixture(scope="session")
def readme_example():
    """The README's usage example: the first ```python block under "## Using the library"."""
    text = README.read_text(encoding="utf-8")
    usage = text[text.index("\n## Using the library\n"):]
    start = usage.index("```python\n") + len("```python\n")
    return usage[start:usage.index("```", start)]


@pytest.fixture
def tool_env():
    """The environment for a checking tool that does not load the module: without the
    sanitizer runtime, and with this venv first on PATH so tools find its packages."""
    env = {k: v for k, v in os.environ.items()
           if k not in ("LD_PRELOAD", "PYTHONMALLOC", "ASAN_OPTIONS", "UBSAN_OPTIONS")}
    bindir = os.path.dirname(sys.executable)
    env["PATH"] = bindir + os.pathsep + env.get("PATH", "")
    env["VIRTUAL_ENV"] = sys.prefix
    return env
