// One row of the class's method table: everything the function type needs to present a method to
// Python (name, parameters, annotations, default, docstring) and the C++ body that runs once the
// arguments are bound.
#pragma once

#include <Python.h>

#include <array>

namespace kq5316::binding {

// The exact type an annotated parameter accepts; its annotation is the type's name (`tp_name`).
enum class ArgType { str_type, list_type, bytes_type, int_type };

PyTypeObject *python_type_of(ArgType type);

struct Parameter {
    const char *name;
    ArgType type;
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

} // namespace kq5316::binding
