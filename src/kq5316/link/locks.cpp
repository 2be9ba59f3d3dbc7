#include "kq5316/link/locks.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "kq5316/common/owned.hpp"

namespace kq5316::link {

namespace {

// Process globals: the lock of every live object that has taken part in an exchange, sorted by
// the object's address, so that finding it is a binary search that makes no Python object. Each
// entry keeps a weak reference whose callback removes the entry when the object dies, so an
// address the allocator reuses never finds a dead object's lock. Read and written with the GIL
// held.
struct LockEntry {
    std::uintptr_t address;
    ReentrantLock *lock;
    PyObject *watch; // the weak reference, owned
};
LockEntry *lock_entries = nullptr;
std::size_t lock_count = 0;
std::size_t lock_capacity = 0;
bool fork_handler_registered = false;

std::uintptr_t address_of(const PyObject *instrument) {
    return reinterpret_cast<std::uintptr_t>(instrument);
}

// The index of the first entry whose address is not below `address`.
std::size_t lower_bound(std::uintptr_t address) {
    std::size_t low = 0, high = lock_count;
    while (low < high) {
        const std::size_t middle = low + (high - low) / 2;
        if (lock_entries[middle].address < address)
            low = middle + 1;
        else
            high = middle;
    }
    return low;
}

LockEntry *find_entry(std::uintptr_t address) {
    const std::size_t at = lower_bound(address);
    return at < lock_count && lock_entries[at].address == address ? &lock_entries[at] : nullptr;
}

int insert_entry(const LockEntry &entry) {
    if (lock_count == lock_capacity) {
        const std::size_t capacity = lock_capacity ? 2 * lock_capacity : 8;
        void *grown = PyMem_RawRealloc(lock_entries, capacity * sizeof(LockEntry));
        if (!grown) {
            PyErr_NoMemory();
            return -1;
        }
        lock_entries = static_cast<LockEntry *>(grown);
        lock_capacity = capacity;
    }
    const std::size_t at = lower_bound(entry.address);
    std::memmove(&lock_entries[at + 1], &lock_entries[at], (lock_count - at) * sizeof(LockEntry));
    lock_entries[at] = entry;
    ++lock_count;
    return 0;
}

ReentrantLock *new_lock() {
    auto *lock = static_cast<ReentrantLock *>(PyMem_RawMalloc(sizeof(ReentrantLock)));
    if (lock)
        *lock = ReentrantLock{PyThread_allocate_lock()};
    if (!lock || !lock->lock) {
        PyMem_RawFree(lock);
        PyErr_NoMemory();
        return nullptr;
    }
    return lock;
}

void free_lock(ReentrantLock *lock) {
    PyThread_free_lock(lock->lock);
    PyMem_RawFree(lock);
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

// The weak reference's callback: the object at `address` is dying, and nothing holds its lock,
// since a holder keeps the object alive.
PyObject *forget_lock(PyObject *address, PyObject *) {
    LockEntry *entry = find_entry(address_of(static_cast<PyObject *>(PyLong_AsVoidPtr(address))));
    if (!entry)
        Py_RETURN_NONE;
    const LockEntry gone = *entry;
    const std::size_t at = static_cast<std::size_t>(entry - lock_entries);
    std::memmove(entry, entry + 1, (lock_count - at - 1) * sizeof(LockEntry));
    --lock_count;
    free_lock(gone.lock);
    Py_DECREF(gone.watch);
    Py_RETURN_NONE;
}
PyMethodDef forget_lock_definition = {"_kq5316_forget_lock", forget_lock, METH_O, nullptr};

// In a forked child only the thread that forked exists: every lock it does not hold itself is
// made free again, since the threads of the parent that held or awaited it are gone. The old
// primitive may have been taken by a thread that had not yet recorded itself as owner, so it is
// replaced, not released, and left unfreed like any state of a thread that no longer exists.
PyObject *free_locks_after_fork(PyObject *, PyObject *) {
    const unsigned long me = PyThread_get_thread_ident();
    for (std::size_t i = 0; i < lock_count; ++i) {
        ReentrantLock *lock = lock_entries[i].lock;
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

// The weak reference that removes `instrument`'s entry when it dies; null with TypeError for an
// object that cannot be weakly referenced.
Owned watch_of(PyObject *instrument) {
    Owned address = Owned::steal(PyLong_FromVoidPtr(instrument));
    Owned forget =
        address ? Owned::steal(PyCFunction_New(&forget_lock_definition, address.get())) : Owned();
    if (!forget)
        return {};
    return Owned::steal(PyWeakref_NewRef(instrument, forget.get()));
}

// Stores a new lock for `instrument`. Registering the fork handler and making the weak reference
// run Python code (an import hook, a collection's finalisers), during which another thread may
// store a lock for the same object: then that one is used. Returns null with an exception set,
// or with TypeError for an object that cannot be weakly referenced.
ReentrantLock *store_new_lock(PyObject *instrument) {
    if (!fork_handler_registered) {
        if (register_fork_handler() < 0)
            return nullptr;
        fork_handler_registered = true;
    }
    Owned watch = watch_of(instrument);
    if (!watch)
        return nullptr;
    if (LockEntry *stored = find_entry(address_of(instrument)))
        return stored->lock;
    ReentrantLock *lock = new_lock();
    if (!lock)
        return nullptr;
    if (insert_entry(LockEntry{address_of(instrument), lock, watch.get()}) < 0) {
        free_lock(lock);
        return nullptr;
    }
    watch.release();
    return lock;
}

// Takes `lock` for the calling thread: the owner nests without waiting; another thread first
// tries without releasing the GIL, and waits only when the lock is taken.
int take(ReentrantLock *lock) {
    const unsigned long me = PyThread_get_thread_ident();
    if (lock->depth > 0 && lock->owner == me) {
        ++lock->depth;
        return 0;
    }
    if (!PyThread_acquire_lock(lock->lock, NOWAIT_LOCK) && wait_for(lock->lock) < 0)
        return -1;
    lock->owner = me;
    lock->depth = 1;
    return 0;
}

} // namespace

InstrumentLock::~InstrumentLock() {
    if (!held_)
        return;
    if (--held_->depth == 0) {
        held_->owner = 0;
        PyThread_release_lock(held_->lock);
    }
    if (held_ == &own_)
        PyThread_free_lock(own_.lock);
    Py_DECREF(instrument_);
}

// The object is kept alive while its lock is held, so its entry stays. An object that cannot be
// weakly referenced (not a KQ5316, but passed as `self` to the class's function) gets a lock of
// the call's own.
int InstrumentLock::acquire(PyObject *instrument) {
    LockEntry *entry = find_entry(address_of(instrument));
    ReentrantLock *lock = entry ? entry->lock : store_new_lock(instrument);
    if (!lock) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError))
            return -1;
        PyErr_Clear();
        own_ = ReentrantLock{PyThread_allocate_lock()};
        if (!own_.lock) {
            PyErr_NoMemory();
            return -1;
        }
        lock = &own_;
    }
    if (take(lock) < 0) {
        if (lock == &own_)
            PyThread_free_lock(own_.lock);
        return -1;
    }
    held_ = lock;
    instrument_ = Py_NewRef(instrument);
    return 0;
}

} // namespace kq5316::link
