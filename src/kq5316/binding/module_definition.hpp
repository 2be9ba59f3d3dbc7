// The module definition for multi-phase initialisation: a create step and an execute step.
#pragma once

#include <Python.h>

namespace kq5316::binding {

PyModuleDef &module_definition();

} // namespace kq5316::binding
