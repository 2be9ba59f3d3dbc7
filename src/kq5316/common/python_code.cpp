#include "kq5316/common/python_code.hpp"

#include "kq5316/common/module_state.hpp"
#include "kq5316/common/owned.hpp"

namespace kq5316 {

namespace {

// Runs the definition in a namespace of its own, so that the module's namespace keeps exactly the
// names it is documented to have, and takes the function out of it.
PyObject *compile_step(const PythonStep &step) {
    PyObject *module = initialised_module();
    if (!module) {
        PyErr_SetString(PyExc_RuntimeError, "the kq5316 module is not initialised");
        return nullptr;
    }
    Owned source = Owned::steal(PyUnicode_FromFormat("%s%s", step.source, step.source_end));
    const char *text = source ? PyUnicode_AsUTF8(source.get()) : nullptr;
    if (!text)
        return nullptr;
    Owned code = Owned::steal(Py_CompileString(text, "<kq5316>", Py_file_input));
    Owned definitions = code ? Owned::steal(PyDict_New()) : Owned();
    if (!definitions)
        return nullptr;
    Owned ran =
        Owned::steal(PyEval_EvalCode(code.get(), PyModule_GetDict(module), definitions.get()));
    if (!ran)
        return nullptr;
    PyObject *function = PyDict_GetItemString(definitions.get(), step.name);
    if (!function || !PyFunction_Check(function)) {
        PyErr_Format(PyExc_SystemError, "kq5316: %s was not defined", step.name);
        return nullptr;
    }
    return Py_NewRef(function);
}

} // namespace

PyObject *compile_python_step(PythonStep &step) {
    // Compiling runs Python code, so another thread may have made the function meanwhile: then
    // that one is kept and this one dropped.
    PyObject *made = compile_step(step);
    if (!made)
        return nullptr;
    if (step.function)
        Py_DECREF(made);
    else
        step.function = made;
    return step.function;
}

} // namespace kq5316
