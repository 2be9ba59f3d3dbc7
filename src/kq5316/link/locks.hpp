// The module's only lock: one per KQ5316 object, held from a command's write until its reply has
// been read, and by close(), so that threads sharing one object (and so its port) take turns
// instead of reading each other's replies or closing the port under an exchange. Threads on
// different objects never wait for each other, and no other lock of the module exists, so there
// is no lock order to keep.
#pragma once

#include <Python.h>
#include <pythread.h>

namespace kq5316::link {

// A re-entrant lock made of the interpreter's own lock primitive, as `_thread.RLock` is: the
// owning thread and its depth of nesting, read and written only with the GIL held.
struct ReentrantLock {
    PyThread_type_lock lock = nullptr;
    unsigned long owner = 0;
    unsigned long depth = 0;
};

// Holds the lock of one KQ5316 object until destruction. Used with the GIL held.
class InstrumentLock {
  public:
    InstrumentLock() = default;
    ~InstrumentLock();
    InstrumentLock(const InstrumentLock &) = delete;
    InstrumentLock &operator=(const InstrumentLock &) = delete;

    // Takes the lock of `instrument`, re-entrant, so a port whose methods call back into the
    // module on the same object does not deadlock. Waiting releases the GIL and gives way to
    // signal handlers as threading.Lock does: returns -1 with their exception set
    // (KeyboardInterrupt, say), holding nothing.
    int acquire(PyObject *instrument);

  private:
    PyObject *instrument_ = nullptr; // a strong reference while held
    ReentrantLock *held_ = nullptr;
    ReentrantLock own_; // the call's own lock, for an object that keeps no entry
};

} // namespace kq5316::link
