#include "kq5316/common/python_code.hpp"

#include "kq5316/common/process_globals.hpp"

namespace kq5316 {

namespace {

// Runs the definition in a namespace of its own, so that the module's namespace keeps exactly the
// names it is documented to have, and takes the function out of it.
Owned compile_step(const PythonStep &step) {
    PyObject *module = initialised_module();
    if (!module) {
        PyErr_SetString(PyExc_RuntimeError, "the kq5316 module is not initialised");
        return {};
    }
    Owned code = Owned::steal(Py_CompileString(step.source, "<kq5316>", Py_file_input));
    Owned definitions = code ? Owned::steal(PyDict_New()) : Owned();
    if (!definitions ||
        !Owned::steal(PyEval_EvalCode(code.get(), PyModule_GetDict(module), definitions.get())))
        return {};
    PyObject *function = PyDict_GetItemString(definitions.get(), step.name);
    if (!function) {
        PyErr_Format(PyExc_SystemError, "kq5316: %s was not defined", step.name);
        return {};
    }
    return Owned::borrow(function);
}

} // namespace

Owned run_python_step(PythonStep &step, PyObject *const *args, std::size_t nargs) {
    if (!step.function) {
        // Compiling runs Python code, so another thread may have made the function meanwhile:
        // then that one is kept.
        Owned made = compile_step(step);
        if (!made)
            return {};
        if (!step.function)
            step.function = made.release();
    }
    return Owned::steal(PyObject_Vectorcall(step.function, args, nargs, nullptr));
}

} // namespace kq5316
