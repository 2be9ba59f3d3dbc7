// Binds a vectorcall's arguments against a method's parameters the way users of the class know
// it: every parameter by position or keyword, the default of `ch`, and exact types. On success
// `bound` holds borrowed references to self and each argument, in parameter order.
#pragma once

#include <Python.h>

#include "kq5316/binding/method_row.hpp"

namespace kq5316::binding {

// Room for self plus every parameter.
inline constexpr int max_bound = max_parameters + 1;

// Returns -1 with TypeError set when the call does not fit the method.
int bind_arguments(const MethodRow &row, PyObject *const *args, Py_ssize_t positional_count,
                   PyObject *kwnames, PyObject **bound);

} // namespace kq5316::binding
