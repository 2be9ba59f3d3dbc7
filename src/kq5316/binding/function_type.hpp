// The function type of the class's methods. Each object wraps one row of the method table and
// behaves like a Python function: it binds to instances as a descriptor, is called through
// vectorcall, and carries the attributes that `inspect` and `help` read (`__code__`,
// `__defaults__`, string `__annotations__`, `__doc__`, ...).
#pragma once

#include <Python.h>

#include "kq5316/binding/method_row.hpp"

namespace kq5316::binding {

// Readies the type; idempotent. Returns -1 with an exception set on failure.
int ready_function_type();

// A new function object for `row`, whose qualified name is "KQ5316.<name>" and whose globals
// are `module_dict`.
PyObject *new_function(const MethodRow &row, PyObject *module_name, PyObject *module_dict);

} // namespace kq5316::binding
