"""The classifier against code that runs in the middle of a call.

Finalisers, namespace keys with their own __eq__, other threads and signal
handlers may rebind or edit the pattern lists, drop plans and call the
classifier again while a call is under way. Each scenario that depends on
timing or on the interpreter's end runs in a fresh interpreter (under the
same sanitizer set-up as the suite), since a fault here takes the whole
process down; it must end cleanly with the right answers. Signals at chosen
checks (a test build's hook) are deterministic and run in this one.
Every scenario runs twice: against classify_complexity, and against
explain_complexity, which reads the same lists and searches them for spans.
"""

import re as real_re
import signal
import sys
import textwrap
import types
import weakref

import pytest

import reference
from conftest import SANITIZED

# Characters of a text whose scan outlasts a timer of a few hundredths of a second
# (the sanitizers' build scans several times slower: a shorter text does)
LONG_SCAN = 300_000 if SANITIZED else 1_500_000

EXPLAINED = """
from halvec import explain_complexity as _explain
def _classify(*args, **kwargs):
    return _explain(*args, **kwargs).tier
"""


@pytest.fixture(params=["classify", "explain"])
def python(request, python):
    if request.param == "classify":
        return python

    def run_explained(code, **kwargs):
        code = textwrap.dedent(code).replace("mr.classify_complexity(", "_classify(")
        return python(EXPLAINED + code, **kwargs)
    return run_explained


def test_entries_are_finalised_when_the_list_lets_them_go(python):
    # What the classifier keeps between calls holds no entry of another type
    # than str: such an entry's finaliser runs when the list drops it, as
    # without the module, not in the middle of a later call.
    out = python("""
        import re, halvec.core.model_router as mr
        events = []
        class P(str):
            def __del__(self):
                events.append("finalised " + self)
                mr._SIMPLE_PATTERNS = ["x"]
        t = "please write something for me today"
        mr._COMPLEX_PATTERNS = [r"\\bwrite\\b", P("zzz")]  # the second is never searched
        print(mr.classify_complexity(t).name)
        mr._COMPLEX_PATTERNS = [P("zzzz")]
        mr._SIMPLE_PATTERNS = ["hello"]
        print(mr.classify_complexity(t).name)
        re.purge()  # re's cache held the searched entry too
        events.append("before rebinding")
        mr._COMPLEX_PATTERNS = [r"\\bqqq\\b"]
        events.append("after rebinding")
        print(mr.classify_complexity("say hello to everyone there").name, mr._SIMPLE_PATTERNS, events)
    """)
    assert out.split("\n")[:3] == [
        "COMPLEX", "SIMPLE",
        "SIMPLE ['x'] ['finalised zzz', 'before rebinding', 'finalised zzzz', 'after rebinding']"]


def test_finaliser_clears_the_caches_in_the_middle_of_a_call(python):
    # A namespace key's __eq__ rebinds the complex list while the simple list
    # is looked up; the entry it drops is finalised there, inside the call,
    # and empties every cache and rebinds the simple list under the lookup.
    out = python("""
        import re, sys, halvec.core.model_router as mr
        hooks = sys.modules.get("halvec.core._model_router_hooks")
        ran = []
        class P(str):
            def __del__(self):
                if hooks and not sys.is_finalizing():
                    hooks.clear_caches()
                mr._SIMPLE_PATTERNS = [r"\\bnothing\\b"]
                ran.append(1)
        class Key:
            armed = False
            def __hash__(self):
                return hash("_SIMPLE_PATTERNS")
            def __eq__(self, other):
                if Key.armed:
                    Key.armed = False
                    re.purge()  # re's cache held the entry too
                    mr._COMPLEX_PATTERNS = [r"\\bqqq\\b"]
                return False
        simple = mr._SIMPLE_PATTERNS
        del mr._SIMPLE_PATTERNS
        mr.__dict__[Key()] = "hostile"
        mr._SIMPLE_PATTERNS = simple
        text = "please research and check the plan for me and the whole team before we meet on friday"
        for i in range(50):
            mr._COMPLEX_PATTERNS = [P(r"\\bzzz%d\\b" % i), r"\\bnope\\b"]
            mr._SIMPLE_PATTERNS = [r"\\bcheck\\b"]
            Key.armed = True
            a = mr.classify_complexity(text)  # the lookup finds the finaliser's list
            assert len(ran) == i + 1
            b = mr.classify_complexity(text)
            assert (a.name, b.name) == ("MODERATE", "MODERATE"), (i, a, b)
        print("ok")
    """)
    assert out.strip() == "ok"


def test_namespace_key_with_its_own_eq_rebinds_a_list_during_the_lookup(python):
    # A non-str key whose hash collides with the simple list's name, placed
    # where every lookup of that name meets it first, runs its __eq__ inside
    # the lookup; it rebinds the complex list, freeing the list the call
    # looked up first.
    out = python("""
        import halvec.core.model_router as mr
        class Key:
            calls = 0
            def __hash__(self):
                return hash("_SIMPLE_PATTERNS")
            def __eq__(self, other):
                Key.calls += 1
                mr._COMPLEX_PATTERNS = [r"\\bzzz\\b", r"\\bqq%d\\b" % Key.calls]
                return False
        simple = mr._SIMPLE_PATTERNS
        del mr._SIMPLE_PATTERNS
        mr.__dict__[Key()] = "hostile"
        mr._SIMPLE_PATTERNS = simple
        results = set()
        for text in ["please research the best options here", "say hello to the whole team today",
                     "write down the plan for our next outing"] * 30:
            results.add((text[:6], mr.classify_complexity(text).name))
        print(sorted(results), Key.calls > 0)
    """)
    # Binding the simple list again already met the key, so every call reads
    # a complex list the key left behind, which matches nothing here.
    assert out.strip() == "[('please', 'SIMPLE'), ('say he', 'SIMPLE'), ('write ', 'SIMPLE')] True"


def test_thread_rebinds_the_lists_while_a_finaliser_yields(python):
    # No hostile code at all: a finaliser that only sleeps lets another
    # thread rebind the lists in the middle of a plan replacement.
    out = python("""
        import threading, time, halvec.core.model_router as mr
        class Slow(str):
            def __del__(self):
                time.sleep(0.002)
        stop = False
        def rebind():
            i = 0
            while not stop:
                i += 1
                mr._SIMPLE_PATTERNS = ["hel" + "lo", r"\\bcheck\\b", "x%d" % i]
                time.sleep(0)
        worker = threading.Thread(target=rebind)
        worker.start()
        try:
            for i in range(200):
                mr._COMPLEX_PATTERNS = [Slow(r"\\bzzz\\b"), r"\\bresearch\\b"]
                assert mr.classify_complexity("please research this for me").name == "COMPLEX"
                mr._COMPLEX_PATTERNS = [r"\\bqqq%d\\b" % i]
                assert mr.classify_complexity("please check this for me today").name == "SIMPLE"
        finally:
            stop = True
            worker.join()
        print("ok")
    """)
    assert out.strip() == "ok"


# The long scans below are of a million and a half characters: a scan stops for the
# signal check every million or fewer (characters, or steps where the automaton is
# simulated), so there is one at least, and the timer is due long before it.

def test_signal_handler_reenters_the_classifier_during_a_long_scan(python):
    # The handler runs while a scan is paused for the signal check: it
    # classifies other texts (the paused matcher is busy), rebinds both lists
    # and drops the caches. The paused scan finishes with its own lists.
    out = python("""
        import os, signal, sys, halvec.core.model_router as mr
        hooks = sys.modules.get("halvec.core._model_router_hooks")
        seen = []
        def handler(signum, frame):
            seen.append(mr.classify_complexity("a short look at " + "ab" * 20).name)
            mr._COMPLEX_PATTERNS = [r"\\bzzz\\b"]
            mr._SIMPLE_PATTERNS = ["nothing"]
            if hooks:
                hooks.clear_caches()
        signal.signal(signal.SIGALRM, handler)
        text = os.urandom(%d).translate(bytes(b"ab"[i & 1] for i in range(256))).decode()
        mr._COMPLEX_PATTERNS = ["a(a|b){20}c", r"\\bresearch\\b"]
        mr._SIMPLE_PATTERNS = ["a(a|b){20}d"]
        signal.setitimer(signal.ITIMER_REAL, 0.05, 0.05)
        try:
            first = mr.classify_complexity(text + "a" * 21 + "c").name
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0)
        print(first, len(seen) > 0, set(seen), mr.classify_complexity(text).name)
    """ % LONG_SCAN, timeout=600)
    first, handled, seen, after = out.split(" ", 3)
    assert first == "COMPLEX" and handled == "True"
    assert after.strip() == "SIMPLE"  # one long word, no pattern of the handler's lists


def test_entries_a_signal_handler_adds_mid_scan_are_searched(python):
    # A for loop over the list reaches entries appended while it runs; so
    # must the one scan that stands for it, whether or not both lists are
    # scanned together.
    out = python("""
        import os, signal, halvec.core.model_router as mr
        text = os.urandom(%d).translate(bytes(b"ab"[i & 1] for i in range(256))).decode()
        def handler(signum, frame):
            mr._COMPLEX_PATTERNS.append(r"\\w")  # matches any text
        signal.signal(signal.SIGALRM, handler)
        answers = []
        for round in range(3):
            mr._COMPLEX_PATTERNS = ["a(a|b){20}c"]
            mr._SIMPLE_PATTERNS = ["a(a|b){20}d"]
            if round == 2:
                mr._SIMPLE_PATTERNS = [r"\\bzzz\\b"]
            signal.setitimer(signal.ITIMER_REAL, 0.02)
            answers.append(mr.classify_complexity(text).name)
            signal.setitimer(signal.ITIMER_REAL, 0)
        print(answers)
    """ % LONG_SCAN, timeout=600)
    assert out.strip() == "['COMPLEX', 'COMPLEX', 'COMPLEX']"


@pytest.mark.parametrize("entry, replacement, answer", [
    (r"\bc\b", r"\bzzz\b", "SIMPLE"),  # the entry that matched is gone before the loop reaches it
    (r"\bzzz\b", r"\bc\b", "COMPLEX"),  # the entry put in its place matches
])
def test_entries_a_signal_handler_replaces_mid_scan_are_read_anew(python, entry, replacement, answer):
    # A handler that edits the list in place while the scan is paused: a for
    # loop would take the entries it has not reached yet from the edited list,
    # so the scan's answer for the old entries does not stand.
    out = python(f"""
        import os, signal, halvec.core.model_router as mr
        import sys
        text = os.urandom(300_000).translate(bytes(b"ab"[i & 1] for i in range(256))).decode() + " c"
        fired = []
        def handler(signum, frame):
            # only a handler run inside the call counts (not one run just after it)
            fired.append(frame.f_code.co_name == "_classify" or frame.f_lineno == call_line)
            mr._COMPLEX_PATTERNS[1] = r"{replacement}"
        signal.signal(signal.SIGALRM, handler)
        answers = []
        for attempt in range(30):  # the first alone, then both lists in one scan
            if len(answers) == 3:
                break
            mr._COMPLEX_PATTERNS = ["a(a|b){{20}}c", r"{entry}"]
            # (a handler run while the simple list is searched would come after the complex loop)
            mr._SIMPLE_PATTERNS = {["a(a|b){20}d"] if answer == "SIMPLE" else []}
            fired.clear()
            signal.setitimer(signal.ITIMER_REAL, 0.001)
            call_line = sys._getframe().f_lineno + 1
            tier = mr.classify_complexity(text).name
            signal.setitimer(signal.ITIMER_REAL, 0)
            if fired == [True]:
                answers.append(tier)  # the handler ran in the middle of the call
        print(answers)
    """, timeout=600)
    assert out.strip() == str([answer] * 3)


# --- entries that run code when they are let go, against the plain-Python model ---------------
#
# A for loop's variable holds the current entry until the next one has been
# fetched (across both loops: they share the variable), and the last one
# until the function has made its result. An entry of another type than str
# can run code when it goes: a finaliser or a weakref callback. `re` is
# swapped for a stand-in that takes such an entry out of its list while
# "searching" it, so that only the loop still holds it.

TEXT = "move the boxes from the hall to the shed"  # no pattern of any list below; 9 words


class Entry:
    """A non-str entry, matched by nothing; `on_release(ns)` runs when it goes."""

    def __init__(self, ns, on_release, by_weakref):
        self.ns = ns
        if by_weakref:
            self._ref = weakref.ref(self, lambda _, ns=ns: on_release(ns))
        else:
            self.on_release = on_release

    def __del__(self):
        if hasattr(self, "on_release"):
            self.on_release(self.ns)


def stand_in_re(ns):
    def search(pattern, text):
        if isinstance(pattern, Entry):
            for name in ("_COMPLEX_PATTERNS", "_SIMPLE_PATTERNS"):
                entries = getattr(ns, name)
                if isinstance(entries, list) and any(e is pattern for e in entries):
                    entries[[e is pattern for e in entries].index(True)] = r"\bnever\b"
            return None
        return real_re.search(pattern, text)
    return types.SimpleNamespace(search=search)


def rebind_simple(ns):
    ns._SIMPLE_PATTERNS = [r"\w"]


def edit_next_complex(ns):
    ns._COMPLEX_PATTERNS[1] = r"\w"


def rebind_complexity(ns):
    ns.Complexity = types.SimpleNamespace(SIMPLE="fake", MODERATE="fake", COMPLEX="fake")


SCENARIOS = {  # (complex list, simple list, what the entry does when it goes), `e()` makes the entry
    # the finaliser rebinds the simple list after the loop has read it
    "rebinds the other list": (lambda e: [e()], lambda e: [r"\bqqq\b"], rebind_simple),
    # ... edits the entry after it, which the loop has already fetched
    "edits the next entry": (lambda e: [e(), r"\bqqq\b"], lambda e: [], edit_next_complex),
    # ... runs once the result is made, the entry being the last one taken
    "rebinds the tiers": (lambda e: [r"\bqqq\b"], lambda e: [e()], rebind_complexity),
    # ... the same through an iterator: once it is exhausted, the entry lives only in the loop
    "from a generator": (lambda e: (x for x in [r"\bqqq\b", e()]), lambda e: [r"\bqqq\b"], rebind_simple),
}


def explained_tier(text, tool_count):
    from halvec import explain_complexity
    return explain_complexity(text, tool_count).tier


@pytest.mark.parametrize("explain", [False, True], ids=["classify", "explain"])
@pytest.mark.parametrize("by_weakref", [False, True], ids=["finaliser", "weakref callback"])
@pytest.mark.parametrize("scenario", SCENARIOS)
def test_an_entry_goes_when_a_for_loop_lets_it_go(patterns, scenario, by_weakref, explain):
    mr = patterns
    complex_entries, simple_entries, on_release = SCENARIOS[scenario]
    results = []
    ours = explained_tier if explain else mr.classify_complexity
    for ns, classify in ((mr, ours), (reference, reference.classify_complexity)):
        saved = {name: getattr(ns, name) for name in ("re", "Complexity", "_COMPLEX_PATTERNS",
                                                      "_SIMPLE_PATTERNS")}
        try:
            ns.re = stand_in_re(ns)
            def make():
                return Entry(ns, on_release, by_weakref)
            ns._COMPLEX_PATTERNS = complex_entries(make)
            ns._SIMPLE_PATTERNS = simple_entries(make)
            tier = classify(TEXT, 3)
            results.append((getattr(tier, "name", tier), type(ns.Complexity).__name__))
        finally:
            for name, value in saved.items():
                setattr(ns, name, value)
    assert results[0] == results[1]
    assert results[0][0] == "MODERATE"


# --- lists edited by a signal handler at each kind of signal check ------------------------------
#
# A test build can make the nth signal check of a call find a signal pending, so the handler
# runs at a chosen point of a loop. A for loop reads a list's length again at each step: after
# an edit at a point, it goes on with the entries before that point and the edited list's from
# there, which is the model here. Checks met while a plan is made or a scan is paused come
# before the loop's first entry (point 0); a check of the loop over entries or prompts comes
# before the entry it is about to take.

def hooks_of(name):
    found = sys.modules.get(name)
    if found is None:
        pytest.skip("a build without the test hooks")
    return found


def checks_made(hooks, call):
    before = hooks.signal_checks()
    call()
    return hooks.signal_checks() - before


def edited_at_check(hooks, nth, edit, call):
    """call()'s answer, with edit() run by a signal handler at its nth signal check."""
    ran = []

    def handler(signum, frame):
        ran.append(True)
        edit()
    previous = signal.signal(signal.SIGUSR1, handler)
    hooks.signal_at_check(nth, signal.SIGUSR1)
    try:
        answer = call()
    finally:
        hooks.signal_at_check(0, signal.SIGUSR1)
        signal.signal(signal.SIGUSR1, previous)
    assert ran == [True]
    return answer


ENTRIES = [rf"\bw{i}\b" for i in range(300)]
OTHERS = [rf"\bv{i}\b" for i in range(300)]
EDIT_TEXT = "find w270 then v100 then v280 in here"
EDITS = {
    "clear": lambda items, others: items.clear(),
    "shorten": lambda items, others: items.__delitem__(slice(len(items) // 3, None)),
    "replace": lambda items, others: items.__setitem__(slice(None), others),
}


def first_match(entries, text):
    for i, entry in enumerate(entries):
        found = real_re.search(entry, text)
        if found:
            return (i, *found.span())
    return None


SEARCHES = {  # entries, a plan made before the call, text, the point of each check (None: all 0)
    "plan made, then entries walked": (ENTRIES + [real_re.compile("qq")], False, EDIT_TEXT, [0, 255]),
    "entries walked": (ENTRIES + [real_re.compile("qq")], True, EDIT_TEXT, [255]),
    "plan made for one scan": (ENTRIES, False, EDIT_TEXT, [0]),
    "scan paused": (ENTRIES[:3], True, "ab" * 1_200_000 + " w2 v1", None),
}


@pytest.mark.parametrize("edit", EDITS)
@pytest.mark.parametrize("scenario", SEARCHES)
def test_search_reads_a_list_edited_at_a_signal_check_as_a_for_loop_would(scenario, edit):
    from halvec import _patterns
    hooks = hooks_of("halvec._patterns_hooks")
    entries, planned, text, points = SEARCHES[scenario]

    def fresh():
        hooks.clear_caches()
        listed = list(entries)
        if planned:
            _patterns.search(listed, text)
        return listed
    listed = fresh()
    count = checks_made(hooks, lambda: _patterns.search(listed, text))
    points = points or [0] * count
    assert count == len(points) > 0
    for nth, point in enumerate(points, 1):
        listed = fresh()
        answer = edited_at_check(hooks, nth, lambda: EDITS[edit](listed, OTHERS),
                                 lambda: _patterns.search(listed, text))
        assert answer == first_match(entries[:point] + listed[point:], text), nth


@pytest.mark.parametrize("edit", EDITS)
@pytest.mark.parametrize("name", ["_COMPLEX_PATTERNS", "_SIMPLE_PATTERNS"])
def test_the_classifier_reads_a_list_edited_at_a_signal_check_as_a_for_loop_would(patterns, monkeypatch,
                                                                                   name, edit):
    from halvec import _patterns
    from halvec.explain import ComplexityExplanation
    mr = patterns
    entries = ENTRIES + [real_re.compile("qq")]
    router_hooks = hooks_of("halvec.core._model_router_hooks")
    ways = [  # (hooks, a call with empty caches) for the classifier and for the explanation
        (router_hooks, lambda: (router_hooks.clear_caches(), mr.classify_complexity(EDIT_TEXT))[1]),
        (hooks_of("halvec._patterns_hooks"),
         lambda: _patterns.make_explainer(ComplexityExplanation)(EDIT_TEXT))]
    for hooks, call in ways:
        for nth, point in enumerate([0, 255], 1):
            mr._COMPLEX_PATTERNS[:] = []
            mr._SIMPLE_PATTERNS[:] = []
            listed = getattr(mr, name)
            listed[:] = entries
            answer = edited_at_check(hooks, nth, lambda: EDITS[edit](listed, OTHERS), call)
            seen = entries[:point] + listed[point:]
            monkeypatch.setattr(reference, "_COMPLEX_PATTERNS", seen if name == "_COMPLEX_PATTERNS" else [])
            monkeypatch.setattr(reference, "_SIMPLE_PATTERNS", seen if name == "_SIMPLE_PATTERNS" else [])
            if isinstance(answer, ComplexityExplanation):
                where = (answer.pattern_index, *answer.span) if answer.span else None
                assert where == first_match(seen, EDIT_TEXT), nth
                answer = answer.tier
            assert answer == reference.classify_complexity(EDIT_TEXT), (nth, hooks)


BATCH = ["Write a report on the market", "hello there, how is everyone", "Move the boxes to the shed today"]
OTHER_BATCH = ["Research the pricing pages", "thanks, that is all for now", "Tidy the desk and the shelves"]
BATCHES = {  # prompts, the point of each check (None: all of them before the long prompt's successor)
    "between prompts": (BATCH * 300, [255, 511, 767]),
    "inside a long prompt": (BATCH + ["ab" * 1_200_000 + " research"] + BATCH, None),
}


@pytest.mark.parametrize("edit", EDITS)
@pytest.mark.parametrize("scenario", BATCHES)
def test_a_batch_edited_at_a_signal_check_is_explained_as_a_for_loop_would(mr, scenario, edit):
    from halvec import _patterns
    from halvec.evaluation import batch_of
    from halvec.explain import explain_complexity
    hooks = hooks_of("halvec._patterns_hooks")
    prompts, points = BATCHES[scenario]
    explain_batch = _patterns.make_batch_explainer()
    explain_batch(BATCH)  # the plans made, as every later call finds them
    count = checks_made(hooks, lambda: explain_batch(list(prompts)))
    points = points or [len(BATCH) + 1] * count
    assert count == len(points) > 0
    for nth, point in enumerate(points, 1):
        listed = list(prompts)
        answer = edited_at_check(hooks, nth, lambda: EDITS[edit](listed, OTHER_BATCH * 300),
                                 lambda: explain_batch(listed))
        assert answer == batch_of(explain_complexity)(prompts[:point] + listed[point:]), nth
