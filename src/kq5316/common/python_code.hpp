// Steps of the module written as Python code, compiled on first use.
//
// Where a step is nothing but calls into Python (the port's methods, `time.sleep`), running it as
// Python code lets the interpreter make those calls the way it makes calls between Python
// functions, instead of being entered afresh from C for each one: that entry costs more than all
// the rest of an operation. The code performs exactly the lookups a reader sees in it, at each
// use, with the module's namespace as its globals.
#pragma once

#include <Python.h>

namespace kq5316 {

struct PythonStep {
    const char *name;   // the function the source defines
    const char *source; // one function definition
    PyObject *function; // compiled on first use and kept for the life of the process, or null
};

// The step's function (a borrowed reference), compiling it first if need be; null with an
// exception set when that fails. Needs the initialised module.
PyObject *compile_python_step(PythonStep &step);
inline PyObject *python_step(PythonStep &step) {
    return step.function ? step.function : compile_python_step(step);
}

} // namespace kq5316
