"""Shared timing helpers for the benchmarks: best-of-repeats per call."""

import pathlib
import sys
import timeit

# The plain-Python model of the module lives with the tests.
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests"))


def per_call(func, *, min_time=0.2, repeat=5, max_number=None):
    """Seconds per call: the best of `repeat` runs of an auto-sized loop."""
    timer = timeit.Timer(func)
    number, _ = timer.autorange()
    number = max(1, int(number * min_time / 0.2))
    if max_number:
        number = min(number, max_number)
    return min(timer.repeat(repeat=repeat, number=number)) / number


def once(func):
    """Seconds for one call, for inputs too slow to repeat."""
    return min(timeit.Timer(func).repeat(repeat=1, number=1))


def fmt(seconds):
    for unit, scale in (("s", 1), ("ms", 1e-3), ("µs", 1e-6), ("ns", 1e-9)):
        if seconds >= scale:
            return f"{seconds / scale:8.2f} {unit}"
    return f"{seconds / 1e-9:8.2f} ns"


def row(name, native, baseline):
    print(f"{name:<38} {fmt(native)}  {fmt(baseline)}  {baseline / native:10.1f}x")


def header(title):
    print(f"\n{title}")
    print(f"{'case':<38} {'native':>11}  {'baseline':>11}  {'ratio':>11}")
