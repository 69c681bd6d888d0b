"""The interpreter's exit, with the module loaded: daemon threads caught inside a
module call, and what the module's namespace reaches being finalised.

CPython 3.12 and 3.13 end a daemon thread that wakes after finalisation has begun
by unwinding its stack (pthread_exit); a call of the module must let that go
through without touching the interpreter. Each case ends many short-lived
interpreters, since the moment the thread is caught varies from run to run: one
interpreter imports the module and forks them, each of which starts the case's
threads and exits, finalising as an interpreter started afresh would (starting
each afresh would only add the start-up, several times over under the sanitizers).
"""

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
    "counts of a file's lines": """
        import os
        from halvec._workload import count_lines_in
        zeros = os.open("/dev/zero", os.O_RDONLY)
        forever(lambda: count_lines_in(zeros, [0, 2**62]))  # wakes every 64 MiB read
        forever(lambda: count_lines_in(zeros, range(0, 1 << 20, 4096)))
    """,
}


FORKED_RUNS = """
import os
for run in range({runs}):
    pid = os.fork()
    if pid == 0:  # this process goes on to the case, and then to its exit
        break
    print(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]), flush=True)
else:
    raise SystemExit
"""


@pytest.mark.parametrize("case", DAEMON_CASES)
def test_exit_with_a_daemon_thread_inside_a_module_call(case):
    code = (PRELUDE + FORKED_RUNS.format(runs=RUNS_PER_CASE) + textwrap.dedent(DAEMON_CASES[case])
            + "\ntime.sleep(0.05)\n")
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert (result.returncode, result.stdout.split(), result.stderr[-2000:]) == (0, ["0"] * RUNS_PER_CASE, "")


def test_exit_finalises_what_the_namespace_reaches(python, tmp_path):
    # A buffered file reached from the namespace is written out when the
    # module is torn down at exit.
    path = tmp_path / "buffered.txt"
    python(f"""
        import halvec.core.model_router as mr
        mr.AVAILABLE_MODELS["claude-haiku"].log = open({str(path)!r}, "w")
        mr.AVAILABLE_MODELS["claude-haiku"].log.write("written at exit")
    """)
    assert path.read_text() == "written at exit"


def test_a_dropped_module_is_finalised_at_exit(python, tmp_path):
    # Taken out of sys.modules, the module lives on until the exit callbacks
    # have run, then goes with what it holds, as any module does.
    path = tmp_path / "finalised.txt"
    python(f"""
        import os, sys
        import halvec.core.model_router as mr
        class Flag:
            def __del__(self):
                fd = os.open({str(path)!r}, os.O_WRONLY | os.O_CREAT)
                os.write(fd, b"finalised")
                os.close(fd)
        mr.AVAILABLE_MODELS["claude-haiku"].flag = Flag()
        del sys.modules["halvec.core.model_router"], sys.modules["halvec.core"].model_router, mr
    """)
    assert path.read_text() == "finalised"
