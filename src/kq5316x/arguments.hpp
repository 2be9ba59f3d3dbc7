// Argument checks and conversions shared by the extension's METH_FASTCALL functions.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <span>

namespace kq5316x {

// Whether a function got exactly `wanted` positional arguments; TypeError naming `name` if not.
inline bool expect_arguments(Py_ssize_t nargs, Py_ssize_t wanted, const char *name) {
    if (nargs == wanted)
        return true;
    PyErr_Format(PyExc_TypeError, "%s() takes %zd arguments (%zd given)", name, wanted, nargs);
    return false;
}

// The bytes of a `bytes` argument, which the caller holds for the whole call; false with
// TypeError set for anything else.
inline bool bytes_argument(PyObject *object, std::span<const std::uint8_t> &out) {
    char *data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(object, &data, &size) < 0)
        return false;
    out = {reinterpret_cast<const std::uint8_t *>(data), static_cast<std::size_t>(size)};
    return true;
}

inline PyObject *bytes_object(std::span<const std::uint8_t> bytes) {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char *>(bytes.data()),
                                     static_cast<Py_ssize_t>(bytes.size()));
}

} // namespace kq5316x
