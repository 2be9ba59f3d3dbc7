// The module's only lock: one per KQ5316 object, held from a command's write until its reply has
// been read, and by close(), so that threads sharing one object (and so its port) take turns
// instead of reading each other's replies or closing the port under an exchange. Threads on
// different objects never wait for each other, and no other lock of the module exists, so there
// is no lock order to keep.
#pragma once

#include <Python.h>

#include "kq5316/common/owned.hpp"

namespace kq5316::link {

// Holds the lock of one KQ5316 object until destruction. Used with the GIL held.
class InstrumentLock {
  public:
    InstrumentLock() = default;
    ~InstrumentLock();
    InstrumentLock(const InstrumentLock &) = delete;
    InstrumentLock &operator=(const InstrumentLock &) = delete;

    // Takes the lock of `instrument`, a `threading.RLock`: re-entrant, so a port whose methods
    // call back into the module on the same object does not deadlock; waiting releases the GIL
    // and gives way to Ctrl-C. Returns -1 with the exception set (KeyboardInterrupt, say),
    // holding nothing.
    int acquire(PyObject *instrument);

  private:
    Owned lock_; // the RLock while held
};

} // namespace kq5316::link
