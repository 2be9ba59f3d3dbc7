#include "kq5316/device/command_sequence.hpp"

#include "kq5316/common/process_globals.hpp"
#include "kq5316/device/frame_patch.hpp"
#include "kq5316/device/reply.hpp"
#include "kq5316/link/exchange.hpp"
#include "kq5316/link/locks.hpp"

namespace kq5316::device {

// The object's lock is the only lock the module has: nothing else is held while a thread waits
// for it, and nothing else is taken while it is held (a port that calls back into the module on
// the same object re-enters it).
int send_for_reply(PyObject *self, protocol::Command command, const FramePatch &patch,
                   ReplyBytes &reply) {
    link::InstrumentLock lock;
    if (lock.acquire(self) < 0)
        return -1;
    Owned frame = patched_copy(self, command, patch);
    if (!frame)
        return -1;
    Owned read = link::exchange(self, frame.get());
    return read ? reply.load(read.get()) : -1;
}

PyObject *send_and_acknowledge(PyObject *self, protocol::Command command, const FramePatch &patch) {
    ReplyBytes reply;
    if (send_for_reply(self, command, patch, reply) < 0)
        return nullptr;
    return PyBool_FromLong(reply.delimited());
}

} // namespace kq5316::device
