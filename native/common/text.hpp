// Text work on str objects that runs no Python code: equality of exact str,
// membership of an exact str in a list, and a message joined from parts the
// way an f-string joins them (sizes first, one allocation, one copy each).
#pragma once

#include <cstring>
#include <initializer_list>

#include "common/refs.hpp"

namespace halvec::py {

// a == b for two exact str (equal text has the same kind: the kind follows
// from the widest character).
inline bool str_equal(PyObject* a, PyObject* b) {
    if (a == b) return true;
    const Py_ssize_t length = PyUnicode_GET_LENGTH(a);
    const int kind = PyUnicode_KIND(a);
    return length == PyUnicode_GET_LENGTH(b) && kind == PyUnicode_KIND(b) &&
           std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), static_cast<std::size_t>(length) * kind) == 0;
}

// `if a == b:` (1, 0, or -1 with an exception set): two exact str are
// compared here; anything else by the operator, whose result's truth is
// then tested (unlike `in`, the operator calls __eq__ even on one object).
inline int equal(PyObject* a, PyObject* b) {
    if (PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b)) return str_equal(a, b);
    PyObject* result = PyObject_RichCompare(a, b, Py_EQ);
    if (!result) return -1;
    const int truth = PyObject_IsTrue(result);
    Py_DECREF(result);
    return truth;
}

// `key in container` (1, 0 or -1). For an exact list and an exact str key the
// items are compared here, in order, as the list's own test compares them;
// an item of another type still goes to its own comparison.
int contains(Borrowed container, Borrowed key);

// format(value, ""): what an f-string puts in for {value}; an exact str is
// itself, without the call.
inline Owned text_of(Borrowed value) {
    if (PyUnicode_CheckExact(value.get())) return Owned::take(value);
    return Owned::steal(PyObject_Format(value.get(), nullptr));
}

// One part of a joined text: a str, or only its first characters, or an
// ASCII literal.
struct TextPart {
    PyObject* str;
    const char* ascii;
    Py_ssize_t length;
};

template <std::size_t N>
constexpr TextPart literal(const char (&ascii)[N]) {
    return {nullptr, ascii, static_cast<Py_ssize_t>(N - 1)};
}
// An ASCII text known only at run time.
inline TextPart ascii(const char* text) {
    return {nullptr, text, static_cast<Py_ssize_t>(std::strlen(text))};
}
// `str`, any str instance.
inline TextPart text(PyObject* str) { return {str, nullptr, PyUnicode_GET_LENGTH(str)}; }
// str[:limit]
inline TextPart prefix(PyObject* str, Py_ssize_t limit) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(str);
    return {str, nullptr, length < limit ? length : limit};
}

// The parts joined into a new str.
Owned join(std::initializer_list<TextPart> parts);

}  // namespace halvec::py
