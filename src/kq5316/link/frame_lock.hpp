// The class-wide lock that guards the shared command constants from the first patch of a frame
// to the end of its write. Threads driving different instruments therefore never interleave
// their patches, while their pauses still overlap because the lock is not held across them.
#pragma once

#include <Python.h>

namespace kq5316::link {

// Allocates the lock once; -1 with MemoryError set on failure.
int init_frame_lock();

// Holds the lock from construction until release() or destruction. Re-entrant for the thread
// that holds it, so a port object whose write calls back into the module does not deadlock.
// Waiting for the lock releases the GIL, so a thread holding the lock that needs the GIL can
// always go on. Must be used with the GIL held.
class FrameLockGuard {
  public:
    FrameLockGuard();
    ~FrameLockGuard() { release(); }
    FrameLockGuard(const FrameLockGuard &) = delete;
    FrameLockGuard &operator=(const FrameLockGuard &) = delete;

    void release();

  private:
    bool held_;
};

} // namespace kq5316::link
