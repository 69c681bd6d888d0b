"""Explanations and spans against the classification they explain, and lists
written with the whole pattern language against the default lists and `re`.

Run with the venv's interpreter: .venv/bin/python benchmarks/speed/bench_explain.py
Every ratio compares figures taken in the same run, interleaved, so that a
busy machine slows both sides alike. `--corpus DIR` adds the mean over the
prompts of a folder of JSONL files (one {"text": ...} per line).
"""

import json
import logging
import pathlib
import re
import statistics
import sys

from _timing import fmt, interleaved, once

import reference
from halvec import _patterns, explain_complexity, explain_selection
from halvec.config import SecretsStore
from halvec.core import model_router as mr

# Made-up task descriptions of the usual kind: most are decided by counts,
# a few by a pattern.
TYPICAL = [
    "Summarize the key decisions from yesterday's product sync and send them to the team channel",
    "Please check the quarterly financial numbers against last year's forecast and flag anything odd",
    "Draft a short reply thanking the customer for the feedback and promising a fix next week",
    "Fetch the three newest support tickets and tag each with the product area it concerns",
    "Write a detailed report on how our onboarding emails perform across the last four cohorts",
    "Hello, can you rename the files in the shared folder so they sort by date",
    "Translate the release notes into German and keep the product names as they are",
    "Compare the two vendor proposals and list where their prices and delivery terms differ",
]
P3 = r"\b(research|compare.*and.*contrast|investigate)\b"
SENTENCE = ("The team reviewed the quarterly numbers together, talked through the open questions "
            "from customers, and agreed on who follows up with each of the partners next week. ")
ADVERSARIAL = {
    "paragraph, 2,000 chars": (SENTENCE * 20)[:2000],
    '"compare and " x 250': "compare and " * 250,
    '"compare and " x 1,000': "compare and " * 1000,
    '"debug " x 5,000': "debug " * 5000,
}
# What a user writes when editing the lists: sets for spelling variants,
# non-capturing groups out of habit, anchors and lazy repetition.
USER_COMPLEX = [
    r"\b(?:architect|design system|refactor|multi.?step|comprehensive|in.?depth)\b",
    r"\b(?:analy[sz]e|optimi[sz](?:e|ation)|debug.*?complex|plan.*?project|write.*?report)\b",
    r"\b(?:research|compare.*and.*contrast|investigat(?:e|ion))\b",
    r"\b(?:evaluat(?:e|ion)|assess(?:ment)?|review.*?code)\b",
    r"[0-9]{3,}\s*words?\b",
    r"\b(?:every.*?day|daily|weekly|schedul(?:e|ed|ing)|cron|automat(?:e|ion))\b",
]
USER_SIMPLE = [r"^(?:hi|hello|hey)\b", r"\b(?:thanks?|thank you|ok(?:ay)?|yes|no|sure)\b",
               r"\b(?:look ?up|fetch|get|list|check)\b"]


class Lists:
    """The module's two lists set to `complex_list` and `simple_list` while in use."""

    def __init__(self, complex_list, simple_list):
        self.lists = complex_list, simple_list

    def __enter__(self):
        self.saved = list(mr._COMPLEX_PATTERNS), list(mr._SIMPLE_PATTERNS)
        mr._COMPLEX_PATTERNS[:], mr._SIMPLE_PATTERNS[:] = self.lists

    def __exit__(self, *exc):
        mr._COMPLEX_PATTERNS[:], mr._SIMPLE_PATTERNS[:] = self.saved


def ratio_row(name, a, b, label):
    print(f"{name:<40} {fmt(a)}  {fmt(b)}  {b / a:8.2f}x {label}")


def typical(texts):
    print("\nexplain_complexity against classify_complexity, typical descriptions")
    print(f"{'case':<40} {'classify':>11}  {'explain':>11}  {'ratio':>9}   extra")
    ratios, extras = [], []
    for text in texts:
        classify, explain = interleaved(["classify(t)", "explain(t)"],
                                        [{"classify": mr.classify_complexity, "t": text},
                                         {"explain": explain_complexity, "t": text}])
        rule = explain_complexity(text).rule
        ratios.append(explain / classify)
        extras.append(explain - classify)
        label = (text[:26] + "...") if len(text) > 29 else text
        print(f"{label + ' [' + rule + ']':<40} {fmt(classify)}  {fmt(explain)}  {explain / classify:8.2f}x "
              f"{fmt(explain - classify)}")
    return ratios, extras


def corpus(folder):
    texts = []
    for path in sorted(pathlib.Path(folder).glob("*.jsonl")):
        with open(path, encoding="utf-8") as lines:
            texts += [json.loads(line)["text"] for line in lines if line.strip()]
    sample = texts[:: max(1, len(texts) // 2000)]
    env = {"classify": mr.classify_complexity, "explain": explain_complexity, "texts": sample}
    classify, explain = interleaved(["for t in texts: classify(t)", "for t in texts: explain(t)"], [env, env],
                                    rounds=5)
    print(f"\n{len(sample)} prompts from {folder}: classify {fmt(classify / len(sample))}, "
          f"explain {fmt(explain / len(sample))} per prompt, {explain / classify:.2f}x")


def spans():
    print("\nspans where re backtracks (re's answer written out: it takes seconds)")
    text = "compare and " * 2000 + "research"
    assert _patterns.search([P3], text) == (0, 24000, 24008)
    search, explain = interleaved(["search([p], t)", "explain(t)"],
                                  [{"search": _patterns.search, "p": P3, "t": text},
                                   {"explain": explain_complexity, "t": text}], rounds=5)
    print(f'{"compare and x 2,000 + research: span":<40} {fmt(search)}')
    print(f'{"  explain_complexity of that text":<40} {fmt(explain)}')


def selection():
    print("\nexplain_selection against select_for_worker (logging disabled)")
    store = SecretsStore()
    store.set_key("anthropic", "k")
    router = mr.ModelRouter(None, store)
    logging.getLogger("halvec.model_router").disabled = True
    try:
        for text, key in ((TYPICAL[0], None), ("Fetch the headlines", "gpt-5.2")):
            select, explain = interleaved(["select(t, k)", "explain(router, t, k)"],
                                          [{"select": router.select_for_worker, "t": text, "k": key},
                                           {"explain": explain_selection, "router": router, "t": text, "k": key}])
            label = f"{text[:26]}... model_key={key}" if len(text) > 29 else f"{text}, model_key={key}"
            ratio_row(label, select, explain, "the selection")
    finally:
        logging.getLogger("halvec.model_router").disabled = False


def user_lists():
    print("\na list written with sets, (?:...), anchors and lazy repetition, against the default lists")
    print(f"{'case':<40} {'default':>11}  {'user list':>11}  {'ratio':>9}")
    for name, text in ADVERSARIAL.items():
        default_list = list(mr._COMPLEX_PATTERNS), list(mr._SIMPLE_PATTERNS)
        env = {"classify": mr.classify_complexity, "t": text}
        default = interleaved(["classify(t)"], [env], rounds=5)[0]
        with Lists(USER_COMPLEX, USER_SIMPLE):
            assert all(_patterns.covers(p) for p in USER_COMPLEX + USER_SIMPLE)
            user = interleaved(["classify(t)"], [env], rounds=5)[0]
        assert (list(mr._COMPLEX_PATTERNS), list(mr._SIMPLE_PATTERNS)) == default_list
        ratio_row(name, default, user, "the default")

    print("\nthe same user list: native against re (the rules in plain Python)")
    print(f"{'case':<40} {'native':>11}  {'re':>11}  {'ratio':>9}")
    saved = reference._COMPLEX_PATTERNS, reference._SIMPLE_PATTERNS
    reference._COMPLEX_PATTERNS, reference._SIMPLE_PATTERNS = USER_COMPLEX, USER_SIMPLE
    try:
        with Lists(USER_COMPLEX, USER_SIMPLE):
            for name, text in ADVERSARIAL.items():
                native = interleaved(["classify(t)"], [{"classify": mr.classify_complexity, "t": text}])[0]
                plain = once(lambda: reference.classify_complexity(text))
                assert mr.classify_complexity(text) is reference.classify_complexity(text)
                ratio_row(name, native, plain, "native")
    finally:
        reference._COMPLEX_PATTERNS, reference._SIMPLE_PATTERNS = saved


def main():
    ratios, extras = typical(TYPICAL)
    print(f"{'median of the above':<40} {'':>11}  {'':>11}  {statistics.median(ratios):8.2f}x "
          f"{fmt(statistics.median(extras))}")
    if "--corpus" in sys.argv:
        corpus(sys.argv[sys.argv.index("--corpus") + 1])
    spans()
    selection()
    user_lists()
    assert re.purge() is None


if __name__ == "__main__":
    main()
