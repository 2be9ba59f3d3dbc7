// Builds the class KQ5316 the way a class statement would: a namespace filled in order, then a
// call to `type`.
#pragma once

#include <Python.h>

namespace kq5316::binding {

// A new reference to the class, or null with an exception set.
PyObject *build_class(PyObject *module);

} // namespace kq5316::binding
