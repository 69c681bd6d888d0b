#include "workload/line_count.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>

#include "common/signals.hpp"

namespace halvec::core {
namespace {

constexpr std::size_t kStretch = std::size_t{64} << 20;
constexpr std::size_t kBlock = std::size_t{4} << 20;
// What a read costs towards the next signal check, at the least: as long as
// counting a page takes, so that many short stretches check as often as one long.
constexpr std::size_t kLeastRead = std::size_t{4} << 10;

// A plain loop the compiler turns into vector compares and adds.
std::size_t breaks_in(const unsigned char* bytes, std::size_t size) {
    std::size_t count = 0;
    for (std::size_t i = 0; i < size; ++i) count += bytes[i] == '\n';
    return count;
}

// The cuts as offsets, checked: nullptr with ValueError (or the error an
// item's __index__ raised) when one is not a whole number from 0, in order.
// The array has `n` slots; the caller frees it with PyMem_Free.
std::int64_t* offsets_of(PyObject* cuts, Py_ssize_t& n) {
    // A tuple of its own: an item's __index__ may edit the caller's list.
    const Owned items = Owned::steal(PySequence_Tuple(cuts));
    if (!items) return nullptr;
    n = PyTuple_GET_SIZE(items.get());
    auto* offsets = static_cast<std::int64_t*>(PyMem_Malloc(sizeof(std::int64_t) * static_cast<std::size_t>(std::max<Py_ssize_t>(n, 1))));
    if (offsets == nullptr) {
        PyErr_NoMemory();
        return nullptr;
    }
    for (Py_ssize_t k = 0; k < n; ++k) {
        int overflow = 0;
        const long long offset = PyLong_AsLongLongAndOverflow(PyTuple_GET_ITEM(items.get(), k), &overflow);
        if (offset == -1 && PyErr_Occurred()) {
            PyMem_Free(offsets);
            return nullptr;
        }
        if (overflow > 0) {
            PyMem_Free(offsets);
            PyErr_SetString(PyExc_ValueError, "count_lines_in(): a cut is past any file's end");
            return nullptr;
        }
        if (overflow < 0 || offset < 0 || (k > 0 && offset < offsets[k - 1])) {
            PyMem_Free(offsets);
            PyErr_SetString(PyExc_ValueError, "count_lines_in(): the cuts must be offsets from 0, in order");
            return nullptr;
        }
        offsets[k] = offset;
    }
    return offsets;
}

// What a count ended with.
enum class Ended { counted, failed_read, signalled };

// The breaks in each stretch between two offsets, written to counts. Entered
// and left holding the interpreter's lock, released while the file is read;
// signals are checked (the lock taken) every kStretch bytes read (a read costs
// kLeastRead at least) and when a read is interrupted. `error` is the failed
// read's errno.
Ended count_stretches(int fd, const std::int64_t* offsets, Py_ssize_t n, std::size_t* counts,
                      unsigned char* block, int& error) {
    PyThreadState* released = PyEval_SaveThread();
    std::size_t since_check = 0;
    for (Py_ssize_t k = 0; k + 1 < n; ++k) {
        std::int64_t at = offsets[k];
        std::size_t count = 0;
        while (at < offsets[k + 1]) {
            const auto want = static_cast<std::size_t>(std::min<std::int64_t>(static_cast<std::int64_t>(kBlock), offsets[k + 1] - at));
            const ssize_t got = pread(fd, block, want, static_cast<off_t>(at));
            const bool interrupted = got < 0 && errno == EINTR;
            if (got < 0 && !interrupted) {
                error = errno;
                PyEval_RestoreThread(released);
                return Ended::failed_read;
            }
            if (got > 0) {
                count += breaks_in(block, static_cast<std::size_t>(got));
                at += got;
            }
            if (got >= 0) since_check += std::max(static_cast<std::size_t>(got), kLeastRead);
            if (interrupted || since_check >= kStretch) {
                since_check = 0;
                PyEval_RestoreThread(released);
                if (check_signals() < 0) return Ended::signalled;
                released = PyEval_SaveThread();
            }
            if (got == 0) break;  // the file ends before the stretch does
        }
        counts[k] = count;
    }
    PyEval_RestoreThread(released);
    return Ended::counted;
}

// The counts of count_lines_in, read through `fd`, a descriptor of this call's
// own: no other code closes it, whatever runs between two stretches.
PyObject* counts_in(int fd, PyObject* cuts) {
    Py_ssize_t n = 0;
    std::int64_t* offsets = offsets_of(cuts, n);
    if (offsets == nullptr) return nullptr;
    const std::size_t stretches = static_cast<std::size_t>(std::max<Py_ssize_t>(n - 1, 1));
    // Memory of our own, freed by this frame alone: a signal handler run between two
    // stretches reaches none of it.
    auto* counts = static_cast<std::size_t*>(PyMem_Malloc(sizeof(std::size_t) * stretches));
    const bool reads = n > 1 && offsets[n - 1] > offsets[0];
    auto* block = reads ? static_cast<unsigned char*>(PyMem_Malloc(kBlock)) : nullptr;
    if (counts == nullptr || (reads && block == nullptr)) {
        PyMem_Free(block);
        PyMem_Free(counts);
        PyMem_Free(offsets);
        return PyErr_NoMemory();
    }
    int error = 0;
    const Ended ended = count_stretches(fd, offsets, n, counts, block, error);
    PyMem_Free(block);
    PyMem_Free(offsets);
    PyObject* result = nullptr;
    if (ended == Ended::failed_read) {
        errno = error;
        PyErr_SetFromErrno(PyExc_OSError);
    } else if (ended == Ended::counted) {
        result = PyList_New(std::max<Py_ssize_t>(n - 1, 0));
        for (Py_ssize_t k = 0; result != nullptr && k + 1 < n; ++k) {
            PyObject* count = PyLong_FromSize_t(counts[k]);
            if (count == nullptr) Py_CLEAR(result);
            else PyList_SET_ITEM(result, k, count);
        }
    }
    PyMem_Free(counts);
    return result;
}

}  // namespace

PyObject* count_lines_in(PyObject* file, PyObject* cuts) {
    const int given = PyObject_AsFileDescriptor(file);  // may call fileno(): before anything is held
    if (given < 0) return nullptr;
    // A descriptor of our own for the same open file, taken before any Python code
    // runs again: a cut's __index__, a signal handler or another thread may close
    // the caller's number, and a file opened next takes it.
    const int fd = fcntl(given, F_DUPFD_CLOEXEC, 0);
    if (fd < 0) return PyErr_SetFromErrno(PyExc_OSError);
    PyObject* result = counts_in(fd, cuts);
    close(fd);
    return result;
}

}  // namespace halvec::core
