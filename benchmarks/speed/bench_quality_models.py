"""The bootstrap of the many-model measures at scale: the native kernel against the plain-Python
definitions it follows, on the same resamples.

Run with the venv's interpreter:
    .venv/bin/python benchmarks/speed/bench_quality_models.py [--prompts 10000] [--models 11]
                                                               [--resamples 1000] [--routers 1]

The outcome set is synthetic (made here, with a fixed seed): each prompt has a difficulty, each
model a skill and a price; a model's result is right or wrong, more often right the more
skilled it is and the easier the prompt; each prompt's cost is its model's price times a
length of its own. Each router predicts every model's result with noise, and prices by model,
so that most models lie on a prompt's envelope (the most changes per prompt a frontier can
have). Prints:

- the number of frontier points and changes (per router);
- ``measure`` in all (the frontiers traced, the data's own figures and every resample), and
  its share in the native kernel;
- one resample by the native kernel against the plain-Python definitions
  (:func:`halvec.quality.frontier.resample_figures`), which give the same floats.
"""

import argparse
import random
import time

from halvec.quality.frontier import Plan, frontier, resample_figures
from halvec.quality.models import ModelSet, Predictions, measure, native_figures, resampler


def synthetic(prompts, models, routers, seed=1):
    rng = random.Random(seed)
    skill = [0.45 + 0.5 * (m / (models - 1)) ** 0.5 for m in range(models)]
    price = [0.0002 * 1.7 ** m for m in range(models)]
    results, costs, difficulty = [], [], []
    for _ in range(prompts):
        hard = rng.random()
        difficulty.append(hard)
        results.append([float(rng.random() < s * (1.3 - hard)) for s in skill])
        length = rng.uniform(0.3, 3.0)
        costs.append([p * length for p in price])
    names = tuple(f"model-{m}" for m in range(models))
    s = ModelSet("synthetic", names, [""] * prompts, results, costs, "outcome costs", ())
    predictions = []
    for r in range(routers):
        noisy = [[s_ * (1.3 - hard) + rng.gauss(0, 0.05) for s_ in skill] for hard in difficulty]
        predictions.append(Predictions(f"router-{r}", names, noisy, [price] * prompts, 30.0))
    return s, predictions


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--prompts", type=int, default=10_000)
    parser.add_argument("--models", type=int, default=11)
    parser.add_argument("--resamples", type=int, default=1000)
    parser.add_argument("--routers", type=int, default=1)
    args = parser.parse_args()
    s, predictions = synthetic(args.prompts, args.models, args.routers)
    for p in predictions:
        f = frontier(p.qualities, p.prices, s.results, s.costs)
        print(f"{p.name}: {len(f.points):,} frontier points, {len(f.changes):,} changes "
              f"({len(f.changes) / args.prompts:.1f} a prompt)")

    started = time.perf_counter()
    measure(s, predictions, resamples=args.resamples)
    whole = time.perf_counter() - started
    print(f"measure: {args.prompts:,} prompts x {args.models} models, {args.routers} router(s) and the oracle, "
          f"{args.resamples:,} resamples: {whole:.2f} s")

    frontiers = [frontier(s.results, s.costs, s.results, s.costs)]
    frontiers += [frontier(p.qualities, p.prices, s.results, s.costs) for p in predictions]
    plan = Plan.of(s.results, s.costs, frontiers, [list(f.start) for f in frontiers], (0.95, 1.0))
    kernel = resampler(plan)
    rng = random.Random(0)
    counts = [0] * args.prompts
    for _ in range(args.prompts):
        counts[rng.randrange(args.prompts)] += 1
    rounds = 20
    started = time.perf_counter()
    for _ in range(rounds):
        native = native_figures(kernel, counts)
    native_time = (time.perf_counter() - started) / rounds
    started = time.perf_counter()
    python = resample_figures(plan, counts)
    python_time = time.perf_counter() - started
    assert native == python
    print(f"one resample: native {native_time * 1e3:.1f} ms, plain Python {python_time * 1e3:.0f} ms "
          f"({python_time / native_time:.0f} times as long; the same floats); "
          f"{args.resamples:,} resamples in the kernel: {native_time * args.resamples:.1f} s")


if __name__ == "__main__":
    main()
