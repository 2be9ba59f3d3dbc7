#include "kq5316/link/locks.hpp"

#include <pythread.h>

#include "kq5316/common/owned.hpp"

namespace kq5316::link {

// One slot per instrument that some thread holds or waits for. Slots are allocated one by one and
// never freed: a thread waiting with the GIL released keeps a pointer to its slot while others add
// slots, and there are only ever as many as instruments in use at the same moment, so steady use
// allocates nothing. The list, and every field, changes only with the GIL held.
//
// Who holds the instrument is decided by `owner` and `depth` alone, under the GIL, so taking an
// instrument nobody holds costs no system lock at all (the interpreter's own locks read the clock
// on every attempt). The system lock is a gate that only waiting threads use: it stays shut, a
// thread that has to wait sleeps on it with the GIL released, and a holder that lets go while
// others wait opens it, once. The thread that passes shuts it behind itself, looks again, under the
// GIL, whether the instrument is free, and waits again if another thread took it first.
struct LockSlot {
    PyObject *instrument;    // null: a free slot whose lock waits to be reused
    int users;               // threads holding or waiting; the slot is freed when the last leaves
    int waiting;             // threads sleeping on the gate, or about to
    PyThread_type_lock gate; // shut (acquired) except while a waiting thread is let through
    bool gate_open;          // released for a waiting thread that has not passed yet
    const PyThreadState *owner; // the thread holding the instrument, when depth > 0
    int depth;                  // how many times the owner has taken it
    LockSlot *next;
};

namespace {

LockSlot *slots = nullptr;

// The calling thread, by its thread state: as unique among live threads as its thread id, and
// read without a system call's worth of work on every acquisition.
const PyThreadState *this_thread() {
    return PyThreadState_Get();
}

LockSlot *find(PyObject *instrument) {
    for (LockSlot *slot = slots; slot; slot = slot->next) {
        if (slot->instrument == instrument)
            return slot;
    }
    return nullptr;
}

// A new gate, shut.
PyThread_type_lock new_gate() {
    PyThread_type_lock gate = PyThread_allocate_lock();
    if (gate)
        PyThread_acquire_lock(gate, NOWAIT_LOCK);
    return gate;
}

int reset_locks_in_forked_children();

LockSlot *new_slot() {
    if (reset_locks_in_forked_children() < 0)
        return nullptr;
    PyThread_type_lock gate = new_gate();
    auto *slot = static_cast<LockSlot *>(PyMem_Malloc(sizeof(LockSlot)));
    if (!gate || !slot) {
        if (gate)
            PyThread_free_lock(gate);
        PyMem_Free(slot);
        PyErr_NoMemory();
        return nullptr;
    }
    *slot = {nullptr, 0, 0, gate, false, nullptr, 0, slots};
    slots = slot;
    return slot;
}

LockSlot *slot_for(PyObject *instrument) {
    if (LockSlot *taken = find(instrument))
        return taken;
    LockSlot *slot = find(nullptr);
    if (!slot)
        slot = new_slot();
    if (slot)
        slot->instrument = instrument;
    return slot;
}

// Waits until the instrument is free, with the GIL released while asleep on the gate. A signal
// wakes the wait so that its Python handler runs on this thread, as threading.Lock.acquire() does;
// if the handler raises, the wait is given up.
int wait_until_free(LockSlot *slot) {
    ++slot->waiting;
    while (slot->depth > 0) {
        PyThreadState *state = PyEval_SaveThread();
        const PyLockStatus status = PyThread_acquire_lock_timed(slot->gate, -1, 1);
        PyEval_RestoreThread(state);
        if (status == PY_LOCK_ACQUIRED)
            slot->gate_open = false;
        else if (PyErr_CheckSignals() < 0) {
            --slot->waiting;
            return -1;
        }
    }
    --slot->waiting;
    return 0;
}

int take(LockSlot *slot) {
    const PyThreadState *me = this_thread();
    if (slot->depth > 0 && slot->owner == me) {
        ++slot->depth;
        return 0;
    }
    if (slot->depth > 0 && wait_until_free(slot) < 0)
        return -1;
    slot->owner = me;
    slot->depth = 1;
    return 0;
}

// On the last release, lets one waiting thread through the gate, if any waits.
void give_up(LockSlot *slot) {
    if (--slot->depth > 0)
        return;
    slot->owner = nullptr;
    if (slot->waiting > 0 && !slot->gate_open) {
        slot->gate_open = true;
        PyThread_release_lock(slot->gate);
    }
}

void leave(LockSlot *slot) {
    if (--slot->users == 0)
        slot->instrument = nullptr;
}

// In a forked child only the thread that forked exists: it keeps the instruments it holds, and
// every other slot becomes free. A gate that other threads slept on, or that was opened for them,
// may be in any state (a waiter may have passed it without having had the GIL to record that), so
// it is replaced by a new one, and the old one is left alone rather than freed, as the interpreter
// does for its own locks.
PyObject *forget_other_threads(PyObject *, PyObject *) {
    const PyThreadState *me = this_thread();
    for (LockSlot *slot = slots; slot; slot = slot->next) {
        if (slot->waiting > 0 || slot->gate_open) {
            PyThread_type_lock fresh = new_gate();
            if (fresh) {
                slot->gate = fresh;
                slot->gate_open = false;
            }
        }
        slot->waiting = 0;
        if (slot->depth > 0 && slot->owner == me) {
            slot->users = slot->depth;
            continue;
        }
        slot->instrument = nullptr;
        slot->users = 0;
        slot->owner = nullptr;
        slot->depth = 0;
    }
    Py_RETURN_NONE;
}

PyMethodDef after_fork_in_child = {"_kq5316_after_fork_in_child", forget_other_threads, METH_NOARGS,
                                   nullptr};

// Makes a forked child forget the instruments that threads of its parent held or waited for:
// those threads do not exist in the child, so theirs would otherwise stay taken for ever. Done when
// the first slot is made, since before that no thread can hold an instrument; a no-op where the
// system has no fork. -1 on error.
int reset_locks_in_forked_children() {
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
    if (!hook)
        return -1;
    Owned no_args = Owned::steal(PyTuple_New(0));
    if (!no_args)
        return -1;
    Owned keywords = Owned::steal(Py_BuildValue("{s:O}", "after_in_child", hook.get()));
    if (!keywords)
        return -1;
    if (!Owned::steal(PyObject_Call(register_at_fork.get(), no_args.get(), keywords.get())))
        return -1;
    registered = true;
    return 0;
}

} // namespace

InstrumentLock::~InstrumentLock() {
    if (!slot_)
        return;
    give_up(slot_);
    leave(slot_);
    Py_DECREF(instrument_);
}

int InstrumentLock::acquire(PyObject *instrument) {
    LockSlot *slot = slot_for(instrument);
    if (!slot)
        return -1;
    ++slot->users;
    Owned held = Owned::borrow(instrument);
    if (take(slot) < 0) {
        leave(slot);
        return -1;
    }
    slot_ = slot;
    instrument_ = held.release();
    return 0;
}

} // namespace kq5316::link
