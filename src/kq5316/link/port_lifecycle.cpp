#include "kq5316/link/port_lifecycle.hpp"

#include <utility>

#include "kq5316/common/owned.hpp"
#include "kq5316/common/process_globals.hpp"
#include "kq5316/common/python_calls.hpp"
#include "kq5316/link/locks.hpp"

namespace kq5316::link {

namespace {

// One line of 78 characters, with 23 blanks before "again!", as users have always seen it.
constexpr const char *already_opened_message =
    "serial port already opened!, Please close and try                       again!";

// Printed in front of the exception's text when the lsof check fails.
constexpr const char *check_failed_prefix = "检查端口时出错: ";

constexpr long baud_rate = 115200;
constexpr long data_bits = 8;
constexpr const char *parity_none = "N";
constexpr long read_timeout_seconds = 50;
constexpr long stop_bits = 1;

// `serial.<name>`, with `serial` looked up in the module's namespace at each use.
Owned serial_attribute(const char *name) {
    Owned serial = module_global("serial");
    return serial ? Owned::steal(PyObject_GetAttrString(serial.get(), name)) : Owned();
}

// 1 when the exception being handled is a `serial.SerialException`, 0 when not, -1 when the
// class cannot be looked up (that error then replaces the one being handled, as in Python).
int handling_serial_exception() {
    Owned pending = fetch_error();
    Owned serial_exception = serial_attribute("SerialException");
    if (!serial_exception)
        return -1;
    restore_error(std::move(pending));
    return PyErr_ExceptionMatches(serial_exception.get());
}

// `serial.Serial(self.port)`, or with the instrument's line settings when `configured`.
Owned new_port(PyObject *self, bool configured) {
    Owned serial_class = serial_attribute("Serial");
    Owned port = serial_class ? Owned::steal(PyObject_GetAttr(self, names().port)) : Owned();
    if (!port)
        return {};
    if (!configured)
        return Owned::steal(PyObject_CallOneArg(serial_class.get(), port.get()));
    Owned settings =
        Owned::steal(Py_BuildValue("(Olls)", port.get(), baud_rate, data_bits, parity_none));
    Owned keywords = Owned::steal(
        Py_BuildValue("{s:l,s:l}", "timeout", read_timeout_seconds, "stopbits", stop_bits));
    if (!settings || !keywords)
        return {};
    return Owned::steal(PyObject_Call(serial_class.get(), settings.get(), keywords.get()));
}

// Prints `prefix` followed directly by the text of the exception being handled, which it
// clears, and answers False. The format string must be ASCII; the prefix goes in as a UTF-8
// argument.
PyObject *report_and_refuse(const char *prefix) {
    Owned error = fetch_error();
    Owned line = Owned::steal(PyUnicode_FromFormat("%s%S", prefix, error.get()));
    if (!line || print_line(line.get()) < 0)
        return nullptr;
    Py_RETURN_FALSE;
}

// Whether the port can be opened at all: a serial.SerialException on the way means it cannot.
PyObject *probe_by_opening(PyObject *self) {
    Owned probe = new_port(self, false);
    if (probe && Owned::steal(PyObject_CallMethod(probe.get(), "close", nullptr)))
        Py_RETURN_TRUE;
    const int matches = handling_serial_exception();
    if (matches <= 0)
        return nullptr;
    PyErr_Clear();
    Py_RETURN_FALSE;
}

// The port name as lsof is to read it: unchanged, except that a name lsof would take for one of
// its options (a relative path beginning with '-' or '+') is given as the same file under the
// name "./<name>". Otherwise "-h" would be reported free whatever holds it, "-p1" busy, and
// "-r1" would make lsof repeat for ever.
Owned lsof_operand(PyObject *port) {
    if (!PyUnicode_Check(port) || PyUnicode_GET_LENGTH(port) == 0)
        return Owned::borrow(port);
    const Py_UCS4 first = PyUnicode_READ_CHAR(port, 0);
    if (first != '-' && first != '+')
        return Owned::borrow(port);
    return Owned::steal(PyUnicode_FromFormat("./%U", port));
}

// `subprocess.run(["lsof", name], stdout=PIPE, stderr=PIPE)`, with `name` the port's as lsof is
// to read it: the port is free when lsof prints nothing on its standard output.
Owned run_lsof(PyObject *self) {
    Owned subprocess = module_global("subprocess");
    Owned run =
        subprocess ? Owned::steal(PyObject_GetAttrString(subprocess.get(), "run")) : Owned();
    Owned pipe = run ? Owned::steal(PyObject_GetAttrString(subprocess.get(), "PIPE")) : Owned();
    Owned port = pipe ? Owned::steal(PyObject_GetAttr(self, names().port)) : Owned();
    Owned operand = port ? lsof_operand(port.get()) : Owned();
    if (!operand)
        return {};
    Owned arguments = Owned::steal(Py_BuildValue("([sO])", "lsof", operand.get()));
    Owned keywords =
        Owned::steal(Py_BuildValue("{s:O,s:O}", "stdout", pipe.get(), "stderr", pipe.get()));
    if (!arguments || !keywords)
        return {};
    return Owned::steal(PyObject_Call(run.get(), arguments.get(), keywords.get()));
}

// Free when lsof printed nothing. Failures of the check are reported and answer False; what is
// not an Exception passes on.
PyObject *probe_with_lsof(PyObject *self) {
    Owned result = run_lsof(self);
    Owned output = result ? Owned::steal(PyObject_GetAttrString(result.get(), "stdout")) : Owned();
    const int has_output = output ? PyObject_IsTrue(output.get()) : -1;
    if (has_output >= 0)
        return PyBool_FromLong(!has_output);
    if (!PyErr_ExceptionMatches(PyExc_Exception))
        return nullptr;
    return report_and_refuse(check_failed_prefix);
}

// Whether the running system is Windows: `platform.system().lower() == "windows"`.
int running_on_windows() {
    Owned platform = module_global("platform");
    Owned system =
        platform ? Owned::steal(PyObject_CallMethod(platform.get(), "system", nullptr)) : Owned();
    Owned lowered =
        system ? Owned::steal(PyObject_CallMethod(system.get(), "lower", nullptr)) : Owned();
    Owned windows = lowered ? Owned::steal(PyUnicode_FromString("windows")) : Owned();
    return windows ? PyObject_RichCompareBool(lowered.get(), windows.get(), Py_EQ) : -1;
}

// The steps of open() inside its exception guard: check, then create the port object and keep
// it. The check is called through `self`, on purpose: a subclass's override is the one used.
PyObject *check_and_open(PyObject *self) {
    Owned available = Owned::steal(PyObject_CallMethod(self, "check_port_available", nullptr));
    const int truth = available ? PyObject_IsTrue(available.get()) : -1;
    if (truth < 0)
        return nullptr;
    if (!truth) {
        if (print_line(already_opened_message) < 0)
            return nullptr;
        Py_RETURN_FALSE;
    }
    Owned port_object = new_port(self, true);
    if (!port_object || PyObject_SetAttr(self, names().ser, port_object.get()) < 0)
        return nullptr;
    Py_RETURN_TRUE;
}

} // namespace

PyObject *init(PyObject *self, PyObject *const *args) {
    if (PyObject_SetAttr(self, names().port, args[0]) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

PyObject *check_port_available(PyObject *self, PyObject *const *) {
    const int windows = running_on_windows();
    if (windows < 0)
        return nullptr;
    return windows ? probe_by_opening(self) : probe_with_lsof(self);
}

// Port failures are reported and become False; any other Exception becomes False silently;
// anything that is not an Exception (KeyboardInterrupt, SystemExit) reaches the caller.
PyObject *open(PyObject *self, PyObject *const *) {
    PyObject *result = check_and_open(self);
    if (result)
        return result;
    const int port_failure = handling_serial_exception();
    if (port_failure < 0)
        return nullptr;
    if (port_failure)
        return report_and_refuse("Cannot open serial port");
    if (!PyErr_ExceptionMatches(PyExc_Exception))
        return nullptr;
    PyErr_Clear();
    Py_RETURN_FALSE;
}

// Waits for an exchange in progress on the object (its lock), so that the port is not closed
// between a command's write and its reply read.
PyObject *close(PyObject *self, PyObject *const *) {
    InstrumentLock lock;
    if (lock.acquire(self) < 0)
        return nullptr;
    Owned port_object = Owned::steal(PyObject_GetAttr(self, names().ser));
    Owned closed = port_object
                       ? Owned::steal(PyObject_CallMethod(port_object.get(), "close", nullptr))
                       : Owned();
    return closed ? Py_NewRef(Py_None) : nullptr;
}

} // namespace kq5316::link
