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

namespace velmora {

// Small calls that come back as owned references; a null Ref means an exception is set.
inline Ref get_attr(PyObject* obj, PyObject* attr) { return Ref::steal(PyObject_GetAttr(obj, attr)); }

// obj.method() with the method found by ordinary attribute lookup, so an
// override on the instance or in a subclass is the one called.
inline Ref call_method(PyObject* obj, PyObject* method) {
    return Ref::steal(PyObject_CallMethodNoArgs(obj, method));
}

inline Ref call_method(PyObject* obj, PyObject* method, PyObject* arg) {
    return Ref::steal(PyObject_CallMethodOneArg(obj, method, arg));
}

inline Ref call(PyObject* callable, PyObject* arg) { return Ref::steal(PyObject_CallOneArg(callable, arg)); }

// The truth of a value that may have failed to come: 1, 0, or -1 with the exception set.
inline int truth(const Ref& value) { return value ? PyObject_IsTrue(value.get()) : -1; }

// str(value), sparing the call for a value that already is exactly a str.
inline Ref text_of(PyObject* value) {
    return PyUnicode_CheckExact(value) ? Ref::borrow(value) : Ref::steal(PyObject_Str(value));
}

// format(value, "") as an f-string shows it; exact str and int need no format call.
inline Ref shown_as(PyObject* value) {
    if (PyUnicode_CheckExact(value)) return Ref::borrow(value);
    if (PyLong_CheckExact(value)) return Ref::steal(PyObject_Str(value));
    Ref empty = Ref::steal(PyUnicode_New(0, 0));
    return empty ? Ref::steal(PyObject_Format(value, empty.get())) : Ref{};
}

inline Ref concat(PyObject* left, PyObject* right) { return Ref::steal(PyUnicode_Concat(left, right)); }

// Sets an attribute, stealing the value: `set_attr(self, name.port, std::move(port))`.
// An empty value means making it failed: -1, with that error left in place.
inline int set_attr(PyObject* obj, PyObject* attr, Ref value) {
    return value ? PyObject_SetAttr(obj, attr, value.get()) : -1;
}

}  // namespace velmora
