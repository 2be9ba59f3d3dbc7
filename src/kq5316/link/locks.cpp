#include "kq5316/link/locks.hpp"

#include <pythread.h>

#include "kq5316/common/owned.hpp"

namespace kq5316::link {

// One slot per port that some thread holds or waits for. Slots are allocated one by one and never
// freed: a thread waiting with the GIL released keeps a pointer to its slot while others add
// slots, and there are only ever as many as ports in use at the same moment, so steady use
// allocates nothing. The list, and every field, changes only with the GIL held.
struct PortSlot {
    PyObject *port;          // null: a free slot whose lock waits to be reused
    int users;               // threads holding or waiting; the slot is freed when the last leaves
    PyThread_type_lock lock; // taken once per owning thread, however deep its re-entry
    unsigned long owner;     // the thread holding the lock, when depth > 0
    int depth;               // how many times the owner has taken it
    PortSlot *next;
};

namespace {

PortSlot *slots = nullptr;

PortSlot *find(PyObject *port) {
    for (PortSlot *slot = slots; slot; slot = slot->next) {
        if (slot->port == port)
            return slot;
    }
    return nullptr;
}

PortSlot *new_slot() {
    PyThread_type_lock lock = PyThread_allocate_lock();
    auto *slot = static_cast<PortSlot *>(PyMem_Malloc(sizeof(PortSlot)));
    if (!lock || !slot) {
        if (lock)
            PyThread_free_lock(lock);
        PyMem_Free(slot);
        PyErr_NoMemory();
        return nullptr;
    }
    *slot = {nullptr, 0, lock, 0, 0, slots};
    slots = slot;
    return slot;
}

PortSlot *slot_for(PyObject *port) {
    if (PortSlot *taken = find(port))
        return taken;
    PortSlot *slot = find(nullptr);
    if (!slot)
        slot = new_slot();
    if (slot)
        slot->port = port;
    return slot;
}

// Waits with the GIL released. A signal wakes the wait so that its Python handler runs on this
// thread, as threading.Lock.acquire() does; if the handler raises, the wait is given up.
int wait_for(PyThread_type_lock lock) {
    for (;;) {
        PyThreadState *state = PyEval_SaveThread();
        const PyLockStatus status = PyThread_acquire_lock_timed(lock, -1, 1);
        PyEval_RestoreThread(state);
        if (status == PY_LOCK_ACQUIRED)
            return 0;
        if (PyErr_CheckSignals() < 0)
            return -1;
    }
}

int take(PortSlot *slot) {
    const unsigned long me = PyThread_get_thread_ident();
    if (slot->depth > 0 && slot->owner == me) {
        ++slot->depth;
        return 0;
    }
    if (!PyThread_acquire_lock(slot->lock, NOWAIT_LOCK) && wait_for(slot->lock) < 0)
        return -1;
    slot->owner = me;
    slot->depth = 1;
    return 0;
}

void leave(PortSlot *slot) {
    if (--slot->users == 0)
        slot->port = nullptr;
}

// In a forked child only the thread that forked exists: it keeps the locks it holds, and every
// other slot becomes free. A lock that another thread held may be in any state, so it gets a new
// one, and the old one is left alone rather than freed, as the interpreter does for its own locks.
PyObject *forget_other_threads(PyObject *, PyObject *) {
    const unsigned long me = PyThread_get_thread_ident();
    for (PortSlot *slot = slots; slot; slot = slot->next) {
        if (slot->depth > 0 && slot->owner == me) {
            slot->users = slot->depth;
            continue;
        }
        if (slot->depth > 0) {
            PyThread_type_lock fresh = PyThread_allocate_lock();
            if (fresh)
                slot->lock = fresh;
            else
                PyThread_release_lock(slot->lock);
        }
        slot->port = nullptr;
        slot->users = slot->owner = slot->depth = 0;
    }
    Py_RETURN_NONE;
}

PyMethodDef after_fork_in_child = {"_kq5316_after_fork_in_child", forget_other_threads, METH_NOARGS,
                                   nullptr};

} // namespace

PortLock::~PortLock() {
    if (!slot_)
        return;
    if (--slot_->depth == 0) {
        slot_->owner = 0;
        PyThread_release_lock(slot_->lock);
    }
    leave(slot_);
    Py_DECREF(port_);
}

int PortLock::acquire(PyObject *port) {
    if (!port)
        return 0;
    PortSlot *slot = slot_for(port);
    if (!slot)
        return -1;
    ++slot->users;
    Owned held = Owned::borrow(port);
    if (take(slot) < 0) {
        leave(slot);
        return -1;
    }
    slot_ = slot;
    port_ = held.release();
    return 0;
}

int reset_locks_in_forked_children() {
    // An import that failed after this step may run it again; one hook is enough.
    static bool registered = false;
    if (registered)
        return 0;
    Owned os = Owned::steal(PyImport_ImportModule("os"));
    if (!os)
        return -1;
    Owned register_at_fork = Owned::steal(PyObject_GetAttrString(os.get(), "register_at_fork"));
    if (!register_at_fork) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            return -1;
        PyErr_Clear(); // no fork here
        return 0;
    }
    Owned hook = Owned::steal(PyCFunction_New(&after_fork_in_child, nullptr));
    Owned no_args = Owned::steal(PyTuple_New(0));
    Owned keywords = hook && no_args
                         ? Owned::steal(Py_BuildValue("{s:O}", "after_in_child", hook.get()))
                         : Owned();
    if (!keywords)
        return -1;
    if (!Owned::steal(PyObject_Call(register_at_fork.get(), no_args.get(), keywords.get())))
        return -1;
    registered = true;
    return 0;
}

} // namespace kq5316::link
