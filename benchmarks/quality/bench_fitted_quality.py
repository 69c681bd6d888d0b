"""The fitted router's row of docs/quality.md: K-fold cross-validated routing quality on a
folder of outcome sets, as ``halvec fit`` measures it.

Run with the venv's interpreter (needs the extra halvec[fit]):
    .venv/bin/python benchmarks/quality/bench_fitted_quality.py OUTCOMES_DIR [--folds K] [--seed N] [--resamples N]

For every ``*.jsonl`` set large enough to fit on: each prompt scored by a router fitted on
the other folds (``halvec fit``'s settings, 10 folds and seed 0 by default), then APGR with
its 95% bootstrap interval, CPT(50%) and CPT(80%), and beside it the default tiers and the
word count on the same set. A set too small to fit on is named and passed over. The time each
set takes is printed last.
"""

import argparse
import pathlib
import time

from halvec.fitted import fit as fitting
from halvec.quality.report import Costs, Scored, measure
from halvec.quality.routers import RulesRouter, WordsRouter

from _outcomes import outcomes_of


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("folder", type=pathlib.Path)
    parser.add_argument("--folds", type=int, default=10)
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--resamples", type=int, default=1000)
    args = parser.parse_args()
    timings = []
    for path in sorted(args.folder.glob("*.jsonl"), key=lambda p: -p.stat().st_size):
        outcomes = outcomes_of(path)
        if len(outcomes) < fitting.MIN_PROMPTS:
            print(f"### {path.name}: {len(outcomes):,} prompts, too few to fit on (at least "
                  f"{fitting.MIN_PROMPTS:,})\n")
            continue
        started = time.perf_counter()
        scores = fitting.cross_validate(outcomes.texts, outcomes.strong, outcomes.weak, folds=args.folds,
                                        seed=args.seed, settings=fitting.Settings())
        fitted_time = time.perf_counter() - started
        scored = [Scored(f"fitted ({args.folds}-fold)", scores, None),
                  *(Scored(router.name, router.score(outcomes.texts), None) for router in (RulesRouter(), WordsRouter()))]
        report = measure(path.name, scored, outcomes.strong, outcomes.weak, Costs("strong_share"),
                         resamples=args.resamples, seed=args.seed)
        timings.append((path.name, len(outcomes), fitted_time, time.perf_counter() - started))
        print(f"### {path.name}: {len(outcomes):,} prompts\n")
        print("| router | APGR (95% interval) | CPT(50%) | CPT(80%) |")
        print("| --- | --- | ---: | ---: |")
        for row in report.rows[:len(scored)]:
            assert row.apgr is not None and row.interval is not None and row.cpt is not None
            print(f"| {row.name} | {row.apgr:.3f} ({row.interval.low:.3f} to {row.interval.high:.3f}) | "
                  f"{100 * row.cpt[0.5]:.1f}% | {100 * row.cpt[0.8]:.1f}% |")
        print()
    print(f"{args.folds} folds, seed {args.seed}, {args.resamples} resamples; time per set (fitting, in all): "
          + ", ".join(f"{name} ({n:,} prompts) {fit:.0f} s, {total:.0f} s" for name, n, fit, total in timings))


if __name__ == "__main__":
    main()
