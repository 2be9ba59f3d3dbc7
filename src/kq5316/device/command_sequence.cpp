#include "kq5316/device/command_sequence.hpp"

#include "kq5316/common/module_state.hpp"
#include "kq5316/device/checksum_methods.hpp"
#include "kq5316/device/frame_copies.hpp"
#include "kq5316/device/frame_patch.hpp"
#include "kq5316/device/reply.hpp"
#include "kq5316/link/exchange.hpp"
#include "kq5316/link/locks.hpp"
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

// The frame to write: the class's constant, patched in place and its checksum recomputed, then
// copied, all with the GIL held and no Python code run in between, so no other thread can change
// the constant meanwhile and no lock is needed. The constant keeps the patched bytes, as callers
// have always seen; the port gets a list of its own, which a port whose write calls back into the
// module, or a write that blocks, cannot disturb. A frame sent as stored is copied likewise, when
// it is a list.
Owned frame_to_send(PyObject *self, protocol::Command command, const FramePatch &patch) {
    Owned constant = command_constant(self, command);
    if (!constant)
        return {};
    if (patch.channel >= 0 && apply_patch(constant.get(), patch) < 0)
        return {};
    if (!PyList_Check(constant.get()))
        return constant;
    return frame_copy(constant.get(), command);
}

// `self.ser`, looked up once for both the port's lock and the write. When the object has no port
// yet, nothing is locked and the write reports the missing attribute, after the frame has been
// patched.
Owned port_for_lock(PyObject *self) {
    Owned port = Owned::steal(PyObject_GetAttr(self, names().ser));
    if (!port)
        PyErr_Clear();
    return port;
}

} // namespace

Owned send_command(PyObject *self, protocol::Command command, const FramePatch &patch) {
    Owned port = port_for_lock(self);
    link::PortLock port_lock;
    if (port_lock.acquire(port.get()) < 0)
        return {};
    Owned frame = frame_to_send(self, command, patch);
    if (!frame)
        return {};
    return link::exchange(self, port.get(), frame.get());
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
