"""halvec eval and halvec patterns as a user runs them, with no API keys from the caller's
environment: the program's main() in this process (conftest.run_main), and the program itself
where a process matters (its own encodings, --jobs, progress on a terminal).
tests/test_evaluation.py checks the same machinery from the inside, on any text."""

import json
import os
import pty
import re
import subprocess
import sys
import threading
import time

import pytest

from conftest import needs_own_interpreter, run_main
from halvec.core import model_router as mr
from halvec.evaluation import rounded_cost

KEYS = ["claude-opus", "claude-sonnet", "claude-haiku", "gpt-5.2"]
EVAL_KEYS = {"tasks", "input", "selection_for", "keys", "prices", "tiers", "models", "decided_by",
             "requests_not_honoured", "rules", "counts_share", "patterns", "never_decided", "unspaced_tasks", "cost",
             "fitted_router"}
SUMMARY_KEYS = EVAL_KEYS - {"tasks", "input", "selection_for", "keys", "prices", "fitted_router"}
INPUT_KEYS = {"source", "format", "field", "chat_tasks", "model_field", "models_outside_catalogue", "blank_lines",
              "bad_lines", "first_bad_lines", "replaced_lines"}
COST_KEYS = {"costed_tasks", "uncosted_tasks", "input_tokens", "output_tokens", "estimated_tasks",
             "estimated_input_tasks", "estimated_output_tasks", "output_tokens_each", "routed", "alone", "ranking",
             "cheaper_alone", "baseline"}
TASK_KEYS = ["line", "id", "input_tokens", "output_tokens", "estimated"]
LINE_KEYS = [*TASK_KEYS, "tier", "model", "decided_by", "rule", "pattern", "span", "cost"]

COMPLEX = "Research the pricing pages of three hosting providers and write a recommendation"
SIMPLE = "Check whether the staging server is up"
MODERATE = " ".join(["item"] * 30)
SHORT = "Fix a typo"


def _env(extra=None):
    env = {k: v for k, v in os.environ.items()
           if not k.endswith("_API_KEY") and k not in ("PYTHONIOENCODING", "PYTHONUNBUFFERED")}
    env.update(extra or {})
    return env


def run(*args, input=None, env=None):
    """`python -m halvec ARGS`: in this process unless the run needs a process of its own (an
    environment the interpreter reads as it starts, or --jobs: eval in several processes)."""
    if needs_own_interpreter(env) or "--jobs" in args:
        result = subprocess.run([sys.executable, "-m", "halvec", *args], input=input, capture_output=True,
                                env=_env(env), timeout=120)
        result = subprocess.CompletedProcess(result.args, result.returncode, result.stdout.decode("utf-8", "replace"),
                                             result.stderr.decode("utf-8", "replace"))
    else:
        result = run_main(args, input=input, env=env)
    assert "Traceback" not in result.stderr, result.stderr
    return result


def eval_json(*args, **kwargs):
    result = run("eval", *args, "--json", **kwargs)
    assert result.returncode == 0, result.stderr
    data = json.loads(result.stdout)
    assert set(data) == EVAL_KEYS
    return data


def jsonl(path, records, *, raw_lines=()):
    path.write_text("".join(json.dumps(r) + "\n" for r in records) + "".join(raw_lines), encoding="utf-8")
    return str(path)


def price(key):
    spec = mr.AVAILABLE_MODELS[key]
    return spec.cost_per_1k_input, spec.cost_per_1k_output


# --- formats and fields ----------------------------------------------------------------------

def test_the_three_formats_give_the_same_summary(tmp_path):
    tasks = [COMPLEX, SIMPLE, MODERATE, SHORT]
    by_jsonl = eval_json(jsonl(tmp_path / "t.jsonl", [{"description": t} for t in tasks]), "--keys", "anthropic")
    (tmp_path / "t.csv").write_text("id,description\n" + "".join(f'{i},"{t}"\n' for i, t in enumerate(tasks)))
    by_csv = eval_json(str(tmp_path / "t.csv"), "--keys", "anthropic")
    (tmp_path / "t.txt").write_text("\n".join(tasks) + "\n")
    by_text = eval_json(str(tmp_path / "t.txt"), "--keys", "anthropic")
    for data, fmt in ((by_jsonl, "jsonl"), (by_csv, "csv"), (by_text, "text")):
        assert data["tasks"] == 4 and data["input"]["format"] == fmt and set(data["input"]) == INPUT_KEYS
        assert data["tiers"] == {"simple": 2, "moderate": 1, "complex": 1}
        assert list(data["models"]) == KEYS
        assert data["models"] == {"claude-opus": 1, "claude-sonnet": 1, "claude-haiku": 2, "gpt-5.2": 0}
        assert data["rules"] == {"length": 1, "complex_pattern": 1, "simple_pattern": 1, "counts": 1}
        assert data["counts_share"] == 0.25
    assert by_text["input"]["field"] is None


def test_field_and_format_options_and_standard_input(tmp_path):
    path = jsonl(tmp_path / "t.data", [{"text": COMPLEX, "id": "a"}, {"text": SHORT, "id": "b"}])
    data = eval_json(path, "--field", "text", "--keys", "anthropic")  # JSONL by its first line
    assert data["input"]["format"] == "jsonl" and data["tiers"]["complex"] == 1
    data = eval_json("-", "--field", "text", input=open(path, "rb").read())
    assert data["input"]["source"] == "-" and data["tasks"] == 2
    data = eval_json("-", "--format", "text", input=f"{COMPLEX}\n{SHORT}\n".encode())
    assert data["input"]["format"] == "text" and data["tiers"] == {"simple": 1, "moderate": 0, "complex": 1}
    # a CSV record may span lines; its quoted line break is part of the description
    (tmp_path / "t.csv").write_text(f'description\n"{SHORT}\nsecond line"\n"{COMPLEX}"\n')
    out = tmp_path / "out.jsonl"
    eval_json(str(tmp_path / "t.csv"), "--out", str(out))
    assert [json.loads(line)["line"] for line in out.read_text().splitlines()] == [2, 4]


def test_records_request_models_and_tokens(tmp_path):
    path = jsonl(tmp_path / "t.jsonl", [
        {"description": COMPLEX, "model": "gpt-5.2", "input_tokens": 1000, "output_tokens": 100},
        {"description": COMPLEX, "model": "claude-haiku", "input_tokens": 2000},
        {"description": SIMPLE, "model": "auto", "output_tokens": 10},
        {"description": SIMPLE},
    ])
    data = eval_json(path, "--keys", "anthropic")
    # gpt-5.2 has no key: not honoured, auto takes Opus; claude-haiku is honoured
    assert data["decided_by"] == {"explicit": 1, "default": 0, "auto": 3, "fallback": 0, "last_resort": 0}
    assert data["requests_not_honoured"] == 1
    assert data["models"] == {"claude-opus": 1, "claude-sonnet": 0, "claude-haiku": 3, "gpt-5.2": 0}
    cost = data["cost"]
    assert set(cost) == COST_KEYS and (cost["costed_tasks"], cost["estimated_tasks"]) == (4, 3)
    # --model is the request of tasks that make none; defaults fill in missing counts
    data = eval_json(path, "--keys", "anthropic,openai", "--model", "claude-sonnet", "--input-tokens", "7",
                     "--output-tokens", "3")
    assert data["decided_by"]["explicit"] == 3 and data["models"]["claude-sonnet"] == 1
    assert data["cost"]["costed_tasks"] == 4
    assert data["cost"]["input_tokens"] == 1000 + 2000 + 7 + 7
    assert data["cost"]["output_tokens"] == 100 + 3 + 10 + 3


# --- cost ------------------------------------------------------------------------------------

def test_cost_is_the_catalogue_prices_times_the_tokens(tmp_path):
    records = [{"description": COMPLEX, "input_tokens": 1200, "output_tokens": 800},
               {"description": MODERATE, "input_tokens": 300, "output_tokens": 50},
               {"description": SIMPLE, "input_tokens": 0, "output_tokens": 7}]
    path = jsonl(tmp_path / "t.jsonl", records)
    data = eval_json(path, "--keys", "anthropic")
    routed = ["claude-opus", "claude-sonnet", "claude-haiku"]
    expected = {key: 0.0 for key in KEYS}
    for record, key in zip(records, routed):
        pin, pout = price(key)
        expected[key] = (record["input_tokens"] * pin + record["output_tokens"] * pout) / 1000
    total_in = sum(r["input_tokens"] for r in records)
    total_out = sum(r["output_tokens"] for r in records)
    cost = data["cost"]
    assert (cost["input_tokens"], cost["output_tokens"]) == (total_in, total_out)
    assert cost["routed"] == pytest.approx(sum(expected.values()), rel=1e-12)
    for key in KEYS:
        pin, pout = price(key)
        assert cost["alone"][key] == pytest.approx((total_in * pin + total_out * pout) / 1000, rel=1e-12)
    # the default baseline is the model that costs the most on its own
    assert cost["baseline"]["model"] == max(cost["alone"], key=cost["alone"].get) == "claude-opus"
    assert cost["baseline"]["saving"] == pytest.approx(cost["alone"]["claude-opus"] - cost["routed"])
    assert cost["baseline"]["saving_share"] == pytest.approx(cost["baseline"]["saving"] / cost["alone"]["claude-opus"])
    haiku = eval_json(path, "--keys", "anthropic", "--baseline", "claude-haiku")["cost"]["baseline"]
    assert haiku["model"] == "claude-haiku" and haiku["saving"] < 0  # routing costs more than Haiku alone
    # each --out line carries its own task's cost
    out = tmp_path / "out.jsonl"
    eval_json(path, "--keys", "anthropic", "--out", str(out))
    costs = [json.loads(line)["cost"] for line in out.read_text().splitlines()]
    assert costs == [pytest.approx(expected[key], rel=1e-12) for key in routed]


PRICES = {"claude-opus": (0.005, 0.025), "claude-sonnet": (0.003, 0.015), "claude-haiku": (0.001, 0.005),
          "gpt-5.2": (0.00175, 0.014)}


def test_the_cost_is_ranked_against_each_model_alone_at_the_prices_given(tmp_path):
    path = jsonl(tmp_path / "t.jsonl", [{"description": COMPLEX, "input_tokens": 1000, "output_tokens": 1000},
                                        {"description": SIMPLE, "input_tokens": 10, "output_tokens": 10}])
    text = run("eval", path).stdout
    # every amount to four places, the routing ranked among the models alone, the cheaper named
    ranked = [line.split() for line in text.splitlines() if re.match(r"  [1-5] ", line)]
    assert [row[1] for row in ranked] == ["claude-haiku", "claude-sonnet", "gpt-5.2", "routed", "claude-opus"]
    assert all(re.fullmatch(r"[0-9,]+\.[0-9]{4}", row[-1]) for row in ranked)
    assert ("note: these models alone cost less than the routing (0.0900): claude-haiku (0.0015), "
            "claude-sonnet (0.0182), gpt-5.2 (0.0202)\n") in text
    assert text.endswith("\nsaving against claude-opus alone (the most expensive model alone): 0.0009 (1.0%). "
                         "Cost only: quality is not measured here; halvec bench measures it.\n")
    # the user's prices: the report says so, the figures and each line use them
    prices = tmp_path / "prices.json"
    prices.write_text(json.dumps({"as_of": "2025-06-01", "models": {
        key: {"input": i, "output": o} for key, (i, o) in PRICES.items()}}))
    out = tmp_path / "out.jsonl"
    data = eval_json(path, "--prices", str(prices), "--out", str(out))
    assert data["prices"] == {"source": "file", "file": str(prices), "as_of": "2025-06-01",
                              "per_1k": {key: {"input": i, "output": o} for key, (i, o) in PRICES.items()}}
    assert data["cost"]["alone"]["claude-opus"] == pytest.approx((1010 * 0.005 + 1010 * 0.025) / 1000, rel=1e-12)
    assert [json.loads(line)["cost"] for line in out.read_text().splitlines()] == [
        (1000 * 0.005 + 1000 * 0.025) / 1000, (10 * 0.001 + 10 * 0.005) / 1000]
    assert f"prices: from --prices '{prices}' (as of 2025-06-01), per 1,000 tokens" in run(
        "eval", path, "--prices", str(prices)).stdout


@pytest.mark.parametrize("name, content, message", [
    ("p.json", '{"models": {"claude-opsu": {}}}',
     "\"models\": unknown model key 'claude-opsu' (choose from claude-opus, claude-sonnet, claude-haiku, gpt-5.2); "
     "did you mean 'claude-opus'?"),
    ("p.json", '{"models": {"claude-opus": {"input": -1, "output": 1}}}',
     "\"models\".\"claude-opus\".\"input\" is -1, not a price (a finite number, 0 or more)"),
    ("p.json", '{"models": {"claude-opus": {"input": NaN, "output": 1}}}', "NaN is not a price"),
    ("p.toml", '[models.claude-opus]\ninput = inf\noutput = 1\n', "\"input\" is inf, not a price"),
    ("p.json", '{"models": {"claude-opus": {"output": 1}}}', "\"models\".\"claude-opus\" has no \"input\" price"),
    ("p.json", '{"models": {"claude-opus": {"input": 1, "output": 1}}}',
     "\"models\" has no price for claude-sonnet, claude-haiku, gpt-5.2"),
    ("p.json", '{"models": {"claude-opus": {"input": 1, "input": 2}}}', "the key 'input' is written twice"),
    ("p.toml", '[models.claude-opus]\ninput = 1\ninput = 2\n', "not valid TOML: Cannot overwrite a value"),
    ("p.json", '{"as_of": "June", "models": {}}', "\"as_of\" is \"June\", not a date (YYYY-MM-DD)"),
    ("p.json", '{"model": {}}', "unknown key 'model' (choose from as_of, models); did you mean 'models'?"),
    ("p.json", '{"models": {"claude-opus": {"input": 1e308, "output": 1}}}',
     "\"models\".\"claude-opus\".\"input\" is 1e+308, more than the 1e+200 per 1,000 tokens a price may be"),
])
def test_a_bad_prices_file_is_one_line(tmp_path, name, content, message):
    prices = tmp_path / name
    prices.write_text(content)
    result = run("eval", jsonl(tmp_path / "t.jsonl", [{"description": SIMPLE}]), "--prices", str(prices))
    assert result.returncode == 2 and result.stdout == ""
    assert result.stderr.startswith(f"python -m halvec eval: error: --prices '{prices}'")
    (line,) = result.stderr.splitlines()
    assert message in line, line


def test_costs_past_the_largest_float_are_one_line_never_inf(tmp_path):
    """The highest prices a file may give, on a workload with tokens enough: one line, exit 2,
    and no report with inf or nan in it, in text or JSON."""
    prices = tmp_path / "p.json"
    prices.write_text(json.dumps({"models": {key: {"input": 1e200, "output": 1e200} for key in mr.AVAILABLE_MODELS}}))
    path = jsonl(tmp_path / "t.jsonl", [{"description": SIMPLE, "input_tokens": 10**120, "output_tokens": 1}])
    for extra in ([], ["--json"]):
        result = run("eval", path, "--prices", str(prices), *extra)
        assert (result.returncode, result.stdout) == (2, "")
        assert result.stderr == (f"python -m halvec eval: error: {path!r}: its tokens cost more at these prices "
                                 f"than a float can hold (1.8e308): lower the prices or the token counts\n")
    assert eval_json(jsonl(tmp_path / "u.jsonl", [{"description": SIMPLE, "input_tokens": 10**90}]),
                     "--prices", str(prices))["cost"]["routed"] < 1e300


def test_integers_past_64_bits_are_read_whole(tmp_path):
    # orjson, where installed, reads them as floats; json keeps them whole, and so must eval
    ids = [2**64, -(2**63) - 1, [10**22], {"n": 10**30}]
    records = [{"description": SIMPLE, "id": i, "input_tokens": 2**64, "output_tokens": 10**20} for i in ids]
    path = jsonl(tmp_path / "t.jsonl", records)
    out = tmp_path / "out.jsonl"
    data = eval_json(path, "--keys", "anthropic", "--out", str(out))
    assert data["input"]["bad_lines"] == 0 and data["cost"]["input_tokens"] == 4 * 2**64
    lines = [json.loads(line) for line in out.read_text().splitlines()]
    assert [line["id"] for line in lines] == ids
    assert [line["cost"] for line in lines] == [rounded_cost((2**64 * price("claude-haiku")[0]
                                                             + 10**20 * price("claude-haiku")[1]) / 1000)] * 4
    # counts no float holds, in the record or its "usage", in a batch nothing else sends the slow way
    records = [{"description": SIMPLE, "input_tokens": 2**64 + 1, "output_tokens": 3},
               {"description": SIMPLE, "usage": {"prompt_tokens": 10**20 + 1, "completion_tokens": 10**21 + 1}}]
    data = eval_json(jsonl(tmp_path / "u.jsonl", records), "--keys", "anthropic", "--out", str(out))
    assert (data["cost"]["input_tokens"], data["cost"]["output_tokens"]) == (2**64 + 10**20 + 2, 10**21 + 4)
    assert [(line["input_tokens"], line["output_tokens"]) for line in map(json.loads, out.read_text().splitlines())] \
        == [(2**64 + 1, 3), (10**20 + 1, 10**21 + 1)]


def test_costs_carry_no_float_noise(tmp_path):
    # unrounded: 0.0006252499999999999 and 0.00032999999999999994 for the tasks, 0.0009552499999999999 routed
    path = jsonl(tmp_path / "t.jsonl", [{"description": "hi", "input_tokens": 1, "output_tokens": 500},
                                        {"description": COMPLEX, "input_tokens": 7, "output_tokens": 3}])
    out = tmp_path / "out.jsonl"
    cost = eval_json(path, "--out", str(out))["cost"]
    assert [json.loads(line)["cost"] for line in out.read_text().splitlines()] == [0.00062525, 0.00033]
    assert '"cost":0.00062525}' in out.read_text()
    assert cost["routed"] == 0.00095525 and cost["baseline"]["saving"] == 0.03688975
    # a comparison's lines are written in Python: the same costs (unrounded: 0.0075049999999999995)
    path = jsonl(tmp_path / "t.jsonl", [{"description": "Say hi to the whole team", "input_tokens": 1,
                                         "output_tokens": 500}])
    patterns = tmp_path / "p.json"
    patterns.write_text('{"complex": ["team"]}')
    assert run("eval", path, "--patterns", str(patterns), "--compare", "--model", "gpt-5.2", "--out",
               str(out)).returncode == 0
    (line,) = out.read_text().splitlines()
    assert '"cost":0.007505}' in line and json.loads(line)["before"]["cost"] == 0.007505


def test_token_counts_too_large_to_cost_are_one_line(tmp_path):
    path = jsonl(tmp_path / "t.jsonl", [{"description": SIMPLE, "input_tokens": 10**400, "output_tokens": 1}])
    out = str(tmp_path / "out.jsonl")
    for extra, after in (([], ""), (["--out", out], f" (--out {out!r} was not written: no file was made)")):
        result = run("eval", path, *extra)
        assert result.returncode == 2 and result.stdout == ""
        assert result.stderr == (f"python -m halvec eval: error: {path!r}: the token counts are too large to cost "
                                 f"(int too large to convert to float){after}\n")
    result = run("eval", jsonl(tmp_path / "u.jsonl", [{"description": SIMPLE}]), "--input-tokens", "9" * 400,
                 "--output-tokens", "1")
    assert result.returncode == 2 and "too large to cost" in result.stderr


def test_counts_a_record_lacks_are_estimated_and_marked(tmp_path):
    records = [{"description": COMPLEX}, {"description": SIMPLE, "prompt_tokens": 12.0, "completion_tokens": 40},
               {"description": "请你写出一个可以生成五个不同随机数的程序", "input_tokens": 7}]
    path = jsonl(tmp_path / "t.jsonl", records)
    out = tmp_path / "out.jsonl"
    cost = eval_json(path, "--out", str(out))["cost"]
    lines = [json.loads(line) for line in out.read_text().splitlines()]
    # the input from the UTF-8 bytes / 4, rounded up; the output the stated 500
    assert [(line["input_tokens"], line["output_tokens"], line["estimated"]) for line in lines] == [
        (-(-len(COMPLEX) // 4), 500, True), (12, 40, False), (7, 500, True)]
    assert (cost["estimated_tasks"], cost["estimated_input_tasks"], cost["estimated_output_tasks"],
            cost["output_tokens_each"]) == (2, 1, 2, 500)
    text = run("eval", path, "--output-tokens", "300").stdout.splitlines()
    assert text[3] == ("estimated, as the records give no count: input tokens of 1 task from the description "
                       "(its UTF-8 bytes / 4, rounded up)")  # 300 is the user's count, not an estimate
    assert "(3 tasks, " not in text and "1 task estimated)" in "\n".join(text)
    # the Chinese description is one "word" to the classifier, and the report says so
    assert any(line.startswith("note: 1 task (33.3%) is written mostly in a script without spaces") and
               line.endswith("1 of it is simple") for line in text)


@pytest.mark.parametrize("value, problem", [("12.5", "the number 12.5"), ("NaN", "the number nan"),
                                            ("-3.0", "the number -3.0"), ("true", "true")])
def test_a_token_count_must_be_a_whole_number(tmp_path, value, problem):
    path = tmp_path / "t.jsonl"
    path.write_text(f'{{"description": "a", "completion_tokens": {value}}}\n')
    result = run("eval", str(path))
    assert result.returncode == 2 and result.stderr == (
        f"python -m halvec eval: error: '{path}', line 1: the field \"completion_tokens\" is {problem}, not a count "
        f"of tokens (a whole number, 0 or more)\n")


# --- --out -----------------------------------------------------------------------------------

def test_out_has_one_line_per_task(tmp_path):
    tasks = [COMPLEX, "", SIMPLE, MODERATE, SHORT, "Hello, please organise my desktop icons"]
    path = tmp_path / "t.jsonl"
    path.write_text("".join(json.dumps({"description": t, "id": i}) + "\n" if t else "\n"
                            for i, t in enumerate(tasks)))
    out = tmp_path / "out.jsonl"
    data = eval_json(str(path), "--keys", "anthropic", "--out", str(out))
    assert data["tasks"] == 5 and data["input"]["blank_lines"] == 1
    lines = [json.loads(line) for line in out.read_text(encoding="utf-8").splitlines()]
    assert [list(line) for line in lines] == [LINE_KEYS] * 5
    assert [line["line"] for line in lines] == [1, 3, 4, 5, 6]
    assert [line["id"] for line in lines] == [0, 2, 3, 4, 5]
    for line, task in zip(lines, [t for t in tasks if t]):
        assert line["tier"] == mr.classify_complexity(task).value
        assert line["estimated"] and line["decided_by"] == "auto"
    assert lines[0]["rule"] == "complex_pattern" and lines[0]["pattern"] == {"list": "complex", "index": 2}
    assert lines[0]["span"] == [0, 8]  # "research"
    assert lines[2]["rule"] == "counts" and lines[2]["pattern"] is None and lines[2]["span"] is None
    assert lines[3]["rule"] == "length"
    assert lines[4]["pattern"] == {"list": "simple", "index": 0}


def test_a_large_file_evaluated_in_parts_gives_what_one_process_gives(tmp_path):
    # 36 MB: cut into parts of 16 MB or more where two cores are usable, evaluated whole with --jobs 1
    tasks = [COMPLEX, SIMPLE, MODERATE, SHORT, "Écris un rapport détaillé 🚀"]
    path = tmp_path / "t.jsonl"
    with open(path, "w", encoding="utf-8") as file:
        for i in range(60_000):
            file.write(json.dumps({"description": f"{tasks[i % 5]} {'x' * (480 + i % 100)}", "id": i,
                                   "input_tokens": i % 1000, "output_tokens": i % 7,
                                   **({"model": f"gpt-4o-{i % 4}"} if i % 3 == 0 else {})}) + "\n")
            if i % 7000 == 0:
                file.write("\n")
    outputs = []
    for jobs in ("1", "64"):  # 64: lowered to the usable cores, with a note
        out = tmp_path / f"out{jobs}.jsonl"
        result = run("eval", str(path), "--keys", "anthropic", "--jobs", jobs, "--out", str(out), "--with-text",
                     "--json")
        outputs.append((json.loads(result.stdout), out.read_bytes()))
    assert outputs[0] == outputs[1]
    assert result.stderr == f"python -m halvec eval: note: --jobs 64 lowered to {len(os.sched_getaffinity(0))}, " \
                            f"the cores this process may use\n"
    assert outputs[0][0]["tasks"] == 60_000 and outputs[0][0]["input"]["blank_lines"] == 9
    assert outputs[0][0]["input"]["models_outside_catalogue"] == {
        "tasks": 20_000, "names": [{"name": f"gpt-4o-{n}", "tasks": 5_000} for n in (0, 3, 2, 1)]}
    with open(path, "a", encoding="utf-8") as file:
        file.write('{"description": "late", "model": 5}\n')
    result = run("eval", str(path), "--jobs", "2")
    assert result.returncode == 2
    assert result.stderr.startswith(f"python -m halvec eval: error: '{path}', line 60010: the field \"model\" is the "
                                    f"number 5, not the name of a model")


def test_out_write_failure_is_one_line_and_status_74(tmp_path):
    path = jsonl(tmp_path / "t.jsonl", [{"description": COMPLEX}])
    result = run("eval", path, "--out", "/dev/full")
    assert result.returncode == 74
    assert result.stderr == "python -m halvec: error: cannot write --out '/dev/full': No space left on device\n"
    result = run("eval", path, "--out", str(tmp_path / "missing" / "out.jsonl"))
    assert result.returncode == 74 and result.stderr.endswith("/out.jsonl': No such file or directory\n")
    assert len(result.stderr.splitlines()) == 1


# --- bad input: one line, the file and the line named, status 2 ------------------------------

BAD_INPUT = [
    ("t.jsonl", b'{"description": "a"}\n{"description": "b" "c"}\n', [],
     "'{path}', line 2: not JSON: Expecting ',' delimiter (column 21)"),
    ("t.jsonl", b'{"description": "a"}\n["a list"]\n', [], "'{path}', line 2: not a JSON object but a list"),
    ("t.jsonl", b'{"description": "a"}\n\n{"text": "b", "id": 3}\n', [],
     "'{path}', line 3: no field \"description\" (fields: \"text\", \"id\"); --field names the field"),
    ("t.jsonl", b'{"description": null}\n', [], "'{path}', line 1: the field \"description\" is null, not a text"),
    ("t.jsonl", b'{"text": "b"}\n', ["--field", "prompt"], "'{path}', line 1: no field \"prompt\""),
    ("t.csv", b"id,text\n1,Fix the bug\n", [],
     "'{path}', line 1: no column \"description\" in the header (columns: \"id\", \"text\")"),
    ("t.csv", b"id,description\n1,Fix the bug,extra\n", [], "'{path}', line 2: 3 cells where the header has 2"),
    ("t.jsonl", b'{"description": "a"}\n{"description": "caf\xe9"}\n', [],
     "'{path}', line 2: not valid UTF-8 (byte 0xe9); --encoding-errors replace reads it with U+FFFD in its place"),
    ("t.txt", b"fine\ncaf\xe9 au lait\n", [], "'{path}', line 2: not valid UTF-8 (byte 0xe9)"),
    ("t.jsonl", b'{"description": "a", "model": {"name": "gpt-5"}}\n', [],
     "'{path}', line 1: the field \"model\" is an object, not the name of a model"),
    ("t.jsonl", b'{"description": "a", "input_tokens": -1}\n', [],
     "'{path}', line 1: the field \"input_tokens\" is the number -1, not a count of tokens"),
    ("t.csv", b"description,output_tokens\nFix it,many\n", [],
     "'{path}', line 2: the column \"output_tokens\" is the text \"many\", not a count of tokens"),
    ("t.csv", b"description,input_tokens\nFix it," + b"9" * 5000 + b"\n", [],
     "'{path}', line 2: the column \"input_tokens\" is the text \"999"),
]


@pytest.mark.parametrize("name, content, args, message", BAD_INPUT)
def test_bad_input_is_one_line_naming_the_file_and_line(tmp_path, name, content, args, message):
    path = tmp_path / name
    path.write_bytes(content)
    result = run("eval", str(path), *args)
    assert result.returncode == 2 and result.stdout == ""
    (line,) = result.stderr.splitlines()
    assert line.startswith("python -m halvec eval: error: " + message.format(path=path)), line


@pytest.mark.parametrize("content, message", [
    (b'{"complex": ["\\\\b(fine)\\\\b",\n  "\\\\b(broken"]}', "\"complex\" entry 1 (numbered from 0), '\\\\b(broken', is not a pattern "
                                                            "re accepts: missing ), unterminated subpattern at position 2"),
    (b'{"complex": ["a"], "Simple": ["b"]}', "unknown key 'Simple' (a patterns file holds \"complex\" and \"simple\")"),
    (b'{"complex": "a"}', "\"complex\" must be a list of pattern texts, not a text"),
    (b'{"simple": [1]}', "\"simple\" entry 0 (numbered from 0) is not a text but a number"),
    (b'{"complex": [}', "is not valid JSON: Expecting value (column 14)"),
    (b'["a"]', "must hold an object with a \"complex\" list, a \"simple\" list or both, not a list"),
    (b'{}', "holds neither a \"complex\" nor a \"simple\" list"),
    # a number past the interpreter's limit on digits: json raises a bare ValueError
    (b'{"complex": [' + b"9" * 5000 + b']}', "use sys.set_int_max_str_digits() to increase the limit"),
])
def test_a_bad_patterns_file_is_one_line(tmp_path, content, message):
    tasks = jsonl(tmp_path / "t.jsonl", [{"description": COMPLEX}])
    patterns = tmp_path / "p.json"
    patterns.write_bytes(content)
    for args in (["eval", tasks], ["route", COMPLEX], ["patterns"]):
        result = run(*args, "--patterns", str(patterns))
        assert result.returncode == 2 and result.stdout == ""
        (line,) = result.stderr.splitlines()
        assert line.startswith(f"python -m halvec {args[0]}: error: --patterns '{patterns}'")
        assert line.endswith(message), line
    # the bad entry is on line 2 of the file, and said so
    if b"broken" in content:
        assert f"--patterns '{patterns}', line 2: " in run("eval", tasks, "--patterns", str(patterns)).stderr


@pytest.mark.parametrize("content, message", [
    ("complex = [" + "9" * 5000 + "]\n", "is not valid TOML: Exceeds the limit (4300 digits)"),
    ("complex = [" + "[" * 3000 + "]" * 3000 + "]\n", "is not valid TOML: nested too deeply"),
])
def test_a_toml_patterns_file_python_cannot_read_is_one_line(tmp_path, content, message):
    patterns = tmp_path / "p.toml"
    patterns.write_text(content)
    result = run("patterns", "--patterns", str(patterns))
    assert result.returncode == 2
    (line,) = result.stderr.splitlines()
    assert message in line, line


def test_a_bad_toml_patterns_file_names_the_line(tmp_path):
    patterns = tmp_path / "p.toml"
    patterns.write_text("complex = ['a',\n  'b'\nsimple = []\n")
    result = run("patterns", "--patterns", str(patterns))
    assert result.returncode == 2 and "is not valid TOML:" in result.stderr and "line 3" in result.stderr


@pytest.mark.parametrize("content, message", [
    (b'{"enabled_models": ["claude-opus"], "costconscious": true}',
     "not the preferences' dictionary form: unknown key 'costconscious' (the keys are enabled_models, "
     "cost_conscious, default_worker_model, default_scheduler_model); did you mean 'cost_conscious'?"),
    (b'["claude-opus"]', "not the preferences' dictionary form: a JSON object with the keys"),
    (b'{"enabled_models": "claude-opus"}', "'enabled_models' must be a list of model keys"),
    (b'{"enabled_models": ["Claude-Haiku"]}', "'enabled_models' holds the unknown model key 'Claude-Haiku'"),
    (b'{"cost_conscious": "yes"}', "'cost_conscious' must be true or false"),
    (b'{"default_worker_model": null}', "'default_worker_model' holds null, not a model key"),
    (b'{"default_worker_model":\n "auto" "x"}', "line 2: not JSON: Expecting ',' delimiter (column 9)"),
    (b'{"cost_conscious": ' + b"9" * 5000 + b'}', "not JSON: Exceeds the limit (4300 digits)"),
    (b'{"enabled_models": ["claude-opus"],\n "cost_conscious": false,\n "enabled_models": []}',
     "line 3: the key 'enabled_models' is given twice (a JSON object's keys are given once)"),
])
def test_a_preferences_file_must_be_the_dictionary_form(tmp_path, content, message):
    tasks = jsonl(tmp_path / "t.jsonl", [{"description": COMPLEX}])
    config = tmp_path / "prefs.json"
    config.write_bytes(content)
    result = run("eval", tasks, "--config", str(config))
    assert result.returncode == 2
    (line,) = result.stderr.splitlines()
    assert line.startswith(f"python -m halvec eval: error: --config '{config}'") and message in line, line


@pytest.mark.parametrize("args, message", [
    (["--baseline", "opus"], "argument --baseline: unknown model key 'opus' (choose from claude-opus, "
                             "claude-sonnet, claude-haiku, gpt-5.2); did you mean 'claude-opus'?"),
    (["--baseline", "auto"], "argument --baseline: unknown model key 'auto'"),
    (["--compare"], "--compare needs --patterns FILE"),
    (["--format", "text", "--field", "x"], "--field names a JSONL field or a CSV column; text input has neither"),
    (["--input-tokens", "-3"], "argument --input-tokens: not a count of tokens"),
    (["--out", "-"], "--out needs a file"),
    (["--with-text"], "--with-text needs --out FILE"),
    (["--jobs", "0"], "argument --jobs: not a number of processes (1 to 64): '0'"),
])
def test_command_line_mistakes_are_usage_errors(tmp_path, args, message):
    tasks = jsonl(tmp_path / "t.jsonl", [{"description": COMPLEX}])
    result = run("eval", tasks, *args)
    assert result.returncode == 2 and result.stderr.startswith("usage: ") and message in result.stderr


# --- skipping and replacing --------------------------------------------------------------------

def test_skip_bad_counts_and_reports_every_bad_line(tmp_path):
    path = tmp_path / "t.jsonl"
    path.write_bytes(b'{"description": "%s"}\nnot json\n{"text": 1}\n{"description": "caf\xe9"}\n\n'
                     b'{"description": "%s", "model": true}\n{"description": "%s"}\n'
                     % (COMPLEX.encode(), SIMPLE.encode(), SIMPLE.encode()))
    result = run("eval", str(path), "--skip-bad", "--json")
    assert result.returncode == 0
    data = json.loads(result.stdout)
    assert data["tasks"] == 2 and data["input"]["bad_lines"] == 4 and data["input"]["blank_lines"] == 1
    assert [(bad["line"], bad["problem"].split(" (")[0].split(";")[0]) for bad in data["input"]["first_bad_lines"]] == [
        (2, "not JSON: Expecting value"), (3, "no field \"description\""), (4, "not valid UTF-8"),
        (6, "the field \"model\" is true, not the name of a model")]
    assert result.stderr == ("python -m halvec eval: warning: skipped 4 bad lines (the first: line 2: not JSON: "
                             "Expecting value (column 1))\n")
    text = run("eval", str(path), "--skip-bad").stdout
    assert "bad lines skipped: 4" in text and "  line 3: no field \"description\"" in text


def test_encoding_errors_replace_goes_on_and_counts_lines(tmp_path):
    path = tmp_path / "t.txt"
    path.write_bytes(b"caf\xe9 \xff report\nfine line here\n\xfe\n")
    result = run("eval", str(path), "--encoding-errors", "replace", "--json")
    assert result.returncode == 0
    assert json.loads(result.stdout)["input"]["replaced_lines"] == 2
    assert result.stderr == ("python -m halvec eval: warning: '%s': replaced what is not valid UTF-8 with U+FFFD "
                             "on 2 lines (the first on line 1)\n" % path)


def test_byte_order_mark_is_dropped(tmp_path):
    for name, content in (("t.jsonl", b'\xef\xbb\xbf{"description": "%s"}\n' % COMPLEX.encode()),
                          ("t.csv", b"\xef\xbb\xbfdescription\n%s\n" % COMPLEX.encode()),
                          ("t.txt", b"\xef\xbb\xbf%s\n" % COMPLEX.encode())):
        path = tmp_path / name
        path.write_bytes(content)
        data = eval_json(str(path))
        assert data["tasks"] == 1 and data["tiers"]["complex"] == 1 and data["input"]["bad_lines"] == 0
    data = eval_json("-", input=b"\xef\xbb\xbf" + COMPLEX.encode())
    assert data["tiers"]["complex"] == 1 and data["input"]["format"] == "text"


@pytest.mark.parametrize("content", [b"", b"\n\n", b"\xef\xbb\xbf"])
def test_an_empty_file_is_a_summary_of_nothing(tmp_path, content):
    path = tmp_path / "t.jsonl"
    path.write_bytes(content)
    data = eval_json(str(path))
    assert data["tasks"] == 0 and data["cost"] is None and data["counts_share"] is None
    assert set(data["tiers"].values()) == set(data["models"].values()) == set(data["rules"].values()) == {0}
    assert len(data["never_decided"]) == len(mr._COMPLEX_PATTERNS) + len(mr._SIMPLE_PATTERNS)
    result = run("eval", str(path))
    assert result.returncode == 0 and result.stdout.startswith(f"tasks: 0 from '{path}'")


# --- routing preferences -----------------------------------------------------------------------

def test_preferences_file_and_options(tmp_path):
    tasks = jsonl(tmp_path / "t.jsonl", [{"description": t} for t in (COMPLEX, MODERATE, SIMPLE)])
    config = tmp_path / "prefs.json"
    config.write_text(json.dumps(dict(mr.ModelRoutingConfig(enabled_models=["claude-haiku"]).to_dict())))
    data = eval_json(tasks, "--config", str(config), "--keys", "anthropic")
    assert data["models"]["claude-haiku"] == 3
    # Haiku is on the simple and moderate tiers' lists; a complex task falls back to it
    assert data["decided_by"] == {"explicit": 0, "default": 0, "auto": 2, "fallback": 1, "last_resort": 0}
    # the options override the file
    data = eval_json(tasks, "--config", str(config), "--enabled", "claude-opus,claude-sonnet", "--keys", "anthropic")
    assert data["models"] == {"claude-opus": 1, "claude-sonnet": 2, "claude-haiku": 0, "gpt-5.2": 0}
    data = eval_json(tasks, "--scheduler", "--default", "claude-sonnet", "--keys", "anthropic")
    assert data["selection_for"] == "scheduler" and data["decided_by"]["default"] == 3
    data = eval_json(tasks, "--keys", "")  # no key at all
    assert data["decided_by"]["last_resort"] == 3 and data["models"]["claude-sonnet"] == 3
    assert "tasks got the last resort" in run("eval", tasks, "--keys", "").stdout


def test_without_keys_the_evaluation_is_offline_and_says_so(tmp_path):
    tasks = jsonl(tmp_path / "t.jsonl", [{"description": t} for t in (COMPLEX, MODERATE, SIMPLE)])
    # with a key in the environment, not asked for: every provider is taken to have one
    data = eval_json(tasks, env={"ANTHROPIC_API_KEY": "x"})
    assert data["keys"] == {"source": "assumed", "providers": ["anthropic", "openai"]}
    assert data["decided_by"]["auto"] == 3
    lines = run("eval", tasks).stdout.splitlines()
    assert lines[1].startswith("keys: none given, so every provider (anthropic, openai) is taken to have an API key")
    data = eval_json(tasks, "--keys-from-env", "--keys", "openai", env={"ANTHROPIC_API_KEY": "x"})
    assert data["keys"] == {"source": "given_and_environment", "providers": ["anthropic", "openai"]}
    assert eval_json(tasks, "--keys-from-env")["keys"] == {"source": "environment", "providers": []}
    # most tasks fall to the last resort: said plainly, before any figure
    lines = run("eval", tasks, "--keys", "openai", "--enabled", "claude-opus,claude-haiku").stdout.splitlines()
    assert lines[1] == "keys: openai (from --keys)"
    assert lines[2].startswith("WARNING: 3 of 3 tasks (100.0%) fell to the router's last resort")


def test_skip_bad_lists_twenty_bad_lines_with_their_whole_problem(tmp_path):
    path = tmp_path / "t.jsonl"
    path.write_text('{"description": "a", "input_tokens": -5}\n' * 25)
    lines = run("eval", str(path), "--skip-bad").stdout.splitlines()
    first = lines.index("bad lines skipped: 25 (the first 20:)")
    problem = "the field \"input_tokens\" is the number -5, not a count of tokens (a whole number, 0 or more)"
    assert lines[first + 1:first + 22] == [f"  line {n}: {problem}" for n in range(1, 21)] + ["  and 5 more"]


# --- what-if: patterns and --compare --------------------------------------------------------

def test_patterns_json_output_is_accepted_by_patterns(tmp_path):
    printed = run("patterns", "--json")
    assert printed.returncode == 0
    assert json.loads(printed.stdout) == {"complex": mr._COMPLEX_PATTERNS, "simple": mr._SIMPLE_PATTERNS}
    as_json = tmp_path / "p.json"
    as_json.write_text(printed.stdout)
    as_toml = tmp_path / "p.toml"
    as_toml.write_text(run("patterns").stdout)
    tasks = jsonl(tmp_path / "t.jsonl", [{"description": t} for t in (COMPLEX, SIMPLE, MODERATE, SHORT)])
    plain = eval_json(tasks)
    for path in (as_json, as_toml):
        assert eval_json(tasks, "--patterns", str(path)) == plain
        assert run("patterns", "--patterns", str(path), "--json").stdout == printed.stdout
        compared = json.loads(run("eval", tasks, "--patterns", str(path), "--compare", "--json").stdout)
        assert compared["changed"] == 0 and compared["changes"] == []


def test_patterns_file_changes_route_and_eval(tmp_path):
    patterns = tmp_path / "p.toml"
    patterns.write_text("complex = []\nsimple = ['\\b(item)\\b']\n")
    shown = json.loads(run("patterns", "--patterns", str(patterns), "--json").stdout)
    assert shown == {"complex": [], "simple": ["\\b(item)\\b"]}
    result = run("route", COMPLEX, "--keys", "anthropic", "--patterns", str(patterns), "--json")
    assert json.loads(result.stdout)["complexity"] == "simple"  # no complex pattern left; 12 words
    tasks = jsonl(tmp_path / "t.jsonl", [{"description": MODERATE}])
    assert eval_json(tasks, "--patterns", str(patterns))["rules"]["simple_pattern"] == 1


def test_compare_reports_a_transition_matrix_and_the_changes(tmp_path):
    patterns = tmp_path / "p.json"
    patterns.write_text(json.dumps({"complex": ["\\b(staging)\\b"]}))
    records = [{"description": t, "id": f"t{i}", "input_tokens": 100, "output_tokens": 10}
               for i, t in enumerate([COMPLEX, SIMPLE, MODERATE, SHORT] * 15)]
    tasks = jsonl(tmp_path / "t.jsonl", records)
    out = tmp_path / "changes.jsonl"
    result = run("eval", tasks, "--keys", "anthropic", "--patterns", str(patterns), "--compare", "--json",
                 "--out", str(out))
    assert result.returncode == 0, result.stderr
    data = json.loads(result.stdout)
    assert set(data) == {"tasks", "input", "selection_for", "keys", "prices", "patterns", "before", "after",
                         "transitions", "changed", "changes"}
    assert set(data["before"]) == set(data["after"]) == SUMMARY_KEYS
    # COMPLEX has no complex pattern left (12 words: simple); SIMPLE now matches "staging"
    assert data["transitions"] == {"simple": {"simple": 15, "moderate": 0, "complex": 15},
                                   "moderate": {"simple": 0, "moderate": 15, "complex": 0},
                                   "complex": {"simple": 15, "moderate": 0, "complex": 0}}
    assert data["changed"] == 30 and len(data["changes"]) == 20
    first = data["changes"][0]
    assert (first["line"], first["id"], first["description"]) == (1, "t0", COMPLEX)
    assert (first["before"]["tier"], first["after"]["tier"]) == ("complex", "simple")
    assert (first["before"]["model"], first["after"]["model"]) == ("claude-opus", "claude-haiku")
    assert first["after"]["rule"] == "counts" and first["before"]["pattern"] == {"list": "complex", "index": 2}
    assert data["before"]["models"]["claude-opus"] == 15 and data["after"]["models"]["claude-opus"] == 15
    assert data["after"]["cost"]["routed"] == pytest.approx(data["before"]["cost"]["routed"])  # opus 15 and 15
    lines = [json.loads(line) for line in out.read_text().splitlines()]
    assert len(lines) == 30 and lines[0] == {key: value for key, value in first.items() if key != "description"}
    assert list(lines[0]) == [*TASK_KEYS, "before", "after"]
    # the text report: the matrix, and the first 20 changes with a pointer to the rest
    text = run("eval", tasks, "--keys", "anthropic", "--patterns", str(patterns), "--compare").stdout
    assert "tasks whose tier changes: 30 (50.0%)" in text
    assert "the first 20 of 30 tasks that change (all of them with --out FILE); patterns are numbered from 0:" in text
    assert [line.split()[:4] for line in text.splitlines() if line.startswith(("simple ", "complex "))][:2] == [
        ["simple", "15", "0", "15"], ["complex", "15", "0", "0"]]


def test_compare_reads_csv_with_the_delimiter_given(tmp_path):
    (tmp_path / "t.txt").write_text(f"description|id\n{COMPLEX}|1\n")
    patterns = tmp_path / "p.json"
    patterns.write_text('{"complex": []}')
    result = run("eval", str(tmp_path / "t.txt"), "--delimiter", "|", "--patterns", str(patterns), "--compare", "--json")
    data = json.loads(result.stdout)
    assert (data["input"]["format"], data["tasks"], data["changed"]) == ("csv", 1, 1)


_ROUTER = {"format": "halvec fitted router", "version": 1, "name": "prove", "longest_ngram": 1, "intercept": 0.0,
           "cuts": {"moderate": 0.05, "complex": 0.5},
           "counts": {"words": {"weight": 0.0, "mean": 0.0, "scale": 1.0},
                      "characters": {"weight": 0.0, "mean": 0.0, "scale": 1.0}},
           "ngrams": [["prove", 1.0, 1.0]]}


@pytest.mark.parametrize("args", [[], ["--jobs", "2"], ["--patterns", "mine.toml"],
                                  ["--patterns", "mine.toml", "--compare"], ["--router", "router.json"],
                                  ["--router", "router.json", "--compare"]])
def test_every_run_reads_csv_with_the_delimiter_given(tmp_path, args):
    # each way a run can go (a pool, this process, a comparison, a fitted router) reads with the
    # same options: `eval tasks.csv --delimiter ';' --patterns mine.toml --compare` once split on commas
    (tmp_path / "tasks.csv").write_text(f"description;id\n{COMPLEX}, with commas;1\nprove it, then;2\n")
    (tmp_path / "mine.toml").write_text("complex = []\n")
    (tmp_path / "router.json").write_text(json.dumps(_ROUTER))
    args = [str(tmp_path / arg) if arg.endswith((".toml", ".json")) else arg for arg in args]
    result = run_main(["eval", str(tmp_path / "tasks.csv"), "--delimiter", ";", *args, "--json"])
    assert result.returncode == 0, result.stderr
    data = json.loads(result.stdout)
    assert (data["input"]["format"], data["input"]["field"], data["tasks"]) == ("csv", "description", 2)


def test_module_lists_are_put_back(tmp_path):
    # in process: a command with --patterns leaves the module's own list objects in place
    from halvec.cli import main
    patterns = tmp_path / "p.json"
    patterns.write_text('{"complex": [], "simple": []}')
    before = (mr._COMPLEX_PATTERNS, list(mr._COMPLEX_PATTERNS), mr._SIMPLE_PATTERNS, list(mr._SIMPLE_PATTERNS))
    tasks = jsonl(tmp_path / "t.jsonl", [{"description": COMPLEX}])
    for argv in (["route", COMPLEX, "--keys", "anthropic", "--json"], ["eval", tasks, "--json"], ["eval", tasks, "--compare", "--json"],
                 ["patterns"]):
        assert main([*argv, "--patterns", str(patterns)]) == 0
        assert (mr._COMPLEX_PATTERNS, list(mr._COMPLEX_PATTERNS), mr._SIMPLE_PATTERNS,
                list(mr._SIMPLE_PATTERNS)) == before
        assert mr._COMPLEX_PATTERNS is before[0] and mr._SIMPLE_PATTERNS is before[2]


# --- the text report -------------------------------------------------------------------------

def test_text_report_shows_charts_and_escapes_what_came_from_outside(tmp_path):
    hostile = "Research \x1b[31mred\x1b[0m \u202e and write a report\nwith a second line"
    tasks = jsonl(tmp_path / "t\x07.jsonl", [{"description": hostile, "id": "\x1b[2J"}, {"description": SIMPLE}])
    patterns = tmp_path / "p.json"
    patterns.write_text(json.dumps({"complex": ["\\b(staging)\\b"], "simple": ["\x1b]0;x\x07"]}))
    for args in ([], ["--patterns", str(patterns)], ["--patterns", str(patterns), "--compare"]):
        result = run("eval", tasks, "--keys", "anthropic", "--input-tokens", "10", "--output-tokens", "5", *args)
        assert result.returncode == 0, result.stderr
        assert all(line.isprintable() for line in result.stdout.splitlines())
        if "--patterns" in args and "--compare" not in args:
            # a pattern's backslashes are its own escapes: shown single, as the patterns file has them
            assert " \\b(staging)\\b " in result.stdout and " \\x1b]0;x\\x07 " in result.stdout
    text = run("eval", tasks, "--keys", "anthropic").stdout
    assert "\u2588" * 30 in text  # the largest count gets the whole bar
    assert "tier set by the word and tool counts alone: 0.0%" in text
    ascii_text = run("eval", tasks, env={"PYTHONIOENCODING": "ascii"}).stdout
    assert "#" * 30 in ascii_text and "?" * 30 not in ascii_text


def test_progress_is_shown_on_a_terminal_only(tmp_path):
    # The progress line is first drawn a fraction of a second into the run, which a fast
    # machine may finish before then; so --out goes to a FIFO that is read only after a
    # pause, holding the first batch's write until the line is due.
    tasks = 15_000  # long ones: a run long enough for the line, in few tasks
    path = tmp_path / "t.txt"
    path.write_text((" ".join([COMPLEX] * 10) + "\n") * tasks)
    fifo = tmp_path / "out"
    os.mkfifo(fifo)
    written: list[bytes] = []

    def read_late():
        with open(fifo, "rb") as lines:
            time.sleep(0.6)
            written.append(lines.read())

    reader = threading.Thread(target=read_late, daemon=True)
    reader.start()
    controller, terminal = pty.openpty()
    try:
        process = subprocess.run([sys.executable, "-m", "halvec", "eval", str(path), "--out", str(fifo)],
                                 stdout=subprocess.PIPE, stderr=terminal, env=_env(), timeout=300)
        os.close(terminal)
        terminal = -1
        shown = b""
        while True:
            try:
                chunk = os.read(controller, 65536)
            except OSError:
                break
            if not chunk:
                break
            shown += chunk
    finally:
        reader.join(timeout=300)
        os.close(controller)
        if terminal >= 0:
            os.close(terminal)
    assert process.returncode == 0
    assert b" tasks  " in shown and b"/s" in shown and b" left" in shown, shown[-300:]
    assert shown.endswith(b"\r")  # the line is cleared before the report
    assert written[0].count(b"\n") == tasks
    assert run("eval", str(path)).stderr == ""  # not a terminal: nothing


# --- the inputs users have -------------------------------------------------------------------

def test_arrays_chat_records_gzip_and_tsv_through_the_command_line(tmp_path):
    import gzip
    chat = [{"messages": [{"role": "user", "content": COMPLEX}], "id": "c1"}, {"": SHORT, "description": SIMPLE}]
    (tmp_path / "chats").write_bytes(gzip.compress(json.dumps(chat, indent=2).encode()))  # no telling name
    data = eval_json(str(tmp_path / "chats"), "--skip-bad")
    assert (data["input"]["format"], data["tasks"], data["tiers"]["complex"]) == ("json", 2, 1)
    data = eval_json(str(tmp_path / "chats"), "--field", "", "--skip-bad")  # an empty name is a name
    assert (data["tasks"], data["input"]["bad_lines"], data["input"]["field"]) == (1, 1, "")
    (tmp_path / "t.tsv").write_text(f"id\tdescription\n1\t{COMPLEX}, twice\n")
    assert eval_json(str(tmp_path / "t.tsv"))["tiers"]["complex"] == 1
    (tmp_path / "t.txt").write_text(f"description|id\n{COMPLEX}|1\n")
    assert eval_json(str(tmp_path / "t.txt"), "--delimiter", "|")["input"]["format"] == "csv"
    (tmp_path / "t.jsonl.bz2").write_bytes(b"BZh91AY&SY" + bytes(range(256)))
    result = run("eval", str(tmp_path / "t.jsonl.bz2"), "--encoding-errors", "replace")
    assert (result.returncode, result.stderr) == (
        2, f"python -m halvec eval: error: '{tmp_path}/t.jsonl.bz2': not a text file (bzip2-compressed; decompress it "
           f"first)\n")


def test_a_pattern_re_warns_of_is_one_line_naming_the_file_and_entry(tmp_path):
    patterns = tmp_path / "p.json"
    patterns.write_text('{"complex": ["[[a]-z]"]}')
    result = run("eval", jsonl(tmp_path / "t.jsonl", [{"description": COMPLEX}] * 3), "--patterns", str(patterns),
                 "--out", str(tmp_path / "out.jsonl"))
    assert result.returncode == 0
    assert result.stderr == (f"python -m halvec eval: warning: --patterns '{patterns}', line 1: \"complex\" entry 0 "
                             f"(numbered from 0), '[[a]-z]': re warns: Possible nested set at position 1\n")


# --- application logs ----------------------------------------------------------------------

SYSTEM = {"role": "system", "content": "You are the support agent of a bicycle shop; answer briefly. " * 4}


def test_application_logs_give_their_counts_and_the_model_that_served(tmp_path):
    records = [
        {"messages": [SYSTEM, {"role": "user", "content": COMPLEX}], "model": "gpt-4o",
         "usage": {"prompt_tokens": 1000, "completion_tokens": 200, "total_tokens": 1200}},
        {"messages": [SYSTEM, {"role": "user", "content": SIMPLE}], "model": "claude-haiku-4-5",
         "usage": {"input_tokens": 40, "output_tokens": 10, "cache_read_input_tokens": 900}},
        {"messages": [SYSTEM, {"role": "user", "content": MODERATE}], "model": "gpt-4o"},
        {"messages": [SYSTEM, {"role": "user", "content": SHORT}], "model": "gpt-4o-mini", "id": 4}]
    path = jsonl(tmp_path / "logs.jsonl", records)
    out = tmp_path / "out.jsonl"
    data = eval_json(path, "--keys", "anthropic,openai", "--out", str(out))
    lines = [json.loads(line) for line in out.read_text().splitlines()]
    # the counts as the logs give them; without them, the whole conversation is estimated
    conversation = [-(-(len(SYSTEM["content"]) + len(text)) // 4) for text in (MODERATE, SHORT)]
    assert [(line["input_tokens"], line["output_tokens"], line["estimated"]) for line in lines] == [
        (1000, 200, False), (940, 10, False), (conversation[0], 500, True), (conversation[1], 500, True)]
    # a catalogue model named by its provider's id is a request; others are counted, and routed as no request
    assert [line["model"] for line in lines] == ["claude-opus", "claude-haiku", "claude-sonnet", "claude-haiku"]
    assert [line["decided_by"] for line in lines] == ["auto", "explicit", "auto", "auto"]
    assert data["input"]["chat_tasks"] == 4 and data["input"]["model_field"] == "model"
    assert data["input"]["models_outside_catalogue"] == {
        "tasks": 3, "names": [{"name": "gpt-4o", "tasks": 2}, {"name": "gpt-4o-mini", "tasks": 1}]}
    text = run("eval", path, "--keys", "anthropic,openai").stdout.splitlines()
    assert text[0] == f"tasks: 4 from '{path}' (JSONL, messages (last user message)), selected as for workers"
    assert text[3] == ("estimated, as the records give no count: input tokens of 2 tasks from the description, or for "
                       "a chat record its whole conversation (UTF-8 bytes / 4, rounded up); output tokens of 2 tasks "
                       "taken as 500 each (--output-tokens M sets it)")
    assert text[4] == ("note: 3 tasks named models outside the catalogue and were routed as requesting none: "
                       "gpt-4o 2, gpt-4o-mini 1")
    # --skip-bad drops none of them; --model-field names another field, or none
    assert eval_json(path, "--skip-bad")["tasks"] == 4
    data = eval_json(path, "--model-field", "", "--keys", "anthropic,openai")
    assert data["decided_by"]["explicit"] == 0 and data["input"]["model_field"] is None
    assert data["input"]["models_outside_catalogue"] == {"tasks": 0, "names": []}
    data = eval_json(path, "--model-field", "served_by")
    assert data["input"]["models_outside_catalogue"]["tasks"] == 0 and data["decided_by"]["explicit"] == 0


def test_the_report_says_where_the_descriptions_came_from(tmp_path):
    path = jsonl(tmp_path / "t.jsonl", [{"messages": [{"role": "user", "content": COMPLEX}]}, {"description": SIMPLE},
                                        {"description": SHORT, "model": "Claude-Opus"},
                                        {"description": SHORT, "model": "claude-opus-4-5"}])
    lines = run("eval", path).stdout.splitlines()
    assert lines[0] == (f"tasks: 4 from '{path}' (JSONL, field \"description\"; 1 chat record: messages (last user "
                        f"message)), selected as for workers")
    # a hint for a name spelt otherwise, none for another model's
    assert lines[4] == ("note: 2 tasks named models outside the catalogue and were routed as requesting none: "
                        "Claude-Opus 1 (did you mean 'claude-opus'?), claude-opus-4-5 1")
    data = eval_json(path)
    assert (data["input"]["field"], data["input"]["chat_tasks"]) == ("description", 1)
