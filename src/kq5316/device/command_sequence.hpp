// The sequence every device operation shares: write the per-call bytes into the command
// constant, recompute its checksum, and perform one command exchange with a copy of it.
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

// Under the port's lock, patches the constant and sends a copy of it; returns what the reply read
// returned (bytes or None), or null with an exception set. Values are range-checked by the caller
// before this is called.
Owned send_command(PyObject *self, protocol::Command command, const FramePatch &patch);

class ReplyBytes;

// Sends the patched constant and views the reply in `reply`; -1 with an exception set on error.
int send_for_reply(PyObject *self, protocol::Command command, const FramePatch &patch,
                   ReplyBytes &reply);

// Sends a command and reports whether a delimited reply came back: a new reference to True or
// False, or null.
PyObject *send_and_acknowledge(PyObject *self, protocol::Command command, const FramePatch &patch);

} // namespace kq5316::device
