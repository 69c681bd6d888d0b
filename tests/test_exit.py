"""The interpreter's exit, with the module loaded: daemon threads caught inside a
module call, and what the module's namespace reaches being finalised.

CPython 3.12 and 3.13 end a daemon thread that wakes after finalisation has begun
by unwinding its stack (pthread_exit); a call of the module must let that go
through without touching the interpreter. Each case runs many short-lived
interpreters, since the moment the thread is caught varies from run to run.
"""

import concurrent.futures
import os
import subprocess
import sys
import textwrap

import pytest

RUNS_PER_CASE = 5

PRELUDE = """
import logging, threading, time
import halvec.core.model_router as mr

def forever(call):
    threading.Thread(target=lambda: [call() for _ in iter(int, 1)], daemon=True).start()
"""

DAEMON_CASES = {
    "a store that sleeps": """
        class Store:
            def has_key(self, provider):
                time.sleep(0.01)
                return True
        router = mr.ModelRouter(None, Store())
        forever(lambda: router.get_model("claude-haiku"))
    """,
    "the default store": """
        router = mr.ModelRouter()
        forever(router.get_available_models)
        forever(lambda: router.select_for_scheduler("Research the market and write a report", "gpt-5.2"))
    """,
    "an entry that goes to re": """
        mr._COMPLEX_PATTERNS.append(r"(?=zz)q")
        forever(lambda: mr.classify_complexity("an ordinary description of a task to be done"))
    """,
    "long scans": """
        text = "compare and " * 20_000
        forever(lambda: mr.classify_complexity(text))
    """,
    "logging": """
        import io
        logging.basicConfig(stream=io.StringIO(), level=logging.INFO)
        router = mr.ModelRouter(None, type("Store", (), {"has_key": lambda self, p: True})())
        forever(lambda: router.select_for_worker("Research the market and write a report"))
    """,
    "a finaliser that yields, run by a release": """
        class Answer:
            def __bool__(self):
                return True
            def __del__(self):
                time.sleep(0.001)
        router = mr.ModelRouter(None, type("Store", (), {"has_key": lambda self, p: Answer()})())
        forever(lambda: router.get_model("claude-haiku"))
        forever(router.get_available_models)
    """,
}


def _run_to_exit(code):
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                            env=dict(os.environ), timeout=120)
    return result.returncode, result.stderr


@pytest.mark.parametrize("case", DAEMON_CASES)
def test_exit_with_a_daemon_thread_inside_a_module_call(case):
    code = PRELUDE + textwrap.dedent(DAEMON_CASES[case]) + "\ntime.sleep(0.05)\n"
    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        outcomes = list(pool.map(_run_to_exit, [code] * RUNS_PER_CASE))
    failures = [(status, err[-2000:]) for status, err in outcomes if status != 0 or err]
    assert failures == []


@pytest.mark.parametrize("dropped", [False, True], ids=["imported", "dropped from sys.modules"])
def test_exit_finalises_what_the_namespace_reaches(python, tmp_path, dropped):
    # A buffered file reached from the namespace is written out when it is
    # finalised: at exit, whether or not anything but the module's own exit
    # callback still holds the module.
    path = tmp_path / "buffered.txt"
    python(f"""
        import sys
        import halvec.core.model_router as mr
        mr.AVAILABLE_MODELS["claude-haiku"].log = open({str(path)!r}, "w")
        mr.AVAILABLE_MODELS["claude-haiku"].log.write("written at exit")
        if {dropped}:
            del sys.modules["halvec.core.model_router"], sys.modules["halvec.core"].model_router, mr
    """)
    assert path.read_text() == "written at exit"
