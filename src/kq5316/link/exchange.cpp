#include "kq5316/link/exchange.hpp"

#include "kq5316/common/process_globals.hpp"
#include "kq5316/common/python_calls.hpp"

namespace kq5316::link {

// `self.ser.write(frame)`, `time.sleep(0.2)`, then `self._KQ5316__read()`: each name is looked up
// at the moment Python code would look it up, so a reply read replaced during the write or the
// pause is the one called.
Owned exchange(PyObject *self, PyObject *frame) {
    Owned port = Owned::steal(PyObject_GetAttr(self, names().ser));
    if (!port || !call_method(port.get(), names().write, frame))
        return {};
    Owned time = module_global(names().time);
    if (!time || !call_method(time.get(), names().sleep, names().pause_seconds))
        return {};
    return call_method(self, names().read);
}

// One query of the input buffer and at most one read, so the reply is exactly the bytes that had
// arrived: `waiting = self.ser.inWaiting()`, then `self.ser.read(waiting)` if `waiting > 0`.
PyObject *read_reply(PyObject *self, PyObject *const *) {
    Owned port = Owned::steal(PyObject_GetAttr(self, names().ser));
    Owned waiting = port ? call_method(port.get(), names().in_waiting) : Owned();
    if (!waiting)
        return nullptr;
    Owned zero = Owned::steal(PyLong_FromLong(0));
    const int any = zero ? PyObject_RichCompareBool(waiting.get(), zero.get(), Py_GT) : -1;
    if (any <= 0)
        return any < 0 ? nullptr : Py_NewRef(Py_None);
    port = Owned::steal(PyObject_GetAttr(self, names().ser));
    return port ? call_method(port.get(), names().read_method, waiting.get()).release() : nullptr;
}

PyObject *write_and_read(PyObject *, PyObject *const *) {
    Py_RETURN_NONE;
}

} // namespace kq5316::link
