#include "kq5316/link/frame_lock.hpp"

#include <pythread.h>

namespace kq5316::link {

namespace {

// The lock itself, the thread that holds it and how often that thread has taken it. `owner` and
// `depth` change only with the GIL held, so reading them with the GIL held is safe.
PyThread_type_lock frame_lock = nullptr;
unsigned long owner = 0;
int depth = 0;

} // namespace

int init_frame_lock() {
    if (frame_lock)
        return 0;
    frame_lock = PyThread_allocate_lock();
    if (!frame_lock) {
        PyErr_NoMemory();
        return -1;
    }
    return 0;
}

FrameLockGuard::FrameLockGuard() : held_(true) {
    const unsigned long me = PyThread_get_thread_ident();
    if (depth > 0 && owner == me) {
        ++depth;
        return;
    }
    if (!PyThread_acquire_lock(frame_lock, NOWAIT_LOCK)) {
        Py_BEGIN_ALLOW_THREADS PyThread_acquire_lock(frame_lock, WAIT_LOCK);
        Py_END_ALLOW_THREADS
    }
    owner = me;
    depth = 1;
}

void FrameLockGuard::release() {
    if (!held_)
        return;
    held_ = false;
    if (--depth > 0)
        return;
    owner = 0;
    PyThread_release_lock(frame_lock);
}

} // namespace kq5316::link
