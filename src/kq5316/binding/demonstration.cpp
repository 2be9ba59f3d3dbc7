#include "kq5316/binding/demonstration.hpp"

#include "kq5316/common/owned.hpp"
#include "kq5316/common/process_globals.hpp"
#include "kq5316/common/python_calls.hpp"

namespace kq5316::binding {

namespace {

constexpr const char *demonstration_port = "/dev/cu.PL2303G-USBtoUART2110";

// The demonstration keeps its variables as module globals and reads them back from there at
// every statement, as a script's top-level code does.
int bind(PyObject *module, const char *name, PyObject *value) {
    return value ? PyDict_SetItemString(PyModule_GetDict(module), name, value) : -1;
}

// `kq.<method>(*args)`, with `kq` read back from the namespace; `format` builds the arguments
// from `a` and `b` as Py_BuildValue does, and null means none.
Owned call_on_kq(const char *method, const char *format = nullptr, long a = 0, long b = 0) {
    Owned kq = module_global("kq");
    return kq ? Owned::steal(PyObject_CallMethod(kq.get(), method, format, a, b)) : Owned();
}

// `name = kq.<method>(channel)` then `print(name)`; channel 0 means no argument.
struct Reading {
    const char *name;
    const char *method;
    long channel;
};
constexpr Reading readings[] = {
    {"dev_ver", "read_device_version", 0},    {"len_list", "read_optical_length", 1},
    {"len_list", "read_optical_length", 2},   {"dev_status", "read_current_status", 1},
    {"dev_status", "read_current_status", 2},
};

int read_everything(PyObject *module) {
    for (const Reading &reading : readings) {
        Owned result =
            call_on_kq(reading.method, reading.channel ? "(l)" : nullptr, reading.channel);
        if (bind(module, reading.name, result.get()) < 0)
            return -1;
        if (result.get() == Py_None)
            ++demonstration_report.unanswered_readings;
        Owned bound = module_global(reading.name);
        if (!bound || print_line(bound.get()) < 0)
            return -1;
    }
    return 0;
}

int pause(long seconds) {
    Owned time_module = module_global("time");
    Owned delay = time_module ? Owned::steal(PyLong_FromLong(seconds)) : Owned();
    return delay && call_method(time_module.get(), names().sleep, delay.get()) ? 0 : -1;
}

int set_then_clear() {
    if (!call_on_kq("set_attenuation", "(ll)", 1100, 1) ||
        !call_on_kq("set_attenuation", "(ll)", 1100, 2) || pause(5) < 0)
        return -1;
    if (!call_on_kq("clear_attenuation", "(l)", 1) || !call_on_kq("clear_attenuation", "(l)", 2) ||
        pause(5) < 0)
        return -1;
    return 0;
}

int close_display_and_port() {
    Owned closed = call_on_kq("close_full_screen");
    const int truth = closed ? PyObject_IsTrue(closed.get()) : -1;
    if (truth < 0 || (truth && print_line("succ close full screen!") < 0))
        return -1;
    return call_on_kq("close") ? 0 : -1;
}

// "open serial port:<port> failed!", the port formatted as `format(port, "")` formats it.
int report_failed_open() {
    Owned port = module_global("opat_port");
    Owned empty = port ? Owned::steal(PyUnicode_FromString("")) : Owned();
    Owned formatted = empty ? Owned::steal(PyObject_Format(port.get(), empty.get())) : Owned();
    if (!formatted)
        return -1;
    Owned line = Owned::steal(PyUnicode_FromFormat("open serial port:%U failed!", formatted.get()));
    return line ? print_line(line.get()) : -1;
}

} // namespace

int run_demonstration(PyObject *module) {
    demonstration_report = {};
    Owned port = Owned::steal(PyUnicode_FromString(demonstration_port));
    if (bind(module, "opat_port", port.get()) < 0)
        return -1;
    Owned cls = module_global(class_name);
    Owned port_name = cls ? module_global("opat_port") : Owned();
    if (!port_name ||
        bind(module, "kq", Owned::steal(PyObject_CallOneArg(cls.get(), port_name.get())).get()) < 0)
        return -1;
    Owned opened = call_on_kq("open");
    const int truth = opened ? PyObject_IsTrue(opened.get()) : -1;
    if (truth <= 0)
        return truth < 0 ? -1 : report_failed_open();
    demonstration_report.opened = true;
    if (read_everything(module) < 0 || set_then_clear() < 0)
        return -1;
    return close_display_and_port();
}

} // namespace kq5316::binding
