#include "kq5316/device/command_sequence.hpp"

#include "kq5316/common/module_state.hpp"
#include "kq5316/device/frame_patch.hpp"
#include "kq5316/device/reply.hpp"
#include "kq5316/link/exchange.hpp"
#include "kq5316/link/locks.hpp"

namespace kq5316::device {

namespace {

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

// The port's lock is the only lock the module has: nothing else is held while a thread waits for
// it, and nothing else is taken while it is held (a port that calls back into the module on the
// same port re-enters it).
int send_for_reply(PyObject *self, protocol::Command command, const FramePatch &patch,
                   ReplyBytes &reply) {
    Owned port = port_for_lock(self);
    link::PortLock port_lock;
    if (port_lock.acquire(port.get()) < 0)
        return -1;
    Owned frame = patched_copy(self, command, patch);
    if (!frame)
        return -1;
    Owned read = link::exchange(self, port.get(), frame.get());
    return read ? reply.load(read.get()) : -1;
}

PyObject *send_and_acknowledge(PyObject *self, protocol::Command command, const FramePatch &patch) {
    ReplyBytes reply;
    if (send_for_reply(self, command, patch, reply) < 0)
        return nullptr;
    return PyBool_FromLong(reply.delimited());
}

} // namespace kq5316::device
