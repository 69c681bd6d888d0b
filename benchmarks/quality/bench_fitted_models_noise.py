"""How noisy a many-model router's cross-validated figures are when it is fitted on few prompts:
docs/fitted_routers.md's table for ``halvec fit --min-prompts``, and the figures its warning
gives (halvec.fitted.fitting_models.NOISE).

Run with the venv's interpreter (needs the extra halvec[fit]):
    .venv/bin/python benchmarks/quality/bench_fitted_models_noise.py OUTCOMES_DIR [--draws N] [--sizes 100,200,...]

From each set (those without per-prompt costs priced at benchmarks/quality/*_prices.toml),
``--draws`` random draws of each size (prompts drawn without replacement), each cross-validated
as ``halvec fit --models`` does it (10 folds, seed 0, the default model, the router priced as
the command prices it). The figure is the router's AIQ gain over the models alone as a share
of the oracle's (0: no better than choosing models at random in the right proportions; 1: the
oracle): its mean over the draws, its spread from draw to draw (one standard deviation), and
the mean the same predictions give once shuffled among the draw's prompts (what chance alone
gains: a router's hull includes the single models, so noise can only add to its AIQ); and,
beside them, the same figure on the whole set.
"""

import argparse
import pathlib
import random
import statistics

import numpy

from halvec.fitted import fit_models, pricing
from halvec.quality.models import ModelSet, Predictions, measure

from _models import SETS, model_set


def cross_validated(data, folds, seed):
    """Each prompt's predicted results by a model fitted on the other folds, and (for a set with its own
    costs) its price: each model's mean cost in the other folds (None: priced at the list prices)."""
    predicted, fold_of = fit_models.cross_validate(data.texts, data.results, folds=folds, seed=seed,
                                                   settings=fit_models.ModelSettings())
    tokens, costs = pricing.input_tokens(data.texts), numpy.asarray(data.costs)
    if data.cost_source == "outcome costs":
        priced = numpy.zeros(costs.shape)
        for k in range(folds):
            priced[fold_of == k] = pricing.mean(costs[fold_of != k]).of(tokens[fold_of == k])
    else:
        priced = None
    return predicted, priced


def figure(data, predicted, priced):
    m = measure(data, [Predictions("fitted", data.models, predicted.tolist(), priced.tolist())], resamples=1)
    alone, oracle = m.models_alone.aiq.value, m.oracle.hull.aiq.value
    return (m.routers[0].hull.aiq.value - alone) / (oracle - alone) if oracle > alone else 0.0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("folder", type=pathlib.Path)
    parser.add_argument("--draws", type=int, default=12)
    parser.add_argument("--sizes", default="100,200,300,500")
    parser.add_argument("--seed", type=int, default=0)
    args = parser.parse_args()
    sizes = [int(size) for size in args.sizes.split(",")]
    spreads = {size: [] for size in sizes}
    chances = {size: [] for size in sizes}
    print("| set | prompts | gain share, mean | spread (1 sd) | shuffled, mean |")
    print("| --- | ---: | ---: | ---: | ---: |")
    for name in SETS:
        data, prices = model_set(args.folder / name)
        tokens = pricing.input_tokens(data.texts)
        listed = None if prices is None else pricing.listed(data.models, prices).of(tokens)
        predicted, priced = cross_validated(data, 10, 0)
        print(f"| {name} | all {len(data):,} | {figure(data, predicted, priced if listed is None else listed):.3f} "
              f"| | |")
        rng = random.Random(args.seed)
        for size in sizes:
            if size >= len(data):
                continue
            shares, shuffled = [], []
            for _ in range(args.draws):
                rows = sorted(rng.sample(range(len(data)), size))
                drawn = ModelSet(data.name, data.models, [data.texts[i] for i in rows],
                                 [data.results[i] for i in rows], [data.costs[i] for i in rows], data.cost_source, ())
                predicted, priced = cross_validated(drawn, 10, 0)
                prices_drawn = priced if listed is None else listed[rows]
                shares.append(figure(drawn, predicted, prices_drawn))
                order = numpy.random.default_rng(len(shares)).permutation(size)
                shuffled.append(figure(drawn, predicted[order], prices_drawn[order]))
            spreads[size].append(statistics.stdev(shares))
            chances[size].append(statistics.mean(shuffled))
            print(f"| {name} | {size:,} | {statistics.mean(shares):.3f} | {statistics.stdev(shares):.3f} | "
                  f"{statistics.mean(shuffled):.3f} |")
    print("\nNOISE = {" + ", ".join(f"{size}: {max(spreads[size]):.2f}" for size in sizes if spreads[size])
          + "}  # by size: the largest spread over the sets (halvec.fitted.fitting_models.NOISE)")
    print("chance: {" + ", ".join(f"{size}: {max(chances[size]):.2f}" for size in sizes if chances[size])
          + "}  # by size: the largest mean gain of shuffled predictions over the sets")


if __name__ == "__main__":
    main()
