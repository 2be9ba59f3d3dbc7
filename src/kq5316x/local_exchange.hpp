// The exchange on a port's descriptor (a local serial device, or a TCP socket) as functions of
// kq5316x._protocol: the request written, the reply read, all with the interpreter's lock
// released once.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace kq5316x {

// Adds exchange_fd() and read_frame_fd() to `module` where local devices are file descriptors
// (POSIX); elsewhere adds nothing. Returns -1 with an exception set on failure.
int add_local_exchange(PyObject *module);

} // namespace kq5316x
