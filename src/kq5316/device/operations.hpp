// The device operations, in the order the class defines them. Each is a method body: it receives
// `self` and its bound arguments, checks the values' ranges, performs one command exchange (two
// for set_optical_length) and turns the reply into its result.
#pragma once

#include <Python.h>

namespace kq5316::device {

PyObject *read_device_version(PyObject *self, PyObject *const *args);
PyObject *read_optical_length(PyObject *self, PyObject *const *args);
PyObject *set_optical_length(PyObject *self, PyObject *const *args);
PyObject *read_current_status(PyObject *self, PyObject *const *args);
PyObject *close_full_screen(PyObject *self, PyObject *const *args);
PyObject *set_attenuation(PyObject *self, PyObject *const *args);
PyObject *clear_attenuation(PyObject *self, PyObject *const *args);
PyObject *dis_connection(PyObject *self, PyObject *const *args);

} // namespace kq5316::device
