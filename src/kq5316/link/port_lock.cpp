#include "kq5316/link/port_lock.hpp"

#include <memory>
#include <vector>

#include "kq5316/link/reentrant_lock.hpp"

namespace kq5316::link {

namespace {

struct PortSlot {
    PyObject *port = nullptr; // null: a free slot whose lock waits to be reused
    int users = 0;            // threads holding or waiting; the slot is freed when the last leaves
    ReentrantLock lock;
};

// One slot per port that some thread holds or waits for. Each of those threads keeps a reference
// to its port, so a port's address cannot be reused while its slot is taken. Slots and their
// locks are kept once made, so steady use allocates nothing; there are only ever as many as
// ports in use at the same moment. Slots are held by pointer so that they stay put while a
// waiting thread has released the GIL and another adds a slot. Changed only with the GIL held.
std::vector<std::unique_ptr<PortSlot>> slots;

PortSlot *find(PyObject *port) {
    for (auto &slot : slots) {
        if (slot->port == port)
            return slot.get();
    }
    return nullptr;
}

PortSlot *slot_for(PyObject *port) {
    if (PortSlot *taken = find(port))
        return taken;
    PortSlot *slot = find(nullptr);
    if (!slot) {
        auto made = std::make_unique<PortSlot>();
        if (made->lock.create() < 0)
            return nullptr;
        slot = made.get();
        slots.push_back(std::move(made));
    }
    slot->port = port;
    return slot;
}

} // namespace

PortLockGuard::PortLockGuard(PyObject *port) : port_(nullptr) {
    if (!port)
        return;
    PortSlot *slot = slot_for(port);
    if (!slot)
        return;
    ++slot->users;
    port_ = Py_NewRef(port);
    slot->lock.acquire();
}

PortLockGuard::~PortLockGuard() {
    if (!port_)
        return;
    PortSlot *slot = find(port_);
    slot->lock.release();
    if (--slot->users == 0)
        slot->port = nullptr;
    Py_DECREF(port_);
}

} // namespace kq5316::link
