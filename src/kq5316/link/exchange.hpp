// The command exchange: write one frame to the open port, pause, read the bytes waiting.
#pragma once

#include <Python.h>

#include "kq5316/common/owned.hpp"

namespace kq5316::link {

// `self.ser.write(frame)`, `time.sleep(0.2)` and `self._KQ5316__read()`. Returns the reply read
// (bytes or None), or null with an exception set.
Owned exchange(PyObject *self, PyObject *frame);

// Method bodies: the reply read (`__read`) and `__write_and_read`, which takes part in no
// exchange and only checks its argument.
PyObject *read_reply(PyObject *self, PyObject *const *args);
PyObject *write_and_read(PyObject *self, PyObject *const *args);

} // namespace kq5316::link
