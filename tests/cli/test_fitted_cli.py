"""Fitted routers in use: a FittedModelRouter chooses, logs and falls back exactly as the router
does with the same tiers; halvec fit, and --router for classify and route, on synthetic data
(a mistake is one line and exit status 2, nothing given is written over)."""

import json
import os
import random
import subprocess
import sys

import pytest

# numpy's BLAS starts worker threads when imported; one thread keeps this process one that
# halvec eval may fork (tests/evaluation/test_parallel.py runs in the same process)
for _name in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_name, "1")

from halvec.cli import main
from halvec.explain import explain_selection
from halvec.fitted import FittedModelRouter, FittedRouter, ScoreExplanation, load_router
from halvec.fitted.router_file import parse

from conftest import RecordingStore, router_log_lines

STRONG, WEAK = "big-model", "small-model"
ROUTER = {"format": "halvec fitted router", "version": 1, "name": "prove", "longest_ngram": 2, "intercept": 0.0,
          "cuts": {"moderate": 0.05, "complex": 0.5},
          "counts": {"words": {"weight": 0.1, "mean": 2.0, "scale": 1.0},
                     "characters": {"weight": 0.0, "mean": 0.0, "scale": 1.0}},
          "ngrams": [["prove", 1.0, 1.0], ["prove that", 0.5, 2.0], ["hello", -1.0, 1.0]]}
DESCRIPTIONS = ["Prove that it halts", "hello there, list the files in the attic",
                "Summarise the notes of the meeting with all the departments and the board"]


@pytest.fixture(scope="module")
def fitted():
    return FittedRouter(parse(json.dumps(ROUTER)))


def _choose(router, description, key, scheduler):
    with router_log_lines() as lines:
        try:
            chosen = (router.select_for_scheduler if scheduler else router.select_for_worker)(description, key)
        except TypeError as error:
            chosen = str(error)
    return chosen, lines


def test_a_fitted_model_router_does_what_the_router_does_with_the_fitted_tiers(mr, monkeypatch, fitted):
    assert {fitted.tier(d).value for d in DESCRIPTIONS} == {"simple", "moderate", "complex"}
    configs = [mr.ModelRoutingConfig(), mr.ModelRoutingConfig(cost_conscious=True, default_worker_model="gpt-5.2"),
               mr.ModelRoutingConfig(enabled_models=["claude-haiku"], default_scheduler_model="claude-opus"),
               mr.ModelRoutingConfig(enabled_models=[])]
    for config in configs:
        for providers in ((), ("anthropic",), ("openai",), ("anthropic", "openai")):
            for description in [*DESCRIPTIONS, 7]:
                for key in (None, "", "auto", "AUTO", "claude-opus", "gpt-5.2", 3):
                    for scheduler in (False, True):
                        plain_store, fitted_store = RecordingStore(providers), RecordingStore(providers)
                        with monkeypatch.context() as patch:
                            patch.setattr(mr, "classify_complexity", fitted.tier)
                            expected = _choose(mr.ModelRouter(config, plain_store), description, key, scheduler)
                        got = _choose(FittedModelRouter(fitted, config, fitted_store), description, key, scheduler)
                        assert got == expected and fitted_store.calls == plain_store.calls


def test_an_explained_selection_gives_the_fitted_reason(fitted, mr):
    router = FittedModelRouter(fitted, mr.ModelRoutingConfig(), RecordingStore(("anthropic",)))
    why = explain_selection(router, "Prove that it halts")
    assert isinstance(why.fitted, ScoreExplanation) and why.complexity is None
    assert why.key == "claude-opus" and why.decided_by == "auto" and why.tier == mr.Complexity.COMPLEX
    assert [(c.ngram, c.match, c.span) for c in why.fitted.contributions] == [
        ("prove", "prove", (0, 5)), ("prove that", "prove that", (0, 10))]
    router.record_usage("claude-opus", 10)
    assert router.get_usage_stats() == {"claude-opus": {"calls": 1, "tokens": 10}}
    with pytest.raises(TypeError, match="needs a FittedRouter"):
        FittedModelRouter("router.json")


def _outcomes(path, n, seed=4):
    rng = random.Random(seed)
    with open(path, "w") as file:
        for i in range(n):
            prove = i % 3 == 0
            words = " ".join(rng.choices(["town", "river", "list", "name", "the", "a"], k=rng.randint(2, 9)))
            result = float(rng.random() < 0.5)
            file.write(json.dumps({"prompt": f"prove {words}" if prove else words,
                                   "scores": {STRONG: 1.0 if prove else result, WEAK: 0.0 if prove else result}}) + "\n")
    return str(path)


def _fit(*args):
    return main(["fit", *args, "--strong", STRONG, "--weak", WEAK])


def test_fit_reports_writes_a_router_and_the_commands_use_it(tmp_path, capsys):
    pytest.importorskip("sklearn")
    data = _outcomes(tmp_path / "outcomes.jsonl", 600)
    router = str(tmp_path / "router.json")
    assert _fit(data, "-o", router, "--folds", "3", "--strong-share", "0.3") == 0
    out = capsys.readouterr().out
    row = next(line.split() for line in out.splitlines() if "outcomes.jsonl" in line)
    fitted, rules, words = map(float, row[-3:])
    assert fitted > max(rules, words) + 0.2 and "wrote" in out and "30% complex (--strong-share)" in out
    saved = json.loads(open(router).read())
    assert saved["fitted_on"]["folds"] == 3 and saved["fitted_on"]["files"][0]["prompts"] == 600
    assert main(["classify", "prove the river", "--router", router]) == 0
    assert capsys.readouterr().out == "complex\n"
    assert main(["classify", "the town", "--router", router, "--explain", "--json"]) == 0
    reason = json.loads(capsys.readouterr().out)["reason"]
    assert reason["rule"] == "fitted" and reason["cuts"] == saved["cuts"]
    assert main(["route", "prove the river", "--router", router, "--keys", "anthropic", "--explain"]) == 0
    out = capsys.readouterr().out
    assert "decided by:   auto [complex]" in out and "n-gram:" in out and "'prove'" in out
    tasks = tmp_path / "tasks.txt"
    tasks.write_text("prove the town\nCheck the stock market before noon\nthe river\n")
    assert main(["eval", str(tasks), "--router", router, "--keys", "anthropic", "--json"]) == 0
    report = json.loads(capsys.readouterr().out)
    assert report["rules"]["fitted"] == 3 and report["tiers"]["complex"] == 1
    assert main(["eval", str(tasks), "--router", router, "--compare", "--json", "--keys", "anthropic"]) == 0
    comparison = json.loads(capsys.readouterr().out)
    assert comparison["router"] == router and comparison["patterns"] is None
    assert comparison["before"]["rules"]["complex_pattern"] == 1 and comparison["after"]["rules"]["fitted"] == 3
    assert comparison["changed"] == 2  # the stock market: complex by its pattern, simple by the fitted router


@pytest.mark.parametrize("args, message", [
    (["{data}", "-o", "{data}"], "is the same file as"),
    (["{small}", "-o", "{out}"], "too few to fit a router on"),
    (["{data}", "-o", "{out}", "--shares", "0.5,0.5,0.5"], "add up to 1.5"),
    (["{data}", "-o", "{out}", "--shares", "0.5,0.5"], "three shares"),
    (["{data}", "-o", "{out}", "--strong-share", "1"], "above 0 and below 1"),
    (["{data}", "-o", "{out}", "--folds", "1"], "from 2 to 50"),
    (["{data}", "-o", "{out}", "--seed", str(2**32)], "--seed: expected a whole number from 0 to 4294967295"),
    (["{data}", "-o", "{out}", "--shares", "0.2,0.3,0.5", "--strong-share", "0.2"], "not allowed with"),
])
def test_fit_refuses_mistakes_in_one_line(tmp_path, capsys, args, message):
    if message == "too few to fit a router on":
        pytest.importorskip("sklearn")  # the count is checked where fitting starts, after the extra is found
    data = _outcomes(tmp_path / "data.jsonl", 600)
    before = open(data).read()
    names = {"data": data, "small": _outcomes(tmp_path / "small.jsonl", 72), "out": str(tmp_path / "r.json")}
    assert _fit(*[a.format(**names) for a in args]) == 2
    err = capsys.readouterr().err
    assert message in err and "Traceback" not in err
    assert open(data).read() == before and not (tmp_path / "r.json").exists()


def test_a_report_fit_cannot_write_leaves_the_earlier_router_file(tmp_path):
    pytest.importorskip("sklearn")
    data, router = _outcomes(tmp_path / "data.jsonl", 600), tmp_path / "r.json"
    router.write_bytes(b"earlier\n")
    command = [sys.executable, "-m", "halvec", "fit", data, "-o", str(router), "--strong", STRONG, "--weak", WEAK,
               "--folds", "2"]
    read_end, write_end = os.pipe()
    os.close(read_end)  # halvec fit ... | a reader that has gone
    result = subprocess.run(command, stdout=write_end, stderr=subprocess.PIPE, timeout=120)
    os.close(write_end)
    assert result.returncode == 141 and router.read_bytes() == b"earlier\n"
    # standard output closed: said before anything is read (here, too few prompts to fit on)
    small = _outcomes(tmp_path / "small.jsonl", 10)
    result = subprocess.run(["sh", "-c", 'exec "$@" >&-', "sh", *command[:4], small, *command[5:]],
                            capture_output=True, timeout=120)
    assert result.returncode == 74 and router.read_bytes() == b"earlier\n"
    assert result.stderr == (b"python -m halvec: error: cannot write to standard output: it is closed (-o '%s' was "
                             b"not written: the earlier file is as it was)\n" % str(router).encode())
    assert sorted(os.listdir(tmp_path)) == ["data.jsonl", "r.json", "small.jsonl"]


def test_fit_without_the_extra_says_how_to_install_it(tmp_path, capsys, monkeypatch):
    monkeypatch.setitem(sys.modules, "sklearn", None)
    assert _fit(_outcomes(tmp_path / "d.jsonl", 10), "-o", str(tmp_path / "r.json")) == 2
    err = capsys.readouterr().err
    assert len(err.splitlines()) == 1 and "usage:" not in err  # the command line was right: no usage
    assert "pip install 'halvec[fit]'" in err


def test_fit_help_lists_only_its_own_exit_statuses(capsys):
    assert main(["fit", "--help"]) == 0
    out = capsys.readouterr().out
    text = " ".join(out[out.index("Exit status:"):].split())
    assert text.startswith("Exit status: 0 done; 2 usage error") and "standard output or -o:" in text
    assert "; 1 " not in text and "; 71 " not in text and "--out" not in text


def test_router_options_refuse_a_bad_file_or_a_conflict(tmp_path, capsys):
    bad = tmp_path / "bad.json"
    bad.write_text('{"format": "halvec fitted router", "version": 1')
    for args, message in [(["classify", "x", "--router", str(bad)], "ends too soon"),
                          (["route", "x", "--router", str(tmp_path / "none.json")], "cannot read --router"),
                          (["classify", "x", "--router", str(bad), "--patterns", str(bad)], "give one of them"),
                          (["classify", "x", "--router", str(bad), "--tool-count", "3"], "--tool-count")]:
        assert main(args) == 2
        err = capsys.readouterr().err
        assert message in err and "Traceback" not in err


def test_a_router_of_many_models_is_refused_in_one_line_where_a_router_tiers(tmp_path, capsys):
    from test_fitted_models import document
    many = tmp_path / "many.json"
    many.write_text(json.dumps(document()))
    outcomes = _outcomes(tmp_path / "o.jsonl", 60)
    args = ["bench", outcomes, "--strong", STRONG, "--weak", WEAK, "--resamples", "20"]
    assert main([*args, "--router", str(many)]) == 2
    err = capsys.readouterr().err
    assert err.endswith(f"error: --router {str(many)!r}: a router of version 2, which chooses among 3 models; "
                        f"this command reads a version-1 router file (one that tiers descriptions)\n")


def test_router_reads_the_same_in_every_command(tmp_path, capsys, monkeypatch):
    monkeypatch.chdir(tmp_path)
    tasks = tmp_path / "tasks.txt"
    tasks.write_text("Prove that it halts\nhello there\n")
    commands = [["classify", "Prove that it halts", "--explain", "--json"],
                ["route", "Prove that it halts", "--keys", "anthropic", "--explain", "--json"],
                ["eval", str(tasks), "--json"]]
    for command in commands:  # rules: the default rules, the same as no --router
        assert main(command) == 0
        plain = capsys.readouterr()
        assert main([*command, "--router", "rules"]) == 0
        assert capsys.readouterr() == plain
        # words has no tiers: one line after the usage, exit status 2
        assert main([*command, "--router", "words"]) == 2
        err = capsys.readouterr().err.splitlines()
        assert err[0].startswith("usage: ") and len([line for line in err if ": error: " in line]) == 1
        assert err[-1].startswith(f"halvec {command[0]}: error: argument --router: words, the word count, ranks "
                                  "descriptions but has no tiers to sort them into: give rules or a router file")
    assert main(["eval", str(tasks), "--router", "rules", "--compare"]) == 2  # the rules against themselves
    assert "--compare needs --patterns FILE" in capsys.readouterr().err
    # a file named rules or words is reached as ./rules (here through classify and bench)
    for name in ("rules", "words"):
        (tmp_path / name).write_text(json.dumps({**ROUTER, "name": f"file {name}"}))
        assert main(["classify", "Prove that it halts", "--router", f"./{name}", "--explain", "--json"]) == 0
        assert json.loads(capsys.readouterr().out)["reason"]["router"] == f"file {name}"
    outcomes = _outcomes(tmp_path / "o.jsonl", 60)
    assert main(["bench", outcomes, "--strong", STRONG, "--weak", WEAK, "--resamples", "20", "--json",
                 "--router", "./words", "--router", "words", "--router", "rules"]) == 0
    assert json.loads(capsys.readouterr().out)["routers"] == ["file words", "words", "rules"]


# --- what a fitted router's file says of its data, checked where it runs ----------------------

def _with_fitted_on(tmp_path, **fitted_on):
    path = tmp_path / "prove.json"
    path.write_text(json.dumps({**ROUTER, "fitted_on": fitted_on}))
    return str(path)


COVERAGE = {"prompts": 600, "without_tokens": 0, "mean": 0.9, "q1": 0.85, "median": 0.9, "q3": 0.95}


def test_eval_reports_a_fitted_routers_coverage_and_complex_share_and_not_the_patterns(tmp_path, capsys):
    router = _with_fitted_on(tmp_path, coverage=COVERAGE, shares={"complex": 0.5})
    tasks = tmp_path / "tasks.txt"
    tasks.write_text("prove that it halts\nthe town and the river\n\n")
    out = tmp_path / "lines.jsonl"
    assert main(["eval", str(tasks), "--router", router, "--json", "--out", str(out)]) == 0
    captured = capsys.readouterr()
    report = json.loads(captured.out)
    assert report["never_decided"] is None and report["counts_share"] is None
    figures = report["fitted_router"]
    assert figures["file"] == router and figures["name"] == "prove" and figures["unlike"] is True
    assert figures["complex_share"] == 0.5 and figures["placed_complex_share"] == 0.5
    assert figures["coverage"]["mean"] == pytest.approx((2 / 7 + 0 / 7) / 2) and figures["fitted_coverage"] == COVERAGE
    assert "warning: the router 'prove' is being used on prompts unlike those it was fitted on" in captured.err
    lines = [json.loads(line) for line in out.read_text().splitlines()]
    assert [line["coverage"] for line in lines] == [pytest.approx(2 / 7), 0.0] and list(lines[0])[-1] == "coverage"
    assert main(["eval", str(tasks), "--router", router]) == 0
    text = capsys.readouterr().out
    assert "fitted router 'prove': complex tier 50.0% here, its cut points placed for 50.0%; n-gram coverage 0.14" in text
    # without a router: the keys as before, fitted_router null
    assert main(["eval", str(tasks), "--json"]) == 0
    plain = json.loads(capsys.readouterr().out)
    assert plain["fitted_router"] is None and len(plain["never_decided"]) > 0 and plain["counts_share"] == 0.5
    # a comparison's lines carry the coverage on the fitted router's side
    assert main(["eval", str(tasks), "--router", router, "--compare", "--out", str(out), "--json"]) == 0
    comparison = json.loads(capsys.readouterr().out)
    assert comparison["after"]["never_decided"] is None and comparison["before"]["never_decided"] is not None
    assert comparison["fitted_router"]["complex_share"] == 0.5
    changed = [json.loads(line) for line in out.read_text().splitlines()]
    assert changed and all("coverage" in c["after"] and "coverage" not in c["before"] for c in changed)


def test_classify_explains_a_routers_coverage(tmp_path, capsys):
    router = _with_fitted_on(tmp_path)
    assert main(["classify", "Prove that it halts", "--router", router, "--explain"]) == 0
    assert "coverage:     0.29 of the text's n-gram places hold one of the router's n-grams" in capsys.readouterr().out
    assert main(["classify", "  ", "--router", router, "--explain", "--json"]) == 0
    assert json.loads(capsys.readouterr().out)["reason"]["coverage"] is None


def test_fit_keeps_repeated_prompts_in_one_fold_and_records_its_prompts(tmp_path, capsys):
    pytest.importorskip("sklearn")
    # results that the text does not predict: honest folds give about 0.5, while a copy of each
    # prompt in another fold lets the model learn its twin's result (an APGR far above 1)
    rng = random.Random(1)
    data = tmp_path / "noise.jsonl"
    data.write_text("".join(json.dumps({"prompt": " ".join(rng.sample([f"w{i}" for i in range(3000)], 6)) + " w1",
                                        "scores": {STRONG: float(rng.random() < 0.5), WEAK: float(rng.random() < 0.3)}})
                            + "\n" for _ in range(599)) + json.dumps({"prompt": "w1", "scores": {STRONG: 1, WEAK: 0}}) + "\n")
    (tmp_path / "link.jsonl").symlink_to(data)
    once, twice = str(tmp_path / "once.json"), str(tmp_path / "twice.json")
    assert _fit(str(data), "-o", once, "--folds", "5") == 0
    assert "repeat" not in capsys.readouterr().err
    assert _fit(str(data), str(tmp_path / "link.jsonl"), "-o", twice, "--folds", "5") == 0
    assert "warning: 600 of the 1,200 prompts repeat an earlier prompt's text exactly" in capsys.readouterr().err
    saved = [json.loads(open(path).read())["fitted_on"] for path in (once, twice)]
    assert (saved[0]["repeated_prompts"], saved[1]["repeated_prompts"]) == (0, 600)
    assert saved[1]["cv_apgr"] < 0.7 and abs(saved[1]["cv_apgr"] - saved[0]["cv_apgr"]) < 0.1  # not inflated
    assert saved[0]["prompt_digest"] == saved[1]["prompt_digest"] and saved[0]["prompt_digest"]["distinct"] == 600
    assert 0 < saved[0]["coverage"]["mean"] <= 1 and saved[0]["coverage"]["prompts"] == 600
    data = str(data)
    # measured on the prompts it was fitted on, the router is marked, with its cross-validated figure
    assert main(["bench", data, "--router", once, "--strong", STRONG, "--weak", WEAK, "--resamples", "20"]) == 0
    out, err = capsys.readouterr()
    assert "once (fitted on these prompts)" in out and f"is {saved[0]['cv_apgr']:.3f} (from its file)" in err


@pytest.mark.parametrize("option", ["--strong", "--weak"])
def test_fit_refuses_a_model_given_twice(tmp_path, capsys, option):
    assert main(["fit", _outcomes(tmp_path / "d.jsonl", 10), "-o", str(tmp_path / "r.json"), "--strong", STRONG,
                 "--weak", WEAK, option, "other"]) == 2
    assert f"argument {option}: given twice ('" in capsys.readouterr().err.splitlines()[-1]
    assert not (tmp_path / "r.json").exists()


def _rows_file(path, rows):
    with open(path, "w") as file:
        for prompt, strong, weak in rows:
            file.write(json.dumps({"prompt": prompt, "scores": {STRONG: strong, WEAK: weak}}) + "\n")
    return str(path)


@pytest.mark.parametrize("rows, message", [
    ([(f"w{i} v{i}", float(i % 2), 0.0) for i in range(600)], "cannot fit a router: no word or word sequence is in 2"),
    ([("", float(i % 2), 0.0) for i in range(600)], "the 600 prompts hold 1 different text: too few for --folds 10"),
    ([(" " * i, float(i % 2), 0.0) for i in range(600)], "nothing to learn from"),
    ([("a b", 1.0, 0.0), ("a c", 0.0, 0.9999999999999)] * 300, "equal but for rounding"),
])
def test_data_a_router_cannot_be_fitted_on_is_one_line(tmp_path, capsys, rows, message):
    pytest.importorskip("sklearn")
    assert _fit(_rows_file(tmp_path / "o.jsonl", rows), "-o", str(tmp_path / "r.json")) == 2
    err = capsys.readouterr().err
    assert len(err.splitlines()) == 1 and message in err and not (tmp_path / "r.json").exists()


def test_results_near_the_largest_double_are_fitted(tmp_path, capsys):
    pytest.importorskip("sklearn")
    rng = random.Random(3)
    rows = [(f"prove {rng.choice(['town', 'river'])} {i % 7}", 1e308, -1e308) if i % 3 == 0 else
            (f"name {rng.choice(['town', 'river'])} {i % 7}", 1e308, 1e308) for i in range(600)]
    assert _fit(_rows_file(tmp_path / "o.jsonl", rows), "-o", str(tmp_path / "r.json"), "--folds", "3") == 0
    out = capsys.readouterr().out
    assert "nan" not in out and "inf" not in out
    router = FittedRouter(parse((tmp_path / "r.json").read_text()))
    assert router.score_one("prove the town") > router.score_one("name the town")


def test_prompts_with_lone_surrogates_are_fitted_and_their_ngrams_kept(tmp_path, capsys):
    pytest.importorskip("sklearn")
    # JSON may carry a lone surrogate ("\ud800"): a token like any other sign, kept as an n-gram
    rows = [(f"prove \ud800 {i % 7}" if i % 3 == 0 else f"name \udfff {i % 5}", float(i % 3 == 0), 0.0)
            for i in range(600)]
    router = tmp_path / "r\udcff.json"  # a file name that is not UTF-8 (argv's surrogateescape)
    assert _fit(_rows_file(tmp_path / "o.jsonl", rows), "-o", str(router), "--folds", "3") == 0
    assert "wrote" in capsys.readouterr().out
    fitted = load_router(str(router))
    assert {"\ud800", "prove \ud800"} <= set(fitted.spec.ngrams) and fitted.name == "r\udcff"
    assert fitted.score_one("prove \ud800 1") > fitted.score_one("name \udfff 1")


def test_a_router_too_large_to_load_is_one_line(tmp_path, capsys, fitted_hooks):
    pytest.importorskip("sklearn")
    # each blob (encoded data, say) in two prompts: n-grams of long words, past a lowered budget
    rng = random.Random(2)
    blobs = ["".join(rng.choices("abcdef0123456789", k=4000)) for _ in range(300)]
    rows = [(f"describe {blobs[i % 300]} now {i // 300}", float(i % 3 == 0), 0.0) for i in range(600)]
    fitted_hooks.set_budget(fitted_hooks.memory_in_use() + (2 << 20))
    assert _fit(_rows_file(tmp_path / "o.jsonl", rows), "-o", str(tmp_path / "r.json"), "--folds", "2") == 2
    (line,) = capsys.readouterr().err.splitlines()
    assert line.startswith("halvec fit: error: cannot fit a router: the router fitted on these prompts is "
                           "too large to load: a router of ") and "its longest n-gram has 4,013 characters" in line
    assert not (tmp_path / "r.json").exists()


def test_a_digest_that_would_pass_the_router_files_cap_is_left_out(tmp_path, capsys, monkeypatch):
    pytest.importorskip("sklearn")
    from halvec import reading
    data, router = _outcomes(tmp_path / "d.jsonl", 600), tmp_path / "r.json"
    assert _fit(data, "-o", str(router), "--folds", "2") == 0
    digest = json.loads(router.read_text())["fitted_on"]["prompt_digest"]["hashes"]
    # as millions of prompts would: the file with the digest is past the cap, without it under it
    monkeypatch.setattr(reading.ROUTER_FILE, "bytes", router.stat().st_size - len(digest) // 2)
    capsys.readouterr()
    assert _fit(data, "-o", str(router), "--folds", "2") == 0
    distinct = len(set(json.loads(line)["prompt"] for line in open(data)))
    assert f"warning: the digest of the {distinct:,} different prompts is left out of {str(router)!r}" in \
        capsys.readouterr().err
    fitted = load_router(str(router))
    assert fitted.spec.fitted_on["prompt_digest"] is None and fitted.provenance.hashes is None
    assert fitted.provenance.coverage is not None


def test_classify_builds_the_explanation_only_when_asked(tmp_path, capsys, monkeypatch, fitted):
    """The tier alone is the native score's: a long text costs what scoring it costs."""
    import halvec.cli.classify as classify
    router = tmp_path / "r.json"
    router.write_text(json.dumps(ROUTER))
    text = "Prove that it halts"

    def refuse(*_):
        raise AssertionError("explained without --explain")

    with monkeypatch.context() as patch:
        patch.setattr(classify, "explain_score", refuse)
        assert main(["classify", text, "--router", str(router)]) == 0
        assert main(["classify", text, "--router", str(router), "--json"]) == 0
    tier, document = capsys.readouterr().out.split("\n", 1)
    assert tier == fitted.tier(text).value and json.loads(document) == {"tier": tier, "reason": None}
    assert main(["classify", text, "--router", str(router), "--explain", "--json"]) == 0
    assert json.loads(capsys.readouterr().out)["reason"]["rule"] == "fitted"
