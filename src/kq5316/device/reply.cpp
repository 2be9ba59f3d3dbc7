#include "kq5316/device/reply.hpp"

#include "kq5316/common/owned.hpp"
#include "kq5316/protocol/frame.hpp"

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

void raise_reply_too_short() {
    PyErr_SetString(PyExc_IndexError, "list index out of range");
}

} // namespace kq5316::device
