#include "kq5316/link/reentrant_lock.hpp"

namespace kq5316::link {

ReentrantLock::~ReentrantLock() {
    if (lock_)
        PyThread_free_lock(lock_);
}

int ReentrantLock::create() {
    if (lock_)
        return 0;
    lock_ = PyThread_allocate_lock();
    if (!lock_) {
        PyErr_NoMemory();
        return -1;
    }
    return 0;
}

void ReentrantLock::acquire() {
    const unsigned long me = PyThread_get_thread_ident();
    if (depth_ > 0 && owner_ == me) {
        ++depth_;
        return;
    }
    if (!PyThread_acquire_lock(lock_, NOWAIT_LOCK)) {
        PyThreadState *state = PyEval_SaveThread();
        PyThread_acquire_lock(lock_, WAIT_LOCK);
        PyEval_RestoreThread(state);
    }
    owner_ = me;
    depth_ = 1;
}

void ReentrantLock::release() {
    if (--depth_ > 0)
        return;
    owner_ = 0;
    PyThread_release_lock(lock_);
}

} // namespace kq5316::link
