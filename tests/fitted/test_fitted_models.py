"""Fitted routers of many models (router files of version 2), as the package loads them: each
model's predicted result against the formula the file documents, prices, the choice at a
trade-off, planted structure, files refused when they are not sensible, and the scorer's
memory, signals and hostile callers."""

import gc
import json
import math
import signal
from collections import Counter

import pytest
from hypothesis import given, strategies as st

from halvec import _fitted
from halvec.evaluation import estimate_input_tokens
from halvec.fitted import (ChoiceExplanation, FittedRouter, NoUsableModel, RouterFileError, explain_score, features,
                           load_router)
from halvec.fitted.router_file import dumps, parse

MODELS = ["big", "mid", "small"]
NGRAMS = [["prove", 2.0, [0.9, -0.1, -0.6]], ["prove that", 2.5, [0.4, 0.2, -0.3]], ["<num> %", 1.7, [0.3, 0.0, 0.1]],
          ["the sum of", 3.0, [0.2, 0.25, -0.2]], ["?", 1.2, [-0.3, 0.1, 0.05]], ["é", 1.1, [0.05, 0.0, 0.0]],
          ["name", 1.4, [-0.8, 0.3, 0.5]], ["i \u0307", 1.3, [0.5, 0.5, 0.5]], ["σας", 1.6, [0.25, -0.25, 0.0]],
          ["_x", 1.0, [0.1, 0.2, 0.3]], ["<num>", 1.05, [0.15, 0.0, -0.15]], ["of", 1.01, [0.01, 0.02, 0.03]]]


def document(**changes):
    doc = {"format": "halvec fitted router", "version": 2, "name": "m", "longest_ngram": 3, "models": MODELS,
           "catalogue": {"big": "claude-opus", "small": "claude-haiku"}, "intercepts": [0.7, 0.6, 0.4],
           "counts": {"words": {"weights": [0.01, 0.0, -0.02], "mean": 2.0, "scale": 0.5},
                      "characters": {"weights": [-0.02, 0.01, 0.0], "mean": 3.0, "scale": 1.5}},
           "prices": {"per_prompt": [0.01, 0.003, 0.0005], "per_input_token": [1e-5, 0.0, 2e-6],
                      "source": "prices file", "detail": "prices.toml, as of 2025-01"},
           "tradeoff": {"lambda": 20.0, "chosen_by": "target_share", "target": 0.95},
           "ngrams": NGRAMS, "fitted_on": {"files": []}}
    doc.update(changes)
    return doc


def router_of(**changes):
    return FittedRouter(parse(json.dumps(document(**changes))))


@pytest.fixture(scope="module")
def router():
    return router_of()


def reference(spec, text):
    """Each model's predicted result as the router file documents it, in plain Python."""
    index = {g: i for i, g in enumerate(spec.ngrams)}
    found = Counter(index[g] for g in features.ngrams(text, spec.longest_ngram) if g in index)
    shift = -max((math.frexp(spec.idf[i])[1] for i in found), default=0)
    values = {i: (1 + math.log(n)) * math.ldexp(spec.idf[i], shift) for i, n in found.items()}
    norm = math.hypot(*values.values())
    results = {}
    for m, model in enumerate(spec.models):
        result = spec.intercepts[m] + (math.fsum(spec.weights[i][m] * (v / norm) for i, v in values.items())
                                       if norm else 0.0)
        for name, value in zip(features.COUNT_NAMES, features.counts(text)):
            term = spec.counts[name]
            result += term.weights[m] * (value - term.mean) / term.scale
        results[model] = result
    return results


def reference_prices(spec, text):
    tokens = estimate_input_tokens(str.__str__(text))
    return {model: spec.prices.per_prompt[m] + spec.prices.per_input_token[m] * tokens
            for m, model in enumerate(spec.models)}


def reference_choice(results, prices, usable, tradeoff):
    """The usable model with the highest result less tradeoff times price; the lower price, then
    the earlier model, among equals."""
    order = list(results)
    return min(usable, key=lambda m: (-(results[m] - tradeoff * prices[m]), prices[m], order.index(m)))


WORDS = ["prove", "PROVE", "that", "The", "sum", "of", "name", "İ", "ΣΑΣ", "é", "É", "_x", "x_", "12", "٣٤",
         "%", "?", "¿", "3.5%", "ǅ", "\u0301", "\ud800", "ﬀ", "😀"]
texts = st.lists(st.one_of(st.sampled_from(WORDS), st.text(max_size=6)), max_size=30).flatmap(
    lambda words: st.lists(st.sampled_from([" ", "  ", "\t", "\n", "\u3000", "", "\x1c"]),
                           min_size=len(words), max_size=len(words)).map(
        lambda gaps: "".join(w + g for w, g in zip(words, gaps))))
tradeoffs = st.one_of(st.sampled_from([0.0, 5e-324, 1e-300, 1.0, 20.0, 1e6, 1e300, 1.7e308]),
                      st.floats(min_value=0, max_value=1e4))


@given(st.lists(texts, max_size=5), tradeoffs, st.sets(st.sampled_from(MODELS), min_size=1))
def test_results_prices_and_choices_follow_the_documented_formulas(router, batch, tradeoff, usable):
    spec = router.spec
    rows = router.qualities_batch(batch)
    assert rows == [list(router.qualities(text).values()) for text in batch]
    assert router.qualities_batch(tuple(batch), flat=True).tolist() == [q for row in rows for q in row]
    assert router.prices_batch(batch) == [list(router.prices(text).values()) for text in batch]
    chosen = router.choose_batch(batch, usable, tradeoff)
    for text, row, choice in zip(batch, rows, chosen):
        want = reference(spec, text)
        assert all(math.isclose(q, want[m], rel_tol=1e-9, abs_tol=1e-12) for q, m in zip(row, MODELS)), text
        results, prices = router.qualities(text), router.prices(text)
        assert prices == reference_prices(spec, text)
        assert choice == router.choose(text, usable, tradeoff) == reference_choice(results, prices, usable, tradeoff)
    assert router.coverage(batch) == [_coverage(spec, text) for text in batch]


def _coverage(spec, text):
    places = features.ngrams(text, spec.longest_ngram)
    return sum(g in set(spec.ngrams) for g in places) / len(places) if places else None


@given(texts)
def test_each_models_result_is_the_score_of_a_one_model_router_with_its_weights(router, text):
    # the same reading, the same sums in the same order: equal to the last bit
    spec = router.spec
    for m, model in enumerate(spec.models):
        one = _fitted.Scorer(spec.ngrams, [row[m] for row in spec.weights], spec.idf, spec.longest_ngram,
                             spec.intercepts[m], *[(spec.counts[name].weights[m], spec.counts[name].mean,
                                                    spec.counts[name].scale) for name in features.COUNT_NAMES])
        assert router.qualities(text)[model] == one.score(text)


@pytest.mark.parametrize("idf", [5e-324, 1e-200, 1e155, 1.7e308])
def test_the_ngram_terms_hold_whatever_the_idf(idf):
    router = router_of(ngrams=[["a", idf, [1.0, -1.0, 1e-300]], ["b", idf, [-0.5, 1e300, 0.0]],
                               ["a b", idf / 2 or idf, [0.25, 0.0, 1e-310]]])
    for text in ["a", "a b", "a a b", "b a"]:
        want = reference(router.spec, text)
        assert all(math.isclose(q, want[m], rel_tol=1e-9) for m, q in router.qualities(text).items()), text


def test_a_keyword_only_one_model_handles_sends_its_prompts_there():
    # 'regex' is solved by the coder alone; otherwise every model does as well, and the cheapest wins
    coder = router_of(models=["general", "coder", "cheap"], catalogue={},
                      intercepts=[0.8, 0.8, 0.8], ngrams=[["regex", 3.0, [-0.4, 0.5, -0.4]], ["write", 1.0, [0.0] * 3]],
                      counts={name: {"weights": [0.0] * 3, "mean": 0.0, "scale": 1.0} for name in ("words", "characters")},
                      prices={"per_prompt": [0.01, 0.02, 0.001], "source": "catalogue"},
                      tradeoff={"lambda": 1.0, "chosen_by": "tradeoff"})
    assert coder.choose_batch(["Write a regex for dates", "Write a poem", "write REGEX"]) == ["coder", "cheap", "coder"]
    # without the coder, the choice goes by price again: the keyword hurts the others alike
    assert coder.choose("write a regex", usable=["general", "cheap"]) == "cheap"
    # a trade-off so large that no result makes up for a price: the cheapest, whatever the text
    assert coder.choose("write a regex", tradeoff=1e6) == "cheap"
    why = explain_score(coder, "Write a regex for dates")
    assert isinstance(why, ChoiceExplanation) and (why.chosen, why.runner_up) == ("coder", "cheap")
    assert why.separating[0].ngram == "regex" and why.separating[0].contribution > 0.8  # 0.9 times its share


def test_equal_results_go_to_the_cheaper_model_then_the_earlier():
    flat = {name: {"weights": [0.0] * 3, "mean": 0.0, "scale": 1.0} for name in ("words", "characters")}
    same = router_of(intercepts=[0.5, 0.5, 0.5], ngrams=[], counts=flat, catalogue={},
                     prices={"per_prompt": [0.02, 0.001, 0.001], "source": "outcome costs"},
                     tradeoff={"lambda": 0.0, "chosen_by": "tradeoff"})
    assert same.choose("anything") == "mid"  # at a trade-off of 0 too: ties go to the lower price
    assert same.choose("anything", usable=["small", "big"]) == "small"
    assert same.choose("anything", usable=["big"], tradeoff=1e308) == "big"
    # prices too large for their product with the trade-off: every objective -inf, told apart by price
    dear = router_of(intercepts=[0.5, 0.9, 0.1], ngrams=[], counts=flat,
                     prices={"per_prompt": [3.0, 2.0, 4.0], "source": "catalogue"})
    assert dear.choose("x", tradeoff=1.7e308) == "mid" and dear.choose("x", tradeoff=0.0) == "mid"
    assert dear.choose("x", tradeoff=5e-324) == "mid"


def test_prices_grow_with_the_description_as_eval_estimates_its_tokens(router):
    for text in ["", "a", "abcd", "abcde", "é" * 3, "\u4e00" * 5, "😀", "\ud800", "x" * 10_001]:
        assert router.prices(text) == reference_prices(router.spec, text)
    cheap = router_of(prices={"per_prompt": [0.1, 0.2, 0.3], "source": "prices file"})
    assert cheap.prices("a" * 1000) == {"big": 0.1, "mid": 0.2, "small": 0.3}  # per_input_token left out: none


def test_str_subclasses_and_every_string_kind_are_read_as_the_str_they_hold(router):
    class Hostile(str):
        def lower(self):
            raise AssertionError("read as the str it holds")

        def encode(self, *args):
            raise AssertionError("measured as the str it holds")

        def __hash__(self):
            raise AssertionError("looked up as the str it holds")
    for text in ["Prove that 12 % of it", "é σας", "\u4e00 prove", "😀 name?", "\ud800 of"]:
        assert router.qualities(Hostile(text)) == router.qualities(text)
        assert router.prices(Hostile(text)) == router.prices(text)
        assert router.choose(Hostile(text), [Hostile("big"), "mid"]) == router.choose(text, ["big", "mid"])
        assert explain_score(router, Hostile(text)) == explain_score(router, text)


def test_hostile_callers_get_clear_errors(router):
    with pytest.raises(ValueError, match="'huge' is not one of the models"):
        router.choose("x", ["big", "huge"])
    with pytest.raises(TypeError, match="not int"):
        router.choose("x", ["big", 3])
    with pytest.raises(TypeError, match="not a str"):
        router.choose("x", "big")
    with pytest.raises(NoUsableModel):
        router.choose("x", [])
    with pytest.raises(NoUsableModel):
        router.choose_batch(["x"], iter(()))

    def broken():
        yield "big"
        raise KeyError("from the generator")
    with pytest.raises(KeyError, match="from the generator"):
        router.choose("x", broken())
    assert router.choose("prove it", ["small"] * 1_000_000 + ["mid"]) in {"small", "mid"}
    for tradeoff in [math.nan, math.inf, -1.0, -5e-324, 10 ** 400]:
        with pytest.raises(ValueError, match="finite number at least 0"):
            router.choose("x", tradeoff=tradeoff)
    for tradeoff in [True, "1", None.__class__]:
        with pytest.raises(TypeError):
            router.choose("x", tradeoff=tradeoff)
    assert router.choose("x", tradeoff=-0.0) == router.choose("x", tradeoff=0)
    for method in (router.qualities, router.prices, lambda t: router.choose(t)):
        with pytest.raises(TypeError, match="must be a str"):
            method(b"x")
    with pytest.raises(TypeError):
        router.qualities_batch(["x", None])


def test_each_version_refuses_what_the_other_gives(router):
    with pytest.raises(TypeError, match="version-2 router"):
        router.score(["x"])
    for asked in (lambda: router.cuts, lambda: router.score_one("x"), lambda: router.strong_mask([0.1]),
                  lambda: router.tier_of(0.2), lambda: router.score_and_coverage(["x"])):
        with pytest.raises(TypeError, match="version-2 router"):
            asked()
    one = FittedRouter(parse(json.dumps({
        "format": "halvec fitted router", "version": 1, "longest_ngram": 1, "intercept": 0.0,
        "cuts": {"moderate": 0.0, "complex": 1.0},
        "counts": {n: {"weight": 0.0, "mean": 0.0, "scale": 1.0} for n in ("words", "characters")},
        "ngrams": [["a", 1.0, 1.0]], "fitted_on": {"strong": "gpt-4", "weak": "mixtral"}})))
    assert one.models == ("gpt-4", "mixtral") and one.version == 1 and one.coverage(["a b"]) == [0.5]
    for asked in (lambda: one.qualities("a"), lambda: one.choose("a"), lambda: one.prices("a"),
                  lambda: one.qualities_batch(["a"]), lambda: one.tradeoff, lambda: one.catalogue_keys()):
        with pytest.raises(TypeError, match="version-1 router: it scores one model's gain over another"):
            asked()
    with pytest.raises(TypeError, match="no models to choose among"):
        explain_score(one, "a", tradeoff=1.0)


def test_the_tier_is_the_chosen_models_catalogue_tier(write, mr, monkeypatch):
    path = write(document(tradeoff={"lambda": 0.0, "chosen_by": "tradeoff"}))
    router = load_router(path)
    assert router.choose("prove that") == "big" and router.tier("prove that") == mr.Complexity.COMPLEX
    assert router.choose("name name") == "small" and router.tier("name name") == mr.Complexity.SIMPLE
    assert router.catalogue_keys() == {"big": "claude-opus", "small": "claude-haiku"}
    # a model the catalogue maps to no key has no tier; a key not in the catalogue in force names the file
    assert router.choose("name", usable=["mid", "big"]) == "mid"
    monkeypatch.setitem(mr.AVAILABLE_MODELS, "local", mr.ModelSpec("local-1", "ollama", "Local", mr.Complexity.MODERATE))
    mapped = load_router(write(document(catalogue={"big": "claude-opus", "mid": "local", "small": "claude-haiku"},
                                        tradeoff={"lambda": 1e6, "chosen_by": "budget", "target": 0.001}), "m.json"))
    assert mapped.tier("prove") == mr.Complexity.SIMPLE  # the cheapest, at such a trade-off
    monkeypatch.delitem(mr.AVAILABLE_MODELS, "local")
    with pytest.raises(RouterFileError, match=r"m\.json'.*maps 'mid' to 'local', which is not in the catalogue"):
        mapped.tier("prove")
    unmapped = load_router(write(document(catalogue={}, tradeoff={"lambda": 0.0, "chosen_by": "tradeoff"}), "u.json"))
    with pytest.raises(ValueError, match="maps to no catalogue key"):
        unmapped.tier("prove")


def test_a_router_file_reads_back_as_written_one_ngram_a_line(write):
    spec = parse(json.dumps(document()))
    text = dumps(spec)
    assert dumps(parse(text)) == text
    lines = text.splitlines()
    start = lines.index('  "ngrams": [')
    listed = [json.loads(line.strip().rstrip(",")) for line in lines[start + 1:start + 1 + len(NGRAMS)]]
    spreads = [max(w) - min(w) for _, _, w in listed]
    assert spreads == sorted(spreads, reverse=True) and sorted(map(json.dumps, listed)) == sorted(map(json.dumps, NGRAMS))
    bare = {k: v for k, v in document().items() if k not in ("name", "catalogue", "fitted_on")}
    bare["prices"] = {"per_prompt": [0.0, 0.0, 0.0], "source": "outcome costs"}
    again = load_router(write(bare, "named-by-file.json"))
    assert again.name == "named-by-file" and again.spec.catalogue == {} and again.spec.prices.detail == ""
    assert json.loads(dumps(again.spec))["prices"]["per_input_token"] == [0.0] * 3


def _replace_ngram_weight(value):
    return json.dumps(document()).replace("[0.9, -0.1, -0.6]", value, 1)


@pytest.mark.parametrize("content, problem", [
    (document(models=["a"], intercepts=[0.0]), "2 to 16 models, not 1"),
    (document(models=[f"m{i}" for i in range(17)]), "2 to 16 models, not 17"),
    (document(models=["big", "big", "small"]), "'big' is there twice"),
    (document(models=["big", " ", "small"]), "not a name"),
    (document(models="big"), '"models" must be a list'),
    (document(intercepts=[0.1, 0.2]), '"intercepts" must be a list of 3 numbers'),
    (_replace_ngram_weight("[0.9, -0.1]"), "weights must be a list of 3 numbers"),
    (_replace_ngram_weight("[0.9, -0.1, -0.6, 0.0]"), "weights must be a list of 3 numbers"),
    (_replace_ngram_weight("[0.9, -0.1, NaN]"), "NaN is not a number"),
    (_replace_ngram_weight("[0.9, -0.1, 1e999]"), "finite number"),
    (_replace_ngram_weight("[0.9, -0.1, true]"), "must be a number"),
    (document(ngrams=[["prove", [0.1, 0.2, 0.3], 1.0]]), "idf must be a number"),
    (document(ngrams=[["prove", 1.0, 0.1]]), "weights must be a list of 3 numbers"),
    (document(ngrams=[["prove", 0.0, [0.1, 0.2, 0.3]]]), "idf must be above 0"),
    (document(ngrams=[["Prove", 1.0, [0.1, 0.2, 0.3]]]), "not an n-gram the router can find"),
    (document(ngrams=[["a", 1.0, [0.0] * 3], ["a", 1.0, [0.0] * 3]]), "there twice"),
    (document(counts={"words": {"weights": [0.0] * 2, "mean": 0.0, "scale": 1.0},
                      "characters": document()["counts"]["characters"]}), '"counts"."words".weights must be a list'),
    (document(counts={"words": {"weight": 0.0, "mean": 0.0, "scale": 1.0},
                      "characters": document()["counts"]["characters"]}), "has no 'weights'"),
    (document(prices={"per_prompt": [0.01, -0.003, 0.0], "source": "prices file"}),
     "the price of 'mid' must be at least 0"),
    (document(prices={"per_prompt": [0.01, 0.0, 0.0], "per_input_token": [0.0, -1e-9, 0.0], "source": "catalogue"}),
     '"per_input_token": the price of \'mid\''),
    (json.dumps(document()).replace("0.003", "Infinity"), "Infinity is not a number"),
    (json.dumps(document()).replace("0.003", "1e400"), "finite number"),
    (document(prices={"per_prompt": [0.01, 0.0, 0.0], "per_input_token": [0.0, 1e300, 0.0], "source": "catalogue"}),
     "the price of 'mid' could reach"),
    (document(prices={"per_prompt": [0.01, 0.0, 0.0], "source": "a guess"}), '"prices"."source" must be one of'),
    (document(prices={"per_prompt": [0.01, 0.0, 0.0]}), "has no 'source'"),
    (document(prices={"per_prompt": [0.01, 0.0, 0.0], "source": "catalogue", "detail": 3}), '"detail" must be a text'),
    (document(prices={"per_prompt": [0.01, 0.0, 0.0], "source": "catalogue", "currency": "EUR"}), "unknown key 'currency'"),
    (document(tradeoff={"lambda": -1.0, "chosen_by": "tradeoff"}), '"lambda" must be at least 0'),
    (json.dumps(document()).replace('"lambda": 20.0', '"lambda": NaN'), "NaN is not a number"),
    (json.dumps(document()).replace('"lambda": 20.0', '"lambda": 1e999'), "finite number"),
    (document(tradeoff={"lambda": 1.0, "chosen_by": "guess"}), '"chosen_by" must be one of'),
    (document(tradeoff={"lambda": 1.0, "chosen_by": "budget"}), 'needs the "target"'),
    (document(tradeoff={"lambda": 1.0, "chosen_by": "budget", "target": -0.5}), '"target" must be at least 0'),
    (document(catalogue={"huge": "claude-opus"}), "maps 'huge', which is not one of \"models\""),
    (document(catalogue={"big": ""}), "not to a catalogue key"),
    (document(catalogue=["big"]), '"catalogue" must be an object'),
    (document(cuts={"moderate": 0.0, "complex": 1.0}), "unknown key 'cuts'"),
    ({k: v for k, v in document().items() if k != "tradeoff"}, "'tradeoff' is missing"),
    (json.dumps(document()).replace('"version": 2', '"version": 2, "version": 2'), "there twice"),
    # finite numbers whose results would not be, for one model
    (document(intercepts=[0.1, 1e308, 0.0], ngrams=[["ab", 1.0, [0.0, 1e308, 0.0]]]), "the results of 'mid': scores could reach inf"),
    (document(counts={"words": {"weights": [0.0, 0.0, 1.0], "mean": 0.0, "scale": 1e-320},
                      "characters": document()["counts"]["characters"]}), "the results of 'small': the \"counts\".\"words\" term"),
])
def test_nonsense_is_refused_with_the_reason(write, content, problem):
    path = write(content)
    with pytest.raises(RouterFileError) as caught:
        load_router(path)
    assert repr(path) in str(caught.value) and problem in str(caught.value)


def test_the_scorer_refuses_what_the_file_checks_would():
    terms = ([0.0, 0.0], 0.0, 1.0)
    ok = dict(models=("a", "b"), ngrams=["x"], weights=[[1.0, 2.0]], idf=[1.0], longest=3, intercepts=[0.0, 0.0],
              words=terms, characters=terms, per_prompt=[0.0, 1.0], per_input_token=[0.0, 0.0])
    for changes, error in [({"models": ("a",) * 17}, ValueError), ({"models": ()}, ValueError),
                           ({"models": ("a", "a")}, ValueError), ({"models": ("a", 1)}, TypeError),
                           ({"models": "ab"}, TypeError), ({"weights": [[1.0]]}, ValueError),
                           ({"weights": [(1.0, 2.0)]}, ValueError), ({"weights": [[1.0, 2]]}, ValueError),
                           ({"weights": [[1.0, math.nan]]}, ValueError), ({"weights": [1.0]}, ValueError),
                           ({"intercepts": [0.0, math.inf]}, ValueError), ({"intercepts": [0.0]}, ValueError),
                           ({"intercepts": [0, 0]}, TypeError), ({"words": ([0.0, 0.0], 0.0, 0.0)}, ValueError),
                           ({"per_prompt": [0.0, -1.0]}, ValueError), ({"per_input_token": [math.nan, 0.0]}, ValueError),
                           ({"per_prompt": {0.0, 1.0}}, TypeError), ({"ngrams": ["x y z w"]}, ValueError)]:
        with pytest.raises(error):
            _fitted.ModelScorer(**{**ok, **changes})
    scorer = _fitted.ModelScorer(**ok)
    assert scorer.models == ("a", "b") and scorer.choose("x", 3, 0.0) == "b" and scorer.choose("x", 3, 1.0) == "a"
    for usable, tradeoff, error in [(0, 0.0, ValueError), (4, 0.0, ValueError), (-1, 0.0, ValueError),
                                    (1 << 80, 0.0, ValueError), (1.0, 0.0, TypeError), (3, math.nan, ValueError),
                                    (3, -1.0, ValueError), (3, "1", TypeError), (3, 10 ** 400, OverflowError)]:
        with pytest.raises(error):
            scorer.choose("x", usable, tradeoff)
    with pytest.raises(TypeError):
        scorer.choose("x", 3)
    assert scorer.qualities_of([], flat=True).tolist() == [] and scorer.choices((), 1, 0.0) == []
    with pytest.raises(TypeError):
        scorer.qualities_of(iter(["x"]))


def test_an_explanation_adds_up_to_the_lead_and_points_at_the_text(router):
    text = "Prove that the sum of 12 % of it is é? name"
    for usable, tradeoff in [(None, None), (["mid", "small"], 0.0), (["small", "big"], 1e3)]:
        why = explain_score(router, text, top=100, usable=usable, tradeoff=tradeoff)
        assert why.chosen == router.choose(text, usable, tradeoff) and why.found == len(why.separating)
        figures = {f.model: f for f in why.models}
        assert [f.result for f in why.models] == list(router.qualities(text).values())
        assert all(f.objective == f.result - why.tradeoff * f.price for f in why.models)
        runner = figures[why.runner_up]
        assert why.lead == figures[why.chosen].objective - runner.objective >= 0
        parts = why.intercepts_part + why.counts_part + why.price_part + sum(s.contribution for s in why.separating)
        assert math.isclose(parts, why.lead, rel_tol=1e-9, abs_tol=1e-12)
        assert max((f for f in why.models if f.usable and f.model != why.chosen),
                   key=lambda f: (f.objective, -f.price)) == runner
        for s in why.separating:
            assert text.lower()[s.span[0]:s.span[1]] == s.match
    alone = explain_score(router, text, usable=["mid"])
    assert alone.runner_up is None and alone.lead == 0.0 and alone.separating == ()


@pytest.fixture
def hooks(fitted_hooks):
    return fitted_hooks


def test_the_tables_count_against_the_fitted_routers_budget(hooks, write):
    ngrams = [[f"w{i}", 1.0, [0.5] * 16] for i in range(2000)]
    many = document(models=[f"m{i}" for i in range(16)], catalogue={}, intercepts=[0.0] * 16,
                    counts={n: {"weights": [0.0] * 16, "mean": 0.0, "scale": 1.0} for n in ("words", "characters")},
                    prices={"per_prompt": [0.0] * 16, "source": "catalogue"}, ngrams=ngrams)
    path = write(many)
    gc.collect()
    before = hooks.memory_in_use()
    router = load_router(path)
    two = load_router(write(document(ngrams=[[g, i, w[:3]] for g, i, w in ngrams]), "three.json"))
    assert router.memory > two.memory + 2000 * 13 * 8  # a row of 17 doubles an n-gram, against 4
    assert hooks.memory_in_use() - before == router.memory + two.memory
    del router, two
    assert hooks.memory_in_use() == before
    hooks.set_budget(before + 100_000)
    with pytest.raises(RouterFileError, match="too large to load"):
        load_router(path)
    hooks.set_budget(0)
    for nth in range(1, 12):  # every allocation of a build, failing in turn, leaves nothing held
        start = hooks.memory_in_use()
        hooks.fail_allocation(nth)
        try:
            load_router(path)
        except MemoryError:
            pass
        hooks.fail_allocation(0)
        assert hooks.memory_in_use() <= start


@pytest.mark.skipif(not hasattr(signal, "setitimer"), reason="needs interval timers")
def test_signals_stop_a_long_choice_and_a_handler_may_choose_meanwhile(router):
    long_text = "prove that the sum of 12 % " * 800_000
    inside = []
    before = router.qualities("prove that the sum of 12 %")

    def handler(signum, frame):
        inside.append((router.qualities("prove that ?"), router.choose("name")))
        if len(inside) == 2:
            raise KeyboardInterrupt
    previous = signal.signal(signal.SIGALRM, handler)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.001, 0.001)
        with pytest.raises(KeyboardInterrupt):
            while True:
                router.choose(long_text)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert len(inside) >= 2 and all(seen == inside[0] for seen in inside)
    assert router.qualities("prove that the sum of 12 %") == before


def _interrupt(signum, frame):
    raise KeyboardInterrupt


@pytest.mark.parametrize("read", ["qualities", "flat", "prices", "choices", "coverage"])
def test_many_short_texts_stop_for_signals_and_a_handler_may_edit_the_list(router, hooks, read):
    texts = ["prove that", "", "é Σ 😀"] * 200_000
    do = {"qualities": router.qualities_batch, "flat": lambda t: router.qualities_batch(t, flat=True).tolist(),
          "prices": router.prices_batch, "choices": router.choose_batch, "coverage": router.coverage}[read]
    whole = do(texts)

    def handler(signum, frame):
        texts.clear()
    previous = signal.signal(signal.SIGUSR1, handler)
    # (rows are lists: a collection that a check for signals runs first would run the handler
    # in a callback of the collector's, where what it raises is lost)
    gc.disable()
    try:
        hooks.signal_at_check(1, signal.SIGUSR1)
        cut = do(texts)
        assert 0 < len(cut) < len(whole) and cut == whole[:len(cut)]
        texts.extend(["prove that"] * 600_000)
        signal.signal(signal.SIGUSR1, _interrupt)
        hooks.signal_at_check(1, signal.SIGUSR1)
        with pytest.raises(KeyboardInterrupt):
            do(texts)
    finally:
        gc.enable()
        hooks.signal_at_check(0, signal.SIGUSR1)
        signal.signal(signal.SIGUSR1, previous)
