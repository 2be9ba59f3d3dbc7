#include "kq5316/link/exchange.hpp"

#include "kq5316/common/module_state.hpp"
#include "kq5316/common/python_code.hpp"

namespace kq5316::link {

namespace {

// The reply read's lines: one query of the input buffer and at most one read, so the reply is
// exactly the bytes that had arrived.
constexpr const char *reply_read_lines = R"(
    waiting = self.ser.inWaiting()
    if waiting > 0:
        return self.ser.read(waiting)
    return None
)";

PythonStep read_step = {"read_reply", "def read_reply(self):", reply_read_lines, nullptr};

// The write to the port, the pause through the module's `time`, and the reply read through the
// instance, in two versions. When the instance's reply read is the class's own, the exchange runs
// its lines itself: calling it would go from the interpreter into this module and back into the
// interpreter, which costs more than all the rest of a short operation.
constexpr const char *write_and_pause_lines = R"(
def exchange(self, frame):
    self.ser.write(frame)
    time.sleep(0.2))";

PythonStep exchange_calling_reply_read = {"exchange", write_and_pause_lines, R"(
    return self._KQ5316__read()
)",
                                          nullptr};
PythonStep exchange_reading_here = {"exchange", write_and_pause_lines, reply_read_lines, nullptr};

// The function object the class was built with for `__read`, or null before that.
PyObject *own_reply_read = nullptr;

// A version tag of a type whose method resolution order finds the class's own reply read first.
// The interpreter gives a type a new tag whenever its attributes, or those of a class it inherits
// from, change, and never gives the same tag to two types, so while a type shows this tag the
// lookup need not be repeated. 0 (no type has it): none found yet.
unsigned int own_reply_read_type_version = 0;

bool finds_own_reply_read(PyTypeObject *type) {
    if (own_reply_read_type_version != 0 && PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) &&
        type->tp_version_tag == own_reply_read_type_version)
        return true;
    if (_PyType_Lookup(type, names().read) != own_reply_read)
        return false;
    // The lookup gives the type a tag when it has none and tags are left.
    if (PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG))
        own_reply_read_type_version = type->tp_version_tag;
    return true;
}

// Whether `self._KQ5316__read` gives the class's own reply read bound to `self`: the type's method
// resolution order finds that very function first, nothing on the object itself shadows it, and
// the type looks attributes up the standard way. An override in a subclass or on the object, a
// replacement on the class and a type with its own `__getattribute__` or `__getattr__` are all
// called through the instance as usual. Decided when the exchange starts: only the port's `write`
// and the pause run between this check and the read.
bool reads_with_own_reply_read(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    if (!own_reply_read || type->tp_getattro != PyObject_GenericGetAttr)
        return false;
    // Only the class's own function here: the lookup below then calls no descriptor's code.
    if (!finds_own_reply_read(type))
        return false;
    PyObject *found = nullptr;
    const int unbound = _PyObject_GetMethod(self, names().read, &found);
    if (!found) {
        PyErr_Clear(); // the exchange's own lookup meets the same error, at its moment
        return false;
    }
    const bool own = unbound && found == own_reply_read;
    Py_DECREF(found);
    return own;
}

} // namespace

Owned exchange(PyObject *self, PyObject *frame) {
    PyObject *step = python_step(reads_with_own_reply_read(self) ? exchange_reading_here
                                                                 : exchange_calling_reply_read);
    if (!step)
        return {};
    PyObject *args[] = {self, frame};
    return Owned::steal(run_python_step(step, args, 2));
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

void keep_own_reply_read(PyObject *function) {
    Py_XSETREF(own_reply_read, Py_NewRef(function));
}

} // namespace kq5316::link
