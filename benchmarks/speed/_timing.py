"""Shared timing helpers for the benchmarks: best-of-repeats per call."""

import pathlib
import sys
import time
import timeit

# The plain-Python model of the module lives with the tests.
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "tests"))


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


def interleaved(statements, namespaces, *, rounds=9, min_time=0.02, clock=time.perf_counter):
    """Seconds per execution of `statements[i]` in `namespaces[i]`, the best of
    `rounds` short runs taken in turn, so that a busy machine slows every
    implementation alike and the best run of each is a quiet one. `clock` may be
    time.thread_time: processor time, which leaves out the time others had the
    processor on a machine shared with other work."""
    timers = []
    for stmt, namespace in zip(statements, namespaces):
        timer = timeit.Timer(stmt, globals=namespace, timer=clock)
        number, seconds = timer.autorange()
        timers.append((timer, max(1, int(number * min_time / max(seconds, 1e-9)))))
    best = [float("inf")] * len(timers)
    for _ in range(rounds):
        for i, (timer, number) in enumerate(timers):
            best[i] = min(best[i], timer.timeit(number) / number)
    return best


def header3(title, names):
    print(f"\n{title}")
    print(f"{'case':<44} " + " ".join(f"{n:>11}" for n in names) +
          f"  {'vs ' + names[1]:>11}  {'vs ' + names[2]:>11}")


def row3(name, times):
    native = times[0]
    print(f"{name:<44} " + " ".join(fmt(t) for t in times) +
          "".join(f"  {t / native:10.2f}x" for t in times[1:]))
