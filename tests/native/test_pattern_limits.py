"""The pattern engine's limits: failed allocations, the memory budget, large
alphabets, signals, and the release of what its caches hold.

Allocation failures and memory figures come from the test-only hooks that
the test builds compile in; those tests skip on a build without them.
"""

import random
import re
import sys

import pytest

from conftest import SANITIZED

DEFAULT_TEXTS = [
    "Research the pricing pages of three hosting providers and write a recommendation",
    "Summarise the meeting notes for the sales channel before noon",
    "Go through the attached supplier invoices and mark each one whose amount differs from the total",
    "say hello to everyone on the team and thank them for the lovely dinner",
    "Write a 500  word piece about the history of tea for the company blog",
    "ÉTUDE: compare and contrast the two approaches in depth, then İstanbul",
]


@pytest.fixture
def hooks(mr):
    found = sys.modules.get("halvec.core._model_router_hooks")
    if found is None:
        pytest.skip("a build without the test hooks")
    found.clear_caches()
    yield found
    found.fail_allocation(0)
    found.set_budget(0)
    found.clear_caches()


def plain_rules(mr, text):
    """The classification as the plain rules give it, with `re`."""
    import reference
    saved = reference._COMPLEX_PATTERNS, reference._SIMPLE_PATTERNS
    reference._COMPLEX_PATTERNS, reference._SIMPLE_PATTERNS = list(mr._COMPLEX_PATTERNS), list(mr._SIMPLE_PATTERNS)
    try:
        return reference.classify_complexity(text).value
    finally:
        reference._COMPLEX_PATTERNS, reference._SIMPLE_PATTERNS = saved


LIST_SETS = {
    "default": None,
    "mixed with re": ([r"\bzzz\b", "[r]esearch", r"\b(analy[sz]e)\b", r"\bin.?depth\b"],
                      [r"\bhello\b", "^say", r"\bthank you\b"]),
    "sets and classes": ([r"\b(a|b|c|d|é|İ)\d{3,}\s*word\b", r"(x|y|z)\W+(q|é)"], [r"\b(hi|ok|no)\b", r"\w\s\w"]),
}


@pytest.mark.parametrize("lists", LIST_SETS.values(), ids=LIST_SETS.keys())
def test_allocation_failure_at_every_point_leaves_the_engine_consistent(hooks, patterns, lists):
    mr = patterns
    if lists:
        mr._COMPLEX_PATTERNS[:], mr._SIMPLE_PATTERNS[:] = lists
    expected = {t: plain_rules(mr, t) for t in DEFAULT_TEXTS}

    def classify_all():
        # Two rounds: the first builds the plans, the second the plan for
        # both lists and more of the tables.
        return [mr.classify_complexity(t).value for t in DEFAULT_TEXTS * 2]

    start = hooks.allocations()
    assert classify_all() == [expected[t] for t in DEFAULT_TEXTS * 2]
    needed = hooks.allocations() - start
    assert needed > 20

    failures = 0
    for nth in range(1, needed + 1):
        hooks.clear_caches()
        hooks.fail_allocation(nth)
        try:
            answers = classify_all()
        except MemoryError:
            failures += 1
        else:
            assert answers == [expected[t] for t in DEFAULT_TEXTS * 2], nth
        hooks.fail_allocation(0)
        # Whatever was half built when the allocation failed is used as it stands.
        assert classify_all() == [expected[t] for t in DEFAULT_TEXTS * 2], nth
    assert failures > needed // 2


def test_allocation_failure_while_tables_are_dropped_and_rebuilt(hooks, patterns):
    mr = patterns
    mr._COMPLEX_PATTERNS[:] = ["a(a|b){9}c"]
    mr._SIMPLE_PATTERNS[:] = [r"\bzz\b"]
    rng = random.Random(5)
    text = "".join(rng.choice("ab") for _ in range(20_000))
    texts = [text, text + "a" * 10 + "c", "b" + text[:3000]]
    expected = [plain_rules(mr, t) for t in texts]
    hooks.set_budget(64 * 1024)  # a few hundred states: flushed again and again
    for nth in range(1, 400, 7):
        hooks.fail_allocation(nth)
        try:
            [mr.classify_complexity(t) for t in texts]
        except MemoryError:
            pass
        hooks.fail_allocation(0)
        assert [mr.classify_complexity(t).value for t in texts] == expected, nth


@pytest.mark.skipif(SANITIZED, reason="AddressSanitizer itself needs the address space the limit withholds")
def test_answers_hold_after_the_system_refuses_memory_mid_scan(python):
    # A soft address-space limit makes the DFA's tables fail to grow in the
    # middle of a scan; once the limit is lifted, the same matcher must give
    # the same answers as re.
    out = python("""
        import random, re, resource
        import halvec.core.model_router as mr
        rng = random.Random(7)
        texts = ["".join(rng.choice("ab") for _ in range(60_000)) + tail for tail in ("", "a" * 15 + "c", "b")]
        wide = "(" + "|".join(chr(0x4E00 + i) for i in range(3000)) + ")"
        mr._SIMPLE_PATTERNS = []
        expected = [bool(re.search("a(a|b){14}c", t)) for t in texts]
        size = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        failed = 0
        for extra in (1, 2, 3, 4, 6, 8):
            mr._COMPLEX_PATTERNS = ["a(a|b){14}c", wide, "zz%d" % extra]  # fresh tables
            resource.setrlimit(resource.RLIMIT_AS, (size + (extra << 20), hard))
            try:
                for t in texts:
                    mr.classify_complexity(t)
            except MemoryError:
                failed += 1
            finally:
                resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
            got = [mr.classify_complexity(t) is mr.Complexity.COMPLEX for t in texts]
            assert got == expected, (extra, got, expected)
        print("ok", failed > 0)
    """)
    assert out.strip() == "ok True"


CJK = "".join(chr(0x4E00 + i) for i in range(20_000))


def random_ab(n, seed):
    rng = random.Random(seed)
    return "".join(rng.choice("ab") for _ in range(n))


@pytest.mark.parametrize("lists, text", [
    # Four entries, each with twenty thousand characters as alternatives.
    ([("a(a|b){12}c%d|(" % i) + "|".join(CJK) + ")" for i in range(4)], random_ab(1500, 1)),
    (["a(a|b){12}c", "(" + "|".join(CJK) + ")"], random_ab(5000, 2)),
    (["a(a|b){12}c", "(" + "|".join(CJK) + ")"], random_ab(5000, 2) + "一"),
    (["(" + "|".join(CJK[::7]) + ")x"], "abc" + CJK[7000] + "x" + " ~" * 10),
    (["(" + "|".join(CJK[::7]) + ")x"], "abc" + CJK[7001] + "x" + " ~" * 10),
    (["(" + "|".join(c + "q" for c in CJK[:3000]) + ")"], CJK[1000:1100] + "q"),
    ([CJK[:400]], "z" + CJK[:399] + "z" + CJK[:400]),
    # Thousands of words with one first letter: thousands of distinct classes.
    (["(" + "|".join("x" + c for c in CJK[:12000]) + ")"], CJK[:12000] * 20),
    (["(" + "|".join("x" + c for c in CJK[:12000]) + ")"], CJK[:12000] * 20 + "x" + CJK[11999]),
])
def test_large_alphabets_agree_with_re_within_the_budget(hooks, patterns, lists, text):
    mr = patterns
    mr._COMPLEX_PATTERNS[:] = lists
    mr._SIMPLE_PATTERNS[:] = []
    before = hooks.memory_in_use()
    found = mr.classify_complexity(text) is mr.Complexity.COMPLEX
    assert found == any(re.search(p, text) for p in lists)
    assert hooks.memory_in_use() - before < hooks.budget()


def test_tables_stay_within_a_small_budget_and_answers_hold(hooks, patterns):
    # Exponentially many DFA states: the tables are dropped, and when that
    # no longer pays the scan goes on without them.
    mr = patterns
    mr._COMPLEX_PATTERNS[:] = ["a(a|b){14}c", r"\bresearch\b"]
    mr._SIMPLE_PATTERNS[:] = ["b(a|b){14}d"]
    hooks.set_budget(256 * 1024)
    for seed in range(3):
        text = random_ab(30_000, seed)
        for tail in ("", "a" * 15 + "c", "b" * 15 + "d", " research"):
            assert mr.classify_complexity(text + tail).value == plain_rules(mr, text + tail)
            assert hooks.memory_in_use() < 2 * hooks.budget()


def test_cached_state_is_released_when_the_lists_change(hooks, patterns):
    mr = patterns
    baseline = hooks.memory_in_use()
    mr._COMPLEX_PATTERNS[:] = ["a(a|b){16}c%d" % i for i in range(4)]
    mr._SIMPLE_PATTERNS[:] = []
    text = random_ab(200_000, 3)
    mr.classify_complexity(text)
    mr.classify_complexity(text)  # the plans are made: the tables stay this time
    grown = hooks.memory_in_use() - baseline
    assert grown > 8 << 20  # the tables of an automaton with many states
    mr._COMPLEX_PATTERNS[:] = [r"\bplain\b"]
    mr.classify_complexity("a plain text to classify")
    assert hooks.memory_in_use() - baseline < grown // 8


LONG_SCAN = """
    import os, signal, subprocess, sys, time, halvec.core.model_router as mr
    # An automaton with too many states for its tables, on twenty million
    # characters: seconds of work.
    text = os.urandom(20_000_000).translate(bytes(b"ab"[i & 1] for i in range(256))).decode()
    mr._COMPLEX_PATTERNS = ["a(a|b){20}c"]
    mr._SIMPLE_PATTERNS = []
"""


# How soon a scan stops for a signal is counted in the CPU time the scanning process spends
# after the signal, not on the clock: on a busy machine (or beside another test run) the clock
# runs on while the process waits for a core.

def test_a_long_scan_is_interrupted_by_ctrl_c(python):
    # Another process sends the SIGINT (no thread of this one could run
    # while the scan holds the interpreter), and says how much CPU time the
    # scanning process had used by then.
    out = python(LONG_SCAN + """
    sender = subprocess.Popen([sys.executable, "-c", "import os, sys, time; print('ready', flush=True); "
                               "time.sleep(0.3); "
                               "stat = open('/proc/%s/stat' % sys.argv[1]).read().rsplit(')', 1)[1].split(); "
                               "print((int(stat[11]) + int(stat[12])) / os.sysconf('SC_CLK_TCK'), flush=True); "
                               "os.kill(int(sys.argv[1]), 2)",
                               str(os.getpid())], stdout=subprocess.PIPE, text=True)
    sender.stdout.readline()  # its start (seconds on a busy machine) is not counted in the scan's
    signal.signal(signal.SIGINT, signal.default_int_handler)  # even where the run began with it ignored (`&`)
    try:
        mr.classify_complexity(text)
        print("finished")
    except KeyboardInterrupt:
        print("interrupted", time.process_time() - float(sender.stdout.readline()) < 1.0)
    sender.wait()
    """, timeout=600)
    assert out.strip() == "interrupted True"


def test_a_signal_handler_that_raises_ends_the_call_with_its_exception(python):
    out = python(LONG_SCAN + """
    class Stop(Exception):
        pass
    ran = []
    def handler(signum, frame):
        ran.append(time.process_time())
        raise Stop()
    signal.signal(signal.SIGPROF, handler)
    start = time.process_time()
    signal.setitimer(signal.ITIMER_PROF, 0.1)  # after a tenth of a second of CPU time
    try:
        mr.classify_complexity(text)
        print("finished")
    except Stop:
        print("stopped", ran[0] - start < 1.0)
    # The matcher it was using is free again, and its answers hold.
    print(mr.classify_complexity(text[:5000] + "a" * 21 + "c").name)
    """, timeout=600)
    assert out.split() == ["stopped", "True", "COMPLEX"]


def test_shutdown_finalises_what_the_plans_hold(python, tmp_path):
    # An entry whose class reaches an open buffered file: only the module's
    # plans hold it at exit. Its data must reach the disk.
    path = tmp_path / "out.txt"
    python(f"""
        import halvec.core.model_router as mr
        ns = {{}}
        exec("f = open({str(path)!r}, 'w')\\nclass P(str):\\n    def file(self): return f\\n", ns)
        mr._COMPLEX_PATTERNS = [ns["P"](r"\\bzzz\\b")]
        mr.classify_complexity("some text that is long enough")
        ns["f"].write("written before exit")
        del ns
    """)
    assert path.read_text() == "written before exit"


def test_the_collector_reaches_objects_held_only_by_the_plans(python):
    # A cycle through the module object and an entry that only a plan still
    # holds: garbage like any other, so the collector finalises it.
    out = python("""
        import gc, sys, halvec.core.model_router as mr
        events = []
        class P(str):
            def __del__(self):
                events.append("finalised")
        p = P(r"\\bzzz\\b")
        p.module = mr
        mr._COMPLEX_PATTERNS = [p]
        mr.classify_complexity("a text that is long enough to search")
        import re; re.purge()  # re's cache held the entry too
        mr._COMPLEX_PATTERNS = []
        del p, sys.modules["halvec.core.model_router"], sys.modules["halvec.core"].model_router, mr
        gc.collect()
        print(events)
        import halvec.core.model_router as again  # the module itself lives on
        print(again.classify_complexity("a text that is long enough to search").name)
    """)
    assert out.split("\n")[:2] == ["['finalised']", "SIMPLE"]


# An entry naming more distinct characters than the tables have columns for,
# which matches none of the generated texts: its program keeps transitions in
# a hash table instead.
WIDE = "".join(chr(0x4E00 + i) for i in range(300))


@pytest.mark.parametrize("budget, wide", [(1, ""), (16 * 1024, ""), (0, WIDE), (16 * 1024, WIDE)])
def test_random_patterns_agree_with_re_without_room_for_tables(hooks, patterns, budget, wide):
    # With no room at all the scan simulates the automaton from the start;
    # with a little, tables are dropped and rebuilt mid-scan.
    from hypothesis import HealthCheck, assume, given, settings
    from test_pattern_engine import PAD, expected, subset_patterns, texts, unbounded_repeats

    @settings(suppress_health_check=list(HealthCheck))
    @given(subset_patterns(), texts)
    def check(pattern, text):
        text = PAD + " " + text * 5
        assume(len(text.split()) <= 60)  # more words would make the text complex by count
        # `re` decides these entries, and is the reference: with more unbounded repeats in
        # one match attempt it backtracks for hours on a text this long
        assume(unbounded_repeats(pattern) <= 3)
        patterns._COMPLEX_PATTERNS[:] = [pattern, r"(x|y|é|\u3000)\w"] + ([wide] if wide else [])
        patterns._SIMPLE_PATTERNS[:] = []
        found = patterns.classify_complexity(text) is patterns.Complexity.COMPLEX
        assert found == (expected(pattern, text) or expected(r"(x|y|é|\u3000)\w", text))

    hooks.set_budget(budget)
    check()


def test_many_large_patterns_stay_within_the_budget(hooks, patterns):
    # Each entry alone would take megabytes of program and scratch; past the
    # budget, the rest go to re instead of being kept.
    mr = patterns
    hooks.set_budget(8 << 20)
    mr._COMPLEX_PATTERNS[:] = [("x%02d" % i) + "q" * 20_000 for i in range(12)]
    mr._SIMPLE_PATTERNS[:] = []
    text = "a text that is long enough, " + "x07" + "q" * 20_000
    assert mr.classify_complexity(text) is mr.Complexity.COMPLEX
    assert mr.classify_complexity(text[:-1]) is not mr.Complexity.COMPLEX
    assert hooks.memory_in_use() < hooks.budget() + (2 << 20)


def test_nested_repeats_of_an_empty_group_go_to_re(python):
    # Expanding a repeat of a body that compiles to nothing never reaches the
    # program's size bound; the compiler's own bound sends it to re at once.
    out = python("""
        import halvec.core.model_router as mr
        mr._COMPLEX_PATTERNS = ["zzz" + "(" * 4 + ")" + "{1000})" * 3 + "{1000}", "zz(((a){0}){1000}){1000}"]
        mr._SIMPLE_PATTERNS = []
        print(mr.classify_complexity("a text that is long enough to be searched").name,
              mr.classify_complexity("a text that is long enough to hold zz").name)
    """, timeout=60)
    assert out.split() == ["SIMPLE", "COMPLEX"]


def test_a_long_list_is_interruptible_and_bounded(python):
    # Hundreds of thousands of entries: compiling and searching them stops for
    # signal handlers, and what the engine keeps of them stays in its budget.
    out = python("""
        import signal, sys, time, halvec.core.model_router as mr
        hooks = sys.modules.get("halvec.core._model_router_hooks")
        class Stop(Exception):
            pass
        def handler(signum, frame):
            raise Stop()
        signal.signal(signal.SIGPROF, handler)
        mr._COMPLEX_PATTERNS = [r"\\bw%d\\b" % i for i in range(300_000)]
        mr._SIMPLE_PATTERNS = []
        start = time.process_time()  # CPU time, as in the tests above
        signal.setitimer(signal.ITIMER_PROF, 0.2)
        try:
            mr.classify_complexity("a text that is long enough, with w299999 at the end")
            print("finished")
        except Stop:
            print("stopped", time.process_time() - start < 2.0)
        signal.setitimer(signal.ITIMER_PROF, 0)
        mr._COMPLEX_PATTERNS = mr._COMPLEX_PATTERNS[:20_000] + [r"\\bw299999\\b"]
        print(mr.classify_complexity("a text that is long enough, with w299999 at the end").name,
              not hooks or hooks.memory_in_use() <= hooks.budget())
    """, timeout=600)
    assert out.split() == ["stopped", "True", "COMPLEX", "True"]


def test_names_missing_from_the_module_are_not_read_from_the_callers_builtins(python):
    out = python("""
        import halvec.core.model_router as mr
        del mr._COMPLEX_PATTERNS
        caller_builtins = {"cc": mr.classify_complexity, "_COMPLEX_PATTERNS": [r"\\bhello\\b"],
                           "print": print, "NameError": NameError}
        exec("try:\\n    cc('hello there, this is long enough')\\nexcept NameError as e:\\n    print(e)",
             {"__builtins__": caller_builtins})
    """)
    assert out.strip() == "name '_COMPLEX_PATTERNS' is not defined"


def test_shutdown_finalises_what_the_plans_hold_while_a_daemon_thread_runs(python, tmp_path):
    # The daemon thread keeps the main namespace, and through it the module,
    # alive past shutdown; the module's namespace is torn down all the same,
    # and the caches go with its classifier.
    path = tmp_path / "out.txt"
    python(f"""
        import re, threading, time
        import halvec.core.model_router as mr
        class P(str):
            pass
        p = P(r"\\bzzz\\b")
        p.file = open({str(path)!r}, "w")
        mr._COMPLEX_PATTERNS = [p]
        mr.classify_complexity("some text that is long enough")
        mr._COMPLEX_PATTERNS = []
        re.purge()
        p.file.write("written before exit")
        del p
        def idle():
            time.sleep(100)
        threading.Thread(target=idle, daemon=True).start()
        time.sleep(0.1)
    """)
    assert path.read_text() == "written before exit"


def test_a_missing_list_raises_name_error_with_its_name(patterns):
    mr = patterns
    saved = mr._SIMPLE_PATTERNS
    del mr._SIMPLE_PATTERNS
    try:
        with pytest.raises(NameError, match="^name '_SIMPLE_PATTERNS' is not defined$") as info:
            mr.classify_complexity("a text that matches none of the complex patterns")
        assert info.value.name == "_SIMPLE_PATTERNS"
    finally:
        mr._SIMPLE_PATTERNS = saved
