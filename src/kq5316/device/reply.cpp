#include "kq5316/device/reply.hpp"

#include "kq5316/common/owned.hpp"
#include "kq5316/common/process_globals.hpp"
#include "protocol/replies.hpp"

#include <initializer_list>

namespace kq5316::device {

int ReplyBytes::load(PyObject *reply) {
    if (reply == Py_None)
        return 0;
    if (PyObject_CheckBuffer(reply)) {
        held_ = Owned::steal(PyBytes_FromObject(reply));
        if (!held_)
            return -1;
        bytes_ = {reinterpret_cast<const std::uint8_t *>(PyBytes_AS_STRING(held_.get())),
                  static_cast<std::size_t>(PyBytes_GET_SIZE(held_.get()))};
        return 0;
    }
    // Anything else that is empty counts as no reply, as `if not reply` would judge it.
    const int truth = PyObject_IsTrue(reply);
    if (truth <= 0)
        return truth;
    PyErr_Format(PyExc_TypeError, "the port returned %.200s where bytes were expected",
                 Py_TYPE(reply)->tp_name);
    return -1;
}

namespace {

using protocol::ReplyLayout;

// IndexError, as Python's for a list read past its end, when a reply is shorter than the fields
// it announces; 0 when it holds them.
int check_fields_fit(const protocol::ReplyShape &shape, const ReplyBytes &reply) {
    if (reply.bytes().size() >= protocol::fields_end(shape, reply.bytes()))
        return 0;
    PyErr_SetString(PyExc_IndexError, "list index out of range");
    return -1;
}

// A new dict with the layout's fields under `keys`, in the layout's order.
PyObject *field_dict(ReplyLayout layout, const ReplyBytes &reply,
                     std::initializer_list<PyObject *> keys) {
    const protocol::ReplyShape shape = protocol::reply_shape(layout);
    if (check_fields_fit(shape, reply) < 0)
        return nullptr;
    Owned result = Owned::steal(PyDict_New());
    if (!result)
        return nullptr;
    PyObject *const *key = keys.begin();
    for (const protocol::Field &field : shape.used()) {
        Owned value = Owned::steal(PyLong_FromLong(protocol::field_value(field, reply.bytes())));
        if (!value || PyDict_SetItem(result.get(), *key++, value.get()) < 0)
            return nullptr;
    }
    return result.release();
}

} // namespace

PyObject *version_dict(const ReplyBytes &reply) {
    if (!protocol::fits_shape(protocol::reply_shape(ReplyLayout::version), reply.bytes()))
        Py_RETURN_NONE;
    const Names &key = names();
    return field_dict(ReplyLayout::version, reply,
                      {key.module_version, key.hard_version, key.soft_version});
}

PyObject *optical_length_list(const ReplyBytes &reply) {
    const protocol::ReplyShape shape = protocol::reply_shape(ReplyLayout::wavelengths);
    if (check_fields_fit(shape, reply) < 0)
        return nullptr;
    const protocol::Field &field = shape.fields[0];
    const std::size_t count = protocol::value_count(field, reply.bytes());
    Owned lengths = Owned::steal(PyList_New(static_cast<Py_ssize_t>(count)));
    if (!lengths)
        return nullptr;
    for (std::size_t i = 0; i < count; ++i) {
        PyObject *value = PyLong_FromLong(protocol::field_value(field, reply.bytes(), i));
        if (!value)
            return nullptr;
        PyList_SET_ITEM(lengths.get(), static_cast<Py_ssize_t>(i), value);
    }
    return lengths.release();
}

PyObject *status_dict(const ReplyBytes &reply) {
    const Names &key = names();
    return field_dict(ReplyLayout::status, reply,
                      {key.dev_work_mode, key.optical_length_index, key.attenuation});
}

} // namespace kq5316::device
