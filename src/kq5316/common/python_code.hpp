// Steps of the module written as Python code, compiled on first use.
//
// The command exchange is nothing but calls into Python: the port's methods, `time.sleep` and the
// object's reply read. Written as Python code, it performs exactly the lookups a reader sees in
// it, at each use, with the module's namespace as its globals, and the interpreter makes those
// calls as it makes calls between Python functions (bench/README.md gives the measurements).
#pragma once

#include <Python.h>

#include "kq5316/common/owned.hpp"

namespace kq5316 {

struct PythonStep {
    const char *name;   // the function the source defines
    const char *source; // one function definition
    PyObject *function; // process global: compiled on first use and kept, or null
};

// `step(*args)`, compiling the step first if need be; null with an exception set on failure.
// Needs the initialised module.
Owned run_python_step(PythonStep &step, PyObject *const *args, std::size_t nargs);

} // namespace kq5316
