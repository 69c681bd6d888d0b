"""The native score of fitted routers against scikit-learn's, over every prompt of a folder of
outcome sets.

Run with the venv's interpreter (needs the extra halvec[fit]):
    .venv/bin/python benchmarks/quality/bench_fitted_parity.py OUTCOMES_DIR

For every ``*.jsonl`` set large enough to fit on, a router is fitted on all its prompts (the
settings ``halvec fit`` uses), written to a router file and loaded as ``halvec fit``'s users
load it; then every prompt of every set is scored natively and by the fitted scikit-learn
pipeline. Prints, for each router, the prompts compared, the largest difference relative to
the scikit-learn score (the bound is 1e-9) and where, and the time each scoring took.
"""

import argparse
import math
import pathlib
import tempfile
import time

from halvec.fitted import fit as fitting
from halvec.fitted import load_router
from halvec.fitted.router_file import dumps

from _outcomes import outcome_sets


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("folder", type=pathlib.Path)
    args = parser.parse_args()
    sets = outcome_sets(args.folder)
    every = [text for outcomes in sets.values() for text in outcomes.texts]
    settings = fitting.Settings()
    print(f"{'router fitted on':<28} {'prompts':>8} {'n-grams':>8} {'largest relative difference':>28}  "
          f"{'native':>9} {'scikit-learn':>12}")
    worst = 0.0
    for name, outcomes in sets.items():
        if len(outcomes) < fitting.MIN_PROMPTS:
            print(f"{name:<28} {len(outcomes):>8,}  (too few prompts to fit on)")
            continue
        model = fitting.fit(outcomes.texts, outcomes.strong, outcomes.weak, settings)
        spec = fitting.spec_of(model, settings, name=name, cuts=(0.0, 0.0), fitted_on={})
        with tempfile.TemporaryDirectory() as folder:
            path = pathlib.Path(folder) / "router.json"
            path.write_text(dumps(spec), encoding="utf-8")
            router = load_router(str(path))
        started = time.perf_counter()
        native = router.score(every)
        native_time = time.perf_counter() - started
        started = time.perf_counter()
        library = [float(score) for score in model.predict(every)]
        library_time = time.perf_counter() - started
        differences = [abs(a - b) / abs(b) if b else abs(a) for a, b in zip(native, library)]
        at = max(range(len(differences)), key=differences.__getitem__)
        worst = max(worst, differences[at])
        print(f"{name:<28} {len(every):>8,} {len(spec.ngrams):>8,} {differences[at]:>28.3g}  "
              f"{native_time:>8.3f}s {library_time:>11.3f}s")
        assert all(math.isfinite(score) for score in native)
    print(f"\nlargest relative difference over all: {worst:.3g} ({'within' if worst <= 1e-9 else 'OUTSIDE'} 1e-9)")


if __name__ == "__main__":
    main()
