#include "kq5316/device/checksum_methods.hpp"

#include <cstdint>
#include <optional>

#include "kq5316/common/owned.hpp"
#include "kq5316/protocol/checksum.hpp"

namespace kq5316::device {

namespace {

// The sum of the covered items when every one is an exact int and the sum fits in 64 bits: the
// common case, computed without creating Python objects.
std::optional<std::int64_t> small_int_sum(PyObject *frame, Py_ssize_t covered) {
    std::int64_t sum = 0;
    for (Py_ssize_t i = 0; i < covered; ++i) {
        PyObject *item = PyList_GET_ITEM(frame, i);
        if (!PyLong_CheckExact(item))
            return std::nullopt;
        int overflow = 0;
        const long long value = PyLong_AsLongLongAndOverflow(item, &overflow);
        if (overflow || __builtin_add_overflow(sum, value, &sum))
            return std::nullopt;
    }
    return sum;
}

// `(~sum + 1) & 0xFF` over the covered items as Python evaluates it: any integers, however large,
// and Python's own TypeError for items that do not add or invert. Items are re-read at each step
// because an item's `__add__` may change the list.
Owned python_checksum(PyObject *frame, Py_ssize_t covered) {
    Owned sum = Owned::steal(PyLong_FromLong(0));
    if (!sum)
        return {};
    for (Py_ssize_t i = 0; i < covered; ++i) {
        if (i >= PyList_GET_SIZE(frame)) {
            PyErr_SetString(PyExc_IndexError, "list index out of range");
            return {};
        }
        Owned item = Owned::borrow(PyList_GET_ITEM(frame, i));
        sum = Owned::steal(PyNumber_Add(sum.get(), item.get()));
        if (!sum)
            return {};
    }
    Owned inverted = Owned::steal(PyNumber_Invert(sum.get()));
    if (!inverted)
        return {};
    Owned one = Owned::steal(PyLong_FromLong(1));
    if (!one)
        return {};
    Owned negated = Owned::steal(PyNumber_Add(inverted.get(), one.get()));
    if (!negated)
        return {};
    Owned mask = Owned::steal(PyLong_FromLong(0xFF));
    if (!mask)
        return {};
    return Owned::steal(PyNumber_And(negated.get(), mask.get()));
}

// The checksum of items 0 .. n-3 as a Python int.
Owned frame_checksum(PyObject *frame) {
    const Py_ssize_t covered = PyList_GET_SIZE(frame) - 2;
    if (covered <= 0)
        return Owned::steal(PyLong_FromLong(0));
    if (auto sum = small_int_sum(frame, covered))
        return Owned::steal(
            PyLong_FromLong(protocol::checksum_of_sum(static_cast<std::uint64_t>(*sum))));
    return python_checksum(frame, covered);
}

} // namespace

int store_checksum(PyObject *frame) {
    Owned checksum = frame_checksum(frame);
    if (!checksum)
        return -1;
    const Py_ssize_t position = PyList_GET_SIZE(frame) - 2;
    if (position < 0) {
        PyErr_SetString(PyExc_IndexError, "list assignment index out of range");
        return -1;
    }
    return PyList_SetItem(frame, position, checksum.release());
}

PyObject *cal_crc(PyObject *, PyObject *const *args) {
    if (store_checksum(args[0]) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

PyObject *check_crc(PyObject *, PyObject *const *args) {
    PyObject *frame = args[0];
    Owned checksum = frame_checksum(frame);
    if (!checksum)
        return nullptr;
    const Py_ssize_t position = PyList_GET_SIZE(frame) - 2;
    if (position < 0) {
        PyErr_SetString(PyExc_IndexError, "list index out of range");
        return nullptr;
    }
    Owned stored = Owned::borrow(PyList_GET_ITEM(frame, position));
    return PyObject_RichCompare(stored.get(), checksum.get(), Py_EQ);
}

} // namespace kq5316::device
