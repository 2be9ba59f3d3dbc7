// The module's only lock: one per port object, held from a command's write until its reply has
// been read, so that threads sharing one KQ5316 object (and so one port) take turns instead of
// reading each other's replies. Threads on different ports never wait for each other, and no
// other lock of the module exists, so there is no lock order to keep.
#pragma once

#include <Python.h>

namespace kq5316::link {

struct PortSlot;

// Holds the lock of one port until destruction. Used with the GIL held.
class PortLock {
  public:
    PortLock() = default;
    ~PortLock();
    PortLock(const PortLock &) = delete;
    PortLock &operator=(const PortLock &) = delete;

    // Takes the lock of `port`; a null port takes nothing. Re-entrant for the thread that holds
    // it, so a port object whose methods call back into the module on the same port does not
    // deadlock. Waiting releases the GIL and, like threading.Lock, runs signal handlers: returns
    // -1 with their exception set (KeyboardInterrupt, say), holding nothing; -1 with MemoryError
    // when no lock could be made.
    int acquire(PyObject *port);

  private:
    PortSlot *slot_ = nullptr;
    PyObject *port_ = nullptr; // a strong reference while held, so the port's address stays its own
};

} // namespace kq5316::link
