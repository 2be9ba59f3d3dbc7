#include "kq5316/device/request.hpp"

#include <cstdint>

#include "kq5316/common/process_globals.hpp"
#include "protocol/requests.hpp"

namespace kq5316::device {

namespace {

// `left <op> right` for a Python number and a small int; null when `left` is or on error.
Owned apply(binaryfunc op, const Owned &left, long right) {
    Owned number = left ? Owned::steal(PyLong_FromLong(right)) : Owned();
    return number ? Owned::steal(op(left.get(), number.get())) : Owned();
}

// `(~sum + 1) & 0xFF` over items 0 .. n-3 as Python evaluates it, for every frame alike: any
// integers, however large, and Python's own TypeError for items that do not add or invert. Items
// are read by index at each step, with Python's IndexError, because an item's `__add__` may
// change the list.
Owned frame_checksum(PyObject *frame) {
    const Py_ssize_t covered = PyList_GET_SIZE(frame) - 2;
    Owned sum = Owned::steal(PyLong_FromLong(0));
    for (Py_ssize_t i = 0; sum && i < covered; ++i) {
        Owned item = Owned::steal(PySequence_GetItem(frame, i));
        sum = item ? Owned::steal(PyNumber_Add(sum.get(), item.get())) : Owned();
    }
    Owned inverted = sum ? Owned::steal(PyNumber_Invert(sum.get())) : Owned();
    return apply(PyNumber_And, apply(PyNumber_Add, inverted, 1), 0xFF);
}

// `frame[-2] = checksum`, with Python's IndexError for a list of fewer than two items; -1 on
// error, with nothing stored.
int store_checksum(PyObject *frame) {
    Owned checksum = frame_checksum(frame);
    return checksum ? PySequence_SetItem(frame, -2, checksum.get()) : -1;
}

// The value of an int within low..high; ValueError naming `parameter` otherwise, for integers of
// any size (they are refused, not wrapped).
int value_in_range(PyObject *number, const char *parameter, long low, long high, const char *unit,
                   long *value) {
    int overflow = 0;
    *value = PyLong_AsLongAndOverflow(number, &overflow);
    if (overflow == 0 && !(*value == -1 && PyErr_Occurred()) && *value >= low && *value <= high)
        return 0;
    PyErr_Clear();
    PyErr_Format(PyExc_ValueError, "Argument '%s' out of range (expected %ld to %ld%s, got %S)",
                 parameter, low, high, unit, number);
    return -1;
}

// `frame[index] = value`; IndexError when the list is too short.
int patch_byte(PyObject *frame, std::size_t index, long value) {
    PyObject *item = PyLong_FromLong(value);
    // PyList_SetItem takes the item's reference even when it fails.
    return item ? PyList_SetItem(frame, static_cast<Py_ssize_t>(index), item) : -1;
}

// The value's bytes, then the channel, then the checksum, as the operations have always written
// them: a list too short for a position raises IndexError there.
int patch_frame(PyObject *frame, const protocol::CommandRow &row, long channel, long value) {
    const protocol::Request built =
        protocol::make_request(row, static_cast<std::uint8_t>(channel), value);
    const std::size_t value_end =
        protocol::first_parameter_index + protocol::value_width(row.value_layout);
    for (std::size_t i = protocol::first_parameter_index; i < value_end; ++i) {
        if (patch_byte(frame, i, built.bytes[i]) < 0)
            return -1;
    }
    if (patch_byte(frame, protocol::channel_index, channel) < 0)
        return -1;
    return store_checksum(frame);
}

} // namespace

int channel_value(PyObject *ch, long *channel) {
    return value_in_range(ch, "ch", 0, protocol::max_channel, "", channel);
}

int attenuation_steps(PyObject *attenuation, long *steps) {
    long mdb = 0;
    if (value_in_range(attenuation, "attenuation", protocol::min_attenuation_mdb,
                       protocol::max_attenuation_mdb, " mdB", &mdb) < 0)
        return -1;
    *steps = protocol::steps_from_mdb(mdb);
    return 0;
}

Owned request_frame(PyObject *self, protocol::Command command, long channel, long value) {
    const protocol::CommandRow &row = protocol::command_row(command);
    Owned constant =
        Owned::steal(PyObject_GetAttr(self, names().constants[static_cast<std::size_t>(command)]));
    if (!constant)
        return {};
    if (row.addresses_channel() && !PyList_Check(constant.get())) {
        PyErr_Format(PyExc_TypeError,
                     "Argument 'data' has incorrect type (expected list, got %.200s)",
                     Py_TYPE(constant.get())->tp_name);
        return {};
    }
    Owned frame = Owned::steal(PySequence_List(constant.get()));
    if (!frame || !row.addresses_channel())
        return frame;
    if (patch_frame(frame.get(), row, channel, value) < 0 ||
        PyList_SetSlice(constant.get(), 0, PY_SSIZE_T_MAX, frame.get()) < 0)
        return {};
    return frame;
}

PyObject *cal_crc(PyObject *, PyObject *const *args) {
    if (store_checksum(args[0]) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

// `frame[-2] == checksum`, with Python's IndexError for a list of fewer than two items.
PyObject *check_crc(PyObject *, PyObject *const *args) {
    Owned checksum = frame_checksum(args[0]);
    Owned stored = checksum ? Owned::steal(PySequence_GetItem(args[0], -2)) : Owned();
    return stored ? PyObject_RichCompare(stored.get(), checksum.get(), Py_EQ) : nullptr;
}

} // namespace kq5316::device
