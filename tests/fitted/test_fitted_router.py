"""Fitted routers as the package loads them (no scikit-learn needed): the native scorer against
the formula the router file documents, tiers and cut points, router files refused when they
are not sensible, and the scorer's memory, signals and hostile callers."""

import gc
import json
import math
import signal
from collections import Counter

import pytest
from hypothesis import given, strategies as st

from halvec import _fitted
from halvec.fitted import FittedRouter, RouterFileError, features, load_router
from halvec.fitted.router_file import dumps, parse

NGRAMS = [["prove", 0.9, 2.0], ["prove that", 0.4, 2.5], ["<num> %", 0.3, 1.7], ["the sum of", 0.2, 3.0],
          ["?", -0.3, 1.2], ["é", 0.05, 1.1], ["name", -0.8, 1.4], ["i \u0307", 0.5, 1.3], ["σας", 0.25, 1.6], ["_x", 0.1, 1.0], ["<num>", 0.15, 1.05], ["of", 0.01, 1.01]]


def document(**changes):
    doc = {"format": "halvec fitted router", "version": 1, "name": "t", "longest_ngram": 3, "intercept": 0.1,
           "cuts": {"moderate": 0.0, "complex": 0.5},
           "counts": {"words": {"weight": 0.01, "mean": 2.0, "scale": 0.5},
                      "characters": {"weight": -0.02, "mean": 3.0, "scale": 1.5}},
           "ngrams": NGRAMS, "fitted_on": {"files": []}}
    doc.update(changes)
    return doc


@pytest.fixture(scope="module")
def router():
    return FittedRouter(parse(json.dumps(document())))


def reference(spec, text):
    """The score as the router file documents it, in plain Python."""
    index = {g: i for i, g in enumerate(spec.ngrams)}
    found = Counter(index[g] for g in features.ngrams(text, spec.longest_ngram) if g in index)
    # scaled by a power of two (the shares of the norm unchanged), so that no idf overflows or underflows it
    shift = -max((math.frexp(spec.idf[i])[1] for i in found), default=0)
    values = {i: (1 + math.log(n)) * math.ldexp(spec.idf[i], shift) for i, n in found.items()}
    norm = math.hypot(*values.values())
    score = spec.intercept + (math.fsum(spec.weights[i] * (v / norm) for i, v in values.items()) if norm else 0.0)
    for name, value in zip(features.COUNT_NAMES, features.counts(text)):
        term = spec.counts[name]
        score += term.weight * (value - term.mean) / term.scale
    return score


def reference_coverage(spec, text):
    """The share of the text's n-gram places that hold one of the router's n-grams, in plain Python."""
    places = features.ngrams(text, spec.longest_ngram)
    known = set(spec.ngrams)
    return sum(g in known for g in places) / len(places) if places else None


WORDS = ["prove", "PROVE", "that", "The", "sum", "of", "name", "İ", "ΣΑΣ", "é", "É", "_x", "x_", "12", "٣٤",
         "%", "?", "¿", "3.5%", "ǅ", "\u0301", "\ud800", "ﬀ"]
texts = st.lists(st.one_of(st.sampled_from(WORDS), st.text(max_size=6)), max_size=30).flatmap(
    lambda words: st.lists(st.sampled_from([" ", "  ", "\t", "\n", "\u3000", "", "\x1c"]),
                           min_size=len(words), max_size=len(words)).map(
        lambda gaps: "".join(w + g for w, g in zip(words, gaps))))


@given(st.lists(texts, max_size=5))
def test_scores_follow_the_documented_formula(router, batch):
    scores = router.score(batch)
    assert scores == [router.score_one(text) for text in batch]
    for text, score in zip(batch, scores):
        assert math.isclose(score, reference(router.spec, text), rel_tol=1e-9, abs_tol=1e-12), text
    # the coverage, read in the same pass, is the documented share, and leaves the scores as they are
    assert router.score_and_coverage(batch) == (scores, [reference_coverage(router.spec, t) for t in batch])


# 1-byte text is read 64 characters at a time: tokens, words and long runs across those blocks,
# every ASCII and Latin-1 class among them, scored by a router that weighs every symbol and a
# long word, so that a token cut wrongly shows in the score
blocks = st.builds(lambda fill, n, rest: fill * n + "".join(rest), st.sampled_from(["a", " ", "%", "1", "é"]),
                   st.sampled_from([0, 62, 63, 64, 127, 128]),  # what follows falls at a block's edge
                   st.lists(st.one_of(st.text(st.characters(max_codepoint=255), max_size=3),
                                      st.sampled_from(["prove", "that", "1234", "x" * 70, " " * 65, "%", " "])),
                            max_size=40))


@pytest.fixture(scope="module")
def symbols():
    marks = [c for c in map(chr, range(33, 256)) if not (c.isalnum() or c.isspace() or c in "_?é")]
    ngrams = NGRAMS + [[c, 0.5 - i / 40, 1.0 + i / 50] for i, c in enumerate(marks)] + [["x" * 70, 0.7, 1.9]]
    return FittedRouter(parse(json.dumps(document(ngrams=ngrams))))


@given(blocks)
def test_texts_across_blocks_follow_the_documented_formula(symbols, text):
    assert math.isclose(symbols.score_one(text), reference(symbols.spec, text), rel_tol=1e-9, abs_tol=1e-12)
    assert symbols.score_and_coverage((text,))[1] == [reference_coverage(symbols.spec, text)]


def test_coverage_counts_places_up_to_the_routers_longest_ngram():
    counts = (0.0, 0.0, 1.0)
    for longest, want in [(1, [1 / 3, 0.0, None]), (2, [2 / 5, 0.0, None]), (3, [3 / 6, 0.0, None])]:
        scorer = _fitted.Scorer(["prove", "prove that", "that it"][:longest], [1.0] * longest, [1.0] * longest,
                                  longest, 0.0, counts, counts)
        assert scorer.scores_and_coverage(["Prove that it", "nothing known", " \t "]) == (
            scorer.scores(["Prove that it", "nothing known", " \t "]), want)


@pytest.mark.parametrize("idf", [5e-324, 1e-200, 1e-160, 1e155, 1e200, 1.7e308])
def test_the_ngram_term_holds_whatever_the_idf(idf):
    from halvec.fitted import explain_score
    counts = {"weight": 0.0, "mean": 0.0, "scale": 1.0}
    router = FittedRouter(parse(json.dumps(document(
        intercept=0.0, counts={"words": counts, "characters": counts},
        ngrams=[["a", 1.0, idf], ["b", -0.5, idf], ["c", 1e300, idf], ["a b", 0.25, idf / 2 or idf]]))))
    assert router.score_one("a") == 1.0 and router.score_one("c") == 1e300
    for text in ["a", "a b", "a a b", "c a", "c c a b"]:
        assert math.isclose(router.score_one(text), reference(router.spec, text), rel_tol=1e-9), text
        why = explain_score(router, text, top=10)
        assert math.isclose(sum(c.contribution for c in why.contributions), why.score, rel_tol=1e-9), text


def test_tiers_cut_points_and_the_operating_point(write, mr):
    router = load_router(write(document(cuts={"moderate": 0.1, "complex": 0.3}, ngrams=[], intercept=0.0,
                                        counts={"words": {"weight": 1.0, "mean": 0.0, "scale": 1.0},
                                                "characters": {"weight": 0.0, "mean": 0.0, "scale": 1.0}})))
    # score = log1p(words): 0 words 0.0, 1 word 0.69; the cuts are inclusive
    assert router.tier("") == mr.Complexity.SIMPLE and router.tier("one") == mr.Complexity.COMPLEX
    assert [router.tier_of(s) for s in (0.0999, 0.1, 0.2999, 0.3)] == [
        mr.Complexity.SIMPLE, mr.Complexity.MODERATE, mr.Complexity.MODERATE, mr.Complexity.COMPLEX]
    assert router.strong_mask([0.29, 0.3, 5.0]) == [False, True, True]
    assert router.name == "t" and router.cuts == (0.1, 0.3)


def test_a_router_file_reads_back_as_written(write):
    spec = parse(json.dumps(document()))
    again = parse(dumps(spec))
    assert dumps(again) == dumps(spec) and again.cuts == spec.cuts and again.counts == spec.counts
    assert sorted(zip(again.ngrams, again.weights, again.idf)) == sorted(map(tuple, NGRAMS))
    listed = json.loads(dumps(spec))["ngrams"]
    assert [w for _, w, _ in listed] == sorted((w for _, w, _ in NGRAMS), reverse=True)
    del_name = {k: v for k, v in document().items() if k != "name"}
    assert load_router(write(del_name, "named-by-file.json")).name == "named-by-file"


def test_lone_surrogates_are_written_as_escapes_and_read_back(write):
    # a prompt's JSON may hold "\ud800", and then an n-gram; a file name not UTF-8 holds one too
    spec = parse(json.dumps(document(name="r\udcff", ngrams=[*NGRAMS, ["\ud800", 0.7, 1.2], ["\udfff ?", 0.2, 1.1]],
                                     fitted_on={"files": [{"name": "\udcfe.jsonl"}]})))
    text = dumps(spec)
    assert "\\ud800" in text and text.encode("utf-8").decode("utf-8") == text
    again = load_router(write(text.encode("utf-8")))
    assert dumps(again.spec) == text and again.name == "r\udcff"
    text = "\ud800 \udfff ?"  # both n-grams found
    assert again.score_one(text) == FittedRouter(spec).score_one(text) == pytest.approx(reference(spec, text))
    assert FittedRouter(spec).score_and_coverage([text])[1] == [reference_coverage(spec, text)] == [3 / 6]


@pytest.mark.parametrize("content, problem", [
    (json.dumps(document())[:200], "ends too soon"),
    ("{]", "not JSON"),
    (b"\xff\xfe{}", "not UTF-8"),
    ([1, 2], "no \"format\""),
    (document(version=3), "version 3 is not one this halvec reads (it reads versions 1 and 2)"),
    (document(version=True), "version True"),
    ({k: v for k, v in document().items() if k != "cuts"}, "'cuts' is missing"),
    (document(extra=1), "unknown key 'extra'"),
    (json.dumps(document()).replace("0.9", "NaN", 1), "NaN is not a number"),
    (json.dumps(document()).replace("0.9", "1e999", 1), "finite number"),
    (json.dumps(document()).replace("0.9", "1" + "0" * 400, 1), "finite number"),
    (json.dumps(document()).replace("0.9", "1" + "0" * 5000, 1), "too many digits"),
    (document(intercept="0.1"), "must be a number"),
    (document(cuts={"moderate": 0.6, "complex": 0.5}), "out of order"),
    (document(cuts={"moderate": 0.1}), "has no 'complex'"),
    (document(counts={"words": {"weight": 1, "mean": 0, "scale": 0}, "characters": document()["counts"]["characters"]}),
     "above 0"),
    (document(ngrams=[["Prove", 1.0, 1.0]]), "not an n-gram the router can find"),
    (document(ngrams=[["3 apples", 1.0, 1.0]]), "not an n-gram"),
    (document(ngrams=[["a  b", 1.0, 1.0]]), "not an n-gram"),
    (document(ngrams=[["a b c d", 1.0, 1.0]]), "not an n-gram"),
    (document(longest_ngram=1, ngrams=[["a b", 1.0, 1.0]]), "not an n-gram"),
    (document(ngrams=[["ab", 1.0, 1.0], ["ab", 2.0, 1.0]]), "there twice"),
    (document(ngrams=[["ab", 1.0, 0.0]]), "idf must be above 0"),
    (document(ngrams=[["ab", 1.0]]), "must be [text, weight, idf]"),
    (document(longest_ngram=4), "from 1 to 3"),
    ('{"format": "halvec fitted router", "version": 1, "version": 1}', "there twice"),
    ("[" * 100000 + "]" * 100000, "nested too deeply"),
    # finite numbers whose scores would not be: a count term past any double, terms that add up past one
    (document(counts={"words": {"weight": 1.0, "mean": 0.0, "scale": 1e-320},
                      "characters": {"weight": -1.0, "mean": 0.0, "scale": 1e-320}}), '"counts"."words" term'),
    (document(counts={"words": {"weight": 1e300, "mean": 1e10, "scale": 1.0},
                      "characters": document()["counts"]["characters"]}), '"counts"."words" term'),
    (document(intercept=1e308, ngrams=[["ab", 1e308, 1.0]]), "scores could reach inf"),
    (document(ngrams=[["ab", 9e306, 1.0], ["cd", -9e306, 1.0]]), "scores could reach 1.8e+307"),
])
def test_nonsense_is_refused_with_the_reason(write, content, problem):
    path = write(content)
    with pytest.raises(RouterFileError) as caught:
        load_router(path)
    assert repr(path) in str(caught.value) and problem in str(caught.value)


finite = st.floats(allow_nan=False, allow_infinity=False)
positive = st.floats(min_value=0.0, exclude_min=True, allow_infinity=False)
term = st.fixed_dictionaries({"weight": finite, "mean": finite, "scale": positive})
FEW = ["a", "b", "<num>", "?", "a b", "b a", "a a b"]


@given(st.fixed_dictionaries({
    "intercept": finite, "counts": st.fixed_dictionaries({"words": term, "characters": term}),
    "ngrams": st.lists(st.tuples(finite, positive), min_size=len(FEW), max_size=len(FEW)).map(
        lambda numbers: [[gram, w, i] for gram, (w, i) in zip(FEW, numbers)])}),
    st.lists(st.sampled_from(["a", "b", "A", "7", "?", "c", " ", "  ", "\n"]), max_size=40).map("".join))
def test_every_router_the_file_checks_accept_gives_finite_scores(changes, text):
    """Finite numbers anywhere in the file (subnormal scales, weights near the largest double):
    what loads scores every text as a finite number, and explains it; what would not is refused."""
    from halvec.fitted import explain_score
    try:
        router = FittedRouter(parse(json.dumps(document(**changes))))
    except RouterFileError as error:
        assert "scores could reach" in str(error) or "term can reach" in str(error)
        return
    for scored in (text, text * 50, ""):
        assert math.isfinite(router.score_one(scored))
        assert math.isfinite(explain_score(router, scored).score)


def test_the_scorer_refuses_what_the_file_checks_would():
    make = _fitted.Scorer
    ok = (["a"], [1.0], [1.0], 3, 0.0, (0.0, 0.0, 1.0), (0.0, 0.0, 1.0))
    for changes, error in [({0: ["a b c d"]}, ValueError), ({0: ["a  b"]}, ValueError), ({0: ["12"]}, ValueError),
                           ({0: ["ab!"]}, ValueError), ({0: [1]}, TypeError), ({0: ("a",)}, TypeError),
                           ({0: ["a", "a"], 1: [1.0, 1.0], 2: [1.0, 1.0]}, ValueError), ({1: [math.inf]}, ValueError),
                           ({1: [1]}, ValueError), ({2: [0.0]}, ValueError), ({1: [1.0, 2.0]}, ValueError),
                           ({3: 0}, ValueError), ({5: (0.0, 0.0, 0.0)}, ValueError), ({4: math.nan}, ValueError)]:
        args = list(ok)
        for index, value in changes.items():
            args[index] = value
        with pytest.raises(error):
            make(*args)
    scorer = make(*ok)
    with pytest.raises(TypeError):
        scorer.score(b"a")
    with pytest.raises(TypeError):
        scorer.scores(["a", None])
    with pytest.raises(TypeError):
        scorer.scores(iter(["a"]))

    class Loud(str):
        def lower(self):
            raise AssertionError("a str subclass is read as the str it holds")
    assert scorer.score(Loud("A é")) == scorer.score("A é")


def test_the_scorer_reports_the_first_fault_the_ngrams_hold():
    # (the tokens are counted before the build: a fault further down is not reported first)
    def make(ngrams):
        return _fitted.Scorer(ngrams, [1.0] * len(ngrams), [1.0] * len(ngrams), 3, 0.0, (0, 0, 1), (0, 0, 1))
    for ngrams, problem in [(["a", "a", "b  c"], "'a' is there twice"), (["x" * 9 + " y"] * 2 + ["1"], "there twice"),
                            (["a b c d", "a", "a"], "more tokens than")]:
        with pytest.raises(ValueError, match=problem):
            make(ngrams)


@pytest.fixture
def hooks(fitted_hooks):
    return fitted_hooks


def test_the_tables_count_against_a_budget_of_their_own_as_large_as_the_engines(hooks, pattern_hooks, write):
    path = write(document(ngrams=[[f"w{i}", 0.5, 1.0] for i in range(2000)]))
    gc.collect()  # what earlier tests left to the collector would otherwise be freed meanwhile
    assert hooks.budget() == pattern_hooks.budget() == 64 << 20
    engine_held = pattern_hooks.memory_in_use()
    pattern_hooks.set_budget(1)  # the engine's own budget does not reach the routers'
    assert load_router(path).memory > 0
    pattern_hooks.set_budget(0)
    assert pattern_hooks.memory_in_use() == engine_held
    hooks.set_budget(1)
    with pytest.raises(RouterFileError, match="too large to load"):
        load_router(path)
    hooks.set_budget(0)
    before = hooks.memory_in_use()
    router = load_router(path)
    assert router.memory > 2000 * 16 and hooks.memory_in_use() - before == router.memory
    del router
    assert hooks.memory_in_use() == before
    hooks.set_budget(before + 20_000)
    with pytest.raises(RouterFileError, match="too large to load"):
        load_router(path)
    hooks.set_budget(0)
    for nth in range(1, 12):  # every allocation of a build, failing in turn, leaves nothing held
        start = hooks.memory_in_use()  # (a failed allocation may make the engine drop caches of its own)
        hooks.fail_allocation(nth)
        try:
            load_router(path)
        except MemoryError:
            pass
        hooks.fail_allocation(0)
        assert hooks.memory_in_use() <= start


@pytest.mark.parametrize("ngrams", [[f"a{i} b{i} c{i}" for i in range(3000)], [f"u{i}" for i in range(3000)],
                                    ["ā" * 30 + f"q{i}" for i in range(3000)]])
def test_a_router_is_refused_by_a_budget_one_byte_short_of_what_it_holds(hooks, ngrams):
    def make():
        return _fitted.Scorer(ngrams, [1.0] * len(ngrams), [1.0] * len(ngrams), 3, 0.0, (0, 0, 1), (0, 0, 1))
    gc.collect()
    before = hooks.memory_in_use()
    held = make().memory
    hooks.set_budget(before + held - 1)
    with pytest.raises(MemoryError):  # the build would end over the budget
        make()


def test_the_tables_are_sized_for_the_distinct_tokens_not_the_places_they_fill():
    def memory(ngrams):
        return _fitted.Scorer(ngrams, [1.0] * len(ngrams), [1.0] * len(ngrams), 3, 0.0, (0, 0, 1), (0, 0, 1)).memory
    few = [f"a{i % 10} b{i // 10 % 10} c{i // 100}" for i in range(3000)]  # 50 tokens in 9,000 places
    many = [f"a{i} b{i} c{i}" for i in range(3000)]
    assert memory(few) < memory(many) - 9000 * 16
    # and the code points of a long token (encoded data, say) are kept once, however many
    # n-grams hold it: 100 tokens of 10,000 characters, in 600 places, take about 4 MB
    long = [f"{c * 10_000}{i}" for i in range(50) for c in "xy"]
    held = [*long, *(f"{a} {b}" for a, b in zip(long, long[1:])),
            *(f"{a} {b} {c}" for a, b, c in zip(long, long[1:], long[2:]))]
    assert memory(long) < memory(held) < memory(long) + 600_000


@pytest.mark.skipif(not hasattr(signal, "setitimer"), reason="needs interval timers")
def test_signals_stop_a_long_score_and_a_handler_may_score_meanwhile(router):
    long_text = "prove that the sum of 12 % " * 800_000  # about 21 million characters
    inside = []
    before = router.score_one("prove that the sum of 12 %")

    def handler(signum, frame):
        inside.append(router.score_one("prove that ?"))
        if len(inside) == 2:
            raise KeyboardInterrupt
    previous = signal.signal(signal.SIGALRM, handler)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.001, 0.001)
        with pytest.raises(KeyboardInterrupt):
            while True:
                router.score_one(long_text)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    # (a slow build may take one more alarm before the timer is off)
    assert len(inside) >= 2 and set(inside) == {router.score_one("prove that ?")}
    # the interrupted score left nothing behind: a score after it is the same as before
    assert router.score_one("prove that the sum of 12 %") == before


def interrupt(signum, frame):
    raise KeyboardInterrupt


@pytest.mark.parametrize("with_coverage", [False, True])
def test_many_short_texts_stop_for_signals_and_a_handler_may_edit_the_list(router, hooks, with_coverage):
    texts = ["prove that", "", "é Σ"] * 200_000  # about 2 million characters and 600,000 texts
    read = (lambda batch: router.score_and_coverage(batch)[1]) if with_coverage else router.score
    whole = read(texts)

    def handler(signum, frame):
        texts.clear()
    previous = signal.signal(signal.SIGUSR1, handler)
    try:
        hooks.signal_at_check(1, signal.SIGUSR1)
        cut = read(texts)  # the handler empties the list: the scores stop where it is
        assert 0 < len(cut) < len(whole) and cut == whole[:len(cut)]
        texts.extend(["prove that"] * 600_000)
        signal.signal(signal.SIGUSR1, interrupt)
        hooks.signal_at_check(1, signal.SIGUSR1)
        with pytest.raises(KeyboardInterrupt):  # a handler that raises ends the call, nothing returned
            read(texts)
    finally:
        hooks.signal_at_check(0, signal.SIGUSR1)
        signal.signal(signal.SIGUSR1, previous)


@pytest.mark.parametrize("ngrams", [[], ["a"], ["a", "a b"]])
def test_a_text_that_finds_every_ngram_and_more_stays_in_its_scratch(hooks, ngrams):
    # every n-gram found, and a token none holds, then more: the scratch's list of what was
    # found is full and is still written once more (the sanitizer build sees a write past
    # it), in the scorer's own scratch and in the one a signal handler's score gets
    scorer = _fitted.Scorer(ngrams, [1.0] * len(ngrams), [1.0] * len(ngrams), 3, 0.0, (0, 0, 1), (0, 0, 1))
    texts, want = ["a b a b z", "ā a b z a b"], math.sqrt(len(ngrams))  # each n-gram twice
    seen = []
    previous = signal.signal(signal.SIGUSR1, lambda *_: seen.append([scorer.score(t) for t in texts]))
    try:
        hooks.signal_at_check(1, signal.SIGUSR1)
        assert scorer.score("a b z " * 200_000) == pytest.approx(want)  # past the first check
    finally:
        hooks.signal_at_check(0, signal.SIGUSR1)
        signal.signal(signal.SIGUSR1, previous)
    assert len(seen) == 1 and seen[0] == [scorer.score(t) for t in texts] == pytest.approx([want] * 2)


def test_a_str_subclass_is_explained_as_the_str_it_holds(router):
    from halvec.fitted import explain_score

    class Hostile(str):
        def lower(self):
            return "the sum of"

        def split(self, *_):
            return []

        def __len__(self):
            return 3
    text = "Prove that 12 % of it is é"
    assert explain_score(router, Hostile(text)) == explain_score(router, text)


@given(texts)
def test_an_explanation_adds_up_to_the_score_and_points_at_the_text(router, text):
    from halvec.fitted import explain_score
    why = explain_score(router, text, top=100)
    parts = why.intercept + why.counts_part + sum(c.contribution for c in why.contributions)
    assert why.found == len(why.contributions) and why.tier == router.tier(text)
    assert why.coverage == reference_coverage(router.spec, text)
    assert math.isclose(parts, why.score, rel_tol=1e-9, abs_tol=1e-12)
    lowered = text.lower()
    for c in why.contributions:
        assert lowered[c.span[0]:c.span[1]] == c.match and c.count >= 1
        assert features.ngrams(c.match, router.spec.longest_ngram)[-1] == c.ngram
