// The serial port one object owns: the port name, the availability check, opening with the
// instrument's line settings, closing. Each function is a method body: it receives `self` and
// its bound arguments.
#pragma once

#include <Python.h>

namespace kq5316::link {

PyObject *init(PyObject *self, PyObject *const *args);
PyObject *check_port_available(PyObject *self, PyObject *const *args);
PyObject *open(PyObject *self, PyObject *const *args);
PyObject *close(PyObject *self, PyObject *const *args);

} // namespace kq5316::link
