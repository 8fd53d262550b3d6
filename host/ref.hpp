// Owned references and the error convention shared by every module.
//
// A `Ref` owns one strong reference (or none). A failing C API call is turned
// into the C++ exception `PyErrorSet`, which means "a Python error is set";
// `entry()` catches it at the C boundary and returns NULL so the caller sees
// the original Python error object. No other file touches reference counts.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <new>
#include <stdexcept>
#include <utility>

namespace kv {

// Thrown after a C API call failed and left a Python error set.
struct PyErrorSet {};

[[noreturn]] inline void raise_set() { throw PyErrorSet{}; }

// Sets a Python error of `type` with a printf-style message, then throws.
template <class... A>
[[noreturn]] void raise(PyObject* type, const char* format, A... args) {
    PyErr_Format(type, format, args...);
    throw PyErrorSet{};
}

class Ref {
  public:
    Ref() noexcept = default;
    Ref(const Ref& other) noexcept : p_(other.p_) { Py_XINCREF(p_); }
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref& operator=(Ref other) noexcept {
        std::swap(p_, other.p_);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    // Takes over a new reference (which may be NULL).
    static Ref steal(PyObject* p) noexcept {
        Ref r;
        r.p_ = p;
        return r;
    }
    // Adds a reference to a borrowed pointer (which may be NULL).
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return steal(p);
    }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    void reset() noexcept { Py_CLEAR(p_); }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    bool is(PyObject* other) const noexcept { return p_ == other; }

  private:
    PyObject* p_ = nullptr;
};

// Takes over the result of a C API call that returns a new reference, throwing
// when it failed.
inline Ref own(PyObject* p) {
    if (!p) raise_set();
    return Ref::steal(p);
}

// Checks the status of a C API call that returns -1 on failure.
inline int ok(int status) {
    if (status < 0) raise_set();
    return status;
}

inline Ref none() { return Ref::borrow(Py_None); }
inline Ref boolean(bool b) { return Ref::borrow(b ? Py_True : Py_False); }

// Runs `body` (which returns a Ref) at the C boundary: exceptions become a
// Python error and NULL; the Python error raised by the body is passed on
// untouched.
template <class F>
PyObject* entry(F&& body) noexcept {
    try {
        return body().release();
    } catch (const PyErrorSet&) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_SystemError, "error signalled without a Python exception");
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
    }
    return nullptr;
}

// The same for C entry points that return an int status (0 or -1).
template <class F>
int entry_status(F&& body) noexcept {
    try {
        body();
        return 0;
    } catch (const PyErrorSet&) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_SystemError, "error signalled without a Python exception");
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
    }
    return -1;
}

}  // namespace kv
