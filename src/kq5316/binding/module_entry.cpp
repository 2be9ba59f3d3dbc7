// The extension module's entry point: hands the definition to multi-phase initialisation.
#include <Python.h>

#include "kq5316/binding/module_definition.hpp"

PyMODINIT_FUNC PyInit_kq5316(void) {
    return PyModuleDef_Init(&kq5316::binding::module_definition());
}
