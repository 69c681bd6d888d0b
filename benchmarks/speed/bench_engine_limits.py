"""The pattern engine at its limits, beside Python's `re` on the same patterns.

Run with the venv's interpreter: .venv/bin/python benchmarks/speed/bench_engine_limits.py

- Large alphabets: list entries with twenty thousand characters as
  alternatives, searched in a text of other characters. Time of the first
  call (compiling included) and of a repeated call, and the growth of the
  process's peak memory, each measured in a fresh interpreter.
- Interrupt latency: how long after a SIGINT a long classification raises
  KeyboardInterrupt, on a 20 MB text.
"""

import json
import subprocess
import sys
import textwrap

from _timing import fmt

SETUP = """
import json, random, re, time
import halvec.core.model_router as mr
CJK = [chr(0x4E00 + i) for i in range(20_000)]
rng = random.Random(1)
def ab(n):
    return "".join(rng.choice("ab") for _ in range(n))
def peak_mb():
    for line in open("/proc/self/status"):
        if line.startswith("VmHWM:"):
            return int(line.split()[1]) / 1024
CASES = {
    "4 entries, 20,000 CJK alternatives each; 1,500-char a/b text":
        ([("a(a|b){12}c%d|(" % i) + "|".join(CJK) + ")" for i in range(4)], ab(1500)),
    "a(a|b){12}c and 20,000 CJK alternatives; 100 KB a/b text":
        (["a(a|b){12}c", "(" + "|".join(CJK) + ")"], ab(100_000)),
}
"""

MEASURE = SETUP + """
patterns, text = CASES[CASE]
if ENGINE == "native":
    mr._COMPLEX_PATTERNS = patterns
    mr._SIMPLE_PATTERNS = []
    search = lambda: mr.classify_complexity(text)
else:
    search = lambda: any(re.search(p, text) for p in patterns)
base = peak_mb()
t = time.perf_counter(); search(); first = time.perf_counter() - t
t = time.perf_counter(); search(); again = time.perf_counter() - t
print(json.dumps({"first": first, "again": again, "peak": peak_mb() - base}))
"""

LATENCY = """
import os, random, subprocess, sys, time
import halvec.core.model_router as mr
if KIND == "thrash":
    text = os.urandom(20_000_000).translate(bytes(b"ab"[i & 1] for i in range(256))).decode()
    mr._COMPLEX_PATTERNS = ["a(a|b){20}c"]
    mr._SIMPLE_PATTERNS = []
else:
    text = "zzzz " * 4_000_000
sender = subprocess.Popen([sys.executable, "-c", "import os, sys, time; time.sleep(0.5); "
                           "print(time.monotonic(), flush=True); os.kill(int(sys.argv[1]), 2)",
                           str(os.getpid())], stdout=subprocess.PIPE, text=True)
start = time.monotonic()
try:
    while True:
        mr.classify_complexity(text)
except KeyboardInterrupt:
    print(time.monotonic() - float(sender.stdout.readline()))
sender.wait()
"""


def fresh(code, **names):
    prelude = "".join(f"{k} = {v!r}\n" for k, v in names.items())
    result = subprocess.run([sys.executable, "-c", prelude + textwrap.dedent(code)],
                            capture_output=True, text=True, check=True)
    return result.stdout.strip().splitlines()[-1]


def main():
    print("Large alphabets (each figure from a fresh interpreter)")
    print(f"{'case':<62} {'engine':<7} {'first call':>11} {'again':>11} {'peak memory':>12}")
    cases = json.loads(fresh(SETUP + "print(json.dumps(list(CASES)))"))
    for case in cases:
        rows = {engine: json.loads(fresh(MEASURE, CASE=case, ENGINE=engine)) for engine in ("native", "re")}
        for engine, r in rows.items():
            print(f"{case if engine == 'native' else '':<62} {engine:<7} {fmt(r['first'])}  {fmt(r['again'])}"
                  f"  {r['peak']:8.1f} MB")
        print(f"{'':<62} {'re/native':<7} {rows['re']['first'] / rows['native']['first']:10.1f}x"
              f"  {rows['re']['again'] / rows['native']['again']:10.1f}x")

    print("\nInterrupt latency: SIGINT to KeyboardInterrupt during a classification of a 20 MB text")
    for kind, label in (("plain", "default lists, 'zzzz ' x 4,000,000"),
                        ("thrash", "a(a|b){20}c on random a/b (no tables: simulation)")):
        latencies = sorted(float(fresh(LATENCY, KIND=kind)) for _ in range(3))
        print(f"  {label:<55} median {latencies[1] * 1000:6.2f} ms, worst {latencies[-1] * 1000:6.2f} ms")


if __name__ == "__main__":
    main()
