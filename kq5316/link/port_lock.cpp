#include "kq5316/link/port_lock.hpp"

#include <pythread.h>

#include <vector>

namespace kq5316::link {

namespace {

struct PortLock {
    PyObject *port = nullptr; // null: a free slot whose lock waits to be reused
    PyThread_type_lock lock = nullptr;
    unsigned long owner = 0;
    int depth = 0;
    int users = 0; // threads holding or waiting; the slot is freed when the last one leaves
};

// One slot per port that some thread holds or waits for. Each of those threads keeps a reference
// to its port, so a port's address cannot be reused while its slot is taken. Slots and their
// locks are kept once made, so steady use allocates nothing; there are only ever as many as
// ports in use at the same moment. Changed only with the GIL held.
std::vector<PortLock> slots;

PortLock *find(PyObject *port) {
    for (PortLock &slot : slots) {
        if (slot.port == port)
            return &slot;
    }
    return nullptr;
}

PortLock *take_free_slot(PyObject *port) {
    PortLock *slot = find(nullptr);
    if (!slot) {
        PyThread_type_lock lock = PyThread_allocate_lock();
        if (!lock) {
            PyErr_NoMemory();
            return nullptr;
        }
        slots.push_back({nullptr, lock, 0, 0, 0});
        slot = &slots.back();
    }
    slot->port = port;
    return slot;
}

} // namespace

PortLockGuard::PortLockGuard(PyObject *port) : port_(nullptr) {
    if (!port)
        return;
    const unsigned long me = PyThread_get_thread_ident();
    PortLock *slot = find(port);
    if (!slot && !(slot = take_free_slot(port)))
        return;
    ++slot->users;
    port_ = Py_NewRef(port);
    if (slot->depth > 0 && slot->owner == me) {
        ++slot->depth;
        return;
    }
    PyThread_type_lock lock = slot->lock;
    if (!PyThread_acquire_lock(lock, NOWAIT_LOCK)) {
        // Other threads may add slots (moving them) while the GIL is released: keep only the
        // lock handle, which stays the same, and find the slot again afterwards.
        Py_BEGIN_ALLOW_THREADS PyThread_acquire_lock(lock, WAIT_LOCK);
        Py_END_ALLOW_THREADS slot = find(port);
    }
    slot->owner = me;
    slot->depth = 1;
}

PortLockGuard::~PortLockGuard() {
    if (!port_)
        return;
    PortLock *slot = find(port_);
    if (--slot->depth == 0) {
        slot->owner = 0;
        PyThread_release_lock(slot->lock);
    }
    if (--slot->users == 0)
        slot->port = nullptr;
    Py_DECREF(port_);
}

} // namespace kq5316::link
