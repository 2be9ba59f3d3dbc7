// A channel's status, and setting its attenuation.
#pragma once

#include <Python.h>

namespace kq5316::device {

PyObject *read_current_status(PyObject *self, PyObject *const *args);
PyObject *set_attenuation(PyObject *self, PyObject *const *args);

} // namespace kq5316::device
