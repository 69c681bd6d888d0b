#include "common/json_bytes.hpp"

#include <charconv>
#include <cmath>
#include <cstring>

namespace halvec::py {
namespace {

constexpr char kHex[] = "0123456789abcdef";

// What json writes for an ASCII character inside a string: nothing special
// (0), a two-character escape (its letter), or \u00XX (1).
constexpr unsigned char escape_of(unsigned char c) {
    switch (c) {
        case '"': return '"';
        case '\\': return '\\';
        case '\n': return 'n';
        case '\r': return 'r';
        case '\t': return 't';
        case '\b': return 'b';
        case '\f': return 'f';
        default: return c < 0x20 ? 1 : 0;
    }
}

struct EscapeTable {
    unsigned char of[128];
    constexpr EscapeTable() : of() {
        for (int c = 0; c < 128; ++c) of[c] = escape_of(static_cast<unsigned char>(c));
    }
};
constexpr EscapeTable kEscapes;

// The most UTF-8 bytes a character of a str of this kind takes.
constexpr std::size_t utf8_width(int kind) {
    return kind == PyUnicode_1BYTE_KIND ? 2 : kind == PyUnicode_2BYTE_KIND ? 3 : 4;
}

}  // namespace

JsonBytes::~JsonBytes() { PyMem_Free(data_); }

bool JsonBytes::grow(std::size_t more) noexcept {
    if (more > static_cast<std::size_t>(PY_SSIZE_T_MAX) - size_) {
        PyErr_NoMemory();
        return false;
    }
    const std::size_t needed = size_ + more;
    std::size_t wanted = capacity_ ? capacity_ : 256;
    while (wanted < needed) wanted = wanted > static_cast<std::size_t>(PY_SSIZE_T_MAX) / 2 ? needed : wanted * 2;
    void* moved = PyMem_Realloc(data_, wanted);
    if (!moved && wanted > needed) moved = PyMem_Realloc(data_, wanted = needed);  // no room to spare
    if (!moved) {
        PyErr_NoMemory();
        return false;
    }
    data_ = static_cast<char*>(moved);
    capacity_ = wanted;
    return true;
}

bool JsonBytes::integer(long long value) noexcept {
    char digits[24];
    const auto done = std::to_chars(digits, digits + sizeof digits, value);
    return ascii(digits, static_cast<std::size_t>(done.ptr - digits));
}

// repr(float): the shortest digits that read back as the same value, laid out
// fixed when the decimal exponent is from -4 to 15 (with ".0" on a whole
// number), otherwise as d.ddde+XX.
bool JsonBytes::number(double value) noexcept {
    if (!std::isfinite(value)) return literal("null");
    char scientific[32];
    const auto done = std::to_chars(scientific, scientific + sizeof scientific, value, std::chars_format::scientific);
    const char* end = done.ptr;
    const char* e = static_cast<const char*>(std::memchr(scientific, 'e', static_cast<std::size_t>(end - scientific)));
    if (!e) return false;  // to_chars always writes an exponent
    int exponent = 0;
    std::from_chars(e + (e[1] == '+' ? 2 : 1), end, exponent);
    // the digits without the sign and the point
    const bool negative = scientific[0] == '-';
    char digits[24] = {};
    std::size_t count = 0;
    for (const char* p = scientific + negative; p < e; ++p) {
        if (*p != '.') digits[count++] = *p;
    }
    char out[48];
    std::size_t n = 0;
    if (negative) out[n++] = '-';
    if (exponent < -4 || exponent >= 16) {
        out[n++] = digits[0];
        if (count > 1) {
            out[n++] = '.';
            std::memcpy(out + n, digits + 1, count - 1);
            n += count - 1;
        }
        out[n++] = 'e';
        out[n++] = exponent < 0 ? '-' : '+';
        const int magnitude = exponent < 0 ? -exponent : exponent;
        if (magnitude < 10) out[n++] = '0';
        n = static_cast<std::size_t>(std::to_chars(out + n, out + sizeof out, magnitude).ptr - out);
    } else if (exponent < 0) {
        out[n++] = '0';
        out[n++] = '.';
        for (int zero = -1; zero > exponent; --zero) out[n++] = '0';
        std::memcpy(out + n, digits, count);
        n += count;
    } else {
        const auto whole = static_cast<std::size_t>(exponent) + 1;
        for (std::size_t i = 0; i < whole; ++i) out[n++] = i < count ? digits[i] : '0';
        out[n++] = '.';
        if (count > whole) {
            std::memcpy(out + n, digits + whole, count - whole);
            n += count - whole;
        } else {
            out[n++] = '0';
        }
    }
    return ascii(out, n);
}

void JsonBytes::code_point(Py_UCS4 c) noexcept {
    char* p = data_ + size_;
    if (c < 0x80) {
        *p++ = static_cast<char>(c);
    } else if (c < 0x800) {
        *p++ = static_cast<char>(0xC0 | (c >> 6));
        *p++ = static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        if (c >= 0xD800 && c <= 0xDFFF) c = 0xFFFD;  // a lone surrogate
        *p++ = static_cast<char>(0xE0 | (c >> 12));
        *p++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        *p++ = static_cast<char>(0x80 | (c & 0x3F));
    } else {
        *p++ = static_cast<char>(0xF0 | (c >> 18));
        *p++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        *p++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        *p++ = static_cast<char>(0x80 | (c & 0x3F));
    }
    size_ = static_cast<std::size_t>(p - data_);
}

bool JsonBytes::text(PyObject* str) noexcept {
    const auto length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(str));
    if (PyUnicode_IS_ASCII(str)) return ascii(static_cast<const char*>(PyUnicode_DATA(str)), length);
    const int kind = PyUnicode_KIND(str);
    if (!reserve(length * utf8_width(kind))) return false;
    const void* data = PyUnicode_DATA(str);
    for (std::size_t i = 0; i < length; ++i) code_point(PyUnicode_READ(kind, data, i));
    return true;
}

void JsonBytes::escaped(unsigned char c) noexcept {
    const unsigned char escape = kEscapes.of[c];
    char* p = data_ + size_;
    if (escape == 1) {
        std::memcpy(p, "\\u00", 4);
        p[4] = kHex[c >> 4];
        p[5] = kHex[c & 0xF];
        p += 6;
    } else {
        *p++ = '\\';
        *p++ = static_cast<char>(escape);
    }
    size_ = static_cast<std::size_t>(p - data_);
}

bool JsonBytes::quoted(PyObject* str) noexcept {
    const auto length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(str));
    // Room for the text with no escape; an escape (up to 6 bytes, \u00XX) asks for
    // its own room and the rest's, so a long text costs no more than it needs.
    if (PyUnicode_IS_ASCII(str)) {
        if (!reserve(length + 2)) return false;
        data_[size_++] = '"';
        // runs of characters that need no escape are copied as they are
        const auto* text = static_cast<const unsigned char*>(PyUnicode_DATA(str));
        std::size_t run = 0;
        for (std::size_t i = 0; i < length; ++i) {
            if (!kEscapes.of[text[i]]) continue;
            std::memcpy(data_ + size_, text + run, i - run);
            size_ += i - run;
            if (!reserve(6 + (length - i - 1) + 1)) return false;
            escaped(text[i]);
            run = i + 1;
        }
        std::memcpy(data_ + size_, text + run, length - run);
        size_ += length - run;
    } else {
        const int kind = PyUnicode_KIND(str);
        const std::size_t width = utf8_width(kind);
        if (!reserve(length * width + 2)) return false;
        data_[size_++] = '"';
        const void* data = PyUnicode_DATA(str);
        for (std::size_t i = 0; i < length; ++i) {
            const Py_UCS4 c = PyUnicode_READ(kind, data, i);
            if (c >= 0x80) {
                code_point(c);
            } else if (kEscapes.of[c]) {
                if (!reserve(6 + (length - i - 1) * width + 1)) return false;
                escaped(static_cast<unsigned char>(c));
            } else {
                data_[size_++] = static_cast<char>(c);
            }
        }
    }
    data_[size_++] = '"';
    return true;
}

Owned JsonBytes::to_bytes() const noexcept {
    return Owned::steal(PyBytes_FromStringAndSize(data_ ? data_ : "", static_cast<Py_ssize_t>(size_)));
}

}  // namespace halvec::py
