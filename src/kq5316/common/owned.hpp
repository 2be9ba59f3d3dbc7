// An owned reference to a Python object. Construction says where the reference comes from:
// `steal` takes over a new reference returned by the C API, `borrow` adds one to a borrowed
// reference. The destructor releases it, so every early return on an error path gives back what
// the function took without explicit bookkeeping.
#pragma once

#include <Python.h>

#include <utility>

namespace kq5316 {

class Owned {
  public:
    Owned() = default;
    static Owned steal(PyObject *object) { return Owned(object); }
    static Owned borrow(PyObject *object) {
        Py_XINCREF(object);
        return Owned(object);
    }

    Owned(const Owned &other) : object_(other.object_) { Py_XINCREF(object_); }
    Owned(Owned &&other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Owned &operator=(Owned other) noexcept {
        std::swap(object_, other.object_);
        return *this;
    }
    ~Owned() { Py_XDECREF(object_); }

    PyObject *get() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }
    // Hands the reference back to the caller, typically as a function's new-reference result.
    PyObject *release() { return std::exchange(object_, nullptr); }

  private:
    explicit Owned(PyObject *object) : object_(object) {}
    PyObject *object_ = nullptr;
};

} // namespace kq5316
