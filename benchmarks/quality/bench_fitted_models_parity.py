"""The native results of many-model fitted routers (router files of version 2) against
scikit-learn's, over every prompt of a folder of outcome sets.

Run with the venv's interpreter (needs the extra halvec[fit]):
    .venv/bin/python benchmarks/quality/bench_fitted_models_parity.py OUTCOMES_DIR

For every ``*.jsonl`` set, a multi-output ``Ridge`` (one output a model of the set, all of
them) is fitted on all its prompts, on the features ``halvec fit`` builds (the n-grams' sublinear
tf-idf beside the two scaled counts, its settings), turned into a version-2 router file and
loaded as users load it; then every prompt of every set is scored natively (each model's
predicted result, in one pass) and by the fitted model's ``predict``. Prints, for each router,
its models, the prompts compared, the largest difference relative to scikit-learn's result (the
bound is 1e-9) and the time each scoring took.
"""

import argparse
import importlib
import json
import pathlib
import tempfile
import time

from halvec.fitted import fit as fitting
from halvec.fitted import load_router
from halvec.fitted.models_file import CountTerms, ModelsSpec, Prices, Tradeoff
from halvec.fitted.router_file import dumps


def read_set(path):
    """(prompts, models, results: a row a prompt, mean costs a model or None) of a JSONL set."""
    texts, rows, costs = [], [], []
    with path.open(encoding="utf-8") as file:
        for line in file:
            record = json.loads(line)
            texts.append(record["prompt"])
            rows.append(record["scores"])
            costs.append(record.get("costs"))
    models = list(rows[0])
    results = [[float(row[m]) for m in models] for row in rows]
    priced = all(c is not None for c in costs)
    means = [sum(c[m] for c in costs) / len(costs) for m in models] if priced else None
    return texts, models, results, means


def fit(texts, results, settings):
    """A fitting.Model whose ridge is fitted on every model's results at once."""
    numpy = importlib.import_module("numpy")
    text = importlib.import_module("sklearn.feature_extraction.text")
    linear = importlib.import_module("sklearn.linear_model")
    preprocessing = importlib.import_module("sklearn.preprocessing")
    prompts = fitting.read(texts, settings)
    rows = numpy.arange(len(prompts))
    columns = prompts.columns(rows, min_prompts=settings.min_prompts, most=settings.max_ngrams)
    counts = prompts.counts[:, columns]
    model = fitting.Model(settings, [prompts.ngrams[c] for c in columns],
                          text.TfidfTransformer(sublinear_tf=True).fit(counts),
                          preprocessing.StandardScaler().fit(prompts.sizes), linear.Ridge(alpha=settings.alpha))
    model.ridge.fit(model.design(counts, prompts.sizes), numpy.array(results, dtype=float))
    return model


def spec_of(model, settings, name, models, prices):
    """The version-2 router file's content for a multi-output model."""
    coef = model.ridge.coef_  # a row a model
    size = len(model.ngrams)
    counts = {count: CountTerms(tuple(float(coef[m, size + k]) * settings.counts_weight for m in range(len(models))),
                                float(model.scale.mean_[k]), float(model.scale.scale_[k]))
              for k, count in enumerate(("words", "characters"))}
    return ModelsSpec(
        name=name, longest_ngram=settings.longest_ngram, models=tuple(models),
        intercepts=tuple(float(v) for v in model.ridge.intercept_), counts=counts,
        prices=Prices(tuple(prices or [0.0] * len(models)), (0.0,) * len(models),
                      "outcome costs" if prices else "catalogue"),
        tradeoff=Tradeoff(0.0, "tradeoff"), ngrams=list(model.ngrams), idf=[float(v) for v in model.tfidf.idf_],
        weights=[[float(coef[m, i]) for m in range(len(models))] for i in range(size)])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("folder", type=pathlib.Path)
    args = parser.parse_args()
    sets = {path.name: read_set(path) for path in sorted(args.folder.glob("*.jsonl"))}
    every = [text for texts, _, _, _ in sets.values() for text in texts]
    settings = fitting.Settings()
    print(f"{'router fitted on':<24} {'models':>6} {'fitted on':>9} {'scored':>8} {'n-grams':>8} "
          f"{'largest relative difference':>28}  {'native':>9} {'scikit-learn':>12}")
    worst = 0.0
    for name, (texts, models, results, prices) in sets.items():
        model = fit(texts, results, settings)
        spec = spec_of(model, settings, name, models, prices)
        with tempfile.TemporaryDirectory() as folder:
            path = pathlib.Path(folder) / "router.json"
            path.write_text(dumps(spec), encoding="utf-8")
            router = load_router(str(path))
        started = time.perf_counter()
        native = router.qualities_batch(every, flat=True).tolist()
        native_time = time.perf_counter() - started
        started = time.perf_counter()
        library = [float(v) for row in model.predict(every) for v in row]
        library_time = time.perf_counter() - started
        differences = [abs(a - b) / abs(b) if b else abs(a) for a, b in zip(native, library)]
        at = max(range(len(differences)), key=differences.__getitem__)
        worst = max(worst, differences[at])
        print(f"{name:<24} {len(models):>6} {len(texts):>9,} {len(every):>8,} {len(spec.ngrams):>8,} "
              f"{differences[at]:>28.3g}  {native_time:>8.3f}s {library_time:>11.3f}s")
    print(f"\nlargest relative difference over all: {worst:.3g} ({'within' if worst <= 1e-9 else 'OUTSIDE'} 1e-9)")


if __name__ == "__main__":
    main()
