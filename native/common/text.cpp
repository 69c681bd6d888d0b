#include "common/text.hpp"

#include <algorithm>

namespace halvec::py {

int contains(Borrowed container, Borrowed key) {
    PyObject* list = container.get();
    if (!PyList_CheckExact(list) || !PyUnicode_CheckExact(key.get())) {
        return PySequence_Contains(list, key.get());
    }
    // The size is read again after each comparison: one may shrink the list.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        PyObject* item = PyList_GET_ITEM(list, i);
        if (PyUnicode_CheckExact(item)) {
            if (str_equal(item, key.get())) return 1;
            continue;
        }
        const Owned held = Owned::take(item);
        const int same = PyObject_RichCompareBool(item, key.get(), Py_EQ);
        if (same != 0) return same;
    }
    return 0;
}

namespace {

// The widest character of a part, which decides the kind of the result.
Py_UCS4 widest(const TextPart& part) {
    if (!part.str || PyUnicode_IS_ASCII(part.str)) return 127;
    if (part.length == PyUnicode_GET_LENGTH(part.str)) return PyUnicode_MAX_CHAR_VALUE(part.str);
    // A prefix may be narrower than its whole text.
    const int kind = PyUnicode_KIND(part.str);
    const void* data = PyUnicode_DATA(part.str);
    Py_UCS4 widest = 127;
    for (Py_ssize_t i = 0; i < part.length; ++i) widest = std::max(widest, PyUnicode_READ(kind, data, i));
    return widest;
}

}  // namespace

Owned join(std::initializer_list<TextPart> parts) {
    Py_ssize_t length = 0;
    Py_UCS4 maxchar = 127;
    for (const TextPart& part : parts) {
        length += part.length;
        maxchar = std::max(maxchar, widest(part));
    }
    Owned result = Owned::steal(PyUnicode_New(length, maxchar));
    if (!result) return {};
    const int kind = PyUnicode_KIND(result.get());
    void* data = PyUnicode_DATA(result.get());
    Py_ssize_t at = 0;
    for (const TextPart& part : parts) {
        if (part.str) {
            if (PyUnicode_CopyCharacters(result.get(), at, part.str, 0, part.length) < 0) return {};
        } else if (kind == PyUnicode_1BYTE_KIND) {
            std::memcpy(static_cast<char*>(data) + at, part.ascii, static_cast<std::size_t>(part.length));
        } else {
            for (Py_ssize_t i = 0; i < part.length; ++i) {
                PyUnicode_WRITE(kind, data, at + i, static_cast<unsigned char>(part.ascii[i]));
            }
        }
        at += part.length;
    }
    return result;
}

}  // namespace halvec::py
