#include "kq5316/link/port_lock.hpp"

#include <pythread.h>

#include <unordered_map>

namespace kq5316::link {

namespace {

struct PortLock {
    PyThread_type_lock lock = nullptr;
    unsigned long owner = 0;
    int depth = 0;
    int users = 0; // threads holding or waiting; the entry goes when the last one leaves
};

// Entries exist only while some thread holds or waits for a port's lock, and each of those
// threads keeps a reference to the port, so a port's address cannot be reused while its entry
// exists. Changed only with the GIL held.
std::unordered_map<PyObject *, PortLock> port_locks;

PortLock *enter(PyObject *port) {
    PortLock &entry = port_locks[port];
    if (!entry.lock) {
        entry.lock = PyThread_allocate_lock();
        if (!entry.lock) {
            port_locks.erase(port);
            PyErr_NoMemory();
            return nullptr;
        }
    }
    ++entry.users;
    return &entry;
}

void leave(PyObject *port) {
    auto found = port_locks.find(port);
    if (found == port_locks.end() || --found->second.users > 0)
        return;
    PyThread_free_lock(found->second.lock);
    port_locks.erase(found);
}

} // namespace

PortLockGuard::PortLockGuard(PyObject *port) : port_(nullptr) {
    if (!port)
        return;
    const unsigned long me = PyThread_get_thread_ident();
    PortLock *entry = enter(port);
    if (!entry)
        return;
    port_ = Py_NewRef(port);
    if (entry->depth > 0 && entry->owner == me) {
        ++entry->depth;
        return;
    }
    PyThread_type_lock lock = entry->lock;
    if (!PyThread_acquire_lock(lock, NOWAIT_LOCK)) {
        // The map may rehash while the GIL is released, so only the lock handle is kept.
        Py_BEGIN_ALLOW_THREADS PyThread_acquire_lock(lock, WAIT_LOCK);
        Py_END_ALLOW_THREADS
    }
    PortLock &held = port_locks[port];
    held.owner = me;
    held.depth = 1;
}

PortLockGuard::~PortLockGuard() {
    if (!port_)
        return;
    PortLock &entry = port_locks[port_];
    if (--entry.depth == 0) {
        entry.owner = 0;
        PyThread_release_lock(entry.lock);
    }
    leave(port_);
    Py_DECREF(port_);
}

} // namespace kq5316::link
