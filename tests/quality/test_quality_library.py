"""halvec.quality as a library, without the command line: outcome sets scored, pooled (the
pooled set marked as such, measured as one file holding them all) and measured; what the
scores warn of as data; messages that name the settings as the caller names them."""

import json

import pytest

from halvec.fitted import FittedRouter
from halvec.fitted.checks import FittedOn, Unlike
from halvec.fitted.provenance import prompt_digest
from halvec.fitted.router_file import parse
from halvec.quality.benchmark import measure_sets, prompt_records, score
from halvec.quality.outcomes import OutcomeProblem, Outcomes, read_outcomes
from halvec.quality.pooling import DifferentScales, RepeatedAcrossFiles
from halvec.quality.routers import RulesRouter, WordsRouter

ROUTERS = [("rules", RulesRouter()), ("words", WordsRouter())]
ROUTER = {"format": "halvec fitted router", "version": 1, "name": "proof", "longest_ngram": 2, "intercept": 0.0,
          "cuts": {"moderate": 0.1, "complex": 0.5},
          "counts": {"words": {"weight": 0.0, "mean": 0.0, "scale": 1.0},
                     "characters": {"weight": 0.0, "mean": 0.0, "scale": 1.0}},
          "ngrams": [["prove", 1.0, 1.0], ["prove that", 0.5, 1.0]]}


def outcomes(source, n, *, offset=0, scale=1.0, costs=None):
    """A third of the prompts long proofs the strong model wins; on the rest both do as well."""
    texts, strong, weak = [], [], []
    for i in range(offset, offset + n):
        prove = i % 3 == 0
        texts.append(f"prove that the sum of the first {i} odd numbers is a square" if prove else f"name town {i}")
        strong.append(scale if prove or i % 2 else 0.0)
        weak.append(0.0 if prove else strong[-1])
    kept = Outcomes(source, "jsonl", "big", "small", ["big", "small"], texts, strong, weak, list(range(1, n + 1)),
                    list(range(n)), [None] * n)
    if costs is not None:
        kept.strong_costs, kept.weak_costs = [costs[0]] * n, [costs[1]] * n
    return kept


def figures(report):
    return [(row.name, row.apgr, row.interval, row.cpt, row.point, row.point_cost) for row in report.rows]


def test_pooled_files_are_one_marked_set_measured_as_one_file_holding_them():
    a, b = outcomes("a.jsonl", 60), outcomes("b.jsonl", 45, offset=60)
    scoring = score([a, b], ROUTERS)
    assert [(s.name, s.pooled) for s in scoring.sets] == [("a.jsonl", False), ("b.jsonl", False),
                                                          ("pooled (2 files)", True)]
    pooled = scoring.sets[2]
    assert pooled.texts == a.texts + b.texts and pooled.files == (a, b) and scoring.files == [a, b]
    assert pooled.scored[0].mask == scoring.sets[0].scored[0].mask + scoring.sets[1].scored[0].mask
    assert pooled.scored[1].mask is None and scoring.warnings == []
    told = []
    bench = measure_sets(scoring, resamples=30, seed=4, progress=lambda drawn, total: told.append((drawn, total)))
    assert [(r.name, r.pooled) for r in bench.reports] == [(s.name, s.pooled) for s in scoring.sets]
    drawn = [d for d, _ in told]  # told now and then, out of each set's two routers and the oracle, resampled
    assert {total for _, total in told} == {3 * 3 * 30} and drawn == sorted(drawn) and 0 < drawn[-1] <= 3 * 3 * 30
    joined = outcomes("ab.jsonl", 105)
    alone = measure_sets(score([joined], ROUTERS), resamples=30, seed=4)
    assert figures(bench.reports[2]) == figures(alone.reports[0])
    document = bench.as_json()
    assert list(document) == ["strong", "weak", "field", "routers", "resamples", "seed", "level", "files", "sets"]
    assert document["routers"] == ["rules", "words"] and [f["prompts"] for f in document["files"]] == [60, 45]
    assert [s["name"] for s in document["sets"]] == ["a.jsonl", "b.jsonl", "pooled (2 files)"]
    json.dumps(document, allow_nan=False)


def test_costs_come_from_prices_else_from_every_files_costs_else_the_share_of_strong_calls():
    costed, plain = outcomes("c", 30, costs=(2.0, 0.5)), outcomes("p", 30)
    bases = [r.cost_basis for r in measure_sets(score([costed, plain], ROUTERS), resamples=5).reports]
    assert bases == ["data", "strong_share", "strong_share"]
    priced = measure_sets(score([costed, plain], ROUTERS), prices=(10.0, 1.0), resamples=5).reports
    assert {r.cost_basis for r in priced} == {"prices"}
    alone = {row.name: row for row in measure_sets(score([costed], ROUTERS), resamples=5).reports[0].rows}
    assert (alone["strong alone"].point_cost, alone["weak alone"].point_cost) == (2.0, 0.5)


def test_what_the_scores_warn_of_is_data(tmp_path):
    a = outcomes("a.jsonl", 30)
    copy = outcomes("b.jsonl", 30, scale=10.0)  # the same prompts, marks out of 10
    coverage = {"prompts": 30, "without_tokens": 0, "mean": 0.95, "q1": 0.9, "median": 0.95, "q3": 1.0}
    fitted_on = {"cv_apgr": 0.61, "prompt_digest": prompt_digest(a.texts[:15]), "coverage": coverage,
                 "shares": {"complex": 0.2}}
    router = FittedRouter(parse(json.dumps({**ROUTER, "fitted_on": fitted_on})))
    scoring = score([a, copy], [("proof", router), *ROUTERS])
    warnings = scoring.warnings
    assert warnings[:2] == [DifferentScales([("a.jsonl", 1.0), ("b.jsonl", 10.0)]), RepeatedAcrossFiles(30)]
    assert [(type(w), w.source) for w in warnings[2:]] == [(FittedOn, "a.jsonl"), (Unlike, "a.jsonl"),
                                                           (FittedOn, "b.jsonl"), (Unlike, "b.jsonl")]
    assert (warnings[2].share, warnings[2].cv_apgr, warnings[3].fitted.mean) == (0.5, 0.61, 0.95)
    assert warnings[3].coverage == scoring.sets[0].scored[0].checks.coverage
    first, pooled = scoring.sets[0].scored[0], scoring.sets[2].scored[0]
    assert pooled.checks.prompts == 60 and pooled.checks.fitted_share == 0.5
    assert pooled.checks.strong_share == first.checks.strong_share == pytest.approx(1 / 3)
    assert pooled.coverage == first.coverage * 2
    assert pooled.checks.coverage.mean == pytest.approx(first.checks.coverage.mean)
    rows = measure_sets(scoring, resamples=5).reports[2].as_json("big", "small")["rows"]
    assert (rows[0]["fitted_on_share"], rows[0]["placed_strong_share"], rows[0]["fitted_coverage"]) == (0.5, 0.2, 0.95)
    assert rows[1]["coverage"] is None
    records = list(prompt_records(scoring.sets[2]))
    assert [(r["source"], r["line"]) for r in records] == [("a.jsonl", i) for i in range(1, 31)] + \
        [("b.jsonl", i) for i in range(1, 31)]
    assert records[0]["routers"]["proof"] == {"score": first.scores[0], "model": "big", "coverage": first.coverage[0]}
    assert records[1]["routers"]["words"]["model"] is None and records[30]["strong"] == 10.0


def _problem(path, **kwargs):
    with pytest.raises(OutcomeProblem) as caught:
        outcomes_read = read_outcomes(str(path), **{"strong": "big", "weak": "small", **kwargs})
        outcomes_read.check_gap(kwargs.get("setting_names"))
    return str(caught.value)


@pytest.mark.parametrize("name, content, plain, named", [
    ("f.jsonl", {"text": "x", "scores": {"big": 1, "small": 0}},
     'no "prompt" field (the prompt; text_field names the field that holds it)',
     'no "prompt" field (the prompt; --field names the field that holds it)'),
    ("m.jsonl", {"prompt": "x", "scores": {"bug": 1, "small": 0}},
     "unknown strong model 'big': the first prompt has results for 'bug', 'small'",
     "unknown --strong model 'big': the first prompt has results for 'bug', 'small'"),
    ("c.csv", "text,big,small\nx,1,0\n",
     'no column "prompt" in the header (columns: "text", "big", "small"); text_field names the column that holds '
     'the prompt', 'no column "prompt" in the header (columns: "text", "big", "small"); --field names the column '
     'that holds the prompt'),
    ("w.csv", "prompt,big,smal\nx,1,0\n", "unknown weak model 'small': the header's columns are 'big', 'smal'",
     "unknown --weak model 'small': the header's columns are 'big', 'smal'"),
    ("s.jsonl", {"prompt": "x", "scores": {"big": 0, "small": 1}},
     "the strong model 'big' does worse than the weak model 'small' (0 against 1); swap them?",
     "the --strong model 'big' does worse than the --weak model 'small' (0 against 1); swap them?"),
])
def test_outcome_messages_name_the_settings_as_the_caller_does(tmp_path, name, content, plain, named):
    path = tmp_path / name
    path.write_text(content if isinstance(content, str) else json.dumps(content) + "\n")
    assert _problem(path).endswith(plain) and "--" not in _problem(path)
    assert _problem(path, setting_names={"strong": "--strong", "weak": "--weak", "text_field": "--field"}).endswith(named)
