"""The model of many-model fitted routers, compared by K-fold cross-validation on a folder of
outcome sets: docs/fitted_routers.md's tables of the forms tried and of the prices.

Run with the venv's interpreter (needs the extra halvec[fit]):
    .venv/bin/python benchmarks/quality/bench_fitted_models_quality.py OUTCOMES_DIR [--folds K] [--seed N] [--resamples N]

For each set (arena_bench_v1, routerarena_2, routellm_gsm8k, routellm_mmlu; those without
per-prompt costs priced at benchmarks/quality/*_prices.toml), every prompt's results are
predicted by a model fitted on the other folds, in each form tried: a ridge a model at alpha
3, 10, 30 (the default) and 100; each model's alpha chosen by an inner cross-validation; a
joint model (the models' mean at alpha 30, each model's deviation at 300); the default with
its predictions clipped to the range of each model's results in the training folds (which a
router file cannot hold). Each form's AIQ, its difference from the default's (a paired
bootstrap interval), its cost to reach 95% and 100% of the best single model's result, and the
share of the gap to the oracle its choice on predicted results alone recovers; then, for the
sets with per-prompt costs, each model's mean cost against a price by length as the router's
prices. Every figure with its 95% interval (1,000 resamples, seed 0).
"""

import argparse
import pathlib
import time

import numpy

from halvec.fitted import fit_models, pricing
from halvec.quality.models import Predictions, measure
from halvec.quality.paired import compare

from _models import SETS, model_set

FORMS = [("alpha 30 (default)", fit_models.ModelSettings()),
         ("alpha 3", fit_models.ModelSettings(alpha=3.0)),
         ("alpha 10", fit_models.ModelSettings(alpha=10.0)),
         ("alpha 100", fit_models.ModelSettings(alpha=100.0)),
         ("alpha a model (inner CV)", fit_models.ModelSettings(alphas=(1.0, 3.0, 10.0, 30.0, 100.0, 300.0, 1000.0))),
         ("joint: mean 30, deviations 300", fit_models.ModelSettings(alpha=30.0, deviation_alpha=300.0))]


def clipped(predicted, results, fold_of, folds):
    """The predictions, each fold's clipped to the range of each model's results in the other folds."""
    out = predicted.copy()
    for k in range(folds):
        train, test = fold_of != k, fold_of == k
        out[test] = numpy.clip(predicted[test], results[train].min(axis=0), results[train].max(axis=0))
    return out


def interval(e, percent=False):
    if e.value is None:
        return "never"
    shown = (lambda v: f"{100 * v:.1f}%") if percent else (lambda v: f"{v:.4f}")
    return shown(e.value) + ("" if e.low is None else f" ({shown(e.low)} to {shown(e.high)})")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("folder", type=pathlib.Path)
    parser.add_argument("--folds", type=int, default=10)
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--resamples", type=int, default=1000)
    args = parser.parse_args()
    for name in SETS:
        started = time.perf_counter()
        data, prices = model_set(args.folder / name)
        results = numpy.asarray(data.results)
        tokens = pricing.input_tokens(data.texts)
        prompts = fit_models.read_prompts(data.texts, fit_models.ModelSettings())
        routers, fold_of = [], None
        for label, settings in FORMS:
            predicted, fold_of = fit_models.cross_validate(prompts, results, folds=args.folds, seed=args.seed,
                                                           settings=settings)
            routers.append((label, predicted))
            if label.endswith("(default)"):
                routers.append(("alpha 30, clipped", clipped(predicted, results, fold_of, args.folds)))
        costs = numpy.asarray(data.costs)
        if prices is not None:
            priced = pricing.listed(data.models, prices).of(tokens)
        else:
            priced = numpy.zeros(costs.shape)
            for k in range(args.folds):
                priced[fold_of == k] = pricing.mean(costs[fold_of != k]).of(tokens[fold_of == k])
        compared = compare(data, [Predictions(label, data.models, p.tolist(), priced.tolist()) for label, p in routers],
                           resamples=args.resamples, seed=args.seed)
        baseline = measure(data, [], resamples=args.resamples, seed=args.seed)
        best = baseline.best_model
        print(f"### {name}: {len(data):,} prompts, {len(data.models)} models, best single model {best}; "
              f"priced by {'its own per-prompt costs' if prices is None else 'list prices'}\n")
        print("| form | AIQ (95% interval) | difference from the default | to reach 95% | to reach 100% | "
              "gap recovered |")
        print("| --- | --- | --- | ---: | ---: | ---: |")
        for c in compared:
            print(f"| {c.name} | {interval(c.aiq)} | {interval(c.difference) if c is not compared[0] else ''} | "
                  f"{interval(c.reach[0.95], True)} | {interval(c.reach[1.0], True)} | "
                  f"{interval(c.gap_recovered, True)} |")
        alone, oracle = baseline.models_alone, baseline.oracle
        print(f"| models alone | {interval(alone.aiq)} | | {interval(alone.reach[0.95], True)} | "
              f"{interval(alone.reach[1.0], True)} | |")
        print(f"| oracle | {interval(oracle.hull.aiq)} | | {interval(oracle.hull.reach[0.95], True)} | "
              f"{interval(oracle.hull.reach[1.0], True)} | 100% |\n")
        if prices is None:
            by_length = numpy.zeros(costs.shape)
            for k in range(args.folds):
                train, test = fold_of != k, fold_of == k
                by_length[test] = pricing.by_length(costs[train], tokens[train]).of(tokens[test])
            default = routers[0][1].tolist()
            forms = compare(data, [Predictions("each model's mean cost", data.models, default, priced.tolist()),
                                   Predictions("a price by length", data.models, default, by_length.tolist())],
                            resamples=args.resamples, seed=args.seed)
            print("| the router's prices | AIQ (95% interval) | difference | to reach 95% | to reach 100% |")
            print("| --- | --- | --- | ---: | ---: |")
            for c in forms:
                print(f"| {c.name} | {interval(c.aiq)} | {interval(c.difference) if c is not forms[0] else ''} | "
                      f"{interval(c.reach[0.95], True)} | {interval(c.reach[1.0], True)} |")
            fitted = pricing.by_length(costs, tokens)
            print(f"\n(by length, fitted on all the prompts: per prompt "
                  f"{', '.join(f'{v:.3g}' for v in fitted.per_prompt)}; per input token "
                  f"{', '.join(f'{v:.3g}' for v in fitted.per_input_token)}; models {', '.join(data.models)})\n")
        print(f"({args.folds} folds, seed {args.seed}, {args.resamples} resamples; {time.perf_counter() - started:.0f} s)\n")


if __name__ == "__main__":
    main()
