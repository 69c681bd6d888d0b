"""Many-model routers fitted with ``halvec fit --models`` on four fifths of each outcome set and
measured on the fifth held out; and routers fitted on one set measured on another:
docs/fitted_routers.md's held-out and cross-set tables.

Run with the venv's interpreter (needs the extra halvec[fit]):
    .venv/bin/python benchmarks/quality/bench_fitted_models_held_out.py OUTCOMES_DIR [--seed N] [--resamples N]

Each set's different texts are shuffled (``--seed``) and a fifth of them held out. The other
four fifths are written to a file and fitted on by the command, with ``--prices`` at the list
prices of benchmarks/quality/*_prices.toml where the set has no per-prompt costs (and
``--min-prompts`` where there are fewer than 500 prompts); the router
file it writes is loaded and measured on the held-out fifth by halvec.quality.models, at its
own trade-off: AIQ, cost to reach 95% and 100% of the best single model's result, the share of
the gap to the oracle recovered by the choice on predicted results alone, and the operating
point, beside the models alone and the oracle. Then routers fitted (by the command) on all of
MMLU and all of GSM8K, which share their two models, are each measured on the other set.
"""

import argparse
import json
import pathlib
import random
import subprocess
import sys
import tempfile

from halvec.fitted import load_router
from halvec.quality.models import measure_models
from halvec.quality.outcomes import read_outcomes

from _models import SETS, model_set, prices_file, write_rows

HALVEC = pathlib.Path(sys.executable).with_name("halvec")


def split(path, seed):
    """(train rows, held-out rows): a fifth of the different texts held out, each text's copies together."""
    texts = [json.loads(line)["prompt"] for line in path.read_text(encoding="utf-8").split("\n") if line.strip()]
    distinct = sorted(set(texts))
    random.Random(seed).shuffle(distinct)
    held = set(distinct[:len(distinct) // 5])
    return [i for i, t in enumerate(texts) if t not in held], [i for i, t in enumerate(texts) if t in held]


def fit(train_file, router_file, prompts):
    command = [str(HALVEC), "fit", str(train_file), "--models", "all", "-o", str(router_file)]
    outcomes = read_outcomes(str(train_file), models="all")
    if outcomes.costs is None:
        command += ["--prices", str(prices_file(outcomes.chosen))]
    if prompts < 500:
        command += ["--min-prompts", str(prompts)]
    subprocess.run(command, check=True, capture_output=True, text=True)
    return load_router(str(router_file))


def costed_set(path):
    return model_set(path)[0]


def shown(e, percent=False):
    if e.value is None:
        return "never"
    form = (lambda v: f"{100 * v:.1f}%") if percent else (lambda v: f"{v:.4g}")
    return form(e.value) + ("" if e.low is None else f" ({form(e.low)} to {form(e.high)})")


def row(label, measured):
    router = measured.routers[0]
    point = router.operating
    calls = ", ".join(f"{m} {100 * e.value:.0f}%" for m, e in sorted(point.calls.items(), key=lambda i: -i[1].value)
                      if e.value >= 0.005)
    alone = measured.models_alone
    return (f"| {label} | {measured.prompts:,} | {shown(router.hull.aiq)} | {shown(alone.aiq)} | "
            f"{shown(router.hull.reach[0.95], True)} | {shown(alone.reach[0.95], True)} | "
            f"{shown(router.hull.reach[1.0], True)} | {shown(router.gap_recovered, True)} | "
            f"{shown(point.result)} | {shown(point.cost)} | {calls} |")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("folder", type=pathlib.Path)
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--resamples", type=int, default=1000)
    args = parser.parse_args()
    header = ("| set | prompts | AIQ | models alone | to reach 95% | models alone | to reach 100% | gap recovered | "
              "result | cost | calls |\n| --- | ---: | --- | --- | ---: | ---: | ---: | ---: | --- | --- | --- |")
    with tempfile.TemporaryDirectory() as folder:
        work = pathlib.Path(folder)
        print("Held out: fitted by `halvec fit --models all` on four fifths, measured on the fifth\n")
        print(header)
        for name in SETS:
            path = args.folder / name
            train, held = split(path, args.seed)
            write_rows(path, work / "train.jsonl", train)
            write_rows(path, work / "held.jsonl", held)
            router = fit(work / "train.jsonl", work / "router.json", len(train))
            measured = measure_models([costed_set(work / "held.jsonl")], [("fitted", router, router.tradeoff)],
                                      resamples=args.resamples, seed=args.seed).sets[0]
            print(row(name, measured))
        print("\nAcross sets: fitted by `halvec fit --models all` on all of one set, measured on all of another\n")
        print(header)
        routers = {}
        for name in ("routellm_mmlu.jsonl", "routellm_gsm8k.jsonl"):
            write_rows(args.folder / name, work / name)
            routers[name] = fit(work / name, work / f"router-{name}.json", 1000)
        for fitted_on, measured_on in (("routellm_mmlu.jsonl", "routellm_gsm8k.jsonl"),
                                       ("routellm_gsm8k.jsonl", "routellm_mmlu.jsonl")):
            router, data = routers[fitted_on], costed_set(work / measured_on)
            measured = measure_models([data], [("fitted", router, router.tradeoff)], resamples=args.resamples,
                                      seed=args.seed).sets[0]
            coverage = [c for c in router.coverage(data.texts) if c is not None]
            print(row(f"fitted on {fitted_on}, measured on {measured_on} (mean coverage "
                      f"{sum(coverage) / len(coverage):.2f}, {router.provenance.coverage.mean:.2f} on its own)",
                      measured))
    print(f"\n(seed {args.seed}, {args.resamples} resamples; costs at the list prices where a set has none)")


if __name__ == "__main__":
    main()
