// One lock per port object, held from a command's write until its reply has been read, so that
// threads sharing one KQ5316 object (and so one port) take turns instead of reading each other's
// replies. Threads on different ports never wait for each other.
#pragma once

#include <Python.h>

namespace kq5316::link {

// Holds the lock of `port` from construction to destruction; a null port holds nothing. Waiting
// releases the GIL. Re-entrant for the thread that holds it, so a port object whose methods call
// back into the module on the same port does not deadlock. Must be used with the GIL held.
class PortLockGuard {
  public:
    explicit PortLockGuard(PyObject *port);
    ~PortLockGuard();
    PortLockGuard(const PortLockGuard &) = delete;
    PortLockGuard &operator=(const PortLockGuard &) = delete;

    // False when the lock could not be created (MemoryError is set).
    bool held() const { return port_ != nullptr; }

  private:
    PyObject *port_; // a strong reference while held
};

} // namespace kq5316::link
