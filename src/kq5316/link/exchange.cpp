#include "kq5316/link/exchange.hpp"

#include "kq5316/common/module_state.hpp"
#include "kq5316/common/python_calls.hpp"
#include "kq5316/common/python_code.hpp"

namespace kq5316::link {

namespace {

// The write to the port the caller looked up, the pause through the module's `time`, and the
// reply read through the instance.
PythonStep exchange_step = {"exchange", R"(
def exchange(self, port, frame):
    port.write(frame)
    time.sleep(0.2)
    return self._KQ5316__read()
)",
                            nullptr};

// One query of the input buffer and at most one read: exactly the bytes that had arrived.
PythonStep read_step = {"read_reply", R"(
def read_reply(self):
    waiting = self.ser.inWaiting()
    if waiting > 0:
        return self.ser.read(waiting)
    return None
)",
                        nullptr};

} // namespace

Owned exchange(PyObject *self, PyObject *port, PyObject *frame) {
    if (!port) // the lookup failed: raise its error here, after the frame was patched
        return Owned::steal(PyObject_GetAttr(self, names().ser));
    PyObject *step = python_step(exchange_step);
    if (!step)
        return {};
    PyObject *args[] = {self, port, frame};
    return Owned::steal(run_python_step(step, args, 3));
}

PyObject *read_reply(PyObject *self, PyObject *const *) {
    PyObject *step = python_step(read_step);
    if (!step)
        return nullptr;
    return run_python_step(step, &self, 1);
}

PyObject *write_and_read(PyObject *, PyObject *const *) {
    Py_RETURN_NONE;
}

} // namespace kq5316::link
