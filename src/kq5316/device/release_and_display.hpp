// Releasing a channel (clearing its attenuation, disconnecting it) and closing the display.
#pragma once

#include <Python.h>

namespace kq5316::device {

PyObject *clear_attenuation(PyObject *self, PyObject *const *args);
PyObject *dis_connection(PyObject *self, PyObject *const *args);
PyObject *close_full_screen(PyObject *self, PyObject *const *args);

} // namespace kq5316::device
