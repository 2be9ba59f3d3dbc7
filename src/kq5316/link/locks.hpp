// The module's only lock: one per KQ5316 object, held from a command's write until its reply has
// been read, so that threads sharing one object (and so its port) take turns instead of reading
// each other's replies. Threads on different objects never wait for each other, and no other lock
// of the module exists, so there is no lock order to keep.
#pragma once

#include <Python.h>

namespace kq5316::link {

struct LockSlot;

// Holds the lock of one KQ5316 object until destruction. Used with the GIL held.
class InstrumentLock {
  public:
    InstrumentLock() = default;
    ~InstrumentLock();
    InstrumentLock(const InstrumentLock &) = delete;
    InstrumentLock &operator=(const InstrumentLock &) = delete;

    // Takes the lock of `instrument`. Re-entrant for the thread that holds it, so a port whose
    // methods call back into the module on the same object does not deadlock. Waiting releases
    // the GIL and, like threading.Lock, runs signal handlers: returns -1 with their exception set
    // (KeyboardInterrupt, say), holding nothing; -1 with MemoryError when no lock could be made.
    int acquire(PyObject *instrument);

  private:
    LockSlot *slot_ = nullptr;
    // A strong reference while held, so the object's address stays its own.
    PyObject *instrument_ = nullptr;
};

} // namespace kq5316::link
