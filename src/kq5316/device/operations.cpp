#include "kq5316/device/operations.hpp"

#include "kq5316/common/process_globals.hpp"
#include "kq5316/common/python_calls.hpp"
#include "kq5316/device/reply.hpp"
#include "kq5316/device/request.hpp"
#include "kq5316/link/exchange.hpp"
#include "kq5316/link/locks.hpp"

namespace kq5316::device {

namespace {

using protocol::Command;

// Under the object's lock, writes the frame for `command` on channel `ch` (null for a
// device-level command) and views what the reply read returned in `reply`; -1 with an exception
// set on error, before anything is written when `ch` is out of range.
int send_for_reply(PyObject *self, Command command, PyObject *ch, long value, ReplyBytes &reply) {
    long channel = 0;
    if (ch && channel_value(ch, &channel) < 0)
        return -1;
    Owned frame = request_frame(self, command, channel, value);
    if (!frame)
        return -1;
    link::InstrumentLock lock;
    if (lock.acquire(self) < 0)
        return -1;
    Owned read = link::exchange(self, frame.get());
    return read ? reply.load(read.get()) : -1;
}

// Whether a delimited reply came back: a new reference to True or False, or null.
PyObject *send_and_acknowledge(PyObject *self, Command command, PyObject *ch, long value = 0) {
    ReplyBytes reply;
    if (send_for_reply(self, command, ch, value, reply) < 0)
        return nullptr;
    return PyBool_FromLong(reply.delimited());
}

// The queries: send the frame for channel `ch` (null for a device-level one) and decode a
// delimited reply; None when the reply is not delimited.
PyObject *query(PyObject *self, PyObject *ch, Command command,
                PyObject *(*decode)(const ReplyBytes &)) {
    ReplyBytes reply;
    if (send_for_reply(self, command, ch, 0, reply) < 0)
        return nullptr;
    if (!reply.delimited())
        Py_RETURN_NONE;
    return decode(reply);
}

// The position to select: the first occurrence of `length` in the channel's list. Raises the
// documented RuntimeError when the list could not be read or is empty, and ValueError when the
// length is not in it.
Py_ssize_t position_of(PyObject *lengths, PyObject *length) {
    const int has_items = PyObject_IsTrue(lengths); // None is false too
    if (has_items < 0)
        return -1;
    if (!has_items) {
        PyErr_SetString(PyExc_RuntimeError, "device read failed! Please check your connection!");
        return -1;
    }
    const int found = PySequence_Contains(lengths, length);
    if (found < 0)
        return -1;
    if (!found) {
        PyErr_Format(PyExc_ValueError, "the length: %S no supported yet!", length);
        return -1;
    }
    return PySequence_Index(lengths, length);
}

} // namespace

PyObject *read_device_version(PyObject *self, PyObject *const *) {
    return query(self, nullptr, Command::read_device_version, version_dict);
}

PyObject *read_optical_length(PyObject *self, PyObject *const *args) {
    return query(self, args[0], Command::read_wavelengths, optical_length_list);
}

// Checks `length` against the list of the channel it addresses, so that the position sent is a
// position in that channel's own list. The list is read through `self.read_optical_length`, on
// purpose: a subclass's override is the one used, as in Python. The channel is checked first, so
// that a refused call sends nothing.
PyObject *set_optical_length(PyObject *self, PyObject *const *args) {
    PyObject *length = args[0];
    long channel = 0;
    if (channel_value(args[1], &channel) < 0)
        return nullptr;
    Owned lengths = call_method(self, names().read_optical_length, args[1]);
    if (!lengths)
        return nullptr;
    const Py_ssize_t position = position_of(lengths.get(), length);
    if (position < 0)
        return nullptr;
    if (position >
        protocol::max_value(protocol::command_row(Command::select_wavelength).value_layout)) {
        PyErr_Format(PyExc_ValueError, "position %zd of the length does not fit in a byte",
                     position);
        return nullptr;
    }
    return send_and_acknowledge(self, Command::select_wavelength, args[1],
                                static_cast<long>(position));
}

PyObject *read_current_status(PyObject *self, PyObject *const *args) {
    return query(self, args[0], Command::read_current_status, status_dict);
}

PyObject *close_full_screen(PyObject *self, PyObject *const *) {
    return send_and_acknowledge(self, Command::close_full_screen, nullptr);
}

PyObject *set_attenuation(PyObject *self, PyObject *const *args) {
    long steps = 0;
    if (attenuation_steps(args[0], &steps) < 0)
        return nullptr;
    return send_and_acknowledge(self, Command::set_attenuation, args[1], steps);
}

PyObject *clear_attenuation(PyObject *self, PyObject *const *args) {
    return send_and_acknowledge(self, Command::clear_attenuation, args[0]);
}

PyObject *dis_connection(PyObject *self, PyObject *const *args) {
    return send_and_acknowledge(self, Command::disconnect, args[0]);
}

} // namespace kq5316::device
