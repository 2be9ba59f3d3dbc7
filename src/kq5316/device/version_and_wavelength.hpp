// Identifying the instrument, and reading and selecting a channel's optical length.
#pragma once

#include <Python.h>

namespace kq5316::device {

PyObject *read_device_version(PyObject *self, PyObject *const *args);
PyObject *read_optical_length(PyObject *self, PyObject *const *args);
PyObject *set_optical_length(PyObject *self, PyObject *const *args);

} // namespace kq5316::device
