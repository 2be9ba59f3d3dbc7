#include "kq5316/link/exchange.hpp"

#include "kq5316/common/process_globals.hpp"

namespace kq5316::link {

namespace {

// The exchange and the reply read are nothing but calls into Python: the port's methods,
// `time.sleep` and the object's reply read. They are written here as the Python code they are,
// compiled on first use with the module's namespace as their globals, so every name is looked up
// when its line runs, as in any Python method: a reply read replaced during the write or the
// pause is the one called, and rebinding the module's `time` takes effect at the next pause.
struct PythonStep {
    const char *name;   // the function the source defines
    const char *source; // one function definition
    PyObject *function; // process global: compiled on first use and kept, or null
};

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

// Runs the definition in a namespace of its own, so that the module's namespace keeps exactly the
// names it is documented to have, and takes the function out of it.
Owned compile_step(const PythonStep &step) {
    PyObject *module = initialised_module();
    if (!module) {
        PyErr_SetString(PyExc_RuntimeError, "the kq5316 module is not initialised");
        return {};
    }
    Owned code = Owned::steal(Py_CompileString(step.source, "<kq5316>", Py_file_input));
    Owned definitions = code ? Owned::steal(PyDict_New()) : Owned();
    if (!definitions ||
        !Owned::steal(PyEval_EvalCode(code.get(), PyModule_GetDict(module), definitions.get())))
        return {};
    PyObject *function = PyDict_GetItemString(definitions.get(), step.name);
    if (!function) {
        PyErr_Format(PyExc_SystemError, "kq5316: %s was not defined", step.name);
        return {};
    }
    return Owned::borrow(function);
}

// `step(*args)`, compiling the step first if need be.
Owned run(PythonStep &step, PyObject *const *args, std::size_t nargs) {
    if (!step.function) {
        // Compiling runs Python code, so another thread may have made the function meanwhile:
        // then that one is kept.
        Owned made = compile_step(step);
        if (!made)
            return {};
        if (!step.function)
            step.function = made.release();
    }
    return Owned::steal(PyObject_Vectorcall(step.function, args, nargs, nullptr));
}

} // namespace

Owned exchange(PyObject *self, PyObject *frame) {
    PyObject *args[] = {self, frame};
    return run(exchange_step, args, 2);
}

PyObject *read_reply(PyObject *self, PyObject *const *) {
    return run(read_step, &self, 1).release();
}

PyObject *write_and_read(PyObject *, PyObject *const *) {
    Py_RETURN_NONE;
}

} // namespace kq5316::link
