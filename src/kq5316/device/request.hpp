// The frame a device operation sends: its values checked against their ranges, written into a
// copy of the class's command constant with the checksum recomputed, and stored back. Also
// the checksum over a frame held as a Python list, with the two methods that expose it.
#pragma once

#include <Python.h>

#include "kq5316/common/owned.hpp"
#include "protocol/commands.hpp"

namespace kq5316::device {

// Channel numbers are single bytes: ValueError for anything outside 0..255, checked before any
// constant is touched so that a refused call leaves the shared frames valid.
int channel_value(PyObject *ch, long *channel);

// Attenuation in mdB to 0.01 dB steps, truncated toward zero; ValueError when the step count
// does not fit the 16-bit field (-9..655359 mdB). Integers of any size are refused, not wrapped.
int attenuation_steps(PyObject *attenuation, long *steps);

// The frame to write for `command`: a copy of its class constant, reached through the instance
// as Python code would. For a command that addresses a channel the copy is patched (the value's
// bytes, then `channel`) and its checksum recomputed; only then does the constant take the
// copy's contents, in one slice assignment, keeping the patched bytes as callers have always
// seen. Python code run by the checksum (an item's `__add__`) or by a port's write can change the
// constant but not the frame sent; a call that fails leaves the constant as it was. `channel`
// and `value` must be in range.
Owned request_frame(PyObject *self, protocol::Command command, long channel, long value = 0);

// Method bodies `__cal_crc` and `__check_crc`: the checksum with the semantics of plain Python
// integer arithmetic on whatever the list holds.
PyObject *cal_crc(PyObject *self, PyObject *const *args);
PyObject *check_crc(PyObject *self, PyObject *const *args);

} // namespace kq5316::device
