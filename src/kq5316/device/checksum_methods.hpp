// The checksum over a frame held as a Python list, with the semantics of plain Python integer
// arithmetic on whatever the list holds, and the two methods that expose it.
#pragma once

#include <Python.h>

namespace kq5316::device {

// Stores the checksum of `frame` (a list) at its second-to-last position; -1 on error, with
// nothing stored.
int store_checksum(PyObject *frame);

PyObject *cal_crc(PyObject *self, PyObject *const *args);
PyObject *check_crc(PyObject *self, PyObject *const *args);

} // namespace kq5316::device
