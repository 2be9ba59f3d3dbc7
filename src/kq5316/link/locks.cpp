#include "kq5316/link/locks.hpp"

#include "kq5316/common/owned.hpp"

namespace kq5316::link {

namespace {

// Process globals, made with the first lock: the lock of every object that has taken part in an
// exchange, as {address: (capsule holding the lock, weak reference to the object)}. The weak
// reference's callback removes the entry when the object dies, so an address the allocator reuses
// never finds a dead object's lock.
PyObject *locks_by_address = nullptr;

ReentrantLock *lock_in(PyObject *capsule) {
    return static_cast<ReentrantLock *>(PyCapsule_GetPointer(capsule, nullptr));
}

void free_lock(PyObject *capsule) {
    ReentrantLock *lock = lock_in(capsule);
    PyThread_free_lock(lock->lock);
    PyMem_RawFree(lock);
}

// A new free lock in a capsule that frees it; the capsule is unnamed since it never leaves the
// table.
Owned new_lock() {
    auto *lock = static_cast<ReentrantLock *>(PyMem_RawMalloc(sizeof(ReentrantLock)));
    if (lock)
        *lock = ReentrantLock{PyThread_allocate_lock()};
    if (!lock || !lock->lock) {
        PyMem_RawFree(lock);
        return Owned::steal(PyErr_NoMemory());
    }
    Owned capsule = Owned::steal(PyCapsule_New(lock, nullptr, free_lock));
    if (!capsule) {
        PyThread_free_lock(lock->lock);
        PyMem_RawFree(lock);
    }
    return capsule;
}

// Waits for `lock` with the GIL released; a signal interrupts the wait so that its handler runs,
// and an exception from the handler ends the wait.
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

PyObject *forget_lock(PyObject *address, PyObject *) {
    if (PyDict_DelItem(locks_by_address, address) < 0)
        PyErr_Clear(); // already gone
    Py_RETURN_NONE;
}
PyMethodDef forget_lock_definition = {"_kq5316_forget_lock", forget_lock, METH_O, nullptr};

// In a forked child only the thread that forked exists: every lock it does not hold itself is
// made free again, since the threads of the parent that held or awaited it are gone. The old
// primitive may have been taken by a thread that had not yet recorded itself as owner, so it is
// replaced, not released, and left unfreed like any state of a thread that no longer exists.
PyObject *free_locks_after_fork(PyObject *, PyObject *) {
    const unsigned long me = PyThread_get_thread_ident();
    Py_ssize_t position = 0;
    PyObject *address = nullptr, *entry = nullptr;
    while (PyDict_Next(locks_by_address, &position, &address, &entry)) {
        ReentrantLock *lock = lock_in(PyTuple_GET_ITEM(entry, 0));
        if (lock->depth > 0 && lock->owner == me)
            continue;
        PyThread_type_lock fresh = PyThread_allocate_lock();
        if (fresh)
            *lock = ReentrantLock{fresh};
    }
    Py_RETURN_NONE;
}
PyMethodDef after_fork_definition = {"_kq5316_free_locks_after_fork", free_locks_after_fork,
                                     METH_NOARGS, nullptr};

// `os.register_at_fork(after_in_child=free_locks_after_fork)`; nothing where there is no fork.
int register_fork_handler() {
    Owned os = Owned::steal(PyImport_ImportModule("os"));
    if (!os)
        return -1;
    Owned register_at_fork = Owned::steal(PyObject_GetAttrString(os.get(), "register_at_fork"));
    if (!register_at_fork) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            return -1;
        PyErr_Clear();
        return 0;
    }
    Owned handler = Owned::steal(PyCFunction_New(&after_fork_definition, nullptr));
    Owned no_args = Owned::steal(PyTuple_New(0));
    Owned keywords =
        handler ? Owned::steal(Py_BuildValue("{s:O}", "after_in_child", handler.get())) : Owned();
    if (!no_args || !keywords)
        return -1;
    return Owned::steal(PyObject_Call(register_at_fork.get(), no_args.get(), keywords.get())) ? 0
                                                                                              : -1;
}

// Imports and registration run Python code (an import hook, say), during which another thread
// may make the globals too: the first ones made are kept. A handler registered twice does the
// same work twice.
int make_lock_table() {
    Owned table = Owned::steal(PyDict_New());
    if (!table || register_fork_handler() < 0)
        return -1;
    if (!locks_by_address)
        locks_by_address = table.release();
    return 0;
}

// A new table entry for `instrument`; or, for an object that cannot be weakly referenced (not a
// KQ5316, but passed as `self` to the class's function), a lock of the call's own, not stored.
Owned new_entry(PyObject *instrument, PyObject *address) {
    Owned lock = new_lock();
    Owned forget = lock ? Owned::steal(PyCFunction_New(&forget_lock_definition, address)) : Owned();
    if (!forget)
        return {};
    Owned watch = Owned::steal(PyWeakref_NewRef(instrument, forget.get()));
    if (!watch) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError))
            return {};
        PyErr_Clear();
        return lock;
    }
    return Owned::steal(PyTuple_Pack(2, lock.get(), watch.get()));
}

// The lock of `instrument`, made on first use. Making one may run Python code (a collection's
// finalisers), so another thread may store a lock for the same object meanwhile: the entry is
// stored only if there is none yet, in one step, and the one stored is used.
Owned lock_of(PyObject *instrument) {
    if (!locks_by_address && make_lock_table() < 0)
        return {};
    Owned address = Owned::steal(PyLong_FromVoidPtr(instrument));
    if (!address)
        return {};
    PyObject *entry = PyDict_GetItemWithError(locks_by_address, address.get());
    if (!entry) {
        if (PyErr_Occurred())
            return {};
        Owned made = new_entry(instrument, address.get());
        if (!made || !PyTuple_Check(made.get()))
            return made;
        entry = PyDict_SetDefault(locks_by_address, address.get(), made.get());
        if (!entry)
            return {};
    }
    return Owned::borrow(PyTuple_GET_ITEM(entry, 0));
}

} // namespace

InstrumentLock::~InstrumentLock() {
    if (!held_)
        return;
    if (--held_->depth == 0) {
        held_->owner = 0;
        PyThread_release_lock(held_->lock);
    }
    Py_DECREF(holder_);
}

// The owner nests without waiting; another thread first tries without releasing the GIL, and
// waits only when the lock is taken.
int InstrumentLock::acquire(PyObject *instrument) {
    Owned holder = lock_of(instrument);
    if (!holder)
        return -1;
    ReentrantLock *lock = lock_in(holder.get());
    const unsigned long me = PyThread_get_thread_ident();
    if (lock->depth > 0 && lock->owner == me) {
        ++lock->depth;
    } else {
        if (!PyThread_acquire_lock(lock->lock, NOWAIT_LOCK) && wait_for(lock->lock) < 0)
            return -1;
        lock->owner = me;
        lock->depth = 1;
    }
    held_ = lock;
    holder_ = holder.release();
    return 0;
}

} // namespace kq5316::link
