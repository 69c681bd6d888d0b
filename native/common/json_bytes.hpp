// JSON text written as UTF-8 bytes into a growable buffer, the way the
// standard library's json module writes it with ensure_ascii=False, for
// output that goes straight to a file: a str's lone surrogates (which UTF-8
// cannot carry) are written as U+FFFD. Nothing here runs Python code; a
// failed allocation sets MemoryError, leaves the bytes written so far, and
// is reported by the append's false.
#pragma once

#include <cstddef>
#include <cstring>

#include "common/refs.hpp"

namespace halvec::py {

class JsonBytes {
public:
    JsonBytes() noexcept = default;
    JsonBytes(const JsonBytes&) = delete;
    JsonBytes& operator=(const JsonBytes&) = delete;
    ~JsonBytes();

    // Room for `more` bytes beyond those written.
    [[nodiscard]] bool reserve(std::size_t more) noexcept { return capacity_ - size_ >= more || grow(more); }

    // Inline: most pieces are literals, whose copy the compiler writes out.
    [[nodiscard]] bool ascii(const char* text, std::size_t length) noexcept {
        if (!reserve(length)) return false;
        std::memcpy(data_ + size_, text, length);
        size_ += length;
        return true;
    }
    template <std::size_t N>
    [[nodiscard]] bool literal(const char (&text)[N]) noexcept {
        return ascii(text, N - 1);
    }
    [[nodiscard]] bool integer(long long value) noexcept;
    // repr(value) for a finite float, as json.dumps writes it; null otherwise
    // (JSON has no infinity or NaN).
    [[nodiscard]] bool number(double value) noexcept;
    // The str's text as it stands (JSON already).
    [[nodiscard]] bool text(PyObject* str) noexcept;
    // The str as a JSON string: quoted, with json's escapes.
    [[nodiscard]] bool quoted(PyObject* str) noexcept;

    // The bytes written, as a new bytes object.
    Owned to_bytes() const noexcept;

private:
    [[nodiscard]] bool grow(std::size_t more) noexcept;
    // Written into room reserved already.
    void code_point(Py_UCS4 c) noexcept;
    void escaped(unsigned char c) noexcept;

    char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

}  // namespace halvec::py
