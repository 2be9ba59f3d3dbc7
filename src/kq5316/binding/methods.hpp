// The class's methods as Python sees them. Each is a row of the method table: everything the
// function type needs to present it (name, parameters, annotations, default, docstring) and the
// C++ body that runs once the arguments are bound.
#pragma once

#include <Python.h>

#include <array>
#include <span>

namespace kq5316::binding {

// A parameter after self. It accepts exactly `type` (no subclass), and its annotation is the
// type's name (`tp_name`).
struct Parameter {
    const char *name;
    PyTypeObject *type;
};

// Receives `self` and the bound arguments, in parameter order, already checked.
using MethodBody = PyObject *(*)(PyObject *self, PyObject *const *args);

inline constexpr int max_parameters = 2;

struct MethodRow {
    // As written in the class, e.g. "__check_crc"; the class stores private names mangled.
    const char *name;
    std::array<Parameter, max_parameters> parameters;
    int parameter_count; // after self
    // When true, the last parameter is `ch` with the default 1.
    bool has_channel_default;
    const char *return_annotation; // null: no return annotation
    const char *doc;               // null: no docstring
    MethodBody body;
};

// Parameter names with self first, as the arguments are counted.
inline const char *parameter_name(const MethodRow &row, Py_ssize_t index) {
    return index == 0 ? "self" : row.parameters[index - 1].name;
}

// The class's methods, in the order the class defines them.
std::span<const MethodRow> method_table();

// Binds a vectorcall's arguments against a method's parameters: every parameter by position or
// keyword, the default of `ch`, and exact types. On success `bound` (room for self and every
// parameter) holds borrowed references to self and each argument, in parameter order; -1 with
// TypeError set when the call does not fit the method.
inline constexpr int max_bound = max_parameters + 1;
int bind_arguments(const MethodRow &row, PyObject *const *args, Py_ssize_t positional_count,
                   PyObject *kwnames, PyObject **bound);

// The method for `row`, "KQ5316.<name>" with globals `module_dict`, or null with an exception
// set. Its type behaves like a Python function's: it binds to instances as a descriptor, is
// called through vectorcall, and carries the attributes that `inspect` and `help` read
// (`__code__`, `__defaults__`, string `__annotations__`, `__doc__`, ...).
PyObject *new_function(const MethodRow &row, PyObject *module_name, PyObject *module_dict);

} // namespace kq5316::binding
