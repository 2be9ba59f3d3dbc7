#include "kq5316/link/exchange.hpp"

#include "kq5316/common/python_code.hpp"

namespace kq5316::link {

namespace {

// Every name is looked up at the moment its line runs, so a reply read replaced during the write
// or the pause is the one called.
PythonStep exchange_step = {"exchange", R"(
def exchange(self, frame):
    self.ser.write(frame)
    time.sleep(0.2)
    return self._KQ5316__read()
)",
                            nullptr};

// One query of the input buffer and at most one read, so the reply is exactly the bytes that had
// arrived.
PythonStep read_step = {"read_reply", R"(
def read_reply(self):
    waiting = self.ser.inWaiting()
    if waiting > 0:
        return self.ser.read(waiting)
    return None
)",
                        nullptr};

} // namespace

Owned exchange(PyObject *self, PyObject *frame) {
    PyObject *args[] = {self, frame};
    return run_python_step(exchange_step, args, 2);
}

PyObject *read_reply(PyObject *self, PyObject *const *) {
    return run_python_step(read_step, &self, 1).release();
}

PyObject *write_and_read(PyObject *, PyObject *const *) {
    Py_RETURN_NONE;
}

} // namespace kq5316::link
