// Small helpers for calling into Python the way the equivalent Python code would.
#pragma once

#include <Python.h>

#include "kq5316/common/owned.hpp"

namespace kq5316 {

// Looks `name` up as Python code in the module would: the module's namespace first, then the
// builtins. Raises NameError when neither has it. Done at each use, so rebinding a module
// global (for instance `serial` or `time`) takes effect at the next call.
Owned module_global(PyObject *name);
Owned module_global(const char *name);

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
