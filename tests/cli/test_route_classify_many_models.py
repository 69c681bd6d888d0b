"""halvec route and classify with a router of many models (version 2): the chosen model and its
catalogue tier, models passed over and why, every model's result, price and objective and the
separating n-grams with --explain, their JSON keys, and a file whose catalogue mapping cannot be
used (one line, exit status 2)."""

import json

import pytest

from conftest import run_main
from test_model_router_v2 import document as three_models

CHOICE_KEYS = {"tier", "rule", "router", "chosen", "catalogue_key", "runner_up", "tradeoff", "lead", "intercepts_part",
               "counts_part", "price_part", "words", "characters", "ngrams_found", "coverage", "models", "separating"}


def document(**changes):
    return three_models(**{"ngrams": [["prove", 1.0, [0.9, 0.5, 0.0]], ["list", 1.0, [0.1, 0.1, 0.1]]], **changes})


@pytest.fixture
def router(tmp_path):
    def write(**changes):
        path = tmp_path / "three.json"
        path.write_text(json.dumps(document(**changes)), encoding="utf-8")
        return str(path)
    return write


def test_classify_gives_the_chosen_models_catalogue_tier_and_why(router):
    path = router()
    assert run_main(["classify", "Prove it", "--router", path]).stdout == "complex\n"
    assert run_main(["classify", "list them", "--router", path]).stdout == "simple\n"
    explained = run_main(["classify", "Prove it", "--router", path, "--explain"])
    assert explained.returncode == 0
    lines = explained.stdout.splitlines()
    assert lines[:5] == [
        "tier:         complex",
        "rule:         fitted router three: chose big (claude-opus) at trade-off 1, ahead of mid (gpt-5.2) by 0.3950",
        "model:        big (claude-opus): result 1.4000, price 0.01, objective 1.3900",
        "model:        mid (gpt-5.2): result 1.0000, price 0.005, objective 0.9950",
        "model:        small (claude-haiku): result 0.5000, price 0.001, objective 0.4990"]
    assert "n-gram:       +0.4000  'prove' (big +0.9000, mid +0.5000, 1x) matched 'prove' at 0-5" in lines
    document_ = json.loads(run_main(["classify", "Prove it", "--router", path, "--explain", "--json"]).stdout)
    reason = document_["reason"]
    assert document_["tier"] == "complex" and set(reason) == CHOICE_KEYS
    assert (reason["rule"], reason["chosen"], reason["catalogue_key"], reason["runner_up"]) == (
        "fitted models", "big", "claude-opus", "mid")
    assert [(m["model"], m["catalogue_key"], m["usable"]) for m in reason["models"]] == [
        ("big", "claude-opus", True), ("mid", "gpt-5.2", True), ("small", "claude-haiku", True)]
    assert reason["lead"] == pytest.approx(reason["intercepts_part"] + reason["counts_part"] + reason["price_part"]
                                           + sum(s["contribution"] for s in reason["separating"]))
    assert json.loads(run_main(["classify", "list", "--router", path, "--json"]).stdout) == {
        "tier": "simple", "reason": None}


def test_classify_chooses_among_the_models_the_file_maps(router):
    path = router(catalogue={"mid": "gpt-5.2", "small": "claude-haiku"})
    reason = json.loads(run_main(["classify", "Prove it", "--router", path, "--explain", "--json"]).stdout)["reason"]
    assert reason["chosen"] == "mid" and reason["tier"] == "complex"
    assert [(m["model"], m["catalogue_key"], m["usable"]) for m in reason["models"]][0] == ("big", None, False)


def test_route_passes_over_models_that_are_not_usable_for_the_next_best(router):
    path = router()
    chosen = run_main(["route", "Prove it", "--router", path, "--keys", "anthropic,openai"])
    assert chosen.returncode == 0
    assert chosen.stdout.splitlines()[:2] == ["model:        Claude Opus (claude-opus)", "decided by:   auto [complex]"]
    routed = run_main(["route", "Prove it", "--router", path, "--keys", "anthropic", "--enabled",
                       "claude-sonnet,claude-haiku,gpt-5.2", "--explain"])
    lines = routed.stdout.splitlines()
    assert lines[:2] == ["model:        Claude Haiku (claude-haiku)", "decided by:   auto [simple]"]
    assert [line for line in lines if line.startswith("passed over:")] == [
        "passed over:  claude-opus (auto [among the fitted router's models]): not enabled",
        "passed over:  gpt-5.2 (auto [among the fitted router's models]): no key for its provider"]
    assert "model:        big (claude-opus): result 1.4000, price 0.01, objective 1.3900, passed over" in lines
    assert "  INFO Worker model (auto [simple]): Claude Haiku for 'Prove it'" in lines
    result = json.loads(run_main(["route", "Prove it", "--router", path, "--keys", "anthropic", "--enabled",
                                  "claude-sonnet,claude-haiku,gpt-5.2", "--explain", "--json"]).stdout)
    assert (result["model"], result["decided_by"], result["complexity"]) == ("claude-haiku", "auto", "simple")
    assert result["passed_over"] == [{"key": "claude-opus", "stage": "auto", "reason": "not enabled"},
                                     {"key": "gpt-5.2", "stage": "auto", "reason": "no key for its provider"}]
    assert set(result["reason"]) == CHOICE_KEYS and result["reason"]["chosen"] == "small"
    assert result["reason"]["runner_up"] is None


def test_route_falls_back_as_the_router_does_when_none_is_usable(router):
    path = router(catalogue={"big": "claude-opus", "mid": "gpt-5.2"})
    result = json.loads(run_main(["route", "Prove it", "--router", path, "--keys", "anthropic", "--enabled",
                                  "claude-sonnet,gpt-5.2", "--explain", "--json"]).stdout)
    assert (result["model"], result["decided_by"], result["reason"]) == ("claude-sonnet", "fallback", None)
    assert result["passed_over"] == [{"key": "small", "stage": "auto", "reason": "not a catalogue key"},
                                     {"key": "claude-opus", "stage": "auto", "reason": "not enabled"},
                                     {"key": "gpt-5.2", "stage": "auto", "reason": "no key for its provider"}]
    assert "none of the fitted router's models is usable" in result["notes"][0]
    nothing = run_main(["route", "Prove it", "--router", path])
    assert nothing.returncode == 1 and "decided by:   last resort" in nothing.stdout


@pytest.mark.parametrize("catalogue, message", [
    ({"big": "claude-opus", "small": "mystery"}, "maps 'small' to 'mystery', which is not in the catalogue"),
    ({}, "maps none of its models (big, mid, small) to a catalogue key"),
])
def test_a_mapping_that_cannot_be_used_is_one_line(router, catalogue, message):
    path = router(catalogue=catalogue)
    for command in (["classify", "x", "--explain"], ["route", "x"]):
        done = run_main([*command, "--router", path])
        assert done.returncode == 2 and done.stdout == ""
        assert done.stderr.count("\n") == 1 and message in done.stderr and repr(path) in done.stderr
