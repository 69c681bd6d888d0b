"""halvec fit --models: a router of many models fitted on synthetic outcome files, its report (a
table fold by fold and over all the prompts, the operating point; or one JSON document), the file
it writes; and every mistake one line with exit status 2, nothing the user gave written over."""

import json
import os
import random

import pytest

for _name in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_name, "1")

from halvec.cli import main  # noqa: E402
from halvec.fitted import load_router  # noqa: E402

MODELS = ("small", "coder", "large")
COSTS = {"small": 0.001, "coder": 0.004, "large": 0.02}


def outcomes(path, n=300, *, models=MODELS, costs=True, seed=4, drop=None):
    """"regex" prompts only the coder and the large model get right, "prove" ones only the large one."""
    rng = random.Random(seed)
    small, coder, large = models
    with open(path, "w", encoding="utf-8") as file:
        for i in range(n):
            kind = ("regex", "prove", None, None)[i % 4]
            words = rng.choices(["town", "river", "list", "name", "the", "a", "open"], k=rng.randint(2, 8))
            result = float(rng.random() < 0.7)
            scores = {small: 0.0 if kind else result, coder: 1.0 if kind == "regex" else 0.0 if kind else result,
                      large: 1.0 if kind else result}
            record = {"prompt": " ".join(([kind] if kind else []) + words + [str(i)]), "scores": scores}
            if costs:
                record["costs"] = {m: COSTS[key] for m, key in zip(models, MODELS)}
            if i == drop:
                del record["scores"][coder]
            file.write(json.dumps(record) + "\n")
    return str(path)


@pytest.fixture(scope="module")
def data(tmp_path_factory):
    return outcomes(tmp_path_factory.mktemp("outcomes") / "outcomes.jsonl")


def test_fit_models_reports_each_fold_and_writes_a_router_of_many_models(tmp_path, capsys, data):
    pytest.importorskip("sklearn")
    router = tmp_path / "three.json"
    assert main(["fit", data, "--models", "all", "-o", str(router), "--folds", "3", "--min-prompts", "200"]) == 0
    captured = capsys.readouterr()
    assert captured.err.startswith("halvec fit: warning: fitting on 300 prompts, fewer than the 500 the figures need")
    assert captured.err.endswith("; read them as rough\n") and len(captured.err.splitlines()) == 1
    lines = captured.out.splitlines()
    assert lines[0] == ("cross-validated (3 folds, seed 0; 1,000 resamples), 3 models, priced from the files' "
                        "per-prompt costs:")
    table = [line.split() for line in lines[3:7]]
    assert [row[:2] for row in table] == [["fold", "1"], ["fold", "2"], ["fold", "3"], ["all", "300"]]
    aiq, alone, oracle = map(float, table[-1][2:5])
    assert alone < aiq < oracle
    assert any(line.startswith("all the prompts, with 95% intervals: AIQ ") for line in lines)
    assert any(line.startswith("operating point (trade-off ") and "calls: " in line for line in lines)
    assert lines[-1] == f"wrote {router}: 3 models, {len(load_router(str(router)).spec.ngrams):,} n-grams; " \
                        f"catalogue keys for 0 of them"
    loaded = load_router(str(router))
    assert loaded.models == MODELS and loaded.name == "three" and loaded.spec.prices.source == "outcome costs"
    assert loaded.spec.tradeoff.chosen_by == "target_share" and loaded.spec.tradeoff.target == 0.95
    assert loaded.choose("regex the town") == "coder" and loaded.spec.fitted_on["least_prompts"] == 200


def test_fit_models_json_and_a_trade_off_given(tmp_path, capsys, data):
    pytest.importorskip("sklearn")
    router = tmp_path / "r.json"
    assert main(["fit", data, "--models", "large,small", "-o", str(router), "--folds", "2", "--min-prompts", "1",
                 "--tradeoff", "5", "--json"]) == 0
    document = json.loads(capsys.readouterr().out)
    assert list(document) == ["router", "report"] and document["router"] == str(router)
    report = document["report"]
    assert report["models"] == ["large", "small"] and len(report["by_fold"]) == 2 and report["by_file"] == []
    assert report["placed"] == {**report["placed"], "tradeoff": 5.0, "chosen_by": "tradeoff", "target": None,
                                "reached": True}
    assert load_router(str(router)).tradeoff == 5.0
    # a budget, and two files fitted on together: a row each
    other = outcomes(tmp_path / "other.jsonl", 120, seed=9)
    assert main(["fit", data, other, "--models", "all", "-o", str(router), "--folds", "2", "--min-prompts", "1",
                 "--budget", "0.005", "--json"]) == 0
    report = json.loads(capsys.readouterr().out)["report"]
    assert [s["name"] for s in report["by_file"]] == [data, other] and report["overall"]["pooled"] is True
    assert report["placed"]["chosen_by"] == "budget" and report["placed"]["cost"] <= 0.005


def test_fit_models_prices_models_by_catalogue_key(tmp_path, capsys):
    pytest.importorskip("sklearn")
    keys = ("claude-haiku", "claude-sonnet", "claude-opus")
    data = outcomes(tmp_path / "keys.jsonl", 200, models=keys, costs=False)
    prices = tmp_path / "prices.json"
    prices.write_text(json.dumps({"as_of": "2025-01-01", "models": {
        key: {"input": 0.001 * (k + 1), "output": 0.002 * (k + 1)} for k, key in
        enumerate(("claude-opus", "claude-sonnet", "claude-haiku", "gpt-5.2"))}}))
    router = tmp_path / "r.json"
    assert main(["fit", data, "--models", "all", "-o", str(router), "--folds", "2", "--min-prompts", "1",
                 "--prices", str(prices)]) == 0
    out = capsys.readouterr().out
    assert "priced from prices per 1,000 tokens (prices.json (as of 2025-01-01)):" in out
    spec = load_router(str(router)).spec
    assert spec.prices.source == "prices file" and spec.catalogue == {k: k for k in keys}
    assert spec.prices.per_input_token == pytest.approx([0.003 / 1000, 0.002 / 1000, 0.001 / 1000])
    assert main(["fit", data, "--models", "all", "-o", str(router), "--folds", "2", "--min-prompts", "1"]) == 0
    assert load_router(str(router)).spec.prices.source == "catalogue"


# (the arguments, what the one line says; the cases marked True are found once fitting starts, after the extra)
@pytest.mark.parametrize("args, message, fitting", [
    (["{data}", "--models", "all", "--strong", "large", "--weak", "small"], "two forms of router", False),
    (["{data}"], "give --models (a router of many models) or --strong and --weak", False),
    (["{data}", "--strong", "large"], "--weak is missing", False),
    (["{data}", "--models", "large"], "--models: at least two models to choose among, not 'large'", False),
    (["{data}", "--models", ",".join(f"m{i}" for i in range(17))], "--models: at most 16 models to choose among, "
                                                                   "not 17", False),
    (["{data}", "--models", "large,small,large"], "the model 'large' is named twice", False),
    (["{data}", "--models", "large,,small"], "an empty model name in 'large,,small'", False),
    (["{data}", "--models", "all", "--shares", "0.2,0.3,0.5"], "--shares places the cut points", False),
    (["{data}", "--strong", "large", "--weak", "small", "--target-share", "0.9"], "--target-share applies to",
     False),
    (["{data}", "--strong", "large", "--weak", "small", "--json"], "--json applies to", False),
    (["{data}", "--models", "all", "--budget", "1", "--tradeoff", "2"], "not allowed with", False),
    (["{data}", "--models", "all", "--target-share", "0"], "expected a share above 0", False),
    (["{data}", "--models", "all", "--tradeoff", "nan"], "expected a trade-off, 0 or more", False),
    (["{data}", "--models", "all", "--min-prompts", "0"], "expected a whole number of prompts", False),
    (["{data}", "--models", "all", "--prices", "{prices}"], "-o", False),
    (["{data}", "--models", "large,tiny"], "unknown model 'tiny' in --models", True),
    (["{missing}", "--models", "all"], "line 4: no result for 'coder'", True),
    (["{uncosted}", "--models", "all"], "no price for 'small', 'coder', 'large'", True),
    (["{uncosted}", "--models", "all", "--prices", "{partial}", "--min-prompts", "1"], "no price for 'large'", True),
    (["{single}", "--models", "all"], "--models needs at least two models to choose between, not 'small'", True),
    (["{data}", "--models", "all", "--prices", "{prices}", "--min-prompts", "1"], "needs a \"models\" table", True),
    (["{data}", "--models", "all"], "300 prompts are too few to fit a router on: it needs at least 500 "
                                    "(with fewer, the model has too little to learn from and its measured "
                                    "quality is mostly noise); --min-prompts N fits on fewer", True),
    (["{small}", "--models", "all", "--min-prompts", "1", "--folds", "50"], "too few for --folds 50", True),
    (["{data}", "{other}", "--models", "all"], "line 1: unknown model 'small' in --models: the first prompt has "
                                               "results for 'a', 'b', 'c'", True),
])
def test_fit_models_refuses_mistakes_in_one_line(tmp_path, capsys, data, args, message, fitting):
    if fitting:
        pytest.importorskip("sklearn")
    prices = tmp_path / "prices.toml"
    prices.write_text("as_of = 2025-01-01\n")
    partial = tmp_path / "partial.toml"  # no price for the large model
    partial.write_text("as_of = 2025-01-01\n" + "".join(f"[models.{m}]\ninput = 0.001\noutput = 0.002\n"
                                                      for m in ("small", "coder")))
    single = tmp_path / "single.jsonl"
    single.write_text("".join(json.dumps({"prompt": f"a prompt {i}", "scores": {"small": 1.0}}) + "\n"
                              for i in range(20)))
    names = {"data": data, "out": str(tmp_path / "r.json"), "prices": str(prices),
             "missing": outcomes(tmp_path / "missing.jsonl", 20, drop=3),
             "uncosted": outcomes(tmp_path / "uncosted.jsonl", 600, costs=False),
             "small": outcomes(tmp_path / "small.jsonl", 20, seed=1),
             "other": outcomes(tmp_path / "other.jsonl", 20, models=("a", "b", "c")),
             "partial": str(partial), "single": str(single)}
    given = [a.format(**names) for a in args]
    target = str(prices) if message == "-o" else names["out"]
    before = {path: open(path, "rb").read() for path in (data, str(prices))}
    assert main(["fit", *given, "-o", target]) == 2
    err = capsys.readouterr().err
    errors = [line for line in err.splitlines() if ": error: " in line]
    assert len(errors) == 1 and "Traceback" not in err
    assert message in errors[0] if message != "-o" else "is the same file as --prices" in errors[0]
    assert {path: open(path, "rb").read() for path in before} == before and not (tmp_path / "r.json").exists()


def test_fit_help_names_both_forms(capsys):
    assert main(["fit", "--help"]) == 0
    out = " ".join(capsys.readouterr().out.split())
    for option in ("--models all|A,B,...", "--target-share X", "--budget COST", "--tradeoff L", "--prices FILE",
                   "--min-prompts N", "--json", "--strong MODEL", "--shares S,M,C"):
        assert option in out
