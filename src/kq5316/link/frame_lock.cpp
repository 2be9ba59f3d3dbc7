#include "kq5316/link/frame_lock.hpp"

#include "kq5316/link/reentrant_lock.hpp"

namespace kq5316::link {

namespace {

// Created when the module first executes and kept for the life of the process, like the
// constants it guards.
ReentrantLock frame_lock;

} // namespace

int init_frame_lock() {
    return frame_lock.create();
}

FrameLockGuard::FrameLockGuard() : held_(true) {
    frame_lock.acquire();
}

void FrameLockGuard::release() {
    if (!held_)
        return;
    held_ = false;
    frame_lock.release();
}

} // namespace kq5316::link
