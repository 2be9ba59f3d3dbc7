// The fixed demonstration the module runs when it is executed as the main program: one
// instrument on a fixed port, driven from open to close.
#pragma once

#include <Python.h>

namespace kq5316::binding {

// Runs the demonstration in the module's namespace; -1 with the exception set when a call fails.
int run_demonstration(PyObject *module);

} // namespace kq5316::binding
