// Reference types that make ownership visible in the code.
//
// `Owned` holds a strong reference and releases it when it goes out of scope;
// it can be moved but never copied, so every increment is written out where it
// happens (`Owned::take`) and every transfer is an explicit move or `release`.
// `Borrowed` is a plain view: it is only valid while something else keeps the
// object alive, so it must not outlive a call that can run Python code.
//
// A thread may be ended while it waits for the interpreter: CPython 3.12 and
// 3.13 end a daemon thread that wakes after finalisation has begun with
// pthread_exit(), whose unwinding runs the clean-ups of the C++ frames it
// passes, without the GIL. So code that can run Python code is compiled
// without exceptions (CMakeLists.txt): its frames have no clean-ups, and that
// unwinding passes them and lets go of nothing, which is right for a process
// that is going away. Code compiled with exceptions (the pattern engine and
// its bridge) keeps no reference in a frame that such an unwinding can pass,
// but for the plans' entries, which check `holds_interpreter` as they go.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace halvec {

// Whether this thread holds the interpreter (has a current thread state):
// false only in a thread that the interpreter is ending (see above), whose
// thread state is detached while it waits for the GIL. 3.13 made the
// unchecked read of the current thread state public; 3.12 exports the same
// function under its older name, used only here. (PyGILState_Check, the
// public 3.12 alternative, answers yes without looking once the runtime has
// been finalised or a sub-interpreter made: exactly when the answer matters.)
inline bool holds_interpreter() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return PyThreadState_GetUnchecked() != nullptr;
#else
    return _PyThreadState_UncheckedGet() != nullptr;
#endif
}

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
