// Reference types that make ownership visible in the code.
//
// `Owned` holds a strong reference and releases it when it goes out of scope;
// it can be moved but never copied, so every increment is written out where it
// happens (`Owned::take`) and every transfer is an explicit move or `release`.
// `Borrowed` is a plain view: it is only valid while something else keeps the
// object alive, so it must not outlive a call that can run Python code.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace halvec {

class Borrowed {
public:
    constexpr Borrowed() noexcept = default;
    constexpr Borrowed(PyObject* p) noexcept : p_(p) {}

    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

class [[nodiscard]] Owned {
public:
    Owned() noexcept = default;

    // Adopt a new reference (the result of an API call that returns one).
    static Owned steal(PyObject* p) noexcept { return Owned(p); }
    // Take a new reference to an object we only borrow.
    static Owned take(Borrowed b) noexcept {
        Py_XINCREF(b.get());
        return Owned(b.get());
    }

    Owned(Owned&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Owned& operator=(Owned&& other) noexcept {
        // Release our old object only after the new one is in place: its
        // deallocator may run Python code that looks at this slot.
        PyObject* old = std::exchange(p_, std::exchange(other.p_, nullptr));
        Py_XDECREF(old);
        return *this;
    }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    ~Owned() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    Borrowed borrow() const noexcept { return p_; }
    operator Borrowed() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }

    // Hand the reference to a caller that takes ownership (a return value,
    // a stealing API).
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    void reset() noexcept {
        PyObject* old = std::exchange(p_, nullptr);
        Py_XDECREF(old);
    }

private:
    explicit Owned(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

}  // namespace halvec
