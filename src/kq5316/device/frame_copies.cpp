#include "kq5316/device/frame_copies.hpp"

#include <cstddef>
#include <cstring>

namespace kq5316::device {

namespace {

// Room for the longest command frame with some to spare; a constant a caller has made longer is
// copied afresh each time.
constexpr Py_ssize_t max_reused_length = 16;

// One copy per command kept for reuse (strong references, or null). A copy that only this table
// still refers to, because the port did not keep it, is refilled in place for the next send of
// the same command, so steady use allocates no list. A copy still held elsewhere (a port that kept
// it, or a thread on another object that has not finished its exchange) is never touched. Changed
// only with the GIL held; kept, like the constants, for the life of the process.
PyObject *spare_copies[protocol::command_count] = {};

bool reusable(PyObject *copy, Py_ssize_t length) {
    return copy && Py_REFCNT(copy) == 1 && PyList_GET_SIZE(copy) == length &&
           length <= max_reused_length;
}

// Puts the constant's items into the copy where they differ (most bytes of a frame do not change
// from one call to the next). The items replaced are released only at the end: an item's release
// may run Python code, which must not see the copy half filled.
void refill(PyObject *copy, PyObject *constant, Py_ssize_t length) {
    PyObject **items = reinterpret_cast<PyListObject *>(copy)->ob_item;
    PyObject **wanted = reinterpret_cast<PyListObject *>(constant)->ob_item;
    if (std::memcmp(items, wanted, static_cast<std::size_t>(length) * sizeof(PyObject *)) == 0)
        return; // the usual case when the command was sent last with the same bytes
    PyObject *replaced[max_reused_length];
    Py_ssize_t count = 0;
    for (Py_ssize_t i = 0; i < length; ++i) {
        PyObject *item = PyList_GET_ITEM(constant, i);
        if (PyList_GET_ITEM(copy, i) == item)
            continue;
        replaced[count++] = PyList_GET_ITEM(copy, i);
        PyList_SET_ITEM(copy, i, Py_NewRef(item));
    }
    for (Py_ssize_t i = 0; i < count; ++i)
        Py_DECREF(replaced[i]);
}

} // namespace

Owned frame_copy(PyObject *constant, protocol::Command command) {
    const Py_ssize_t length = PyList_GET_SIZE(constant);
    PyObject *&spare = spare_copies[static_cast<std::size_t>(command)];
    if (reusable(spare, length)) {
        Owned copy = Owned::borrow(spare);
        refill(copy.get(), constant, length);
        return copy;
    }
    Owned copy = Owned::steal(PyList_GetSlice(constant, 0, length));
    if (copy && length <= max_reused_length)
        Py_XSETREF(spare, Py_NewRef(copy.get()));
    return copy;
}

} // namespace kq5316::device
