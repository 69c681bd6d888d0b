"""The command line as a user runs it: `halvec` and `python -m halvec` alike. Each case states
the environment it needs: no API keys from the caller's environment leak in. The program runs
in a process of its own wherever the process matters (the console script, the standard
streams' set-up, closed pipes and failed writes, exit statuses); elsewhere its main() runs in
this process, as conftest.run_main describes, which gives the same outputs much sooner."""

import json
import os
import pathlib
import re
import signal
import subprocess
import sys

import pytest

import halvec
from conftest import needs_own_interpreter, run_main
from halvec.core import model_router as mr

SCRIPT = pathlib.Path(sys.executable).with_name("halvec")
KEYS = ["claude-opus", "claude-sonnet", "claude-haiku", "gpt-5.2"]
ROUTE_KEYS = {"model", "display_name", "provider", "model_string", "usable", "decided_by",
              "complexity", "selection_for", "requested_model", "default_model", "passed_over", "reason",
              "notes", "log"}
LISTING_KEYS = ["key", "id", "provider", "display_name", "description", "complexity_tier", "enabled",
                "available", "cost_per_1k_input", "cost_per_1k_output", "calls", "tokens"]

ROOT = pathlib.Path(__file__).resolve().parents[2]
D1 = "Summarise the meeting notes"
D2 = "Research the pricing pages of three hosting providers and write a recommendation"


def _env(extra=None):
    env = {k: v for k, v in os.environ.items()
           if not k.endswith("_API_KEY") and k not in ("PYTHONIOENCODING", "PYTHONUNBUFFERED")}
    env.update(extra or {})
    return env


def run(*args, script=False, input=None, env=None, stdout=subprocess.PIPE, timeout=120, process=False):
    """Runs the program; returns the CompletedProcess with text output (bytes in, text out).
    `python -m halvec` runs in this process unless the run needs a process of its own: the
    console script, standard output elsewhere than a pipe, an environment the interpreter reads
    as it starts, or process=True."""
    if not (script or process or stdout is not subprocess.PIPE or needs_own_interpreter(env)):
        result = run_main(args, input=input, env=env)
        assert "Traceback" not in result.stderr, result.stderr
        return result
    command = [str(SCRIPT)] if script else [sys.executable, "-m", "halvec"]
    result = subprocess.run([*command, *args], input=input, stdout=stdout, stderr=subprocess.PIPE,
                            env=_env(env), timeout=timeout)
    out = result.stdout.decode("utf-8", "replace") if result.stdout is not None else ""
    err = result.stderr.decode("utf-8", "replace")
    assert "Traceback" not in err, err
    return subprocess.CompletedProcess(result.args, result.returncode, out, err)


def route_json(*args, **kwargs):
    result = run("route", *args, "--json", **kwargs)
    data = json.loads(result.stdout)
    assert set(data) == ROUTE_KEYS
    return result.returncode, data


# --- one program, two names ------------------------------------------------------------------

def test_console_script_and_module_are_one_program():
    by_script = run("--help", script=True)
    by_module = run("--help", process=True)
    assert by_script.returncode == by_module.returncode == 0
    assert by_script.stdout.startswith("usage: halvec ")
    assert by_module.stdout.startswith("usage: python -m halvec ")
    assert by_script.stdout.replace("usage: halvec", "usage: python -m halvec") == by_module.stdout
    # main() run in this process, as most tests here run it, is the same program
    assert run("--help").stdout == by_module.stdout
    models = [run("models", "--keys", "anthropic", script=s).stdout for s in (True, False)]
    assert models[0] == models[1] and models[0].splitlines()[0].split()[0] == "key"
    # a usage error is the same under either name
    errors = [run("route", "x", "--model", "nonexistent", script=s) for s in (True, False)]
    assert [e.returncode for e in errors] == [2, 2] and errors[0].stdout == errors[1].stdout == ""
    assert errors[0].stderr.startswith("usage: halvec route ") and errors[1].stderr.startswith("usage: python -m ")
    assert errors[0].stderr.splitlines()[-1] == errors[1].stderr.splitlines()[-1].replace("python -m halvec", "halvec")


def test_version():
    for script in (True, False):
        result = run("--version", script=script)
        assert result.returncode == 0
        assert result.stdout.split()[:2] == ["halvec", halvec.__version__]
        assert f"CPython {sys.version.split()[0]}" in result.stdout


def test_help_lists_the_valid_choices():
    text = " ".join(run("route", "--help").stdout.split())
    for option in ("--model KEY explicit model choice:", "--default KEY configured default model:",
                   "--enabled KEY,... enabled model keys, comma-separated, from:"):
        assert option + " claude-opus, claude-sonnet, claude-haiku, gpt-5.2" in text
    assert "anthropic, openai" in text and "- reads it from standard input" in text


# --- usage errors: exit status 2, the valid choices named, no traceback ----------------------

@pytest.mark.parametrize("args, message", [
    (["route", "x", "--model", "nonexistent"],
     "argument --model: unknown model key 'nonexistent' (choose from claude-opus, claude-sonnet, "
     "claude-haiku, gpt-5.2, or auto)"),
    # matched exactly, as the module matches: letter case and blanks count
    (["route", "x", "--model", "AUTO"], "argument --model: unknown model key 'AUTO'"),
    (["route", "x", "--model", "Claude-Opus"], "argument --model: unknown model key 'Claude-Opus'"),
    (["route", "x", "--model", " claude-opus"], "argument --model: unknown model key ' claude-opus'"),
    (["route", "x", "--default", "nonexistent"],
     "argument --default: unknown model key 'nonexistent' (choose from claude-opus, claude-sonnet, "
     "claude-haiku, gpt-5.2, or auto)"),
    (["route", "x", "--scheduler", "--default", "gpt-5"], "argument --default: unknown model key 'gpt-5'"),
    # an empty key is no key: refused, not taken for auto
    (["route", "x", "--model", ""],
     "argument --model: unknown model key '' (choose from claude-opus, claude-sonnet, claude-haiku, gpt-5.2, "
     "or auto)\n"),
    (["route", "x", "--scheduler", "--default", ""], "argument --default: unknown model key '' (choose from "),
    (["route", "x", "--enabled", "claude-opus,nonexistent"],
     "argument --enabled: unknown model key 'nonexistent' (choose from claude-opus, claude-sonnet, "
     "claude-haiku, gpt-5.2)"),
    (["models", "--enabled", "opus,gpt-5.2,haiku"], "argument --enabled: unknown model keys 'opus', 'haiku'"),
    (["route", "x", "--keys", "ANTHROPIC"],
     "argument --keys: unknown provider 'ANTHROPIC' (choose from anthropic, openai)"),
    (["models", "--keys", "foo"], "argument --keys: unknown provider 'foo' (choose from anthropic, openai)"),
    (["route"], "give a description, - to read it from standard input, or --file PATH"),
    (["route", "x", "--file", "y"], "give the description either as an argument or with --file, not both"),
    ([], "the following arguments are required: COMMAND"),
    (["rout", "x"], "argument COMMAND: invalid choice: 'rout'"),
])
def test_usage_errors(args, message):
    result = run(*args)
    assert result.returncode == 2, result.stderr
    assert result.stdout == ""
    assert message in result.stderr
    assert result.stderr.startswith("usage: ")


@pytest.mark.parametrize("args, message", [
    (["route", "--file", "/nonexistent/description.txt"],
     "route: error: cannot read --file '/nonexistent/description.txt': No such file or directory"),
    (["classify", "--file", "bad\nname\x1b"], "classify: error: cannot read --file 'bad\\nname\\x1b': No such file"),
    (["route", "-"], "route: error: standard input is not valid UTF-8 on line 1 (byte 0xff)"),
    (["eval", "/nonexistent/tasks.jsonl"], "eval: error: cannot read '/nonexistent/tasks.jsonl': No such file"),
    (["eval", "-", "--config", "/nonexistent/c.json"], "eval: error: cannot read --config '/nonexistent/c.json'"),
    (["eval", "-", "--prices", "/"], "eval: error: cannot read --prices '/': Is a directory"),
])
def test_a_file_error_is_one_line_without_the_usage(args, message):
    # the command line was right; what it named was not: no usage to read again
    result = run(*args, input=b"\xff")
    assert result.returncode == 2 and result.stdout == ""
    (line,) = result.stderr.splitlines()
    assert line.startswith("python -m halvec " + message), line


def test_each_command_describes_its_own_patterns_option():
    assert "print the pattern lists of FILE, checked" in " ".join(run("patterns", "--help").stdout.split())
    assert "classify with the pattern lists of FILE" in " ".join(run("classify", "--help").stdout.split())


def test_auto_leaves_the_choice_to_the_router():
    status, data = route_json(D1, "--model", "auto", "--keys", "anthropic")
    assert status == 0 and data["decided_by"] == "auto" and data["notes"] == []
    assert data["requested_model"] == "auto" and data["default_model"] == "auto"
    assert data["log"] == [{"level": "INFO", "message": f"Worker model (auto [simple]): Claude Haiku for '{D1}'"}]


@pytest.mark.parametrize("args, hint", [
    (["route", "x", "--model", "claude-opu"], "did you mean 'claude-opus'?"),
    (["route", "x", "--model", " Claude-Opus"], "did you mean 'claude-opus'?"),
    (["route", "x", "--default", "Claude Haiku"], "did you mean 'claude-haiku'?"),
    (["route", "x", "--scheduler", "--default", "gpt5"], "did you mean 'gpt-5.2'?"),
    (["models", "--keys", "anthropic,OpenAI"], "did you mean 'openai'?"),
    (["models", "--enabled", "opus,gpt-5.2,haiku"],
     "did you mean 'claude-opus' for 'opus', 'claude-haiku' for 'haiku'?"),
    # nothing stands out: no hint
    (["route", "x", "--model", "nonexistent"], None),
    (["route", "x", "--model", "claude"], None),
    (["route", "x", "--model", ""], None),
])
def test_a_near_miss_gets_a_hint_and_is_still_refused(args, hint):
    result = run(*args)
    assert result.returncode == 2
    (message,) = [line for line in result.stderr.splitlines() if ": error: " in line]
    if hint is None:
        assert "did you mean" not in message
    else:
        assert message.endswith(f"; {hint}")


# --- what happened, said plainly -------------------------------------------------------------

def test_last_resort_when_no_model_is_usable():
    result = run("route", "Fix a typo")
    assert result.returncode == 1
    lines = result.stdout.splitlines()
    assert lines[:3] == ["model:        Claude Sonnet (claude-sonnet)",
                         "decided by:   last resort: no model is usable (auto [simple] found none)",
                         "model string: anthropic/claude-sonnet-4-6"]
    assert lines[3] == ("note:         no model is usable: no API key for anthropic or openai (pass --keys "
                        "anthropic,openai or set ANTHROPIC_API_KEY or OPENAI_API_KEY); Claude Sonnet is "
                        "only the router's last resort and cannot run as configured")
    # the module's own log line is shown unchanged
    assert lines[4:] == ["log:", "  INFO Worker model (auto [simple]): Claude Sonnet for 'Fix a typo'"]

    status, data = route_json("Fix a typo")
    assert status == 1
    assert data["usable"] is False and data["decided_by"] == "last_resort" and data["model"] == "claude-sonnet"


def test_last_resort_when_nothing_is_enabled():
    status, data = route_json(D2, "--keys", "anthropic,openai", "--enabled", "")
    assert status == 1 and data["decided_by"] == "last_resort" and data["complexity"] == "complex"
    assert data["notes"][0].startswith("no model is usable: no model is enabled;")


def test_environment_keys_count():
    status, data = route_json("Fix a typo", env={"ANTHROPIC_API_KEY": "sk-test"})
    assert status == 0 and data["model"] == "claude-haiku" and data["usable"] is True


def test_explicit_choice_not_honoured_says_why():
    result = run("route", D1, "--model", "gpt-5.2", "--keys", "anthropic", "--cost-conscious")
    assert result.returncode == 0
    assert result.stdout.splitlines() == [
        "model:        Claude Haiku (claude-haiku)",
        "decided by:   auto [simple]",
        "model string: anthropic/claude-haiku-4-5",
        "note:         --model gpt-5.2 was not honoured: no API key for openai (pass --keys openai or set "
        "OPENAI_API_KEY)",
        "log:",
        "  WARNING Requested model 'gpt-5.2' not available, falling back to auto",
        f"  INFO Worker model (auto [simple]): Claude Haiku for '{D1}'",
    ]


def test_explicit_and_default_not_honoured_then_default_decides():
    # An explicit key that is not usable is followed by the configured default, not by auto.
    status, data = route_json(D2, "--model", "claude-opus", "--default", "claude-haiku", "--keys", "anthropic",
                              "--enabled", "claude-sonnet,claude-haiku,gpt-5.2")
    assert status == 0 and data["decided_by"] == "default" and data["model"] == "claude-haiku"
    assert data["complexity"] is None
    assert data["notes"] == ["--model claude-opus was not honoured: it is not enabled (see --enabled)"]
    status, data = route_json(D2, "--model", "gpt-5.2", "--default", "gpt-5.2", "--keys", "anthropic",
                              "--enabled", "claude-opus")
    assert status == 0 and data["decided_by"] == "auto" and data["model"] == "claude-opus"
    reason = "it is not enabled (see --enabled) and no API key for openai (pass --keys openai or set OPENAI_API_KEY)"
    assert data["notes"] == [f"--model gpt-5.2 was not honoured: {reason}",
                             f"the configured default gpt-5.2 (--default) was not honoured: {reason}"]


def test_default_decides():
    result = run("route", D2, "--default", "claude-sonnet", "--keys", "anthropic")
    assert result.returncode == 0
    assert result.stdout.splitlines()[:2] == ["model:        Claude Sonnet (claude-sonnet)",
                                              "decided by:   configured default (--default claude-sonnet)"]


def test_fallback_to_the_enabled_list():
    # No model of the complex tier's list is enabled: the first usable enabled model wins.
    result = run("route", D2, "--keys", "anthropic", "--enabled", "claude-haiku")
    assert result.returncode == 0
    assert result.stdout.splitlines()[:4] == [
        "model:        Claude Haiku (claude-haiku)",
        "decided by:   auto [complex], fallback: first usable enabled model",
        "model string: anthropic/claude-haiku-4-5",
        "note:         no model the router prefers for a complex task is usable; it took the first usable "
        "model of the enabled list"]


def test_scheduler_uses_its_own_default_and_logs_nothing():
    # A configured default is honoured even where cost-conscious mode would never pick it.
    status, data = route_json(D1, "--scheduler", "--default", "claude-opus", "--cost-conscious",
                              "--keys", "anthropic")
    assert status == 0
    assert (data["model"], data["decided_by"], data["selection_for"], data["log"]) == (
        "claude-opus", "default", "scheduler", [])


def test_route_json_is_stable():
    status, data = route_json(D2, "--keys", "openai")
    assert status == 0
    assert data == {
        "model": "gpt-5.2", "display_name": "GPT-5.2", "provider": "openai", "model_string": "openai/gpt-5.2",
        "usable": True, "decided_by": "auto", "complexity": "complex", "selection_for": "worker",
        "requested_model": None, "default_model": "auto",
        "passed_over": [{"key": "claude-opus", "stage": "auto", "reason": "no key for its provider"},
                        {"key": "claude-sonnet", "stage": "auto", "reason": "no key for its provider"}],
        "reason": None, "notes": [],
        "log": [{"level": "INFO",
                 "message": "Worker model (auto [complex]): GPT-5.2 for 'Research the pricing pages of three "
                            "hosting provid'"}]}


def test_models_json_is_the_module_listing():
    result = run("models", "--json", "--keys", "anthropic", "--enabled", "claude-haiku,gpt-5.2")
    assert result.returncode == 0
    models = json.loads(result.stdout)
    assert [list(m) for m in models] == [LISTING_KEYS] * 4
    assert [m["key"] for m in models] == KEYS
    assert [(m["enabled"], m["available"]) for m in models] == [
        (False, False), (False, False), (True, True), (True, False)]
    assert models[2]["cost_per_1k_input"] == 0.00025


# --- where the description comes from --------------------------------------------------------

def test_description_from_stdin_and_file(tmp_path):
    path = tmp_path / "task.txt"
    path.write_text(D2 + "\n")
    results = [route_json("-", "--keys", "anthropic", input=(D2 + "\n").encode()),
               route_json("--file", str(path), "--keys", "anthropic"),
               route_json("--file", "-", "--keys", "anthropic", input=(D2 + "\r\n\n").encode())]
    for status, data in results:
        assert status == 0 and data["complexity"] == "complex"
        # the trailing line breaks are dropped, as $(...) would drop them
        assert data["log"][0]["message"].endswith("for 'Research the pricing pages of three hosting provid'")
    status, data = route_json("-", "--keys", "anthropic", input=b"Fix a typo\n")
    assert data["log"][0]["message"] == "Worker model (auto [simple]): Claude Haiku for 'Fix a typo'"


def test_ten_megabyte_description(tmp_path):
    text = ("Compare the quarterly figures and explain each difference in detail. " * 150_000)[:10_000_000]
    path = tmp_path / "big.txt"
    path.write_text(text)
    expected = mr.classify_complexity(text).value
    for status, data in (route_json("--file", str(path), "--keys", "anthropic"),
                         route_json("-", "--keys", "anthropic", input=text.encode())):
        assert status == 0 and data["complexity"] == expected
        assert data["log"][0]["message"].endswith(f"for '{text[:50]}'")


def test_byte_order_mark_is_dropped(tmp_path):
    path = tmp_path / "task.txt"
    path.write_bytes(b"\xef\xbb\xbfFix a typo\r\n")
    for status, data in (route_json("--file", str(path), "--keys", "anthropic"),
                         route_json("-", "--keys", "anthropic", input=path.read_bytes())):
        assert status == 0
        assert data["log"][0]["message"] == "Worker model (auto [simple]): Claude Haiku for 'Fix a typo'"
    # only the mark at the start: a second one is the text's own U+FEFF
    status, data = route_json("-", "--keys", "anthropic", input=b"\xef\xbb\xbf\xef\xbb\xbfFix a typo")
    assert data["log"][0]["message"].endswith("for '\ufeffFix a typo'")


# --- text that is not UTF-8 ------------------------------------------------------------------

NOT_UTF8 = b"Fix the first line\nthen \xff the second\nthe third \xfe\xfe and \xef\xbf\xbd\n"


def test_argument_that_is_not_utf8():
    result = run("route", b"caf\xe9 report", "--keys", "anthropic")
    assert result.returncode == 2 and result.stdout == ""
    assert result.stderr.splitlines()[-1] == (
        "python -m halvec route: error: argument DESCRIPTION is not valid UTF-8 (byte 0xe9); "
        "--encoding-errors replace reads it with U+FFFD in its place")

    result = run("route", b"caf\xe9 report", "--keys", "anthropic", "--encoding-errors", "replace", "--json")
    assert result.returncode == 0
    assert result.stderr == ("python -m halvec route: warning: argument DESCRIPTION: replaced what is not "
                             "valid UTF-8 with U+FFFD in 1 place\n")
    assert "\\ud" not in result.stdout  # no surrogate escapes: the JSON is valid UTF-8 text
    assert json.loads(result.stdout)["log"][0]["message"].endswith("for 'caf\ufffd report'")

    result = run("route", b"caf\xe9 report", "--keys", "anthropic", "--encoding-errors", "replace",
                 env={"PYTHONIOENCODING": "utf-8:strict"})
    assert result.returncode == 0
    assert result.stdout.splitlines()[-1].endswith("for 'caf\ufffd report'")


@pytest.mark.parametrize("source", ["stdin", "file"])
def test_input_that_is_not_utf8(source, tmp_path):
    path = tmp_path / "task.txt"
    path.write_bytes(NOT_UTF8)
    args, where = (["-"], "standard input") if source == "stdin" else (["--file", str(path)], f"--file '{path}'")
    result = run("route", *args, "--keys", "anthropic", input=NOT_UTF8)
    assert result.returncode == 2 and result.stdout == ""
    assert result.stderr.splitlines()[-1] == (
        f"python -m halvec route: error: {where} is not valid UTF-8 on line 2 (byte 0xff); "
        f"--encoding-errors replace reads it with U+FFFD in its place")

    result = run("route", *args, "--keys", "anthropic", "--encoding-errors", "replace", "--json", input=NOT_UTF8)
    assert result.returncode == 0
    # three places on two lines; the U+FFFD the text spells out itself is not one of them
    assert result.stderr == (f"python -m halvec route: warning: {where}: replaced what is not valid UTF-8 "
                             f"with U+FFFD in 3 places on 2 lines (the first on line 2)\n")
    expected = NOT_UTF8.decode("utf-8", "replace").rstrip("\n")[:50]
    assert json.loads(result.stdout)["log"][0]["message"].endswith(f"for '{expected}'")


def test_utf8_argument_under_an_ascii_locale():
    # The interpreter cannot decode the argument in the locale's encoding; it is UTF-8 all
    # the same, and what the ASCII streams cannot show is replaced.
    env = {"LC_ALL": "C", "LANG": "C", "PYTHONCOERCECLOCALE": "0", "PYTHONUTF8": "0"}
    status, data = route_json("Résumé the notes", "--keys", "anthropic", env=env)
    assert status == 0 and data["log"][0]["message"].endswith("for 'Résumé the notes'")
    result = run("route", "Résumé the notes", "--keys", "anthropic", env=env)
    assert result.returncode == 0 and result.stdout.splitlines()[-1].endswith("for 'R?sum? the notes'")


# --- text output cannot break the layout or drive the terminal --------------------------------

def test_text_output_shows_the_description_escaped(tmp_path):
    description = "Fix\ta typo\r\nthen \x1b[31mred\x1b[0m \u202eevil\x07 C:\\tmp \x85."
    assert len(description) <= 50  # the module's log line shows the first 50 characters
    escaped = "Fix\\ta typo\\r\\nthen \\x1b[31mred\\x1b[0m \\u202eevil\\x07 C:\\\\tmp \\x85."
    path = tmp_path / "task.txt"
    path.write_text(description, encoding="utf-8", newline="")
    for args in ([description], ["--file", str(path)]):
        result = run("route", *args, "--keys", "anthropic")
        assert result.returncode == 0
        lines = result.stdout.splitlines()
        assert [line.split(":")[0] for line in lines] == ["model", "decided by", "model string", "log",
                                                          "  INFO Worker model (auto [simple])"]
        assert lines[-1].endswith(f"for '{escaped}'")
        assert all(line.isprintable() for line in lines)
        # JSON carries the text exactly
        status, data = route_json(*args, "--keys", "anthropic")
        assert data["log"][0]["message"].endswith(f"for '{description}'")


# --- output never fails ----------------------------------------------------------------------

def test_non_ascii_description_on_an_ascii_stdout():
    result = run("route", "Résumé the notes — briefly", "--keys", "anthropic", env={"PYTHONIOENCODING": "ascii"})
    assert result.returncode == 0
    assert result.stdout.splitlines()[-1] == (
        "  INFO Worker model (auto [simple]): Claude Haiku for 'R?sum? the notes ? briefly'")
    status, data = route_json("Résumé the notes — briefly", "--keys", "anthropic", env={"PYTHONIOENCODING": "ascii"})
    assert data["log"][0]["message"].endswith("for 'Résumé the notes — briefly'")  # JSON escapes, loses nothing


@pytest.mark.parametrize("encoding", ["ascii", "ascii:strict", "ascii:backslashreplace"])
def test_non_ascii_usage_error_on_an_ascii_stderr(encoding):
    # standard error is as tolerant as standard output, whatever the interpreter chose for it
    result = run("route", "x", "--model", "ópus🚀", env={"PYTHONIOENCODING": encoding})
    assert result.returncode == 2 and "unknown model key '?pus?'" in result.stderr


# The two tables below check the program's own handling of its output, in Python, for each
# kind of output: 31 processes, which the sanitizer builds run several times slower and
# which reach no native code the other tests do not. Under the sanitizers: the full run.

@pytest.mark.full(under_sanitizers=True)
@pytest.mark.parametrize("unbuffered", [{}, {"PYTHONUNBUFFERED": "1"}], ids=["buffered", "unbuffered"])
@pytest.mark.parametrize("args", [["models"], ["models", "--json"], ["route", D1, "--keys", "anthropic"],
                                  ["route", "--help"], ["--version"]])
def test_closed_pipe_ends_quietly(args, unbuffered):
    # The reader is gone before the program writes anything: every write meets EPIPE, as
    # `halvec models | head -1` can when head exits first.
    read_end, write_end = os.pipe()
    os.close(read_end)
    try:
        result = run(*args, stdout=write_end, env=unbuffered)
    finally:
        os.close(write_end)
    assert result.returncode == 128 + signal.SIGPIPE
    assert result.stderr == ""


def test_pipe_into_head():
    result = subprocess.run(["bash", "-c", f"set -o pipefail; '{sys.executable}' -m halvec models | head -n 1"],
                            capture_output=True, text=True, env=_env(), timeout=120)
    assert result.stdout.split()[0] == "key"
    assert result.stderr == ""
    assert result.returncode in (0, 128 + signal.SIGPIPE)


# --- a failed write is one line and its own exit status --------------------------------------

def run_with_stdout(how, *args, script=False, env=None):
    """Runs the program with standard output on /dev/full, closed (>&-) or open read-only."""
    command = [str(SCRIPT)] if script else [sys.executable, "-m", "halvec"]
    if how == "closed":
        command = ["bash", "-c", 'exec "$@" >&-', "bash", *command]
    stdout = {"full": "/dev/full", "read-only": os.devnull}.get(how)
    with open(stdout or os.devnull, "w" if how == "full" else "r") as file:
        result = subprocess.run([*command, *args], stdin=subprocess.DEVNULL, stdout=file, stderr=subprocess.PIPE,
                                env=_env(env), timeout=120)
    err = result.stderr.decode("utf-8", "replace")
    assert "Traceback" not in err, err
    return result.returncode, err


WRITE_FAILURES = {"full": "No space left on device", "closed": "it is closed", "read-only": "Bad file descriptor"}


@pytest.mark.full(under_sanitizers=True)
@pytest.mark.parametrize("how", list(WRITE_FAILURES))
@pytest.mark.parametrize("args", [["models"], ["models", "--json"], ["route", D1, "--keys", "anthropic"],
                                  ["route", "Fix a typo", "--json"], ["--help"], ["route", "--help"],
                                  ["--version"]])
def test_write_error_is_one_line_and_exit_status_74(args, how):
    # ["route", "Fix a typo"] finds no usable model: the failed write still decides the status
    status, err = run_with_stdout(how, *args)
    assert status == 74
    assert err == f"python -m halvec: error: cannot write to standard output: {WRITE_FAILURES[how]}\n"


def test_write_error_unbuffered_and_by_the_console_script():
    status, err = run_with_stdout("full", "models", script=True, env={"PYTHONUNBUFFERED": "1"})
    assert (status, err) == (74, "halvec: error: cannot write to standard output: No space left on device\n")


def test_usage_error_with_nowhere_to_write_is_still_a_usage_error():
    for how in WRITE_FAILURES:
        status, err = run_with_stdout(how, "route", "x", "--model", "nonexistent")
        assert status == 2 and "unknown model key 'nonexistent'" in err
    # with standard error closed, the usage does not go to standard output instead
    result = subprocess.run(["bash", "-c", 'exec "$@" 2>&-', "bash", sys.executable, "-m", "halvec", "route", "x",
                             "--model", "nonexistent"], capture_output=True, env=_env(), timeout=120)
    assert (result.returncode, result.stdout) == (2, b"")


# --- exit statuses ---------------------------------------------------------------------------

def _exit_statuses(text):
    """{status: meaning} from a text's "Exit status: 0 done; 1 ...; 130 interrupted." paragraph."""
    paragraph = " ".join(text[text.index("Exit status:"):].split("\n\n")[0].split())
    return dict(re.findall(r"(?:: |; )(\d+) ([^;]*)", paragraph.rstrip(".")))


def test_help_lists_every_exit_status_of_the_reference():
    documented = _exit_statuses((ROOT / "docs" / "cli.md").read_text(encoding="utf-8"))
    assert {"0", "1", "2", "74", "130", "141"} <= set(documented)
    assert set(_exit_statuses(run("--help").stdout)) == set(documented)
