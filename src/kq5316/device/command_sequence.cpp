#include "kq5316/device/command_sequence.hpp"

#include "kq5316/common/module_state.hpp"
#include "kq5316/device/checksum_methods.hpp"
#include "kq5316/device/frame_patch.hpp"
#include "kq5316/device/reply.hpp"
#include "kq5316/link/exchange.hpp"
#include "kq5316/link/port_lock.hpp"
#include "kq5316/protocol/frame.hpp"

namespace kq5316::device {

namespace {

int apply_patch(PyObject *frame, const FramePatch &patch) {
    for (int i = 0; i < patch.parameter_count; ++i) {
        if (patch_byte(frame, patch.parameters[i].index, patch.parameters[i].value) < 0)
            return -1;
    }
    if (patch_byte(frame, protocol::channel_index, patch.channel) < 0)
        return -1;
    return store_checksum(frame);
}

// The port the exchange will use, for its lock. When the object has no port yet, nothing is
// locked and the write reports the missing attribute, after the frame has been patched.
Owned port_for_lock(PyObject *self) {
    Owned port = Owned::steal(PyObject_GetAttr(self, names().ser));
    if (!port)
        PyErr_Clear();
    return port;
}

} // namespace

Owned send_command(PyObject *self, protocol::Command command, const FramePatch &patch) {
    Owned port = port_for_lock(self);
    link::PortLockGuard port_guard(port.get());
    if (port && !port_guard.held())
        return {};
    link::FrameLockGuard guard;
    Owned frame = command_constant(self, command);
    if (!frame)
        return {};
    if (patch.channel >= 0 && apply_patch(frame.get(), patch) < 0)
        return {};
    return link::exchange(self, frame.get(), guard);
}

int send_for_reply(PyObject *self, protocol::Command command, const FramePatch &patch,
                   ReplyBytes &reply) {
    Owned read = send_command(self, command, patch);
    return read ? reply.load(read.get()) : -1;
}

PyObject *send_and_acknowledge(PyObject *self, protocol::Command command, const FramePatch &patch) {
    ReplyBytes reply;
    if (send_for_reply(self, command, patch, reply) < 0)
        return nullptr;
    return PyBool_FromLong(reply.delimited());
}

} // namespace kq5316::device
