// Checking the per-call values an operation writes into a command constant, writing them, and
// taking the copy of the patched constant that goes to the port.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>

#include "kq5316/common/owned.hpp"
#include "kq5316/protocol/command_table.hpp"

namespace kq5316::device {

struct BytePatch {
    std::size_t index;
    long value;
};

// What a call writes into its frame. A frame with no channel is sent exactly as stored, without
// recomputing its checksum.
struct FramePatch {
    long channel = -1;
    std::array<BytePatch, 2> parameters{};
    int parameter_count = 0;

    static FramePatch as_stored() { return {}; }
    static FramePatch for_channel(long channel) { return {channel, {}, 0}; }
    FramePatch &with(std::size_t index, long value) {
        parameters[parameter_count++] = {index, value};
        return *this;
    }
};

// Channel numbers are single bytes: ValueError for anything outside 0..255, checked before any
// constant is touched so that a refused call leaves the shared frames valid.
int channel_value(PyObject *ch, long *channel);

// Attenuation in mdB to 0.01 dB steps, truncated toward zero; ValueError when the step count
// does not fit the 16-bit field (-9..655359 mdB). Integers of any size are refused, not wrapped.
int attenuation_steps(PyObject *attenuation, long *steps);

// The frame to write for `command`: its class constant, reached through the instance as Python
// code would, patched in place with its checksum recomputed, then copied. The constant keeps the
// patched bytes, as callers have always seen; the port gets a list of its own. Patch and copy run
// with the GIL held and no Python code in between, so no other thread can change the constant
// meanwhile and no lock is needed; and a port whose write blocks, or calls back into the module,
// cannot disturb the frame it was given. A constant sent as stored is copied likewise, when it is
// a list.
Owned patched_copy(PyObject *self, protocol::Command command, const FramePatch &patch);

} // namespace kq5316::device
