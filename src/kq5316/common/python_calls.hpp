// Small helpers for calling into Python the way the equivalent Python code would.
#pragma once

#include <Python.h>

#include "kq5316/common/owned.hpp"

namespace kq5316 {

// Looks `name` up as Python code in the module would: the module's namespace first, then the
// builtins. Raises NameError when neither has it. Done at each use, so rebinding a module
// global (for instance `serial` or `time`) takes effect at the next call.
Owned module_global(PyObject *name);

// `object.name`, as an attribute reference in Python code gives it. Found the way the interpreter
// looks up a method, which skips the layers of the generic lookup around the same search (a
// visible share of the shortest operations); a function found on the class comes back bound, as
// the attribute reference would give it. Inline: every operation looks up its command this way.
inline Owned attribute(PyObject *object, PyObject *name) {
    PyObject *found = nullptr;
    if (_PyObject_GetMethod(object, name, &found) != 1)
        return Owned::steal(found);
    Owned unbound = Owned::steal(found);
    PyObject *type = reinterpret_cast<PyObject *>(Py_TYPE(object));
    return Owned::steal(Py_TYPE(found)->tp_descr_get(found, object, type));
}

// `object.name()`, `object.name(arg)`.
Owned call_method(PyObject *object, PyObject *name);
Owned call_method(PyObject *object, PyObject *name, PyObject *arg);

// Takes the raised exception out of the error indicator, normalised and with its traceback
// attached; restore_error puts it back.
Owned fetch_error();
void restore_error(Owned error);

// `print(text)` with the print that module code would find.
int print_line(PyObject *text);
int print_line(const char *text);

} // namespace kq5316
