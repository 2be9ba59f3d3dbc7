// Argument checks shared by the extension's METH_FASTCALL functions.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace kq5316x {

// Whether a function got exactly `wanted` positional arguments; TypeError naming `name` if not.
inline bool expect_arguments(Py_ssize_t nargs, Py_ssize_t wanted, const char *name) {
    if (nargs == wanted)
        return true;
    PyErr_Format(PyExc_TypeError, "%s() takes %zd arguments (%zd given)", name, wanted, nargs);
    return false;
}

} // namespace kq5316x
