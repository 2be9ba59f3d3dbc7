#include "kq5316/common/python_calls.hpp"

#include "kq5316/common/process_globals.hpp"

namespace kq5316 {

Owned module_global(PyObject *name) {
    PyObject *module = initialised_module;
    if (module) {
        PyObject *value = PyDict_GetItemWithError(PyModule_GetDict(module), name);
        if (value || PyErr_Occurred())
            return Owned::borrow(value);
    }
    PyObject *value = PyDict_GetItemWithError(PyEval_GetBuiltins(), name);
    if (!value && !PyErr_Occurred())
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return Owned::borrow(value);
}

Owned module_global(const char *name) {
    Owned key = Owned::steal(PyUnicode_FromString(name));
    return key ? module_global(key.get()) : Owned();
}

Owned call_method(PyObject *object, PyObject *name) {
    return Owned::steal(PyObject_CallMethodNoArgs(object, name));
}

Owned call_method(PyObject *object, PyObject *name, PyObject *arg) {
    return Owned::steal(PyObject_CallMethodOneArg(object, name, arg));
}

Owned fetch_error() {
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback && value)
        PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return Owned::steal(value);
}

void restore_error(Owned error) {
    PyObject *value = error.release();
    if (!value)
        return;
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject *>(Py_TYPE(value))), value,
                  PyException_GetTraceback(value));
}

int print_line(PyObject *text) {
    Owned print = module_global("print");
    Owned result = print ? Owned::steal(PyObject_CallOneArg(print.get(), text)) : Owned();
    return result ? 0 : -1;
}

int print_line(const char *text) {
    Owned line = Owned::steal(PyUnicode_FromString(text));
    return line ? print_line(line.get()) : -1;
}

} // namespace kq5316
