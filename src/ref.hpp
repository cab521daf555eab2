// Owned references to Python objects.
//
// `Ref` holds one strong reference and drops it when it goes out of scope, so
// an early `return nullptr` on an error path releases whatever was taken.
// Stealing a new reference and borrowing an existing one are spelled out where
// a Ref is made: `Ref::steal(PyLong_FromLong(1))`, `Ref::borrow(Py_None)`.
#pragma once

#include <Python.h>

#include <utility>

namespace velmora {

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref& other) noexcept : ptr_(Py_XNewRef(other.ptr_)) {}
    Ref(Ref&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    ~Ref() { Py_XDECREF(ptr_); }

    Ref& operator=(Ref other) noexcept {
        std::swap(ptr_, other.ptr_);
        return *this;
    }

    // Takes over a new reference (the result of most C API calls); null stays null.
    static Ref steal(PyObject* obj) noexcept { return Ref(obj); }
    // Adds a reference of its own to a borrowed object.
    static Ref borrow(PyObject* obj) noexcept { return Ref(Py_XNewRef(obj)); }

    PyObject* get() const noexcept { return ptr_; }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }

    // Hands the reference to the caller, e.g. as a function's return value.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
    void reset() noexcept { Py_CLEAR(ptr_); }

private:
    explicit Ref(PyObject* obj) noexcept : ptr_(obj) {}
    PyObject* ptr_ = nullptr;
};

}  // namespace velmora
