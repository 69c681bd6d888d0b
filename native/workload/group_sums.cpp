#include "workload/group_sums.hpp"

#include <array>
#include <cstdint>

namespace halvec::core {
namespace {

constexpr Py_ssize_t kMostKeys = 16;
constexpr Py_ssize_t kMostColumns = 8;

struct Group {
    PyObject* key = nullptr;  // borrowed from keys
    long long count = 0;
    std::array<long long, kMostColumns> sums{};
};

// An item's value as a 64-bit integer; false when it is not an int or bool
// or does not fit (no exception is left set).
bool value_of(PyObject* item, long long& value) {
    if (!PyLong_Check(item)) return false;
    int overflow = 0;
    value = PyLong_AsLongLongAndOverflow(item, &overflow);
    if (value == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    return overflow == 0;
}

}  // namespace

PyObject* group_sums(PyObject* keys, PyObject* columns) {
    if (!PyList_CheckExact(keys) || !PyTuple_CheckExact(columns) || PyTuple_GET_SIZE(columns) > kMostColumns) {
        PyErr_SetString(PyExc_TypeError, "group_sums(): keys must be a list, columns a tuple of at most 8 lists");
        return nullptr;
    }
    const Py_ssize_t width = PyTuple_GET_SIZE(columns);
    const Py_ssize_t count = PyList_GET_SIZE(keys);
    for (Py_ssize_t c = 0; c < width; ++c) {
        PyObject* column = PyTuple_GET_ITEM(columns, c);
        if (!PyList_CheckExact(column) || PyList_GET_SIZE(column) != count) {
            PyErr_Format(PyExc_TypeError, "group_sums(): column %zd must be a list of %zd items", c, count);
            return nullptr;
        }
    }
    // Nothing in the loop runs Python code (no signal check either: it is one
    // pass over a batch held in memory, as sum() makes), so the keys and items
    // it borrows stay where they are until the keys are held below.
    std::array<Group, kMostKeys> groups{};
    Py_ssize_t found = 0;
    Py_ssize_t last = 0;  // the group of the previous key: runs of one key are common
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* key = PyList_GET_ITEM(keys, i);
        Py_ssize_t g = last;
        if (g >= found || groups[g].key != key) {
            for (g = 0; g < found && groups[g].key != key; ++g) {
            }
            if (g == found) {
                if (found == kMostKeys) Py_RETURN_NONE;
                groups[found++].key = key;
            }
            last = g;
        }
        Group& group = groups[g];
        ++group.count;
        for (Py_ssize_t c = 0; c < width; ++c) {
            PyObject* column = PyTuple_GET_ITEM(columns, c);
            long long value = 0;
            if (!value_of(PyList_GET_ITEM(column, i), value) ||
                __builtin_add_overflow(group.sums[c], value, &group.sums[c])) {
                Py_RETURN_NONE;
            }
        }
    }
    // The keys are held before anything is allocated: an allocation may run
    // the collector, and with it code that edits the list.
    std::array<Owned, kMostKeys> held;
    for (Py_ssize_t g = 0; g < found; ++g) held[g] = Owned::take(groups[g].key);
    Owned result = Owned::steal(PyList_New(found));
    if (!result) return nullptr;
    for (Py_ssize_t g = 0; g < found; ++g) {
        Owned sums = Owned::steal(PyList_New(width));
        if (!sums) return nullptr;
        for (Py_ssize_t c = 0; c < width; ++c) {
            PyObject* sum = PyLong_FromLongLong(groups[g].sums[c]);
            if (!sum) return nullptr;
            PyList_SET_ITEM(sums.get(), c, sum);
        }
        const Owned n = Owned::steal(PyLong_FromLongLong(groups[g].count));
        if (!n) return nullptr;
        PyObject* entry = PyTuple_Pack(3, held[g].get(), n.get(), sums.get());
        if (!entry) return nullptr;
        PyList_SET_ITEM(result.get(), g, entry);
    }
    return result.release();
}

}  // namespace halvec::core
