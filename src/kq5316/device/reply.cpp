#include "kq5316/device/reply.hpp"

#include "kq5316/common/owned.hpp"
#include "kq5316/common/process_globals.hpp"
#include "kq5316/protocol/reply_fields.hpp"

#include <initializer_list>

namespace kq5316::device {

// Anything but None and exact bytes, which the header reads inline.
int ReplyBytes::load_other(PyObject *reply) {
    if (!PyObject_CheckBuffer(reply)) {
        // Anything empty counts as no reply, as `if not reply` would judge it.
        const int truth = PyObject_IsTrue(reply);
        if (truth <= 0)
            return truth;
    }
    if (PyObject_GetBuffer(reply, &view_, PyBUF_SIMPLE) < 0) {
        PyErr_Format(PyExc_TypeError, "the port returned %.200s where bytes were expected",
                     Py_TYPE(reply)->tp_name);
        return -1;
    }
    has_view_ = true;
    bytes_ = {static_cast<const std::uint8_t *>(view_.buf), static_cast<std::size_t>(view_.len)};
    return 0;
}

namespace {

struct ResultField {
    PyObject *key;
    long value;
};

// A new dict with `fields`, in order.
PyObject *result_dict(std::initializer_list<ResultField> fields) {
    Owned result = Owned::steal(PyDict_New());
    if (!result)
        return nullptr;
    for (const ResultField &field : fields) {
        Owned value = Owned::steal(PyLong_FromLong(field.value));
        if (!value || PyDict_SetItem(result.get(), field.key, value.get()) < 0)
            return nullptr;
    }
    return result.release();
}

PyObject *raise_reply_too_short() {
    PyErr_SetString(PyExc_IndexError, "list index out of range");
    return nullptr;
}

} // namespace

PyObject *version_dict(const ReplyBytes &reply) {
    namespace field = protocol::version_reply;
    const Names &key = names();
    return result_dict({{key.module_version, reply[field::module_version]},
                        {key.hard_version, reply[field::hard_version]},
                        {key.soft_version, reply[field::soft_version]}});
}

// The count at index 5, then that many 16-bit values.
PyObject *optical_length_list(const ReplyBytes &reply) {
    namespace field = protocol::optical_length_reply;
    if (reply.size() <= field::count)
        return raise_reply_too_short();
    const std::size_t count = reply[field::count];
    if (reply.size() < field::needed_length(count))
        return raise_reply_too_short();
    Owned lengths = Owned::steal(PyList_New(static_cast<Py_ssize_t>(count)));
    if (!lengths)
        return nullptr;
    for (std::size_t i = 0; i < count; ++i) {
        PyObject *value =
            PyLong_FromLong(protocol::read_u16(reply.bytes(), field::first_value + 2 * i));
        if (!value)
            return nullptr;
        PyList_SET_ITEM(lengths.get(), static_cast<Py_ssize_t>(i), value);
    }
    return lengths.release();
}

PyObject *status_dict(const ReplyBytes &reply) {
    namespace field = protocol::status_reply;
    if (reply.size() < field::min_length)
        return raise_reply_too_short();
    const long steps = protocol::read_u16(reply.bytes(), field::attenuation_low);
    const Names &key = names();
    return result_dict({{key.dev_work_mode, reply[field::dev_work_mode]},
                        {key.optical_length_index, reply[field::optical_length_index]},
                        {key.attenuation, protocol::mdb_from_steps(steps)}});
}

} // namespace kq5316::device
