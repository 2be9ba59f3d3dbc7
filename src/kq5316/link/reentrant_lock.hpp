// A lock that the thread holding it may take again, and whose waiting releases the GIL so that a
// holder needing the GIL can always go on. Used with the GIL held; the owner and depth change
// only then, so reading them with the GIL held is safe.
#pragma once

#include <Python.h>
#include <pythread.h>

namespace kq5316::link {

class ReentrantLock {
  public:
    ReentrantLock() = default;
    ~ReentrantLock();
    ReentrantLock(const ReentrantLock &) = delete;
    ReentrantLock &operator=(const ReentrantLock &) = delete;

    // Allocates the underlying lock once; -1 with MemoryError set on failure.
    int create();
    void acquire();
    void release();

  private:
    PyThread_type_lock lock_ = nullptr;
    unsigned long owner_ = 0;
    int depth_ = 0;
};

} // namespace kq5316::link
