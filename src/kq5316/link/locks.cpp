#include "kq5316/link/locks.hpp"

#include "kq5316/common/process_globals.hpp"
#include "kq5316/common/python_calls.hpp"

namespace kq5316::link {

namespace {

// Process global: the lock of every live object that has taken part in an exchange, a dict from
// the object's id to its `threading.RLock`. Each entry is removed by a `weakref.finalize` when its
// object dies, before the id can be reused. A forked child starts with the dict empty: the
// parent's threads that held or awaited a lock do not exist there, so every object is free.
PyObject *locks = nullptr;

// `module.name(*args)`, the module imported first.
Owned call_module_function(const char *module, const char *name, PyObject *args) {
    Owned imported = Owned::steal(PyImport_ImportModule(module));
    Owned function =
        imported ? Owned::steal(PyObject_GetAttrString(imported.get(), name)) : Owned();
    return function ? Owned::steal(PyObject_CallObject(function.get(), args)) : Owned();
}

// Makes the dict and has `os.fork()` clear it in the child (no fork on Windows). Importing runs
// Python code, so another thread may have made the dict meanwhile: then that one is kept.
int make_locks() {
    Owned made = Owned::steal(PyDict_New());
    Owned clear = made ? Owned::steal(PyObject_GetAttrString(made.get(), "clear")) : Owned();
    Owned os = clear ? Owned::steal(PyImport_ImportModule("os")) : Owned();
    if (!os)
        return -1;
    if (PyObject_HasAttrString(os.get(), "register_at_fork")) {
        Owned keywords = Owned::steal(Py_BuildValue("{s:O}", "after_in_child", clear.get()));
        Owned no_args = Owned::steal(PyTuple_New(0));
        Owned register_at_fork = Owned::steal(PyObject_GetAttrString(os.get(), "register_at_fork"));
        if (!keywords || !no_args || !register_at_fork ||
            !Owned::steal(PyObject_Call(register_at_fork.get(), no_args.get(), keywords.get())))
            return -1;
    }
    if (!locks)
        locks = made.release();
    return 0;
}

// A new lock for `instrument`, stored under `key` unless another thread stored one first while
// this one ran Python code (then that one is returned). An object that cannot be weakly referenced
// (not a KQ5316, but passed as `self` to the class's function) gets a lock of the call's own.
Owned new_lock(PyObject *instrument, PyObject *key) {
    Owned lock = call_module_function("threading", "RLock", nullptr);
    Owned pop = lock ? Owned::steal(PyObject_GetAttrString(locks, "pop")) : Owned();
    Owned args =
        pop ? Owned::steal(Py_BuildValue("(OOOO)", instrument, pop.get(), key, Py_None)) : Owned();
    if (!args)
        return {};
    if (!call_module_function("weakref", "finalize", args.get())) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError))
            return {};
        PyErr_Clear();
        return lock;
    }
    return Owned::borrow(PyDict_SetDefault(locks, key, lock.get()));
}

} // namespace

InstrumentLock::~InstrumentLock() {
    if (!lock_)
        return;
    // Released whatever the exchange's outcome, with its exception kept aside meanwhile.
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (!call_method(lock_.get(), names().release))
        PyErr_WriteUnraisable(lock_.get());
    PyErr_Restore(type, value, traceback);
}

int InstrumentLock::acquire(PyObject *instrument) {
    if (!locks && make_locks() < 0)
        return -1;
    Owned key = Owned::steal(PyLong_FromVoidPtr(instrument));
    if (!key)
        return -1;
    Owned lock = Owned::borrow(PyDict_GetItemWithError(locks, key.get()));
    if (!lock && (PyErr_Occurred() || !(lock = new_lock(instrument, key.get()))))
        return -1;
    if (!call_method(lock.get(), names().acquire))
        return -1;
    lock_ = std::move(lock);
    return 0;
}

} // namespace kq5316::link
