"""A fitted router's native score against the default classifier, in the same run.

Run with the venv's interpreter:
    .venv/bin/python benchmarks/speed/bench_fitted_speed.py ROUTER.json CORPORA_DIR [--texts N]

ROUTER.json is a router file from ``halvec fit``; CORPORA_DIR holds JSONL files of
descriptions (``{"text": ...}`` a line). Prints:

- per call, on descriptions of 180 to 220 characters drawn from the corpora (ASCII ones, and
  the others), the router's ``score`` and ``tier`` against ``classify_complexity`` on the
  same texts, timed in turn (best of several rounds, so a busy machine slows both alike);
- the cost against the text's length, from 100 characters to 1 million (time per character
  should stay flat: linear in the text);
- the memory the router's tables hold, against the fitted routers' budget;
- many models: routers of version 2 with the same n-grams and 2 to 16 models (random weights
  and prices, seeded; ``--models``), whose ``choose`` and ``qualities`` are timed against the
  router's own ``score`` in the same run, on the same descriptions, with the bound they are
  held to: 2 µs plus 0.15 µs a model for a description of about 200 characters.
"""

import argparse
import json
import pathlib
import random
import sys
import time

from _timing import fmt, interleaved

from halvec.core import model_router as mr
from halvec.fitted import FittedRouter, load_router
from halvec.fitted.models_file import CountTerms, ModelsSpec, Prices, Tradeoff


def descriptions(folder, low=180, high=220):
    found = []
    for path in sorted(pathlib.Path(folder).glob("*.jsonl")):
        with path.open(encoding="utf-8") as file:
            for line in file:
                text = json.loads(line).get("text")
                if isinstance(text, str) and low <= len(text) <= high:
                    found.append(text)
    return found


def per_text(statements, texts, namespace):
    timed = interleaved(statements, [dict(namespace, texts=texts)] * len(statements), rounds=15,
                        clock=time.thread_time)
    return [s / len(texts) for s in timed]


def many_models(spec, count, rng):
    """A version-2 router of ``spec``'s n-grams with ``count`` models, random weights and prices."""
    models = tuple(f"model-{m}" for m in range(count))
    return FittedRouter(ModelsSpec(
        name=f"{count} models", longest_ngram=spec.longest_ngram, models=models,
        intercepts=tuple(rng.uniform(0.3, 0.9) for _ in models),
        counts={name: CountTerms(tuple(rng.gauss(0, 0.02) for _ in models), term.mean, term.scale)
                for name, term in spec.counts.items()},
        prices=Prices(tuple(rng.uniform(1e-4, 1e-2) for _ in models), tuple(rng.uniform(0, 1e-5) for _ in models),
                      "catalogue"),
        tradeoff=Tradeoff(10.0, "tradeoff"), ngrams=spec.ngrams, idf=spec.idf,
        weights=[[rng.gauss(0, 0.1) for _ in models] for _ in spec.ngrams]))


def bound(models):
    return 2e-6 + 0.15e-6 * models


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("router")
    parser.add_argument("corpora")
    parser.add_argument("--texts", type=int, default=1000)
    parser.add_argument("--models", default="2,4,8,11,16", help="the numbers of models to time (default 2,4,8,11,16)")
    args = parser.parse_args()
    router = load_router(args.router)
    namespace = {"score": router.score_one, "tier": router.tier, "classify": mr.classify_complexity}
    statements = ["for t in texts: score(t)", "for t in texts: tier(t)", "for t in texts: classify(t)"]
    print(f"router {router.name!r}: {len(router.spec.ngrams):,} n-grams, tables {router.memory / 2**20:.2f} MiB")

    found = descriptions(args.corpora)
    rng = random.Random(0)
    print(f"\nper call, 180 to 220 characters ({len(found):,} descriptions in the corpora, {args.texts} drawn):")
    print(f"{'texts':<12} {'score':>11} {'tier':>11} {'classify':>11}  {'score/classify':>14}  {'tier/classify':>13}")
    for name, texts in (("ASCII", [t for t in found if t.isascii()]), ("other", [t for t in found if not t.isascii()]),
                        ("all", found)):
        if not texts:
            continue
        sample = rng.sample(texts, min(args.texts, len(texts)))
        score, tier, classify = per_text(statements, sample, namespace)
        print(f"{name:<12} {fmt(score)} {fmt(tier)} {fmt(classify)}  {score / classify:13.2f}x  {tier / classify:12.2f}x")

    print("\nagainst the text's length (a description repeated; time per character should stay flat):")
    print(f"{'characters':>12} {'score':>11} {'per character':>14}")
    base = " ".join(rng.sample([t for t in found if t.isascii()], 50))
    for size in (100, 1_000, 10_000, 100_000, 1_000_000):
        text = (base * (size // len(base) + 1))[:size]
        (seconds,) = interleaved(["score(text)"], [dict(namespace, text=text)], rounds=15, clock=time.thread_time)
        print(f"{size:>12,} {fmt(seconds)} {fmt(seconds / size)}")

    print("\nmany models: routers of version 2 with the same n-grams, per call on the descriptions drawn above "
          "(all), against the router's own score in the same run:")
    print(f"{'models':>6} {'choose':>11} {'qualities':>11} {'score':>11}  {'choose/score':>12}  "
          f"{'bound':>11}  {'choose':>6}  {'memory':>10}")
    sample = rng.sample(found, min(args.texts, len(found)))
    for count in map(int, args.models.split(",")):
        many = many_models(router.spec, count, random.Random(count))
        names = {"choose": many.choose, "qualities": many.qualities, "score": router.score_one}
        choose, qualities, score = per_text(["for t in texts: choose(t)", "for t in texts: qualities(t)",
                                             "for t in texts: score(t)"], sample, names)
        print(f"{count:>6} {fmt(choose)} {fmt(qualities)} {fmt(score)}  {choose / score:11.2f}x  {fmt(bound(count))}  "
              f"{'within' if choose <= bound(count) else 'OVER':>6}  {many.memory / 2**20:6.2f} MiB")

    hooks = sys.modules.get("halvec._fitted_hooks")
    budget = hooks.budget() if hooks else 64 << 20
    print(f"\nmemory: the tables hold {router.memory:,} bytes, {100 * router.memory / budget:.1f}% of the fitted "
          f"routers' {budget >> 20} MiB budget (the file's n-grams: {len(router.spec.ngrams):,})")


if __name__ == "__main__":
    main()
