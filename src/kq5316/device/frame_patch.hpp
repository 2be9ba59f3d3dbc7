// Checking the per-call values an operation writes into a command constant, and writing them.
#pragma once

#include <Python.h>

#include <cstddef>

#include "kq5316/common/owned.hpp"
#include "kq5316/protocol/command_table.hpp"

namespace kq5316::device {

// Channel numbers are single bytes: ValueError for anything outside 0..255, checked before any
// constant is touched so that a refused call leaves the shared frames valid.
int channel_value(PyObject *ch, long *channel);

// Attenuation in mdB to 0.01 dB steps, truncated toward zero; ValueError when the step count
// does not fit the 16-bit field (-9..655359 mdB). Integers of any size are refused, not wrapped.
int attenuation_steps(PyObject *attenuation, long *steps);

// The class constant for `command`, reached through the instance as Python code would.
Owned command_constant(PyObject *self, protocol::Command command);

// `frame[index] = value` on a frame that must be a list; IndexError when the list is too short.
int patch_byte(PyObject *frame, std::size_t index, long value);

} // namespace kq5316::device
