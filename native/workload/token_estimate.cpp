#include "workload/token_estimate.hpp"

#include <cstdint>

#include "workload/description_walk.hpp"

namespace halvec::core {
namespace {

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
std::int64_t utf8_size(PyObject* str, SignalPacing& pacing) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(str);
    if (PyUnicode_IS_ASCII(str)) return length;
    const int kind = PyUnicode_KIND(str);
    std::uint64_t extra = 0;
    for (Py_ssize_t done = 0, stretch = 0; done < length; done += stretch) {
        stretch = length - done < pacing.room() ? length - done : pacing.room();
        if (kind == PyUnicode_1BYTE_KIND) {
            extra += extra_bytes(PyUnicode_1BYTE_DATA(str) + done, stretch);
        } else if (kind == PyUnicode_2BYTE_KIND) {
            extra += extra_bytes(PyUnicode_2BYTE_DATA(str) + done, stretch);
        } else {
            extra += extra_bytes(PyUnicode_4BYTE_DATA(str) + done, stretch);
        }
        if (pacing.done(stretch) < 0) return -1;
    }
    return static_cast<std::int64_t>(length) + static_cast<std::int64_t>(extra);
}

}  // namespace

PyObject* token_estimates(PyObject* descriptions) {
    Owned estimates = Owned::steal(PyList_New(0));
    if (!estimates) return nullptr;
    SignalPacing pacing(kCharactersBetweenSignalChecks);
    const int walked = walk_descriptions("token_estimates", descriptions, pacing, [&](Py_ssize_t, PyObject* text) {
        const std::int64_t size = utf8_size(text, pacing);
        if (size < 0) return -1;
        const Owned estimate = Owned::steal(PyLong_FromLongLong((size + 3) / 4));
        return estimate ? PyList_Append(estimates.get(), estimate.get()) : -1;
    });
    return walked < 0 ? nullptr : estimates.release();
}

}  // namespace halvec::core
