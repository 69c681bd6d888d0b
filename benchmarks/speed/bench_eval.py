"""halvec eval on a workload of a million JSONL lines: tasks per second and peak memory (of
one process, and of all of them), with the summary alone and with --out, against the same evaluation run with the plain-Python
model of the module (tests/reference.py) and against a plain-Python driver that calls the
module once per task, all measured in this run.

Run with the venv's interpreter: .venv/bin/python benchmarks/speed/bench_eval.py [--lines N]
[--plain-lines N] [--corpora DIR] [--keep FILE] [--repeat N]

The workload is built from the prompt corpora in DIR (default: shared/corpora beside the
repository, one {"text": ..., "id": ...} object per line), repeated to the number of lines
asked for, each record with "input_tokens" (about four characters to a token) and
"output_tokens"; without corpora it is made of synthetic sentences. The machine is shared:
every figure comes with the load average, and with the rate per second of CPU time, which
the load moves less than the rate per second of wall time; each command runs --repeat times
(3), in turn with the other, and its fastest run is reported, with the ratio of the processes'
rate to one process's, both from this run.
"""

import argparse
import io
import json
import os
import pathlib
import platform
import random
import re
import subprocess
import sys
import tempfile
import threading
import time
from collections import Counter

from _timing import fmt

import reference
from halvec import workload
from halvec.config import SecretsStore
from halvec.core import model_router as mr
from halvec.evaluation import Settings, evaluate, new_explainer
from halvec.explain import ComplexityExplanation, explain_complexity

HERE = pathlib.Path(__file__).resolve().parent
DEFAULT_CORPORA = HERE.parents[2] / "shared" / "corpora"
KEYS = "anthropic,openai"


# --- the workload ---------------------------------------------------------------------------

def corpus_texts(folder):
    texts = []
    for path in sorted(pathlib.Path(folder).glob("*.jsonl")):
        with open(path, encoding="utf-8") as file:
            for line in file:
                record = json.loads(line)
                texts.append((record["id"], record["text"]))
    return texts


def synthetic_texts(count=20_000, seed=7):
    words = ("the report data team market research write summary list fetch check daily plan project "
             "customer analyze build system feature deploy server error fix update review notes meeting").split()
    rnd = random.Random(seed)
    return [(f"synthetic:{i}", " ".join(rnd.choice(words) for _ in range(int(rnd.lognormvariate(3, 0.9)) + 1)))
            for i in range(count)]


def build(path, lines, texts, seed=11):
    rnd = random.Random(seed)
    with open(path, "w", encoding="utf-8") as file:
        for i in range(lines):
            ident, text = texts[i % len(texts)]
            file.write(json.dumps({"id": f"{ident}#{i // len(texts)}", "description": text,
                                   "input_tokens": len(text) // 4 + 20,
                                   "output_tokens": rnd.randrange(50, 1000)}, ensure_ascii=False) + "\n")


# --- the plain-Python model -----------------------------------------------------------------

def plain_explain(prompt, tool_count=0):
    """explain_complexity written out in plain Python with re, on tests/reference.py's rules."""
    prompt_lower = prompt.lower().strip()
    length = len(prompt_lower)
    word_count = len(prompt_lower.split())

    def record(tier, rule, pattern_list=None, index=None, pattern=None, match=None, threshold=None):
        return ComplexityExplanation(tier=tier, rule=rule, length=length, word_count=word_count,
                                     tool_count=tool_count, pattern_list=pattern_list, pattern_index=index,
                                     pattern=pattern, span=match.span() if match else None,
                                     match=match.group() if match else None, threshold=threshold)

    if length < 20:
        return record(mr.Complexity.SIMPLE, "length", threshold="length < 20")
    for name, tier, patterns in (("complex", mr.Complexity.COMPLEX, mr._COMPLEX_PATTERNS),
                                 ("simple", mr.Complexity.SIMPLE, mr._SIMPLE_PATTERNS)):
        for index, pattern in enumerate(patterns):
            match = re.search(pattern, prompt_lower)
            if match:
                return record(tier, f"{name}_pattern", name, index, pattern, match)
    if word_count > 60 or tool_count > 4:
        return record(mr.Complexity.COMPLEX, "counts", threshold="word_count > 60")
    if word_count > 25 or tool_count > 2:
        return record(mr.Complexity.MODERATE, "counts", threshold="word_count > 25")
    if word_count < 15 and tool_count <= 1:
        return record(mr.Complexity.SIMPLE, "counts", threshold="word_count < 15 and tool_count <= 1")
    return record(mr.Complexity.MODERATE, "counts", threshold="otherwise")


def check_plain_model(texts):
    for _, text in texts:
        plain, native = plain_explain(text), explain_complexity(text)
        assert plain.tier is reference.classify_complexity(text) is native.tier, text
        assert (plain.rule, plain.pattern_index, plain.span) == (native.rule, native.pattern_index, native.span)


def settings():
    store = SecretsStore()
    for provider in KEYS.split(","):
        store.set_key(provider, "benchmark")
    return Settings(config=mr.ModelRoutingConfig(), store=store)


class Discard(io.RawIOBase):
    def writable(self):
        return True

    def write(self, data):
        return len(data)


def in_process(path, lines, *, plain, out):
    """(seconds of wall time, seconds of CPU time) for the evaluation of the first `lines` lines."""
    with open(path, "rb") as file:
        data = b"".join(file.readline() for _ in range(lines)) if lines else file.read()
    reader = workload.TaskReader(io.BytesIO(data), "'workload'", models=list(mr.AVAILABLE_MODELS))
    options = dict(explain=plain_explain, router_factory=reference.ReferenceRouter) if plain else {}
    wall, cpu = time.perf_counter(), time.process_time()
    report = evaluate(reader, settings(), out=Discard() if out else None, **options)
    return time.perf_counter() - wall, time.process_time() - cpu, report


def components(path, lines):
    """CPU seconds per task of the pieces of a summary-only evaluation, in process: reading
    (JSON included), explain_complexity, classify_complexity, and the whole evaluation."""
    with open(path, "rb") as file:
        data = b"".join(file.readline() for _ in range(lines)) if lines else file.read()

    def reader():
        return workload.TaskReader(io.BytesIO(data), "'workload'", models=list(mr.AVAILABLE_MODELS))

    def once(work):
        cpu = time.process_time()
        count = work()
        return (time.process_time() - cpu) / count

    explain_batch = new_explainer()
    pieces = {
        "read": lambda: sum(len(batch) for batch in reader().batches()),
        "explain": lambda: sum(len(explain_batch(batch.descriptions)[0]) for batch in reader().batches()),
        "classify": lambda: sum(len(list(map(mr.classify_complexity, batch.descriptions)))
                                for batch in reader().batches()),
        "evaluate": lambda: evaluate(reader(), settings()).summary.tasks,
    }
    # each piece's fastest of five rounds, the pieces in turn within a round: a slow spell of
    # the shared machine then weighs on all of them alike, not on one
    best = dict.fromkeys(pieces, float("inf"))
    for _ in range(5):
        for name, work in pieces.items():
            best[name] = min(best[name], once(work))
    return best


def plain_driver(path, lines, *, out):
    """A driver as one would first write it: json per line, the module called once per task."""
    import logging
    logging.getLogger("halvec.model_router").disabled = True
    router = mr.ModelRouter(settings().config, settings().store)
    prices = {key: (spec.cost_per_1k_input, spec.cost_per_1k_output) for key, spec in mr.AVAILABLE_MODELS.items()}
    keys = {id(spec): key for key, spec in mr.AVAILABLE_MODELS.items()}
    tiers, models, rules, patterns = Counter(), Counter(), Counter(), Counter()
    sink = Discard()
    wall, cpu = time.perf_counter(), time.process_time()
    with open(path, encoding="utf-8") as file:
        for number, line in enumerate(file, 1):
            if lines and number > lines:
                break
            record = json.loads(line)
            description = record["description"]
            explained = explain_complexity(description)
            key = keys[id(router.select_for_worker(description))]
            tiers[explained.tier] += 1
            models[key] += 1
            rules[explained.rule] += 1
            patterns[(explained.pattern_list, explained.pattern_index)] += 1
            pin, pout = prices[key]
            cost = (record["input_tokens"] * pin + record["output_tokens"] * pout) / 1000
            if out:
                sink.write(json.dumps({"line": number, "id": record.get("id"), "tier": explained.tier.value,
                                       "model": key, "rule": explained.rule, "span": explained.span,
                                       "cost": cost}).encode() + b"\n")
    return time.perf_counter() - wall, time.process_time() - cpu


def _tree(pid):
    """The process and the processes it started, and theirs (a pool's fork server and its
    workers): {pid: (resident bytes, peak resident bytes, CPU seconds)}, read from /proc."""
    found = {}
    pids = [pid]
    while pids:
        current = pids.pop()
        try:
            with open(f"/proc/{current}/status") as status:
                fields = dict(line.split(":", 1) for line in status if line.startswith(("VmRSS", "VmHWM")))
            with open(f"/proc/{current}/stat") as stat:
                ticks = stat.read().rsplit(")", 1)[1].split()
            with open(f"/proc/{current}/task/{current}/children") as children:
                pids += map(int, children.read().split())
        except (OSError, ValueError):
            continue
        if "VmRSS" not in fields:  # ended, not yet reaped
            continue
        found[current] = (int(fields["VmRSS"].split()[0]) * 1024, int(fields["VmHWM"].split()[0]) * 1024,
                          (int(ticks[11]) + int(ticks[12])) / os.sysconf("SC_CLK_TCK"))
    return found


def run_command(path, *args, command=None):
    """(wall seconds, CPU seconds, peak memory of a process, peak memory of all, JSON report)
    of `halvec eval` in a process of its own (`command` runs another program in its place).
    The process tree is sampled every 10 ms: CPU time is each process's last reading, summed
    (a pool's workers are the fork server's children, which this process may not wait for),
    or what wait4 counts, the larger;
    peak memory of a process is the largest peak resident memory of one of them, and of all
    the largest sum of their resident memory at one time (pages they share counted for each)."""
    started = time.perf_counter()
    process = subprocess.Popen([*(command or [sys.executable, "-m", "halvec"]), "eval", str(path), "--keys", KEYS,
                                "--json", *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    seen = {}
    total = 0
    done = threading.Event()

    def sample():
        nonlocal total
        while not done.wait(0.01):
            tree = _tree(process.pid)
            seen.update(tree)
            total = max(total, sum(rss for rss, _, _ in tree.values()))

    sampler = threading.Thread(target=sample)
    sampler.start()
    stdout = process.stdout.read()
    stderr = process.stderr.read()
    done.set()
    sampler.join()
    _, status, usage = os.wait4(process.pid, 0)
    process.returncode = os.waitstatus_to_exitcode(status)
    wall = time.perf_counter() - started
    if process.returncode != 0:
        raise SystemExit(f"halvec eval failed: {stderr.decode()}")
    # wait4 counts the children this process waited for, the samples every process seen
    cpu = max(usage.ru_utime + usage.ru_stime, sum(cpu for _, _, cpu in seen.values()))
    peak = max([usage.ru_maxrss * 1024, *(hwm for _, hwm, _ in seen.values())])
    return wall, cpu, peak, max(total, peak), json.loads(stdout)


def load():
    return "load %.2f %.2f %.2f" % os.getloadavg()


def rate(count, seconds):
    return f"{count / seconds:>10,.0f}/s"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--lines", type=int, default=1_000_000)
    parser.add_argument("--plain-lines", type=int, default=None,
                        help="lines for the plain-Python runs (default: all)")
    parser.add_argument("--corpora", default=str(DEFAULT_CORPORA))
    parser.add_argument("--keep", help="write the workload here and keep it")
    parser.add_argument("--repeat", type=int, default=3,
                        help="runs of each command, the fastest reported (the machine is shared)")
    args = parser.parse_args()
    plain_lines = args.plain_lines or args.lines

    if pathlib.Path(args.corpora).is_dir():
        texts = corpus_texts(args.corpora)
        origin = f"{len(texts):,} prompts from {args.corpora}"
    else:
        texts = synthetic_texts()
        origin = f"{len(texts):,} synthetic descriptions (no corpora at {args.corpora})"
    check_plain_model(texts[:: max(1, len(texts) // 5000)])

    with tempfile.TemporaryDirectory() as folder:
        path = pathlib.Path(args.keep) if args.keep else pathlib.Path(folder) / "workload.jsonl"
        build(path, args.lines, texts)
        size = path.stat().st_size
        mean = sum(len(t) for _, t in texts) / len(texts)
        print(f"CPython {platform.python_version()}, {os.cpu_count()} cores, orjson: "
              f"{'yes' if workload.fast_json() else 'no (stdlib json)'}")
        print(f"workload: {args.lines:,} lines, {size / 1e6:,.0f} MB, {origin}, mean description "
              f"{mean:,.0f} characters")

        print(f"\n{'run (the fastest of ' + str(args.repeat) + ', taken in turn)':<46} {'tasks/s wall':>13} "
              f"{'tasks/s CPU':>13} {'a process':>10} {'all':>9}  load before")
        out = ["--out", str(pathlib.Path(folder) / "out.jsonl")]
        runs = (("halvec eval, summary", []),
                ("halvec eval, summary and --out", out),
                ("  the same in one process: summary", ["--jobs", "1"]),
                ("  the same in one process: --out", [*out, "--jobs", "1"]))
        best = {}
        for _ in range(args.repeat):
            for name, extra in runs:
                before = load()
                wall, cpu, peak, total, report = run_command(path, *extra)
                assert report["tasks"] == args.lines
                if name not in best or wall < best[name][0]:
                    best[name] = (wall, cpu, peak, total, before)
        alone = {"halvec eval, summary": "  the same in one process: summary",
                 "halvec eval, summary and --out": "  the same in one process: --out"}
        for name, _ in runs:
            wall, cpu, peak, total, before = best[name]
            # the processes against one process, the fastest runs of this run: the ratio the
            # machine's drift moves least
            ratio = f"  {best[alone[name]][0] / wall:.2f}x one process" if name in alone else ""
            print(f"{name:<46} {rate(args.lines, wall):>13} {rate(args.lines, cpu):>13} "
                  f"{peak / 2**20:>7.1f} MB {total / 2**20:>6.0f} MB  {before}{ratio}")
        small = min(args.lines, 100_000)
        head = pathlib.Path(folder) / "head.jsonl"
        with open(path, "rb") as source, open(head, "wb") as target:
            target.writelines(source.readline() for _ in range(small))
        _, _, peak_small, _, _ = run_command(head, "--out", str(pathlib.Path(folder) / "out-small.jsonl"))
        print(f"{'  peak memory on the first ' + format(small, ',') + ' lines, --out':<46} {'':>13} {'':>13} "
              f"{peak_small / 2**20:>7.1f} MB")

        print(f"\nthe same evaluation in process, on {plain_lines:,} lines:")
        print(f"{'implementation':<46} {'tasks/s wall':>13} {'tasks/s CPU':>13} {'CPU x native':>12}  load before")
        for out in (False, True):
            before = load()
            wall, cpu, native_report = in_process(path, plain_lines, plain=False, out=out)
            rows = [("module (native), this package's driver", wall, cpu, before)]
            before = load()
            p_wall, p_cpu, plain_report = in_process(path, plain_lines, plain=True, out=out)
            assert plain_report.summary == native_report.summary
            rows.append(("plain-Python model (tests/reference.py)", p_wall, p_cpu, before))
            before = load()
            d_wall, d_cpu = plain_driver(path, plain_lines, out=out)
            rows.append(("plain-Python driver, module once per task", d_wall, d_cpu, before))
            print(f"{'with --out' if out else 'summary only'}")
            for label, w, c, at in rows:
                print(f"  {label:<44} {rate(plain_lines, w):>13} {rate(plain_lines, c):>13} "
                      f"{c / cpu:>11.2f}x  {at}")
        before = load()
        parts = components(path, plain_lines)
        read = parts["read"]
        explain = parts["explain"] - read
        classify = parts["classify"] - read
        rest = parts["evaluate"] - parts["explain"]
        print(f"\nCPU time per task of a summary-only evaluation, in process ({before}):")
        print(f"  reading and JSON {fmt(read)}, the batch explainer {fmt(explain)}, the package's counting "
              f"{fmt(rest)}: {fmt(parts['evaluate'])} in all, {1 / parts['evaluate']:,.0f} tasks per CPU second")
        print(f"  classify_complexity on the same tasks: {fmt(classify)}")
        print(f"\n{load()} after")


if __name__ == "__main__":
    main()
