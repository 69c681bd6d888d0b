"""halvec bench --models on small outcome files with planted structure: the report and its JSON
keys, the per-prompt lines, the figure, the fitted routers' checks, costs from the files, a
prices file or the catalogue, and bad input (one line, exit 2, nothing the user gave written
over); the two-model form beside it, exclusive of this one."""

import json
import os
import pty
import subprocess
import sys

import pytest

from halvec.cli import main
from halvec.fitted import load_router
from halvec.fitted.provenance import prompt_digest

MODELS = ("large", "coder", "small")
TOP_KEYS = {"models", "routers", "field", "resamples", "seed", "level", "targets", "files", "sets"}
FILE_KEYS = {"source", "format", "prompts", "cost_source", "prices", "estimated_tokens"}
SET_KEYS = {"name", "prompts", "pooled", "models", "cost_source", "best_model", "rows"}
ROW_KEYS = {"name", "kind", "model", "aiq", "cost_to_reach", "result", "cost", "calls", "tradeoff", "quality_only",
            "hull", "fitted_on_share", "coverage", "fitted_coverage"}
PRICES_TOML = """as_of = 2024-01-01
[models.large]
input = 0.03
output = 0.06
[models.coder]
input = 0.003
output = 0.006
[models.small]
input = 0.0002
output = 0.0002
"""


def _prompt(i):
    """Planted: "regex" prompts only the coder and the large model get right, "integral" ones
    only the large one; on the rest all three do as well."""
    return (f"write a regex for the dates of case {i}" if i % 4 == 1 else
            f"solve the integral of x to the power {i}" if i % 4 == 2 else f"name a colour, number {i}")


def _results(i):
    kind = i % 4
    return {"large": 1.0, "coder": 0.0 if kind == 2 else 1.0, "small": 1.0 if kind in (0, 3) else 0.0}


def _outcomes(path, n=80, *, costs=False, models=MODELS, start=0):
    lines = []
    for i in range(start, start + n):
        record = {"id": i, "prompt": _prompt(i), "scores": {m: _results(i)[m] for m in models}}
        if costs:
            record["costs"] = {"large": 0.02, "coder": 0.004 + 0.001 * (i % 2), "small": 0.001}
        lines.append(json.dumps(record))
    path.write_text("\n".join(lines) + "\n")
    return str(path)


def _router(path, *, fitted_on=None, models=MODELS, name="planted", tradeoff=20.0):
    """A version-2 router that knows the plant: "regex" and "integral" lower the cheaper models'
    predicted results."""
    weights = {"regex": {"large": 0.0, "coder": 0.1, "small": -0.8}, "integral": {"large": 0.1, "coder": -0.8,
                                                                                  "small": -0.8}}
    prices = {"large": 0.02, "coder": 0.0045, "small": 0.001}
    zero = {"weights": [0.0] * len(models), "mean": 0.0, "scale": 1.0}
    document = {"format": "halvec fitted router", "version": 2, "name": name, "longest_ngram": 1,
                "models": list(models), "intercepts": [0.9] * len(models), "counts": {"words": zero, "characters": zero},
                "prices": {"per_prompt": [prices[m] for m in models], "source": "outcome costs"},
                "tradeoff": {"lambda": tradeoff, "chosen_by": "tradeoff"},
                "ngrams": [[ngram, 1.0, [w[m] for m in models]] for ngram, w in weights.items()],
                "fitted_on": fitted_on or {}}
    path.write_text(json.dumps(document))
    return str(path)


def bench(capsys, *args):
    status = main(["bench", *args, "--resamples", "40"])
    out, err = capsys.readouterr()
    return status, out, err


def bench_json(capsys, *args):
    status, out, err = bench(capsys, *args, "--json")
    assert status == 0, err
    return json.loads(out)


def _rows(data_set):
    return {row["name"]: row for row in data_set["rows"]}


def test_the_report_and_its_keys(tmp_path, capsys):
    data = _outcomes(tmp_path / "a.jsonl", costs=True)
    router = _router(tmp_path / "r.json")
    report = bench_json(capsys, data, "--models", "all", "--router", router)
    assert set(report) == TOP_KEYS and report["routers"] == ["planted"] and report["models"] == list(MODELS)
    assert report["field"] == "prompt" and report["targets"] == [0.95, 1.0] and report["resamples"] == 40
    assert [set(f) for f in report["files"]] == [FILE_KEYS]
    assert report["files"][0] == {"source": data, "format": "jsonl", "prompts": 80, "cost_source": "outcome costs",
                                  "prices": None, "estimated_tokens": False}
    (only,) = report["sets"]
    assert set(only) == SET_KEYS and only["best_model"] == "large"
    assert [row["name"] for row in only["rows"]] == ["planted", "models alone", "oracle", "large alone", "coder alone",
                                                     "small alone"]
    assert all(set(row) == ROW_KEYS for row in only["rows"])
    rows = _rows(only)
    planted, alone, oracle = rows["planted"], rows["models alone"], rows["oracle"]
    # the router knows the plant: it sends each prompt to the cheapest model that gets it right
    assert planted["result"]["value"] == 1.0 and planted["tradeoff"] == 20.0
    assert {m: e["value"] for m, e in planted["calls"].items()} == {"large": 0.25, "coder": 0.25, "small": 0.5}
    # each prompt at its own cost: the "regex" prompts are the odd ones, where the coder costs 0.005
    assert planted["cost"]["value"] == pytest.approx(0.25 * 0.02 + 0.25 * 0.005 + 0.5 * 0.001)
    assert planted["aiq"]["value"] == oracle["aiq"]["value"] > alone["aiq"]["value"]
    assert planted["aiq"]["low"] <= planted["aiq"]["value"] <= planted["aiq"]["high"]
    assert planted["fitted_on_share"] is None and planted["coverage"] > 0 and planted["fitted_coverage"] is None
    assert alone["fitted_on_share"] is None and rows["large alone"]["model"] == "large"
    assert rows["small alone"]["cost"]["value"] == pytest.approx(0.001)
    # the text: a table of routers and one of models, the costs' source, the figures' meaning
    status, out, err = bench(capsys, data, "--models", "all", "--router", router)
    assert status == 0 and err == ""
    assert "a.jsonl: 80 prompts, 3 models; the best single model large (1.000 at 0.0200 a prompt)" in out
    assert "calls: planted" in out and "large (best)" in out and "costs: each prompt's own, from the files" in out
    assert "gap at λ=0" in out and "[" in out.split("models alone")[1]


def test_without_a_router_the_baselines_alone(tmp_path, capsys):
    report = bench_json(capsys, _outcomes(tmp_path / "a.jsonl", costs=True), "--models", "large,small")
    assert report["routers"] == [] and report["models"] == ["large", "small"]
    assert [row["name"] for row in report["sets"][0]["rows"]] == ["models alone", "oracle", "large alone",
                                                                  "small alone"]
    # the oracle sends the half that small gets right to small
    oracle = _rows(report["sets"][0])["oracle"]
    assert oracle["calls"]["small"]["value"] == 0.5 and oracle["result"]["value"] == 1.0


def test_out_has_each_prompts_predictions_and_choices(tmp_path, capsys):
    data = _outcomes(tmp_path / "a.jsonl", 12, costs=True)
    router = _router(tmp_path / "r.json")
    out = tmp_path / "lines.jsonl"
    assert bench(capsys, data, "--models", "all", "--router", router, "--out", str(out))[0] == 0
    lines = [json.loads(line) for line in out.read_text().splitlines()]
    fitted = load_router(router)
    assert len(lines) == 12 and [line["line"] for line in lines] == list(range(1, 13))
    for i, line in enumerate(lines):
        assert set(line) == {"source", "line", "id", "category", "results", "costs", "routers"}
        assert line["id"] == i and line["results"] == _results(i) and line["costs"]["coder"] == 0.004 + 0.001 * (i % 2)
        mine = line["routers"]["planted"]
        assert mine["qualities"] == fitted.qualities(_prompt(i)) and mine["prices"] == fitted.prices(_prompt(i))
        assert mine["model"] == fitted.choose(_prompt(i)) and 0 <= mine["coverage"] <= 1


@pytest.mark.parametrize("suffix, signature", [(".svg", b"<?xml"), (".png", b"\x89PNG")])
def test_plot(tmp_path, capsys, suffix, signature):
    pytest.importorskip("matplotlib")
    data = _outcomes(tmp_path / "a.jsonl", costs=True)
    router = _router(tmp_path / "r.json")
    figure = tmp_path / f"figure{suffix}"
    status, _, err = bench(capsys, data, _outcomes(tmp_path / "b.jsonl", start=80, costs=True), "--models", "all",
                           "--router", router, "--plot", str(figure))
    assert status == 0, err
    drawn = figure.read_bytes()
    assert drawn.startswith(signature)
    if suffix == ".svg":  # the models as labelled points, the routers in the legend; the same data, the same file
        assert all(m.encode() in drawn for m in MODELS) and b"planted (AIQ" in drawn and b"models alone" in drawn
        bench(capsys, data, _outcomes(tmp_path / "b.jsonl", start=80, costs=True), "--models", "all",
              "--router", router, "--plot", str(figure))
        assert figure.read_bytes() == drawn


def test_costs_from_a_prices_file_or_the_catalogue(tmp_path, capsys):
    data = _outcomes(tmp_path / "a.jsonl")
    prices = tmp_path / "prices.toml"
    prices.write_text(PRICES_TOML)
    report = bench_json(capsys, data, "--models", "all", "--prices", str(prices))
    assert report["files"][0]["cost_source"] == "prices file" and report["files"][0]["estimated_tokens"] is True
    assert report["files"][0]["prices"] == f"{prices} (as of 2024-01-01)"
    tokens = -(-len(_prompt(0).encode()) // 4)
    first = _rows(report["sets"][0])["small alone"]  # 500 output tokens, as eval estimates them
    assert first["cost"]["value"] == pytest.approx(sum((-(-len(_prompt(i).encode()) // 4) + 500) * 0.0002 / 1000
                                                       for i in range(80)) / 80)
    assert tokens > 0
    status, out, _ = bench(capsys, data, "--models", "all", "--prices", str(prices))
    assert f"costs: the prices of --prices {prices} (as of 2024-01-01) per 1,000 tokens" in out
    # models named by catalogue keys are priced from the catalogue without a file
    keyed = tmp_path / "keyed.jsonl"
    keyed.write_text("".join(json.dumps({"prompt": _prompt(i), "scores": {"claude-opus": 1, "claude-haiku": i % 2}})
                             + "\n" for i in range(10)))
    assert bench_json(capsys, str(keyed), "--models", "all")["files"][0]["cost_source"] == "catalogue"
    # costs in the files come first: a prices file given as well is said to go unused
    status, _, err = bench(capsys, _outcomes(tmp_path / "c.jsonl", costs=True), "--models", "all", "--prices",
                           str(prices))
    assert status == 0 and err == "halvec bench: warning: --prices is not used: the files give each prompt's cost with " \
                                  "each model\n"


def test_the_checks_of_a_fitted_router(tmp_path, capsys):
    a = _outcomes(tmp_path / "a.jsonl", 40, costs=True)
    b = _outcomes(tmp_path / "b.jsonl", 40, costs=True, start=40)
    coverage = {"prompts": 600, "without_tokens": 0, "mean": 0.95, "q1": 0.9, "median": 0.95, "q3": 1.0}
    fitted_on = {"prompt_digest": prompt_digest(_prompt(i) for i in range(40)), "coverage": coverage}
    router = _router(tmp_path / "r.json", fitted_on=fitted_on)
    status, out, err = bench(capsys, a, b, "--models", "all", "--router", router)
    assert status == 0
    assert "planted (fitted on these prompts)" in out.split("b.jsonl")[0]
    assert "planted (fitted on 50.0% of these prompts)" in out.split("pooled (2 files)")[1]
    assert err.count("warning: the router 'planted' was fitted on 100.0% of the prompts of") == 1
    assert "judge it by halvec fit's cross-validated figures" in err
    # its n-grams cover a fifth of these prompts' places, against 0.95 of its own data's
    assert err.count("is being used on prompts unlike those it was fitted on") == 2
    assert "fitted router 'planted': n-gram coverage" in out and ": unlike its fitting data" in out
    sets = bench_json(capsys, a, b, "--models", "all", "--router", router)["sets"]
    assert [s["rows"][0]["fitted_on_share"] for s in sets] == [1.0, 0.0, 0.5]
    assert all(s["rows"][0]["fitted_coverage"] == 0.95 for s in sets)
    # a file pooled with itself is warned of
    status, _, err = bench(capsys, a, a, "--models", "all")
    assert status == 0 and "warning: 40 prompts of the pooled files repeat a prompt of an earlier file" in err


def test_csv_with_a_field_of_its_own(tmp_path, capsys):
    path = tmp_path / "a.csv"
    path.write_text("question,large,coder,small\n" + "".join(
        f'"{_prompt(i)}",{_results(i)["large"]},{_results(i)["coder"]},{_results(i)["small"]}\n' for i in range(20)))
    report = bench_json(capsys, str(path), "--models", "small,large", "--field", "question", "--prices",
                        _prices(tmp_path))
    assert report["field"] == "question" and report["files"][0]["format"] == "csv" and report["models"] == ["small",
                                                                                                            "large"]
    assert _rows(report["sets"][0])["small alone"]["result"]["value"] == 0.5


def test_two_models_with_models(tmp_path, capsys):
    """The form is for many models, and two as well: with costs of their own per prompt, the
    cheaper model the better one on average."""
    path = tmp_path / "two.jsonl"
    path.write_text("".join(json.dumps({"prompt": f"task {i}", "scores": {"dear": float(i % 3 == 0), "cheap": 1.0 -
                                        float(i % 3 == 0) * 0.5}, "costs": {"dear": 0.01, "cheap": 0.001}}) + "\n"
                            for i in range(30)))
    rows = _rows(bench_json(capsys, str(path), "--models", "all")["sets"][0])
    assert rows["cheap alone"]["result"]["value"] > rows["dear alone"]["result"]["value"]
    # the dear model only where it does better; where both do as well, the cheaper one
    assert rows["oracle"]["result"]["value"] == 1.0 and rows["oracle"]["cost"]["value"] == pytest.approx(0.004)


def _one_model(tmp_path):
    path = tmp_path / "one.jsonl"
    path.write_text(json.dumps({"prompt": "a", "scores": {"large": 1}}) + "\n")
    return str(path)


def _missing(tmp_path):
    path = tmp_path / "gap.jsonl"
    path.write_text(json.dumps({"prompt": "a", "scores": {"large": 1, "small": 0}, "costs": {"large": 1, "small": 0}})
                    + "\n" + json.dumps({"prompt": "b", "scores": {"large": 1}, "costs": {"large": 1, "small": 0}})
                    + "\n")
    return str(path)


def _version_1(tmp_path):
    path = tmp_path / "v1.json"
    zero = {"weight": 0.0, "mean": 0.0, "scale": 1.0}
    path.write_text(json.dumps({"format": "halvec fitted router", "version": 1, "name": "old", "longest_ngram": 1,
                                "intercept": 0.0, "cuts": {"moderate": 0.25, "complex": 0.5},
                                "counts": {"words": zero, "characters": zero}, "ngrams": [["prove", 1.0, 1.0]],
                                "fitted_on": {"strong": "large", "weak": "small"}}))
    return str(path)


def _prices_without_coder(tmp_path):
    path = tmp_path / "p.toml"
    path.write_text(PRICES_TOML.replace("[models.coder]", "[models.codr]"))
    return str(path)


@pytest.mark.parametrize("make, options, message", [
    (_one_model, ["--models", "all"], "one.jsonl', line 1: --models needs at least two models to choose between, "
                                      "not 'large'"),
    (None, ["--models", "large,coder,large"], "argument --models: the model 'large' is named twice"),
    (None, ["--models", "large"], "argument --models: at least two models to choose among, not 'large' (or all)"),
    (None, ["--models", "large,,small"], "argument --models: an empty model name in 'large,,small'"),
    (None, ["--models", "large,tiny"], "unknown model 'tiny' in --models: the first prompt has results for"),
    (_missing, ["--models", "all"], "gap.jsonl', line 2: no result for 'small' in \"scores\""),
    (None, ["--models", "all"], "no price for 'large', 'coder', 'small': the file gives no per-prompt \"costs\", and "
                                "the catalogue has no model key of those names: give the models' prices with "
                                "--prices FILE"),
    (_prices_without_coder, ["--models", "all"], "no price for 'coder': the file gives no per-prompt \"costs\", and "
                                                 "the prices file has no model of that name; did you mean 'codr'?"),
    (_version_1, ["--models", "all"], "a router of version 1, which scores the gain 'large' over 'small', cannot be "
                                      "measured among many models"),
    (None, ["--models", "all", "--router", "words"], "--router words: words ranks descriptions to choose between two "
                                                     "models, and has no place among many"),
    (None, ["--models", "all", "--strong", "large"], "--models measures many models, --strong a pair"),
    (None, ["--models", "all", "--cost", "large=1"], "--models measures many models, --cost a pair"),
    (None, ["--strong", "large", "--weak", "small", "--prices", "p.toml"], "--prices prices the models of --models"),
    (None, ["--weak", "small"], "the following arguments are required: --strong (or --models"),
])
def test_bad_input_is_one_line(tmp_path, capsys, monkeypatch, make, options, message):
    monkeypatch.chdir(tmp_path)
    data = _outcomes(tmp_path / "a.jsonl")
    args = [data, *options]
    if make is _one_model or make is _missing:
        args = [make(tmp_path), *options]
    elif make is _version_1:
        args += ["--router", make(tmp_path), "--prices", _prices(tmp_path)]
    elif make is _prices_without_coder:
        args += ["--prices", make(tmp_path)]
    status, out, err = bench(capsys, *args)
    assert (status, out) == (2, "") and message in err.splitlines()[-1] and "Traceback" not in err


def _prices(tmp_path):
    path = tmp_path / "prices.toml"
    path.write_text(PRICES_TOML)
    return str(path)


def test_files_and_routers_that_do_not_go_together(tmp_path, capsys):
    data = _outcomes(tmp_path / "a.jsonl", costs=True)
    # a router among models the files lack, before any prediction is made
    status, _, err = bench(capsys, data, "--models", "large,small", "--router", _router(tmp_path / "r.json"))
    assert status == 2 and "the router 'planted' chooses among 'coder', which the models measured lack" in err
    # files pooled need the same models, and costs of one kind
    other = _outcomes(tmp_path / "b.jsonl", costs=True, models=("large", "small"))
    status, _, err = bench(capsys, data, other, "--models", "all")
    assert status == 2 and "files pooled need the same models" in err
    status, _, err = bench(capsys, data, _outcomes(tmp_path / "c.jsonl"), "--models", "all", "--prices",
                           _prices(tmp_path))
    assert status == 2 and "files pooled need costs of one kind" in err.splitlines()[-1]


def test_results_too_large_to_measure_are_one_line(tmp_path, capsys):
    path = tmp_path / "huge.jsonl"
    path.write_text("".join(json.dumps({"prompt": f"p {i}", "scores": {"a": 1e200 * (i % 2), "b": 0.0},
                                        "costs": {"a": 1.0, "b": 0.5}}) + "\n" for i in range(4)))
    status, out, err = bench(capsys, str(path), "--models", "all")
    assert (status, out) == (2, "") and err == (f"halvec bench: error: {str(path)!r}: a result larger than 1e+100 in "
                                                f"size, too large to measure\n")


def test_outputs_never_overwrite_an_input(tmp_path, capsys):
    data = _outcomes(tmp_path / "a.jsonl", costs=True)
    router = _router(tmp_path / "r.json")
    prices = _prices(tmp_path)
    before = {path: open(path, "rb").read() for path in (data, router, prices)}
    for option, target in [("--out", data), ("--out", router), ("--out", prices), ("--plot", router + ".svg")]:
        if option == "--plot":
            os.symlink(router, target)
        status, out, err = bench(capsys, data, "--models", "all", "--router", router, "--prices", prices,
                                 option, target)
        assert (status, out) == (2, "") and f"{option} {target!r} is the same file as" in err, err
    assert {path: open(path, "rb").read() for path in before} == before
    # a run that fails leaves an earlier --out as it was
    out_path = tmp_path / "lines.jsonl"
    out_path.write_text("kept\n")
    status, _, _ = bench(capsys, data, "--models", "large,small", "--router", router, "--out", str(out_path))
    assert status == 2 and out_path.read_text() == "kept\n"


def test_progress_is_shown_on_a_terminal(tmp_path):
    data = _outcomes(tmp_path / "a.jsonl", 400, costs=True)
    controller, terminal = pty.openpty()
    try:
        result = subprocess.run([sys.executable, "-m", "halvec", "bench", data, "--models", "all", "--router",
                                 _router(tmp_path / "r.json"), "--resamples", "20000", "--json"],
                                stdout=subprocess.PIPE, stderr=terminal, timeout=300)
        os.close(terminal)
        terminal = -1
        shown = b""
        while True:
            try:
                chunk = os.read(controller, 65536)
            except OSError:  # the terminal's other end closed
                break
            if not chunk:
                break
            shown += chunk
    finally:
        os.close(controller)
        if terminal >= 0:
            os.close(terminal)
    assert result.returncode == 0 and json.loads(result.stdout)["resamples"] == 20000
    assert b" resamples " in shown and b" left" in shown and shown.endswith(b"\r")
