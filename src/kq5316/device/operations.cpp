#include "kq5316/device/operations.hpp"

#include "kq5316/common/process_globals.hpp"
#include "kq5316/common/python_calls.hpp"
#include "kq5316/device/command_sequence.hpp"
#include "kq5316/device/frame_patch.hpp"
#include "kq5316/device/reply.hpp"
#include "kq5316/protocol/reply_fields.hpp"

namespace kq5316::device {

namespace {

using protocol::Command;

PyObject *version_dict(const ReplyBytes &reply) {
    namespace field = protocol::version_reply;
    const Names &key = names();
    return result_dict({{key.module_version, reply[field::module_version]},
                        {key.hard_version, reply[field::hard_version]},
                        {key.soft_version, reply[field::soft_version]}});
}

// The count at index 5, then that many 16-bit values, low byte first.
PyObject *optical_length_list(const ReplyBytes &reply) {
    namespace field = protocol::optical_length_reply;
    if (reply.size() <= field::count) {
        raise_reply_too_short();
        return nullptr;
    }
    const std::size_t count = reply[field::count];
    if (reply.size() < field::needed_length(count)) {
        raise_reply_too_short();
        return nullptr;
    }
    Owned lengths = Owned::steal(PyList_New(static_cast<Py_ssize_t>(count)));
    if (!lengths)
        return nullptr;
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t low = field::first_value + 2 * i;
        PyObject *value = PyLong_FromLong(reply[low] | (reply[low + 1] << 8));
        if (!value)
            return nullptr;
        PyList_SET_ITEM(lengths.get(), static_cast<Py_ssize_t>(i), value);
    }
    return lengths.release();
}

PyObject *status_dict(const ReplyBytes &reply) {
    namespace field = protocol::status_reply;
    if (reply.size() < field::min_length) {
        raise_reply_too_short();
        return nullptr;
    }
    const long steps = reply[field::attenuation_low] | (reply[field::attenuation_high] << 8);
    const Names &key = names();
    return result_dict({{key.dev_work_mode, reply[field::dev_work_mode]},
                        {key.optical_length_index, reply[field::optical_length_index]},
                        {key.attenuation, protocol::mdb_from_steps(steps)}});
}

// The two channel queries: send the frame for channel `ch` and decode a delimited reply; None
// when the reply is not delimited.
PyObject *channel_query(PyObject *self, PyObject *ch, Command command,
                        PyObject *(*decode)(const ReplyBytes &)) {
    long channel = 0;
    if (channel_value(ch, &channel) < 0)
        return nullptr;
    ReplyBytes reply;
    if (send_for_reply(self, command, FramePatch::for_channel(channel), reply) < 0)
        return nullptr;
    if (!reply.delimited())
        Py_RETURN_NONE;
    return decode(reply);
}

// The position to select: the first occurrence of `length` in the channel's list. Raises the
// documented RuntimeError when the list could not be read or is empty, and ValueError when the
// length is not in it.
Py_ssize_t position_of(PyObject *lengths, PyObject *length) {
    const int has_items = lengths == Py_None ? 0 : PyObject_IsTrue(lengths);
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

// Clear and disconnect differ only in their stored parameter bytes; the call writes the channel.
PyObject *channel_command(PyObject *self, PyObject *ch, Command command) {
    long channel = 0;
    if (channel_value(ch, &channel) < 0)
        return nullptr;
    return send_and_acknowledge(self, command, FramePatch::for_channel(channel));
}

} // namespace

PyObject *read_device_version(PyObject *self, PyObject *const *) {
    ReplyBytes reply;
    if (send_for_reply(self, Command::read_device_version, FramePatch::as_stored(), reply) < 0)
        return nullptr;
    if (!reply.delimited() || reply.size() != protocol::version_reply::length)
        Py_RETURN_NONE;
    return version_dict(reply);
}

PyObject *read_optical_length(PyObject *self, PyObject *const *args) {
    return channel_query(self, args[0], Command::read_optical_length, optical_length_list);
}

// Checks `length` against the list of the channel it addresses, so that the position sent is a
// position in that channel's own list. The list is read through `self.read_optical_length`, on
// purpose: a subclass's override is the one used, as in Python.
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
    if (position > protocol::max_byte) {
        PyErr_Format(PyExc_ValueError, "position %zd of the length does not fit in a byte",
                     position);
        return nullptr;
    }
    const auto patch = FramePatch::for_channel(channel).with(
        protocol::set_optical_length_frame::position, static_cast<long>(position));
    return send_and_acknowledge(self, Command::set_optical_length, patch);
}

PyObject *read_current_status(PyObject *self, PyObject *const *args) {
    return channel_query(self, args[0], Command::read_current_status, status_dict);
}

PyObject *close_full_screen(PyObject *self, PyObject *const *) {
    return send_and_acknowledge(self, Command::close_full_screen, FramePatch::as_stored());
}

PyObject *set_attenuation(PyObject *self, PyObject *const *args) {
    long steps = 0;
    long channel = 0;
    if (attenuation_steps(args[0], &steps) < 0 || channel_value(args[1], &channel) < 0)
        return nullptr;
    namespace field = protocol::set_attenuation_frame;
    const auto patch = FramePatch::for_channel(channel)
                           .with(field::value_low, steps & 0xFF)
                           .with(field::value_high, steps >> 8);
    return send_and_acknowledge(self, Command::set_attenuation, patch);
}

PyObject *clear_attenuation(PyObject *self, PyObject *const *args) {
    return channel_command(self, args[0], Command::clear_attenuation);
}

PyObject *dis_connection(PyObject *self, PyObject *const *args) {
    return channel_command(self, args[0], Command::disconnect);
}

} // namespace kq5316::device
