"""classify_complexity against the same rules in plain Python with `re`.

Run with the venv's interpreter: .venv/bin/python benchmarks/speed/bench_classifier.py
The baseline is measured in the same run; `--quick` skips the baseline on the
inputs where it takes many seconds.
"""

import sys

from _timing import fmt, header, once, per_call, row

import reference
from halvec.core import model_router as mr

TYPICAL = "Summarize the key decisions from yesterday's product sync and send them to the team channel"
SENTENCE = ("The team reviewed the quarterly numbers together, talked through the open questions "
            "from customers, and agreed on who follows up with each of the partners next week. ")


def paragraph(length):
    return (SENTENCE * (length // len(SENTENCE) + 1))[:length]


def main():
    quick = "--quick" in sys.argv
    header("classify_complexity (baseline: the rules in plain Python with re)")
    cases = [("typical description, %d chars" % len(TYPICAL), TYPICAL, False),
             ("paragraph, 2,000 chars", paragraph(2000), False),
             ('"compare and " x 250', "compare and " * 250, False),
             ('"compare and " x 1,000', "compare and " * 1000, True),
             ('"compare and " x 2,000', "compare and " * 2000, True),
             ('"debug " x 5,000', "debug " * 5000, False)]
    for name, text, slow in cases:
        assert mr.classify_complexity(text) is reference.classify_complexity(text) if not slow else True
        native = per_call(lambda: mr.classify_complexity(text))
        if slow and quick:
            print(f"{name:<38} {fmt(native)}  {'(skipped)':>11}")
            continue
        baseline = once(lambda: reference.classify_complexity(text)) if slow else per_call(
            lambda: reference.classify_complexity(text), min_time=0.1, repeat=3)
        row(name, native, baseline)

    print("\nscaling, ordinary text (time per character)")
    print(f"{'length':<12} {'native':>12} {'baseline':>12}")
    first = None
    for length in (1_000, 10_000, 100_000, 1_000_000):
        text = paragraph(length)
        native = per_call(lambda: mr.classify_complexity(text), min_time=0.1) / length
        baseline = per_call(lambda: reference.classify_complexity(text), min_time=0.05,
                            repeat=3) / length
        first = first or native
        print(f"{length:<12,} {native * 1e9:9.3f} ns {baseline * 1e9:9.3f} ns   "
              f"(native per char: {native / first:.2f}x the 1 KB figure)")


if __name__ == "__main__":
    main()
