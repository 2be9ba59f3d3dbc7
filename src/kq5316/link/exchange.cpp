#include "kq5316/link/exchange.hpp"

#include "kq5316/common/process_globals.hpp"
#include "kq5316/common/python_calls.hpp"

namespace kq5316::link {

namespace {

// `self.ser.<method>(*arg)`, with `ser` read afresh, as each line of a Python method would.
Owned call_port(PyObject *self, PyObject *method, PyObject *arg = nullptr) {
    Owned port = Owned::steal(PyObject_GetAttr(self, names().ser));
    if (!port)
        return {};
    return arg ? call_method(port.get(), method, arg) : call_method(port.get(), method);
}

} // namespace

// Every name is looked up when its step runs: rebinding the module's `time` takes effect at the
// next pause, and a reply read replaced during the write or the pause is the one called.
Owned exchange(PyObject *self, PyObject *frame) {
    if (!call_port(self, names().write, frame))
        return {};
    Owned time = module_global(names().time);
    if (!time || !call_method(time.get(), names().sleep, names().pause))
        return {};
    return call_method(self, names().read_reply);
}

// One query of the input buffer and at most one read, so the reply is exactly the bytes that had
// arrived; None when nothing had.
PyObject *read_reply(PyObject *self, PyObject *const *) {
    Owned waiting = call_port(self, names().in_waiting);
    Owned zero = waiting ? Owned::steal(PyLong_FromLong(0)) : Owned();
    const int any = zero ? PyObject_RichCompareBool(waiting.get(), zero.get(), Py_GT) : -1;
    if (any <= 0)
        return any < 0 ? nullptr : Py_NewRef(Py_None);
    return call_port(self, names().read, waiting.get()).release();
}

PyObject *write_and_read(PyObject *, PyObject *const *) {
    Py_RETURN_NONE;
}

} // namespace kq5316::link
