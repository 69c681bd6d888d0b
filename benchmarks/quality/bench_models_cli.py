"""``halvec bench --models`` on the many-model outcome sets: the figures of docs/quality.md's
"halvec bench --models" section.

Run with the venv's interpreter (needs the extras halvec[fit] and halvec[plot]):
    .venv/bin/python benchmarks/quality/bench_models_cli.py OUTCOMES_DIR [--resamples N]

For ``arena_bench_v1.jsonl`` (no costs: priced with ``arena_bench_v1_prices.toml`` beside this
script, an assumption stated there) and ``routerarena_2.jsonl`` (its own per-prompt costs): the
prompts are split at random (seed 0) into four fifths and a fifth. A router is fitted on the four
fifths the way ``bench_fitted_models_parity.py`` fits one (a multi-output ridge on ``halvec
fit``'s features), here with ``alpha`` 30, its prices each model's price on those prompts
(``per_prompt`` and ``per_input_token`` from the prices file; the mean cost where the set has
costs), and its trade-off placed for 95% of the best single model's result on its own
frontier there. Then the command measures it, timed, as a user runs it: on the fifth held out,
and on the four fifths it was fitted on (where it is marked and warned of).
"""

import argparse
import json
import pathlib
import random
import subprocess
import sys
import tempfile
import time

from halvec.evaluation import load_prices
from halvec.evaluation import ESTIMATED_OUTPUT_TOKENS
from halvec.fitted import fit as fitting
from halvec.fitted.models_file import CountTerms, ModelsSpec, Prices, Tradeoff
from halvec.fitted.provenance import prompt_digest
from halvec.fitted.router_file import dumps
from halvec.quality.costs import prompt_costs
from halvec.quality.frontier import best_model, frontier
from halvec.quality.models import place_for_share
from halvec.quality.outcomes import read_outcomes

sys.path.insert(0, str(pathlib.Path(__file__).parent))
from bench_fitted_models_parity import fit  # noqa: E402  (the multi-output ridge)

HERE = pathlib.Path(__file__).parent
PRICES = HERE / "arena_bench_v1_prices.toml"
SETS = {"arena_bench_v1.jsonl": PRICES, "routerarena_2.jsonl": None}


def split(path, folder, seed=0):
    """(the four fifths, the fifth) of the set's lines, as files in ``folder``."""
    lines = path.read_text(encoding="utf-8").splitlines(keepends=True)
    order = list(range(len(lines)))
    random.Random(seed).shuffle(order)
    held = set(order[:len(lines) // 5])
    parts = []
    for name, keep in (("fitting", lambda i: i not in held), ("held_out", lambda i: i in held)):
        part = folder / f"{path.stem}.{name}.jsonl"
        part.write_text("".join(line for i, line in enumerate(lines) if keep(i)), encoding="utf-8")
        parts.append(part)
    return parts


def router_file(fitting_part, prices_path, folder):
    """A version-2 router fitted on ``fitting_part``, written in ``folder``."""
    outcomes = read_outcomes(str(fitting_part), models="all")
    prices = load_prices(str(prices_path), any_model=True) if prices_path else None
    costs = prompt_costs(outcomes, prices)
    models = outcomes.chosen
    settings = fitting.Settings(alpha=30.0)
    model = fit(outcomes.texts, outcomes.results, settings)
    if prices is not None:  # exactly as the prompts are priced: input tokens at their price, 500 output tokens
        per_prompt = [prices.per_1k[m][1] * ESTIMATED_OUTPUT_TOKENS / 1000 for m in models]
        per_token = [prices.per_1k[m][0] / 1000 for m in models]
        price_rows = [[per_prompt[m] + per_token[m] * -(-len(t.encode("utf-8", "surrogatepass")) // 4)
                       for m in range(len(models))] for t in outcomes.texts]
        source, detail = "prices file", f"{prices_path.name} (as of {prices.as_of})"
    else:
        per_prompt = [sum(row[m] for row in costs.rows) / len(costs.rows) for m in range(len(models))]
        per_token = [0.0] * len(models)
        price_rows = [per_prompt] * len(outcomes.texts)
        source, detail = "outcome costs", fitting_part.name
    qualities = [[float(v) for v in row] for row in model.predict(outcomes.texts)]
    own = frontier(qualities, price_rows, outcomes.results, costs.rows)
    means = [sum(row[m] for row in outcomes.results) / len(outcomes) for m in range(len(models))]
    mean_costs = [sum(row[m] for row in costs.rows) / len(outcomes) for m in range(len(models))]
    placed = place_for_share(own, means[best_model(means, mean_costs)], 0.95)
    coef = model.ridge.coef_
    size = len(model.ngrams)
    counts = {count: CountTerms(tuple(float(coef[m, size + k]) * settings.counts_weight for m in range(len(models))),
                                float(model.scale.mean_[k]), float(model.scale.scale_[k]))
              for k, count in enumerate(("words", "characters"))}
    spec = ModelsSpec(
        name=f"ridge-{fitting_part.stem.split('.')[0]}", longest_ngram=settings.longest_ngram, models=tuple(models),
        intercepts=tuple(float(v) for v in model.ridge.intercept_), counts=counts,
        prices=Prices(tuple(per_prompt), tuple(per_token), source, detail),
        tradeoff=Tradeoff(placed.tradeoff, "target_share", 0.95), ngrams=list(model.ngrams),
        idf=[float(v) for v in model.tfidf.idf_],
        weights=[[float(coef[m, i]) for m in range(len(models))] for i in range(size)],
        fitted_on={"files": [fitting_part.name], "alpha": settings.alpha,
                   "prompt_digest": prompt_digest(outcomes.texts)})
    path = folder / f"{spec.name}.json"
    path.write_text(dumps(spec), encoding="utf-8")
    return path


def bench(files, router, prices_path, resamples, plot=None):
    command = [sys.executable, "-m", "halvec", "bench", *map(str, files), "--models", "all", "--router", str(router),
               "--resamples", str(resamples)]
    if prices_path:
        command += ["--prices", str(prices_path)]
    if plot:
        command += ["--plot", str(plot)]
    started = time.perf_counter()
    done = subprocess.run(command, capture_output=True, text=True, check=True)
    return done.stdout, done.stderr, time.perf_counter() - started


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("folder", type=pathlib.Path)
    parser.add_argument("--resamples", type=int, default=1000)
    parser.add_argument("--plot", type=pathlib.Path, help="draw each held-out bench into this folder")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as temporary:
        folder = pathlib.Path(temporary)
        for name, prices in SETS.items():
            fitting_part, held_out = split(args.folder / name, folder)
            router = router_file(fitting_part, prices, folder)
            print(f"== {name}: fitted on {fitting_part.name}, λ {json.loads(router.read_text())['tradeoff']['lambda']:.4g}")
            for part in (held_out, fitting_part):
                plot = args.plot / f"{part.stem}.svg" if args.plot and part is held_out else None
                out, err, took = bench([part], router, prices, args.resamples, plot)
                print(out.rstrip())
                print(err.rstrip() or "(no warning)")
                print(f"-- {took:.2f} s\n")


if __name__ == "__main__":
    main()
