// The sequence every device operation shares: under the object's lock, write the per-call bytes
// into the command constant, recompute its checksum, and perform one command exchange with a copy
// of it.
#pragma once

#include <Python.h>

#include "kq5316/device/frame_patch.hpp"
#include "kq5316/protocol/command_table.hpp"

namespace kq5316::device {

class ReplyBytes;

// Sends the patched constant and views what the reply read returned in `reply`; -1 with an
// exception set on error. Values are range-checked by the caller before this is called.
int send_for_reply(PyObject *self, protocol::Command command, const FramePatch &patch,
                   ReplyBytes &reply);

// Sends a command and reports whether a delimited reply came back: a new reference to True or
// False, or null.
PyObject *send_and_acknowledge(PyObject *self, protocol::Command command, const FramePatch &patch);

} // namespace kq5316::device
