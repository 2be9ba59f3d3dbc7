#include "kq5316/link/exchange.hpp"

#include "kq5316/common/module_state.hpp"
#include "kq5316/common/python_calls.hpp"

namespace kq5316::link {

namespace {

int write_frame(PyObject *self, PyObject *frame) {
    Owned port_object = Owned::steal(PyObject_GetAttr(self, names().ser));
    if (!port_object)
        return -1;
    return call_method(port_object.get(), names().write, frame) ? 0 : -1;
}

int pause() {
    Owned time_module = module_global(names().time);
    if (!time_module)
        return -1;
    return call_method(time_module.get(), names().sleep, names().pause_seconds) ? 0 : -1;
}

} // namespace

Owned exchange(PyObject *self, PyObject *frame) {
    if (write_frame(self, frame) < 0)
        return {};
    if (pause() < 0)
        return {};
    return call_method(self, names().read);
}

// One query of the input buffer and at most one read: exactly the bytes that had arrived.
PyObject *read_reply(PyObject *self, PyObject *const *) {
    Owned port_object = Owned::steal(PyObject_GetAttr(self, names().ser));
    Owned waiting = port_object ? call_method(port_object.get(), names().in_waiting) : Owned();
    if (!waiting)
        return nullptr;
    Owned zero = Owned::steal(PyLong_FromLong(0));
    const int any_waiting = zero ? PyObject_RichCompareBool(waiting.get(), zero.get(), Py_GT) : -1;
    if (any_waiting < 0)
        return nullptr;
    if (!any_waiting)
        Py_RETURN_NONE;
    port_object = Owned::steal(PyObject_GetAttr(self, names().ser));
    if (!port_object)
        return nullptr;
    return call_method(port_object.get(), names().read_method, waiting.get()).release();
}

PyObject *write_and_read(PyObject *, PyObject *const *) {
    Py_RETURN_NONE;
}

} // namespace kq5316::link
