#include "common/utf8.hpp"

namespace halvec {
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

}  // namespace

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

}  // namespace halvec
