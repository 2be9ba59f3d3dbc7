#include "kq5316/binding/module_definition.hpp"

#include "kq5316/binding/class_builder.hpp"
#include "kq5316/binding/demonstration.hpp"
#include "kq5316/binding/docstrings.hpp"
#include "kq5316/common/owned.hpp"
#include "kq5316/common/process_globals.hpp"

namespace kq5316::binding {

namespace {

// The interpreter that first imported the module; -1 until then. The module's class and
// constants are process-wide, so a second interpreter is refused rather than given objects that
// belong to another interpreter.
PY_INT64_T first_interpreter_id = -1;

int check_single_interpreter() {
    const PY_INT64_T current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1)
        return -1;
    if (first_interpreter_id == -1)
        first_interpreter_id = current;
    if (first_interpreter_id == current)
        return 0;
    PyErr_SetString(PyExc_ImportError, "Interpreter change detected - this module can only be "
                                       "loaded into one interpreter per process.");
    return -1;
}

PyObject *create_module(PyObject *spec, PyModuleDef *) {
    if (check_single_interpreter() < 0)
        return nullptr;
    if (PyObject *existing = initialised_module)
        return Py_NewRef(existing);
    Owned name = Owned::steal(PyObject_GetAttrString(spec, "name"));
    // The import system then sets `__file__`, `__loader__` and the like from the spec, as it does
    // for any module its loader creates.
    return name ? PyModule_NewObject(name.get()) : nullptr;
}

// Warns when the running interpreter is not the one the module is built for.
int check_host_version() {
    const int major = static_cast<int>(Py_Version >> 24);
    const int minor = static_cast<int>((Py_Version >> 16) & 0xFF);
    if (major == 3 && minor == 11)
        return 0;
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                            "compile time Python version %d.%d of module '%.100s' %s runtime "
                            "version %d.%d",
                            3, 11, module_name, "does not match", major, minor);
}

int import_dependencies(PyObject *module_dict) {
    for (const char *name : {"platform", "serial", "time", "subprocess"}) {
        Owned imported =
            Owned::steal(PyImport_ImportModuleLevel(name, module_dict, nullptr, nullptr, 0));
        if (!imported || PyDict_SetItemString(module_dict, name, imported.get()) < 0)
            return -1;
    }
    return 0;
}

bool is_main(PyObject *module_dict) {
    PyObject *name = PyDict_GetItemString(module_dict, "__name__");
    return name && PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, "__main__") == 0;
}

// The module body, run once per module object: builtins, version check, the dependencies in
// their import order, the class, the demonstration when run as the main program, `__test__`.
int run_module_body(PyObject *module) {
    PyObject *module_dict = PyModule_GetDict(module);
    // Imported as the dependencies are, straight from the import system.
    Owned builtins =
        Owned::steal(PyImport_ImportModuleLevel("builtins", nullptr, nullptr, nullptr, 0));
    if (!builtins || PyModule_AddObjectRef(module, "__builtins__", builtins.get()) < 0)
        return -1;
    if (check_host_version() < 0)
        return -1;
    if (run_as_main && PyModule_AddStringConstant(module, "__name__", "__main__") < 0)
        return -1;
    if (import_dependencies(module_dict) < 0)
        return -1;
    Owned cls = Owned::steal(build_class(module));
    if (!cls || PyDict_SetItemString(module_dict, class_name, cls.get()) < 0)
        return -1;
    if (is_main(module_dict) && (init_names() < 0 || run_demonstration(module) < 0))
        return -1;
    Owned test_dict = Owned::steal(PyDict_New());
    return test_dict ? PyModule_AddObjectRef(module, "__test__", test_dict.get()) : -1;
}

int exec_module(PyObject *module) {
    if (PyObject *existing = initialised_module) {
        if (existing == module)
            return 0;
        PyErr_SetString(PyExc_RuntimeError, "Module 'kq5316' has already been imported. "
                                            "Re-initialisation is not supported.");
        return -1;
    }
    // Recorded before the body runs, so that the methods' global look-ups see this module while
    // the demonstration runs; dropped again if the body fails, so a later import starts afresh.
    initialised_module = Py_NewRef(module);
    if (run_module_body(module) < 0) {
        Py_CLEAR(initialised_module);
        return -1;
    }
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void *>(create_module)},
    {Py_mod_exec, reinterpret_cast<void *>(exec_module)},
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT, module_name, docstrings::usage, 0,       nullptr,
    module_slots,          nullptr,     nullptr,           nullptr,
};

} // namespace

PyModuleDef &module_definition() {
    return definition;
}

} // namespace kq5316::binding
