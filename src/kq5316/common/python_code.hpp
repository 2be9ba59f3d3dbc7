// Steps of the module written as Python code, compiled on first use.
//
// Where a step is nothing but calls into Python (the port's methods, `time.sleep`), running it as
// Python code lets the interpreter make those calls the way it makes calls between Python
// functions, instead of being entered afresh from C for each one: that entry costs more than all
// the rest of an operation. The code performs exactly the lookups a reader sees in it, at each
// use, with the module's namespace as its globals.
#pragma once

#include <Python.h>

#include <cstddef>

namespace kq5316 {

struct PythonStep {
    const char *name; // the function the source defines
    // One function definition, as two texts joined when it is compiled, so that two steps can
    // share lines without repeating them.
    const char *source;
    const char *source_end;
    PyObject *function; // compiled on first use and kept for the life of the process, or null
};

// The step's function (a borrowed reference), compiling it first if need be; null with an
// exception set when that fails. Needs the initialised module.
PyObject *compile_python_step(PythonStep &step);
inline PyObject *python_step(PythonStep &step) {
    return step.function ? step.function : compile_python_step(step);
}

// Runs a step's function with positional arguments. It is always a plain Python function, so it is
// entered directly: the generic call would look up how to call it and check its result each time,
// a visible share of the shorter operations.
inline PyObject *run_python_step(PyObject *function, PyObject *const *args, std::size_t nargs) {
    return _PyFunction_Vectorcall(function, args, nargs, nullptr);
}

} // namespace kq5316
