"""Routing quality on a folder of outcome sets: the table of docs/quality.md, as markdown.

Run with the venv's interpreter:
    .venv/bin/python benchmarks/quality/bench_quality.py OUTCOMES_DIR [--resamples N] [--seed N]

Every ``*.jsonl`` of OUTCOMES_DIR is one set (largest first); its two models are those of its
first prompt, the one with the higher mean result taken as the strong one. For each set, rows
for the default tiers, the word count, random routing and the oracle: APGR with its 95%
bootstrap interval, CPT(50%) and CPT(80%). The fitted router's row comes from ``halvec fit``
(K-fold cross-validated) and is left to it. The time each set takes is printed last.
"""

import argparse
import pathlib
import time

from halvec.quality.report import Scored, measure, Costs
from halvec.quality.routers import RulesRouter, WordsRouter

from _outcomes import outcomes_of

# The best APGR the routing literature's reference work (RouteLLM, Ong et al., 2024) published
# for MMLU, keyed by the file's name.
PUBLISHED = {"routellm_mmlu.jsonl": 0.603}
ROWS = [("rules", "default tiers (`rules`)"), ("words", "word count (`words`)"), ("random", "random"),
        ("oracle", "oracle")]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("folder", type=pathlib.Path)
    parser.add_argument("--resamples", type=int, default=1000)
    parser.add_argument("--seed", type=int, default=0)
    args = parser.parse_args()
    paths = sorted(args.folder.glob("*.jsonl"), key=lambda p: -p.stat().st_size)
    timings = []
    for path in paths:
        started = time.perf_counter()
        outcomes = outcomes_of(path)
        scored = [Scored(router.name, scores, None) for router in (RulesRouter(), WordsRouter())
                  for scores in [router.score(outcomes.texts)]]
        report = measure(path.name, scored, outcomes.strong, outcomes.weak, Costs("strong_share"),
                         resamples=args.resamples, seed=args.seed)
        timings.append((path.name, len(outcomes), time.perf_counter() - started))
        rows = {row.name: row for row in report.rows}
        print(f"### {path.name}: {len(outcomes):,} prompts, {outcomes.strong_model} {outcomes.q_strong:.4f} "
              f"against {outcomes.weak_model} {outcomes.q_weak:.4f}\n")
        print("| router | APGR (95% interval) | CPT(50%) | CPT(80%) |")
        print("| --- | --- | ---: | ---: |")
        for name, label in ROWS:
            if name == "oracle":
                print("| fitted (K-fold) | from bench_fitted_quality.py | | |")
            row = rows[name]
            assert row.apgr is not None and row.interval is not None and row.cpt is not None
            interval = "exactly" if name == "random" else f"({row.interval.low:.3f} to {row.interval.high:.3f})"
            print(f"| {label} | {row.apgr:.3f} {interval} | {100 * row.cpt[0.5]:.1f}% | {100 * row.cpt[0.8]:.1f}% |")
        if path.name in PUBLISHED:
            print(f"| best published (RouteLLM, Ong et al., 2024) | {PUBLISHED[path.name]:.3f} | | |")
        print()
    print(f"{args.resamples} resamples, seed {args.seed}; time per set: "
          + ", ".join(f"{name} ({n:,} prompts) {seconds:.1f} s" for name, n, seconds in timings)
          + f"; in all {sum(t for _, _, t in timings):.1f} s")


if __name__ == "__main__":
    main()
