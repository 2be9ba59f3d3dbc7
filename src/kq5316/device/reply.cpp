#include "kq5316/device/reply.hpp"

#include "kq5316/common/owned.hpp"
#include "kq5316/protocol/frame.hpp"

namespace kq5316::device {

ReplyBytes::~ReplyBytes() {
    if (has_view_)
        PyBuffer_Release(&view_);
    Py_XDECREF(bytes_object_);
}

int ReplyBytes::load(PyObject *reply) {
    if (reply == Py_None)
        return 0;
    // What pyserial returns: its bytes cannot change, so they are read in place.
    if (PyBytes_CheckExact(reply)) {
        bytes_object_ = Py_NewRef(reply);
        bytes_ = {reinterpret_cast<const std::uint8_t *>(PyBytes_AS_STRING(reply)),
                  static_cast<std::size_t>(PyBytes_GET_SIZE(reply))};
        return 0;
    }
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

bool ReplyBytes::delimited() const {
    return !bytes_.empty() && bytes_.front() == protocol::start_byte &&
           bytes_.back() == protocol::end_byte;
}

namespace {

Owned built_dict(std::initializer_list<ResultField> fields) {
    Owned result = Owned::steal(PyDict_New());
    if (!result)
        return {};
    for (const ResultField &field : fields) {
        Owned value = Owned::steal(PyLong_FromLong(field.value));
        if (!value || PyDict_SetItem(result.get(), field.key, value.get()) < 0)
            return {};
    }
    return result;
}

bool same_values(const ResultTemplate &last, std::initializer_list<ResultField> fields) {
    std::size_t i = 0;
    for (const ResultField &field : fields) {
        if (last.values[i++] != field.value)
            return false;
    }
    return true;
}

} // namespace

PyObject *result_dict(ResultTemplate &last, std::initializer_list<ResultField> fields) {
    if (!last.dict || !same_values(last, fields)) {
        Owned made = built_dict(fields);
        if (!made)
            return nullptr;
        // Releasing the old template runs no Python code: it holds only strings and ints.
        Py_XSETREF(last.dict, made.release());
        std::size_t i = 0;
        for (const ResultField &field : fields)
            last.values[i++] = field.value;
    }
    return PyDict_Copy(last.dict);
}

void raise_reply_too_short() {
    PyErr_SetString(PyExc_IndexError, "list index out of range");
}

} // namespace kq5316::device
