"""The native count of the line breaks in each stretch of an open file, which numbers the lines
of a file's parts: the counts bytes.count gives, from a descriptor or a file object, and a
clean error for cuts out of order, a bad descriptor or a signal handler that raises; the file
counted is the one given, whatever becomes of its descriptor's number during the count."""

import os
import signal
import sys

import pytest
from hypothesis import given
from hypothesis import strategies as st

from halvec._workload import count_lines_in


@given(st.binary(max_size=2000).map(lambda data: data.replace(b"x", b"\n")),
       st.lists(st.integers(0, 2100), max_size=12))
def test_each_stretch_counts_what_bytes_count_gives(tmp_path_factory, data, cuts):
    path = tmp_path_factory.mktemp("count") / "data"
    path.write_bytes(data)
    cuts.sort()
    want = [data[a:b].count(b"\n") for a, b in zip(cuts, cuts[1:])]  # past the end: what is there
    with open(path, "rb") as file:
        assert count_lines_in(file.fileno(), cuts) == want
        assert count_lines_in(file, tuple(cuts)) == want


def test_bad_cuts_and_descriptors_are_clean_errors(tmp_path):
    path = tmp_path / "data"
    path.write_bytes(b"a\nb\n")
    with open(path, "rb") as file:
        for cuts in ([3, 2], [-1, 2], [0, 2**70]):
            with pytest.raises(ValueError, match="count_lines_in"):
                count_lines_in(file, cuts)
        with pytest.raises(TypeError):
            count_lines_in(file, [0, "4"])
        with pytest.raises(TypeError):
            count_lines_in(file, 4)
    with pytest.raises(ValueError):  # closed: no descriptor
        count_lines_in(file, [0, 4])
    with pytest.raises(OSError):
        count_lines_in(os.open(tmp_path, os.O_RDONLY), [0, 4])  # a folder cannot be read


def test_a_cut_that_edits_the_callers_list_changes_nothing_counted(tmp_path):
    path = tmp_path / "data"
    path.write_bytes(b"\n" * 100)
    cuts = []

    class Editing(int):
        def __index__(self):
            cuts.clear()
            return int(self)
    cuts.extend([0, Editing(10), 50])
    with open(path, "rb") as file:
        assert count_lines_in(file, cuts) == [10, 40]


def test_a_long_count_checks_for_signals(tmp_path):
    hooks = sys.modules.get("halvec._workload_hooks") or pytest.skip("a build without the test hooks")
    path = tmp_path / "sparse"
    with open(path, "wb") as file:
        file.truncate(130 << 20)  # zeros, no line break, past two checks' stretch

    def interrupt(signum, frame):
        raise KeyboardInterrupt
    previous = signal.signal(signal.SIGUSR1, interrupt)
    try:
        with open(path, "rb") as file:
            before = hooks.signal_checks()
            assert count_lines_in(file, [0, 1, 130 << 20]) == [0, 0]
            assert hooks.signal_checks() > before
            hooks.signal_at_check(1, signal.SIGUSR1)
            with pytest.raises(KeyboardInterrupt):  # a handler that raises ends the count
                count_lines_in(file, [0, 130 << 20])
    finally:
        hooks.signal_at_check(0, signal.SIGUSR1)
        signal.signal(signal.SIGUSR1, previous)



def test_a_read_interrupted_by_a_signal_runs_its_handler(python):
    # /dev/kmsg can be read at any offset, a record a read, and then waits for the next record
    try:
        os.close(os.open("/dev/kmsg", os.O_RDONLY))
    except OSError:
        pytest.skip("no kernel log to read")
    assert python("""
        import os, signal
        from halvec._workload import count_lines_in
        calls = []
        def alarm(signum, frame):
            calls.append(signum)
            if len(calls) == 3:
                raise TimeoutError
        signal.signal(signal.SIGALRM, alarm)
        signal.setitimer(signal.ITIMER_REAL, 0.1, 0.1)
        try:
            count_lines_in(os.open("/dev/kmsg", os.O_RDONLY), [0, 2**62])
        except TimeoutError:
            print(len(calls))
    """) == "3\n"

# --- the descriptor counted is the one given, whatever is done with its number meanwhile ---------

def _zeros_and_breaks(tmp_path, size):
    """A file of zeros (no line break) and one of line breaks only, both ``size`` bytes."""
    zeros, breaks = tmp_path / "zeros", tmp_path / "breaks"
    with open(zeros, "wb") as file:
        file.truncate(size)
    breaks.write_bytes(b"\n" * size)
    return zeros, breaks


def test_a_number_closed_and_reused_by_a_signal_handler_is_not_read(tmp_path):
    hooks = sys.modules.get("halvec._workload_hooks") or pytest.skip("a build without the test hooks")
    zeros, breaks = _zeros_and_breaks(tmp_path, 130 << 20)
    fd, other = os.open(zeros, os.O_RDONLY), os.open(breaks, os.O_RDONLY)
    previous = signal.signal(signal.SIGUSR1, lambda *_: os.dup2(other, fd))  # fd closed, then the other file's
    try:
        hooks.signal_at_check(1, signal.SIGUSR1)
        assert count_lines_in(fd, [0, 1, 130 << 20]) == [0, 0]
        assert count_lines_in(fd, [0, 1, 130 << 20]) == [1, (130 << 20) - 1]  # the handler ran
    finally:
        hooks.signal_at_check(0, signal.SIGUSR1)
        signal.signal(signal.SIGUSR1, previous)
        os.close(fd)
        os.close(other)


def test_a_number_closed_and_reused_by_a_cut_is_not_read(tmp_path):
    zeros, breaks = _zeros_and_breaks(tmp_path, 100)
    fd, other = os.open(zeros, os.O_RDONLY), os.open(breaks, os.O_RDONLY)

    class Reusing:  # as another thread may, while the count runs
        def __index__(self):
            os.dup2(other, fd)
            return 100
    try:
        assert count_lines_in(fd, [0, Reusing()]) == [0]
        assert count_lines_in(fd, [0, 100]) == [100]
    finally:
        os.close(fd)
        os.close(other)


def test_the_count_leaves_no_descriptor_open(tmp_path):
    path = tmp_path / "data"
    path.write_bytes(b"a\nb\n")
    open_before = sorted(os.listdir("/proc/self/fd"))
    with open(path, "rb") as file:
        for cuts in ([0, 2, 4], [0, 2**70], [], [2, 1]):
            try:
                count_lines_in(file, cuts)
            except ValueError:
                pass
    folder = os.open(tmp_path, os.O_RDONLY)
    try:
        with pytest.raises(OSError):
            count_lines_in(folder, [0, 4])
    finally:
        os.close(folder)
    assert sorted(os.listdir("/proc/self/fd")) == open_before


# --- long counts of many short stretches, and cuts out of range ----------------------------------

def test_many_short_stretches_check_for_signals(tmp_path):
    hooks = sys.modules.get("halvec._workload_hooks") or pytest.skip("a build without the test hooks")
    path = tmp_path / "data"
    path.write_bytes(b"x\n" * 20_000)
    with open(path, "rb") as file:
        before = hooks.signal_checks()
        assert count_lines_in(file, range(40_001)) == [0, 1] * 20_000  # a read a byte
        reads = hooks.signal_checks() - before
        before = hooks.signal_checks()
        assert count_lines_in(file, [*range(0, 1 << 20, 1 << 20), *range(1 << 20, (1 << 20) + 40_000)]) \
            == [20_000] + [0] * 39_999  # past the end
    assert reads >= 1 and hooks.signal_checks() - before >= 1


def test_a_cut_below_zero_by_any_amount_is_out_of_order(tmp_path):
    path = tmp_path / "data"
    path.write_bytes(b"a\n")
    with open(path, "rb") as file:
        for low in (-1, -2**63, -2**63 - 1, -2**70):
            with pytest.raises(ValueError, match="offsets from 0, in order"):
                count_lines_in(file, [low, 2])


def test_a_failed_allocation_is_a_memory_error_and_the_next_count_is_whole(tmp_path):
    testcapi = pytest.importorskip("_testcapi")
    path = tmp_path / "data"
    path.write_bytes(b"\n" * 5000)
    cuts = [0, 1000, 2000, 3000, 5000]  # counts past the small ints: each one allocated
    with open(path, "rb") as file:
        failed = 0
        for nth in range(24):
            testcapi.set_nomemory(nth, nth + 1)
            try:
                counted = count_lines_in(file, cuts)
            except MemoryError:
                counted = None
            finally:
                testcapi.remove_mem_hooks()
            failed += counted is None
            assert counted in (None, [1000, 1000, 1000, 2000])
            assert count_lines_in(file, cuts) == [1000, 1000, 1000, 2000]
    assert failed >= 4
