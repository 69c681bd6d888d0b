"""halvec bench on small synthetic outcome files: the report, costs, per-prompt lines, the plot,
fitted routers through halvec.fitted, bad input (one line, exit 2) and outputs that are never
left half-written or written over an input."""

import gzip
import json
import math
import os
import random
import subprocess
import sys
import types

import pytest

from halvec.cli import main
from halvec.fitted import features
from halvec.fitted.provenance import prompt_digest

STRONG, WEAK = "big-model", "small-model"
ROW_KEYS = {"name", "kind", "model", "apgr", "apgr_low", "apgr_high", "cpt50", "cpt80", "cost_at_cpt50",
            "cost_at_cpt80", "strong_share", "quality", "pgr", "cost", "placed_strong_share", "fitted_on_share",
            "coverage", "fitted_coverage"}


def _rows(n=120, seed=5):
    """A planted keyword: "prove" prompts (long, so the word count finds them) are won by the
    strong model; on the rest both models give the same result."""
    rng = random.Random(seed)
    rows = []
    for i in range(n):
        if i % 3 == 0:
            rows.append((f"prove that the sum of the first {i} odd numbers is a square, step by step", 1.0, 0.0))
        else:
            result = float(rng.random() < 0.5)
            rows.append((f"name town {i}", result, result))
    return rows


def _jsonl(path, rows, **extra):
    path.write_text("".join(json.dumps({"id": i, "prompt": p, "scores": {STRONG: s, WEAK: w}, **extra}) + "\n"
                            for i, (p, s, w) in enumerate(rows)))
    return str(path)


def _csv(path, rows):
    lines = [f"prompt,{WEAK},{STRONG}"] + [f'"{p}",{bool(w)},{bool(s)}' for p, s, w in rows]
    path.write_text("\n".join(lines) + "\n")
    return str(path)


def bench(capsys, *args, models=(STRONG, WEAK)):
    status = main(["bench", *args, "--strong", models[0], "--weak", models[1], "--resamples", "50"])
    out, err = capsys.readouterr()
    return status, out, err


def bench_json(capsys, *args):
    status, out, err = bench(capsys, *args, "--json")
    assert status == 0, err
    return json.loads(out)


def test_jsonl_and_csv_give_the_same_report(tmp_path, capsys):
    rows = _rows()
    data = bench_json(capsys, _jsonl(tmp_path / "a.jsonl", rows), _csv(tmp_path / "a.csv", rows))
    assert [s["name"] for s in data["sets"]] == [str(tmp_path / "a.jsonl"), str(tmp_path / "a.csv"),
                                                 "pooled (2 files)"]
    assert data["routers"] == ["rules", "words"] and [f["format"] for f in data["files"]] == ["jsonl", "csv"]
    first, second, pooled = ({row["name"]: row for row in s["rows"]} for s in data["sets"])
    assert first == second
    assert all(set(row) == ROW_KEYS for row in first.values())
    assert list(first) == ["rules", "words", "random", "oracle", "strong alone", "weak alone"]
    assert (first["random"]["apgr"], first["random"]["apgr_low"], first["random"]["cpt80"]) == (0.5, 0.5, 0.8)
    # the word count finds the keyword: the oracle's curve, up over the first third, then flat
    assert first["words"]["apgr"] == first["oracle"]["apgr"] == pooled["words"]["apgr"] == pytest.approx(5 / 6)
    assert first["words"]["cpt80"] == pytest.approx(0.8 / 3) and first["words"]["strong_share"] is None
    assert first["rules"]["strong_share"] is not None and first["strong alone"]["model"] == STRONG
    assert (first["weak alone"]["pgr"], first["strong alone"]["pgr"]) == (0.0, 1.0)
    # the text report: a table per set, costs as the share of strong calls
    status, out, _ = bench(capsys, str(tmp_path / "a.jsonl"))
    assert status == 0 and out.count("APGR   95% interval") == 1 and f"{STRONG} alone" in out
    assert "cost: the share of strong calls" in out


def test_costs_from_the_data_or_prices(tmp_path, capsys):
    rows = _rows(30)
    path = tmp_path / "c.jsonl"
    path.write_text("".join(json.dumps({"prompt": p, "scores": {STRONG: s, WEAK: w},
                                        "costs": {STRONG: 2.0 + i % 2, WEAK: 0.5}}) + "\n"
                            for i, (p, s, w) in enumerate(rows)))
    data = bench_json(capsys, str(path))["sets"][0]
    rows_by = {row["name"]: row for row in data["rows"]}
    assert data["cost_basis"] == "data" and rows_by["strong alone"]["cost"] == 2.5
    assert rows_by["weak alone"]["cost"] == 0.5 and rows_by["random"]["cost_at_cpt50"] == pytest.approx(1.5)
    priced = bench_json(capsys, str(path), "--cost", f"{STRONG}=10", "--cost", f"{WEAK}=1")["sets"][0]
    assert priced["cost_basis"] == "prices"
    assert {row["name"]: row for row in priced["rows"]}["random"]["cost_at_cpt80"] == pytest.approx(8.2)
    status, _, err = bench(capsys, str(path), "--cost", f"{STRONG}=10")
    assert status == 2 and f"no price for '{WEAK}'" in err


def test_out_has_a_line_per_prompt(tmp_path, capsys):
    rows = _rows(12)
    out = tmp_path / "lines.jsonl"
    assert bench(capsys, _jsonl(tmp_path / "a.jsonl", rows), "--out", str(out))[0] == 0
    lines = [json.loads(line) for line in out.read_text().splitlines()]
    assert len(lines) == 12 and lines[1]["line"] == 2 and lines[1]["id"] == 1
    assert set(lines[0]) == {"source", "line", "id", "category", "strong", "weak", "routers"}
    assert lines[0]["routers"]["words"]["model"] is None
    assert lines[0]["routers"]["rules"]["model"] in (STRONG, WEAK)
    assert lines[0]["routers"]["words"]["score"] == len(rows[0][0].split())


def test_a_fitted_router_through_halvec_fitted(tmp_path, capsys, monkeypatch):
    class Fitted:
        name = "fitted"
        cuts = (0.5, 0.5)

        def score(self, texts):
            return [float("prove" in t) for t in texts]

        def strong_mask(self, scores):
            return [s > self.cuts[1] for s in scores]

    def load_router(path):
        if "bad" in path:
            raise ValueError("not a fitted router file: no \"version\"")
        return Fitted()

    monkeypatch.setitem(sys.modules, "halvec.fitted", types.SimpleNamespace(load_router=load_router))
    (tmp_path / "router.json").write_text("{}")
    (tmp_path / "bad.json").write_text("{}")
    data = bench_json(capsys, _jsonl(tmp_path / "a.jsonl", _rows()), "--router", str(tmp_path / "router.json"),
                      "--router", "rules")
    fitted = data["sets"][0]["rows"][0]
    assert data["routers"] == ["fitted", "rules"] and fitted["pgr"] == 1.0
    assert fitted["apgr"] == pytest.approx(5 / 6) and fitted["strong_share"] == pytest.approx(1 / 3)
    for router, message in ((str(tmp_path / "bad.json"), "not a fitted router file"),
                            (str(tmp_path / "missing.json"), "is neither rules, words nor a file"),
                            ("rule", "did you mean 'rules'?")):
        status, out, err = bench(capsys, str(tmp_path / "a.jsonl"), "--router", router)
        assert status == 2 and out == "" and message in err.splitlines()[-1]


# --- bad input: one line that names the file and the line, exit status 2 ---------------------

def _scores(strong, weak):
    return json.dumps({STRONG: strong, WEAK: weak})


GOOD = '{"prompt": "a", "scores": ' + _scores(1, 0) + '}\n'
BAD_FILES = [
    ("m.jsonl", GOOD + '{"prompt": "b", "scores": {"big-model": 1}}\n', "line 2: no result for 'small-model'"),
    ("n.jsonl", GOOD + '{"prompt": "b", "scores": ' + _scores("high", 0) + '}\n',
     "line 2: the result for 'big-model' is the text \"high\", not a number"),
    ("nan.jsonl", GOOD * 2 + '{"prompt": "b", "scores": {"big-model": NaN, "small-model": 0}}\n',
     "line 3: the result for 'big-model' is nan, not a number"),
    ("inf.csv", f"prompt,{STRONG},{WEAK}\na,1,0\nb,inf,0\n", "line 3: the result for 'big-model' is 'inf', not a number"),
    # what --out writes of a prompt is strict JSON, which has neither
    ("nan_id.jsonl", GOOD + '{"prompt": "b", "id": NaN, "scores": ' + _scores(1, 0) + '}\n',
     'line 2: the field "id" holds NaN or an infinity, which strict JSON cannot carry; give it as a text ("NaN")'),
    ("inf_category.jsonl", GOOD + '{"prompt": "b", "category": [1e999], "scores": ' + _scores(1, 0) + '}\n',
     'line 2: the field "category" holds NaN or an infinity'),
    ("p.jsonl", GOOD + '{"text": "b", "scores": ' + _scores(1, 0) + '}\n',
     'line 2: no "prompt" field (the prompt; --field names the field that holds it)'),
    ("empty.jsonl", "\n\n", "no prompts"),
    ("gap.jsonl", GOOD + '{"prompt": "b", "scores": ' + _scores(0, 1) + '}\n', "no gap to recover"),
    ("swap.jsonl", '{"prompt": "b", "scores": ' + _scores(0, 1) + '}\n', "does worse than the --weak model"),
    ("u.jsonl", '{"prompt": "a", "scores": {"big-modle": 1, "small-model": 0}}\n',
     "line 1: unknown --strong model 'big-model': the first prompt has results for 'big-modle', 'small-model'; "
     "did you mean 'big-modle'?"),
    ("u.csv", f"prompt,{WEAK},bigmodel\na,1,0\n", "line 1: unknown --strong model 'big-model': the header's columns "
                                                  "are 'small-model', 'bigmodel'; did you mean 'bigmodel'?"),
    ("multi.csv", f'prompt,{STRONG},{WEAK}\n"two\nlines",1,0\nc,1,\n', "line 4: no result for 'small-model'"),
    ("binary.jsonl", b"\x7fELF\x02\x01\x00\x00", "line 1: not text (a NUL byte)"),
    ("latin1.jsonl", GOOD.encode() + b'{"prompt": "caf\xe9"}\n', "line 2: not valid UTF-8 (byte 0xe9)"),
    ("x.jsonl.xz", b"\xfd7zXZ\x00\x00", "an xz-compressed file: decompress it first"),
    # a key given twice would be taken silently, the last one winning
    ("twice.jsonl", GOOD + '{"prompt": "b", "scores": {"big-model": 0, "small-model": 0, "big-model": 1}}\n',
     'line 2: the key "big-model" is given twice in one object'),
    ("costs.jsonl", '{"prompt": "b", "scores": ' + _scores(1, 0) + ', "costs": {"big-model": 1, "small-model": 0, '
                    '"small-model": 5}}\n', 'line 1: the key "small-model" is given twice in one object'),
    ("prompt.jsonl", '{"prompt": "a", "prompt": "b", "scores": ' + _scores(1, 0) + '}\n',
     'line 1: the key "prompt" is given twice'),
    ("twice.csv", f"prompt,{STRONG},{WEAK},{STRONG}\na,0,0,1\n", 'line 1: the column "big-model" is in the header '
                                                                 'twice'),
]


@pytest.mark.parametrize("name, content, message", BAD_FILES, ids=[case[0] for case in BAD_FILES])
def test_bad_outcome_files(tmp_path, capsys, name, content, message):
    path = tmp_path / name
    path.write_bytes(content if isinstance(content, bytes) else content.encode())
    status, out, err = bench(capsys, str(path))
    assert (status, out) == (2, "")
    assert err.startswith(f"halvec bench: error: {str(path)!r}{',' if 'line' in message else ':'} ")
    assert message in err and err.count("\n") == 1


def test_gzip_is_read_as_it_is(tmp_path, capsys):
    rows = _rows(30)
    plain = bench_json(capsys, _jsonl(tmp_path / "a.jsonl", rows))["sets"][0]["rows"]
    (tmp_path / "a.jsonl.gz").write_bytes(gzip.compress((tmp_path / "a.jsonl").read_bytes()))
    assert bench_json(capsys, str(tmp_path / "a.jsonl.gz"))["sets"][0]["rows"] == plain
    (tmp_path / "cut.jsonl.gz").write_bytes(gzip.compress((tmp_path / "a.jsonl").read_bytes())[:-12])
    status, _, err = bench(capsys, str(tmp_path / "cut.jsonl.gz"))
    assert status == 2 and "cannot be read after line" in err and len(err.splitlines()) == 1


# --- outputs ---------------------------------------------------------------------------------

def test_outputs_never_overwrite_an_input_and_appear_only_when_complete(tmp_path, capsys):
    good = _jsonl(tmp_path / "a.jsonl", _rows(20))
    before = (tmp_path / "a.jsonl").read_text()
    for args, message in ((["--out", good], "--out"), (["--out", str(tmp_path / "o.svg"), "--plot", str(tmp_path / "o.svg")],
                                                       "give each output its own file")):
        status, _, err = bench(capsys, good, *args)
        assert status == 2 and message in err and (tmp_path / "a.jsonl").read_text() == before
    (tmp_path / "link.jsonl").symlink_to(tmp_path / "a.jsonl")
    status, _, err = bench(capsys, good, "--out", str(tmp_path / "link.jsonl"))
    assert status == 2 and f"is the same file as {good!r}" in err
    # a run that fails on its second file leaves the old --out as it was, and no stray file
    out = tmp_path / "out.jsonl"
    out.write_text("old\n")
    (tmp_path / "bad.jsonl").write_text("{}\n")
    assert bench(capsys, good, str(tmp_path / "bad.jsonl"), "--out", str(out))[0] == 2
    assert out.read_text() == "old\n" and sorted(p.name for p in tmp_path.iterdir()) == [
        "a.jsonl", "bad.jsonl", "link.jsonl", "out.jsonl"]
    assert bench(capsys, good, "--out", str(out))[0] == 0 and out.read_text().count("\n") == 20


@pytest.mark.parametrize("suffix, signature", [("svg", b"<?xml"), ("png", b"\x89PNG")])
def test_plot(tmp_path, capsys, suffix, signature):
    pytest.importorskip("matplotlib")
    figure = tmp_path / f"curves.{suffix}"
    assert bench(capsys, _jsonl(tmp_path / "a.jsonl", _rows(40)), "--plot", str(figure))[0] == 0
    assert figure.read_bytes().startswith(signature)


def test_plot_without_matplotlib_fails_first_in_one_line(tmp_path, capsys, monkeypatch):
    monkeypatch.setitem(sys.modules, "matplotlib", None)  # import matplotlib raises ImportError
    out = tmp_path / "lines.jsonl"
    status, stdout, err = bench(capsys, _jsonl(tmp_path / "a.jsonl", _rows(10)), "--plot", str(tmp_path / "c.svg"),
                                "--out", str(out))
    assert (status, stdout) == (2, "") and not out.exists() and not (tmp_path / "c.svg").exists()
    assert len(err.splitlines()) == 1 and "usage:" not in err  # the command line was right: no usage
    assert err.splitlines()[-1].startswith("halvec bench: error: --plot: drawing needs matplotlib")
    assert err.splitlines()[-1].endswith("install it with: pip install 'halvec[plot]'")


def test_help_lists_the_exit_statuses(capsys):
    status = main(["bench", "--help"])
    out = capsys.readouterr().out
    assert status == 0 and "Exit status: 0 done; 2 usage error" in " ".join(out.split())
    assert "; 1 " not in out and "; 71 " not in " ".join(out.split())


def test_output_failures_and_standard_output_onto_an_input(tmp_path, capsys):
    good = _jsonl(tmp_path / "a.jsonl", _rows(20))
    if os.path.exists("/dev/full"):  # not a regular file: written directly, and the failure said
        status, out, err = bench(capsys, good, "--out", "/dev/full")
        assert (status, out) == (74, "")
        assert err == "halvec: error: cannot write --out '/dev/full': No space left on device\n"
    before = (tmp_path / "a.jsonl").read_bytes()
    with open(good, "ab") as appended:  # halvec bench a.jsonl ... >> a.jsonl
        result = subprocess.run([sys.executable, "-m", "halvec", "bench", good, "--strong", STRONG, "--weak", WEAK],
                                stdout=appended, stderr=subprocess.PIPE, timeout=120)
    assert result.returncode == 2 and (tmp_path / "a.jsonl").read_bytes() == before
    assert result.stderr.decode().endswith(f"error: standard output is the same file as {good!r}: the report "
                                           f"would be written into it; send it elsewhere\n")
    # standard output closed: said before any file is read (here, one that is not an outcome file)
    bad = tmp_path / "bad.jsonl"
    bad.write_text("not JSON\n")
    result = subprocess.run(["sh", "-c", 'exec "$@" >&-', "sh", sys.executable, "-m", "halvec", "bench", good,
                             str(bad), "--strong", STRONG, "--weak", WEAK], capture_output=True, timeout=120)
    assert (result.returncode, result.stderr) == (74, b"python -m halvec: error: cannot write to standard output: "
                                                      b"it is closed\n")


# --- fitted routers: beside the default routers, and what their files say of their data -----

def _router_file(path, fitted_on=None):
    """A fitted router that knows "prove": complex from a score of 0.5."""
    zero = {"weight": 0.0, "mean": 0.0, "scale": 1.0}
    path.write_text(json.dumps({"format": "halvec fitted router", "version": 1, "name": "proof", "longest_ngram": 2,
                                "intercept": 0.0, "cuts": {"moderate": 0.25, "complex": 0.5},
                                "counts": {"words": zero, "characters": zero},
                                "ngrams": [["prove", 1.0, 1.0], ["prove that", 0.5, 1.0], ["name", -0.5, 1.0]],
                                "fitted_on": fitted_on or {}}))
    return str(path)


def test_a_router_file_is_measured_beside_the_default_routers_unless_they_are_named(tmp_path, capsys):
    data, router = _jsonl(tmp_path / "a.jsonl", _rows(30)), _router_file(tmp_path / "proof.json")
    for given, shown in [([router], ["rules", "words", "proof"]), ([router, "words"], ["proof", "words"]),
                         (["rules"], ["rules"]), ([], ["rules", "words"])]:
        options = [arg for spec in given for arg in ("--router", spec)]
        report = bench_json(capsys, data, *options)
        assert report["routers"] == shown and [r["name"] for r in report["sets"][0]["rows"][:len(shown)]] == shown


def test_a_router_file_that_cannot_be_used_is_one_line_naming_it_once(tmp_path, capsys):
    data, bad = _jsonl(tmp_path / "a.jsonl", _rows(30)), tmp_path / "bad.json"
    bad.write_text('{"format": "halvec fitted router", "version": 3}')
    status, out, err = bench(capsys, data, "--router", str(bad))
    assert (status, out) == (2, "") and err == (f"halvec bench: error: --router {str(bad)!r}: version 3 is not one this "
                                                f"halvec reads (it reads versions 1 and 2)\n")


def test_a_router_measured_on_the_prompts_it_was_fitted_on_is_marked_and_warned_of(tmp_path, capsys):
    rows = _rows(40)
    data = _jsonl(tmp_path / "a.jsonl", rows)
    half = [p for p, _, _ in rows[:20]]
    fitted_on = {"cv_apgr": 0.61, "prompt_digest": prompt_digest(half), "shares": {"complex": 0.2}}
    router = _router_file(tmp_path / "proof.json", fitted_on)
    status, out, err = bench(capsys, data, _jsonl(tmp_path / "b.jsonl", rows[20:]), "--router", router)
    assert status == 0 and "proof (fitted on 50.0% of these prompts)" in out
    assert "proof (fitted on these prompts)" not in out.split("b.jsonl")[1].split("pooled")[0]
    assert err.count("warning: the router 'proof' was fitted on") == 1 and "APGR on the data it was fitted on is 0.610" in err
    fitted = [next(r for r in s["rows"] if r["name"] == "proof") for s in bench_json(capsys, data, "--router", router)["sets"]]
    assert fitted[0]["fitted_on_share"] == 0.5 and fitted[0]["placed_strong_share"] == 0.2
    # a file that keeps no digest of its prompts (an older one): nothing said, the share unknown
    plain = _router_file(tmp_path / "plain.json", {"cv_apgr": 0.61})
    status, out, err = bench(capsys, data, "--router", plain, "--json")
    rows_out = json.loads(out)["sets"][0]["rows"]
    assert status == 0 and err == "" and rows_out[2]["fitted_on_share"] is None and rows_out[0]["fitted_on_share"] is None


def test_coverage_far_below_the_fitting_datas_is_warned_of(tmp_path, capsys):
    coverage = {"prompts": 600, "without_tokens": 0, "mean": 0.9, "q1": 0.8, "median": 0.9, "q3": 1.0}
    router = _router_file(tmp_path / "proof.json", {"coverage": coverage, "shares": {"complex": 0.2}})
    data = _jsonl(tmp_path / "a.jsonl", _rows(30))
    out_path = tmp_path / "lines.jsonl"
    status, out, err = bench(capsys, data, "--router", router, "--out", str(out_path))
    assert status == 0 and "warning: the router 'proof' is being used on prompts unlike those it was fitted on" in err
    assert "fitted router 'proof': complex tier 33.3% here, its cut points placed for 20.0%; n-gram coverage" in out
    line = json.loads(out_path.read_text().splitlines()[0])  # "prove that the sum ...": 2 of its places known
    places = 2 * len(features.tokens(_rows(1)[0][0])) - 1  # unigrams and bigrams
    assert line["routers"]["proof"]["coverage"] == pytest.approx(2 / places) and line["routers"]["rules"]["coverage"] is None
    row = bench_json(capsys, data, "--router", router)["sets"][0]["rows"][2]
    assert row["fitted_coverage"] == 0.9 and 0 < row["coverage"] < 0.5 and row["strong_share"] == pytest.approx(1 / 3)
    # prompts like those it was fitted on: nothing said
    like = _jsonl(tmp_path / "like.jsonl", [("prove that name", 1.0, 0.0), ("name", 0.0, 0.0)] * 10)
    assert "unlike" not in bench(capsys, like, "--router", router)[2]


def test_pooling_a_file_twice_is_warned_of(tmp_path, capsys):
    data = _jsonl(tmp_path / "a.jsonl", _rows(30))
    (tmp_path / "link.jsonl").symlink_to(tmp_path / "a.jsonl")
    status, _, err = bench(capsys, data, str(tmp_path / "link.jsonl"))
    assert status == 0 and "warning: 30 prompts of the pooled files repeat a prompt of an earlier file" in err
    assert bench(capsys, data, _jsonl(tmp_path / "b.jsonl", [(f"other {i}", 1.0, 0.0) for i in range(5)]))[2] == ""


@pytest.mark.parametrize("option", ["--strong", "--weak"])
def test_a_model_given_twice_is_refused(tmp_path, capsys, option):
    status, out, err = bench(capsys, _jsonl(tmp_path / "a.jsonl", _rows(10)), option, "third-model")
    assert (status, out) == (2, "") and f"argument {option}: given twice" in err.splitlines()[-1]


def test_an_outcome_file_read_from_standard_input_is_never_written(tmp_path):
    """`bench - --out F < F` and `bench - < F >> F`: standard input is the file, whatever its name."""
    good = _jsonl(tmp_path / "a.jsonl", _rows(20))
    before = (tmp_path / "a.jsonl").read_bytes()
    command = [sys.executable, "-m", "halvec", "bench", "-", "--strong", STRONG, "--weak", WEAK, "--resamples", "5"]
    with open(good, "rb") as given:
        result = subprocess.run([*command, "--out", good], stdin=given, capture_output=True, timeout=120)
    assert result.returncode == 2 and (tmp_path / "a.jsonl").read_bytes() == before
    assert result.stderr.decode().endswith(f"--out {good!r} is the same file as standard input: writing it would "
                                           f"destroy it; write to another file\n")
    with open(good, "rb") as given, open(good, "ab") as appended:
        result = subprocess.run(command, stdin=given, stdout=appended, stderr=subprocess.PIPE, timeout=120)
    assert result.returncode == 2 and (tmp_path / "a.jsonl").read_bytes() == before
    assert "standard output is the same file as standard input" in result.stderr.decode()


# --- results at the edges of what a double holds ---------------------------------------------

def _results_file(tmp_path, pairs, name="edge.jsonl"):
    """Prompts with the given (strong, weak) results, then enough plain ones to measure."""
    rows = [(f"prompt {i} on edge", s, w) for i, (s, w) in enumerate(pairs)]
    return _jsonl(tmp_path / name, rows)


@pytest.mark.parametrize("pairs", [
    [(1e308, 0.0), (1e308, 0.0), (0.0, 0.0)],  # their sum overflows
    [(1e308, -1e308), (0.0, 0.0), (1.0, 0.0)],  # their difference does
    [(1.7e308, -1.7e308), (-1.7e308, 1.7e308), (1.7e308, -1.7e308)],
])
def test_results_near_the_largest_double_are_measured(tmp_path, capsys, pairs):
    data = bench_json(capsys, _results_file(tmp_path, pairs))
    (s,) = data["sets"]
    strong = [p[0] for p in pairs]
    weak = [p[1] for p in pairs]
    assert s["q_strong"] == pytest.approx(sum(x / len(pairs) for x in strong))
    assert s["q_weak"] == pytest.approx(sum(x / len(pairs) for x in weak))
    rows = {row["name"]: row for row in s["rows"]}
    assert rows["random"]["apgr"] == 0.5 and rows["oracle"]["apgr"] >= 0.5
    assert rows["strong alone"]["pgr"] == 1.0 and rows["weak alone"]["pgr"] == 0.0
    assert rows["strong alone"]["quality"] == pytest.approx(s["q_strong"])
    for row in s["rows"]:
        assert all(value is None or isinstance(value, str) or math.isfinite(value) for value in row.values())


def test_means_equal_but_for_rounding_have_no_gap(tmp_path, capsys):
    path = _results_file(tmp_path, [(1.0, 0.0), (0.0, 0.9999999999999)])  # means 0.5 and 0.49999999999995
    status, out, err = bench(capsys, path)
    assert (status, out) == (2, "") and len(err.splitlines()) == 1
    assert "no gap to recover" in err and "equal but for rounding" in err
