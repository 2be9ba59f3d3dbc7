// The copies of the command constants that the port's write receives.
#pragma once

#include <Python.h>

#include "kq5316/common/owned.hpp"
#include "kq5316/protocol/command_table.hpp"

namespace kq5316::device {

// A list with the items of `constant` (a list) as they are now, for the port's write. Must be
// called with the GIL held and runs no Python code.
Owned frame_copy(PyObject *constant, protocol::Command command);

} // namespace kq5316::device
