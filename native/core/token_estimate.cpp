#include "core/token_estimate.hpp"

#include <cstdint>

namespace halvec::core {
namespace {

// Characters sized between two signal checks.
constexpr Py_ssize_t kStretch = Py_ssize_t{1} << 24;

// The UTF-8 bytes of characters beyond the first byte each takes: a plain
// loop the compiler turns into vector compares and adds.
template <typename Unit>
std::uint64_t extra_bytes(const Unit* text, Py_ssize_t length) {
    std::uint64_t extra = 0;
    for (Py_ssize_t i = 0; i < length; ++i) {
        const std::uint32_t c = text[i];
        extra += static_cast<std::uint64_t>(c >= 0x80) + (c >= 0x800) + (c >= 0x10000);
    }
    return extra;
}

// The str's UTF-8 size, or -1 with an exception set (a signal handler
// raised). The caller holds the str, so its characters stay where they are.
std::int64_t utf8_size(PyObject* str) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(str);
    if (PyUnicode_IS_ASCII(str)) return length;
    const int kind = PyUnicode_KIND(str);
    std::uint64_t extra = 0;
    for (Py_ssize_t done = 0; done < length; done += kStretch) {
        if (done && PyErr_CheckSignals() < 0) return -1;
        const Py_ssize_t stretch = length - done < kStretch ? length - done : kStretch;
        if (kind == PyUnicode_1BYTE_KIND) {
            extra += extra_bytes(PyUnicode_1BYTE_DATA(str) + done, stretch);
        } else if (kind == PyUnicode_2BYTE_KIND) {
            extra += extra_bytes(PyUnicode_2BYTE_DATA(str) + done, stretch);
        } else {
            extra += extra_bytes(PyUnicode_4BYTE_DATA(str) + done, stretch);
        }
    }
    return static_cast<std::int64_t>(length) + static_cast<std::int64_t>(extra);
}

}  // namespace

PyObject* token_estimates(PyObject* descriptions) {
    if (!PyList_CheckExact(descriptions)) {
        PyErr_Format(PyExc_TypeError, "token_estimates(): descriptions must be a list, not %.200s",
                     Py_TYPE(descriptions)->tp_name);
        return nullptr;
    }
    Owned estimates = Owned::steal(PyList_New(0));
    if (!estimates) return nullptr;
    // the list is read afresh at each step (a signal handler may change it),
    // each item held while it is measured
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(descriptions); ++i) {
        const Owned item = Owned::take(PyList_GET_ITEM(descriptions, i));
        if (!PyUnicode_Check(item.get())) {
            PyErr_Format(PyExc_TypeError, "token_estimates(): description %zd is %.200s, not a str", i,
                         Py_TYPE(item.get())->tp_name);
            return nullptr;
        }
        const std::int64_t size = utf8_size(item.get());
        if (size < 0) return nullptr;
        const Owned estimate = Owned::steal(PyLong_FromLongLong((size + 3) / 4));
        if (!estimate || PyList_Append(estimates.get(), estimate.get()) < 0) return nullptr;
    }
    return estimates.release();
}

}  // namespace halvec::core
