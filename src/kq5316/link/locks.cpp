#include "kq5316/link/locks.hpp"

#include "kq5316/common/owned.hpp"
#include "kq5316/common/process_globals.hpp"

namespace kq5316::link {

namespace {

// Process globals, made with the first lock: the lock type, and the lock of every object that has
// taken part in an exchange, as {address: (lock, weak reference to the object)}. The weak
// reference's callback removes the entry when the object dies, so an address the allocator reuses
// never finds a dead object's lock.
PyObject *lock_type = nullptr;
PyObject *locks_by_address = nullptr;

PyObject *forget_lock(PyObject *address, PyObject *) {
    if (PyDict_DelItem(locks_by_address, address) < 0)
        PyErr_Clear(); // already gone
    Py_RETURN_NONE;
}
PyMethodDef forget_lock_definition = {"_kq5316_forget_lock", forget_lock, METH_O, nullptr};

// In a forked child only the thread that forked exists: every lock it does not hold itself is
// made free again, since the threads of the parent that held or awaited it are gone.
PyObject *free_locks_after_fork(PyObject *, PyObject *) {
    Py_ssize_t position = 0;
    PyObject *address = nullptr, *entry = nullptr;
    while (PyDict_Next(locks_by_address, &position, &address, &entry)) {
        PyObject *lock = PyTuple_GET_ITEM(entry, 0);
        Owned mine = Owned::steal(PyObject_CallMethod(lock, "_is_owned", nullptr));
        if (mine && mine.get() == Py_False)
            mine = Owned::steal(PyObject_CallMethod(lock, "_at_fork_reinit", nullptr));
        if (!mine)
            PyErr_WriteUnraisable(lock);
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
    Owned thread_module = Owned::steal(PyImport_ImportModule("_thread"));
    Owned type = thread_module ? Owned::steal(PyObject_GetAttrString(thread_module.get(), "RLock"))
                               : Owned();
    Owned table = type ? Owned::steal(PyDict_New()) : Owned();
    if (!table || register_fork_handler() < 0)
        return -1;
    if (!locks_by_address) {
        lock_type = type.release();
        locks_by_address = table.release();
    }
    return 0;
}

// A new table entry for `instrument`; or, for an object that cannot be weakly referenced (not a
// KQ5316, but passed as `self` to the class's function), a lock of the call's own, not stored.
Owned new_entry(PyObject *instrument, PyObject *address) {
    Owned lock = Owned::steal(PyObject_CallNoArgs(lock_type));
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
    if (!lock_)
        return;
    // Released also on the way out of a failed call: its exception is kept aside meanwhile.
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (!Owned::steal(PyObject_CallMethodNoArgs(lock_, names().release)))
        PyErr_WriteUnraisable(lock_);
    PyErr_Restore(type, value, traceback);
    Py_DECREF(lock_);
}

int InstrumentLock::acquire(PyObject *instrument) {
    Owned lock = lock_of(instrument);
    if (!lock || !Owned::steal(PyObject_CallMethodNoArgs(lock.get(), names().acquire)))
        return -1;
    lock_ = lock.release();
    return 0;
}

} // namespace kq5316::link
