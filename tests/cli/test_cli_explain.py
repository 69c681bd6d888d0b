"""`halvec classify` and `halvec route --explain`: the explanations as text and JSON, and every
kind of bad input as one usage error. The program runs as in test_cli.py; the text helpers
are checked in process, for any text."""

import ast
import json
import re

import pytest
from hypothesis import given, strategies as st

from halvec.cli import explaining
from halvec.core import model_router as mr
from halvec.explain import explain_complexity
from conftest import run_main
from test_cli import D2, ROUTE_KEYS, route_json, run, run_with_stdout

STOCK = "Check the stock market before noon"
STOCK_RULE = ('complex pattern 8 (numbered from 0) `\\b(financial|market|stock|crypto|investment)\\b` matched "stock" at 10\u201315 '
              'in "check the stock market before noon"')
REASON_KEYS = ["tier", "rule", "length", "word_count", "tool_count", "pattern_list", "pattern_index", "pattern",
               "span", "match", "threshold"]


def classify(*args, **kwargs):
    return run("classify", *args, **kwargs)


def classify_json(*args, **kwargs):
    result = classify(*args, "--json", **kwargs)
    assert result.returncode == 0, result.stderr
    data = json.loads(result.stdout)
    assert list(data) == ["tier", "reason"]
    return data


# --- classify ----------------------------------------------------------------------------------

def test_classify_prints_the_tier():
    for text, tier in ((STOCK, "complex"), ("Fix a typo", "simple"), (" ".join(["item"] * 30), "moderate")):
        result = classify(text)
        assert (result.returncode, result.stdout, result.stderr) == (0, tier + "\n", "")


def test_classify_explains_a_pattern_match_in_its_context():
    result = classify(STOCK, "--explain")
    assert result.returncode == 0 and result.stderr == ""
    assert result.stdout.splitlines() == [
        "tier:         complex",
        f"rule:         {STOCK_RULE}",
        "counted:      34 characters and 6 words after lower-casing and stripping; tool count 0"]


@pytest.mark.parametrize("args, rule", [
    (["Summarise", "--tool-count", "9"], "length: 9 characters after lower-casing and stripping, fewer than 20"),
    (["Pull the sales numbers and email them to the group", "--tool-count", "2"],
     "counts: tool_count > 1 (no pattern matched)"),
    (["Hello, please organise my desktop icons"],
     'simple pattern 0 (numbered from 0) `\\b(hello|hi|hey|thanks|thank you|ok|okay|yes|no|sure)\\b` matched "hello" at 0\u20135 '
     'in "hello, please organise my desktop i\u2026"'),
])
def test_classify_explains_each_rule(args, rule):
    result = classify(*args, "--explain")
    assert result.returncode == 0
    assert result.stdout.splitlines()[1] == f"rule:         {rule}"


def test_classify_json_carries_the_explanation_under_its_attribute_names():
    assert classify_json(STOCK) == {"tier": "complex", "reason": None}
    data = classify_json(STOCK, "--explain")
    assert list(data["reason"]) == REASON_KEYS
    assert data["reason"] == {
        "tier": "complex", "rule": "complex_pattern", "length": 34, "word_count": 6, "tool_count": 0,
        "pattern_list": "complex", "pattern_index": 8, "pattern": mr._COMPLEX_PATTERNS[8], "span": [10, 15],
        "match": "stock", "threshold": None}
    data = classify_json("Pull the sales numbers and email them to the group", "--tool-count", "3", "--explain")
    assert data["reason"] == {
        "tier": "moderate", "rule": "counts", "length": 50, "word_count": 10, "tool_count": 3,
        "pattern_list": None, "pattern_index": None, "pattern": None, "span": None, "match": None,
        "threshold": "tool_count > 2"}


def test_classify_reads_standard_input_and_files(tmp_path):
    path = tmp_path / "task.txt"
    path.write_bytes(b"\xef\xbb\xbf" + STOCK.encode() + b"\r\n\n")
    for args, stdin in ((["-"], path.read_bytes()), (["--file", str(path)], None), (["--file", "-"], path.read_bytes())):
        assert classify(*args, "--explain", input=stdin).stdout.splitlines()[1] == f"rule:         {STOCK_RULE}"


def test_classify_text_output_is_escaped_and_shortened():
    text = "Fix\tthe \x1b[2Jscreen\r\nthen " + "x " * 40 + "write the report " + "\u202e" * 3 + " and go home"
    lines = classify(text, "--explain").stdout.splitlines()
    assert len(lines) == 3 and all(line.isprintable() for line in lines)
    assert lines[1].startswith('rule:         complex pattern 1 (numbered from 0) `\\b(analyze|debug.*complex|plan.*project|'
                               'write.*report)\\b` matched "write the report" at 105\u2013121 in "\u2026x x x x ')
    assert lines[1].endswith(' write the report \\u202e\\u202e\\u202e and go home"')
    # a long match is shown by its two ends
    text = "please write " + "the long " * 100 + "report now"
    rule = classify(text, "--explain").stdout.splitlines()[1]
    match = "write " + "the long " * 100 + "report"
    assert f'matched "{match[:30]}\u2026{match[-30:]}" at 7\u2013{7 + len(match)} in "please {match[:30]}' in rule
    assert len(rule) < 300


def test_classify_on_an_ascii_stdout():
    result = classify(STOCK, "--explain", env={"PYTHONIOENCODING": "ascii"})
    assert result.stdout.splitlines()[1] == "rule:         " + STOCK_RULE.replace("\u2013", "-")
    result = classify("R\u00e9sum\u00e9 " + "x " * 30 + "the stock", "--explain", env={"PYTHONIOENCODING": "ascii"})
    assert result.stdout.splitlines()[1].endswith('at 71-76 in "...x x x x x x x x x x x x x the stock"')


# --- route --explain ---------------------------------------------------------------------------

def test_route_explain_text():
    result = run("route", D2, "--model", "gpt-5.2", "--keys", "anthropic", "--enabled", "claude-sonnet,claude-haiku",
                 "--explain")
    assert result.returncode == 0
    assert result.stdout.splitlines() == [
        "model:        Claude Sonnet (claude-sonnet)",
        "decided by:   auto [complex]",
        "model string: anthropic/claude-sonnet-4-6",
        "passed over:  gpt-5.2 (explicit choice): not enabled",
        "passed over:  claude-opus (auto [complex]): not enabled",
        "tier:         complex",
        'rule:         complex pattern 2 (numbered from 0) `\\b(research|compare.*and.*contrast|investigate)\\b` matched "research" '
        'at 0\u20138 in "research the pricing pages of three ho\u2026"',
        "counted:      80 characters and 12 words after lower-casing and stripping; tool count 0",
        "note:         --model gpt-5.2 was not honoured: it is not enabled (see --enabled) and no API key for openai "
        "(pass --keys openai or set OPENAI_API_KEY)",
        "log:",
        "  WARNING Requested model 'gpt-5.2' not available, falling back to auto",
        "  INFO Worker model (auto [complex]): Claude Sonnet for 'Research the pricing pages of three hosting provid'"]
    # without --explain: the same choice, without the explanation's lines
    plain = run("route", D2, "--model", "gpt-5.2", "--keys", "anthropic", "--enabled", "claude-sonnet,claude-haiku")
    assert plain.stdout.splitlines() == [line for line in result.stdout.splitlines()
                                         if line.split(":")[0] not in ("passed over", "tier", "rule", "counted")]


def test_route_explain_fallback_and_last_resort():
    lines = run("route", D2, "--keys", "anthropic", "--enabled", "gpt-5.2,claude-haiku", "--explain").stdout.splitlines()
    assert [line for line in lines if line.startswith("passed over:")] == [
        "passed over:  claude-opus (auto [complex]): not enabled",
        "passed over:  claude-sonnet (auto [complex]): not enabled",
        "passed over:  gpt-5.2 (auto [complex]): no key for its provider",
        "passed over:  gpt-5.2 (fallback, enabled list): no key for its provider"]
    status, data = route_json("Fix a typo", "--explain")
    assert status == 1 and data["decided_by"] == "last_resort" and data["reason"]["rule"] == "length"
    assert [(p["key"], p["stage"]) for p in data["passed_over"]] == [
        ("claude-haiku", "auto"), ("claude-sonnet", "auto"), ("gpt-5.2", "auto"), ("claude-opus", "fallback"),
        ("claude-sonnet", "fallback"), ("claude-haiku", "fallback"), ("gpt-5.2", "fallback")]


def test_route_json_explain():
    status, data = route_json(D2, "--model", "gpt-5.2", "--default", "claude-opus", "--keys", "anthropic",
                              "--enabled", "claude-sonnet,claude-haiku,gpt-5.2", "--explain")
    assert status == 0 and set(data) == ROUTE_KEYS
    assert data["passed_over"] == [
        {"key": "gpt-5.2", "stage": "explicit", "reason": "no key for its provider"},
        {"key": "claude-opus", "stage": "default", "reason": "not enabled"},
        {"key": "claude-opus", "stage": "auto", "reason": "not enabled"}]
    assert list(data["reason"]) == REASON_KEYS
    assert (data["reason"]["tier"], data["reason"]["match"], data["complexity"]) == ("complex", "research", "complex")
    # a choice made before the choice by complexity has no classification to explain
    status, data = route_json(D2, "--model", "claude-haiku", "--keys", "anthropic", "--explain")
    assert (data["decided_by"], data["passed_over"], data["reason"], data["complexity"]) == ("explicit", [], None, None)
    status, data = route_json(D2, "--scheduler", "--default", "gpt-5.2", "--keys", "anthropic", "--explain")
    assert (data["model"], data["decided_by"], data["log"]) == ("claude-opus", "auto", [])
    assert data["passed_over"] == [{"key": "gpt-5.2", "stage": "default", "reason": "no key for its provider"}]


# --- bad input: one usage error, exit status 2 ----------------------------------------------------

@pytest.mark.parametrize("args, message", [
    (["classify", "x", "--bogus"], "unrecognized arguments: --bogus"),
    (["classify", "x", "--explain=yes"], "argument --explain: ignored explicit argument 'yes'"),
    (["route", "x", "--explain", "--tool-count", "3"], "unrecognized arguments: --tool-count 3"),
    (["classify", "x", "--tool-count", "-1"],
     "argument --tool-count: expected a whole number of tools, 0 or more, not '-1'"),
    (["classify", "x", "--tool-count", "2.5"], "argument --tool-count: expected a whole number of tools"),
    (["classify", "x", "--tool-count", "three"], "argument --tool-count: expected a whole number of tools"),
    (["classify", "x", "--tool-count", ""], "argument --tool-count: expected a whole number of tools, 0 or more, not ''"),
    (["classify", "x", "--tool-count", "9" * 5000], "argument --tool-count: expected a whole number of tools"),
    (["classify", "x", "--tool-count"], "argument --tool-count: expected one argument"),
    (["classify"], "give a description, - to read it from standard input, or --file PATH"),
    (["classify", "x", "--file", "y"], "give the description either as an argument or with --file, not both"),
])
def test_usage_errors(args, message):
    result = run(*args)
    assert result.returncode == 2 and result.stdout == ""
    assert result.stderr.startswith("usage: ")
    (error,) = [line for line in result.stderr.splitlines() if ": error: " in line]
    assert message in error


@pytest.mark.parametrize("source", ["argument", "stdin", "file"])
def test_text_that_is_not_utf8(source, tmp_path):
    data = b"check the stock market\n\xff before noon"
    path = tmp_path / "task.txt"
    path.write_bytes(data)
    args = {"argument": [data], "stdin": ["-"], "file": ["--file", str(path)]}[source]
    result = classify(*args, "--explain", input=data)
    assert result.returncode == 2 and result.stdout == ""
    assert result.stderr.splitlines()[-1].endswith("(byte 0xff); --encoding-errors replace reads it with U+FFFD in "
                                                   "its place")
    result = classify(*args, "--explain", "--json", "--encoding-errors", "replace", input=data)
    assert result.returncode == 0 and "warning: " in result.stderr and "in 1 place" in result.stderr
    reason = json.loads(result.stdout)["reason"]
    assert (reason["match"], reason["length"]) == ("stock", len(data.decode("utf-8", "replace")))


BROKEN_LISTS = [("mr._COMPLEX_PATTERNS.insert(0, '(')",
                 "a pattern of the classifier's lists is not a valid regular expression: missing ), unterminated "
                 "subpattern at position 0"),
                ("mr._SIMPLE_PATTERNS.insert(0, 5)",
                 "the classifier cannot use its pattern lists: first argument must be string or compiled pattern")]


@pytest.mark.parametrize("edit, message", BROKEN_LISTS)
@pytest.mark.parametrize("command", [["classify"], ["classify", "--explain", "--json"], ["route", "--keys", "anthropic"]])
def test_broken_pattern_lists_are_one_line(patterns, edit, message, command):
    exec(edit, {"mr": patterns})  # the fixture puts the lists back
    result = run_main([*command, "please do the thing for me right now"], prog="halvec")
    assert (result.returncode, result.stderr.splitlines()) == (2, [f"halvec {command[0]}: error: {message}"])


def test_help_lists_classify():
    text = " ".join(run("--help").stdout.split())
    assert "classify sort a task description into a complexity tier" in text
    text = " ".join(run("classify", "--help").stdout.split())
    assert "--tool-count N the number of tools the task will use (default: 0)" in text
    assert "--explain say which rule decided" in text


def test_a_failed_write_is_exit_status_74():
    status, err = run_with_stdout("full", "classify", STOCK, "--explain")
    assert (status, err) == (74, "python -m halvec: error: cannot write to standard output: No space left on device\n")


# --- the text helpers, for any text ------------------------------------------------------------

WORDS = ["stock", "write", "report", "check", "the", "\n", "\t", "\x1b[31m", "\\", '"', "\u202e", "\u0130", "x" * 40,
         "\ud800", "\U0001f600", " "]


@given(st.lists(st.sampled_from(WORDS), max_size=30).map(" ".join))
def test_the_rule_is_one_printable_line_that_quotes_the_text(text):
    explanation = explain_complexity(text)
    line = explaining.describe_rule(explanation, text)
    assert line.isprintable()
    if explanation.match is None or len(explanation.match) > explaining.LONGEST_MATCH:
        return
    quoted = re.fullmatch(r'.* matched "(.*)" at (\d+)\D(\d+) in "(.*)"', line)
    assert quoted is not None, line
    shown_match = ast.literal_eval('"' + quoted.group(1).replace('"', '\\"') + '"')
    assert shown_match == explanation.match
    assert (int(quoted.group(2)), int(quoted.group(3))) == explanation.span
    context = quoted.group(4).removeprefix("\u2026").removeprefix("...").removesuffix("\u2026").removesuffix("...")
    assert ast.literal_eval('"' + context.replace('"', '\\"') + '"') in text.lower().strip()
