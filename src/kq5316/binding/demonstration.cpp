#include "kq5316/binding/demonstration.hpp"

#include "kq5316/common/owned.hpp"
#include "kq5316/common/process_globals.hpp"
#include "kq5316/common/python_calls.hpp"

namespace kq5316::binding {

namespace {

constexpr const char *demonstration_port = "/dev/cu.PL2303G-USBtoUART2110";

// Filled in as the demonstration runs; it runs at most once per process, from the import.
DemonstrationReport report;

// The demonstration keeps its variables as module globals and reads them back from there at
// every statement, as a script's top-level code does.
class Script {
  public:
    explicit Script(PyObject *module) : globals_(PyModule_GetDict(module)) {}

    int bind(const char *name, PyObject *value) {
        return value ? PyDict_SetItemString(globals_, name, value) : -1;
    }

    Owned global(const char *name) {
        Owned key = Owned::steal(PyUnicode_FromString(name));
        if (!key)
            return {};
        return module_global(key.get());
    }

    // `kq.<method>(*args)`, with `kq` read back from the namespace.
    Owned call_on_kq(const char *method, const char *format = nullptr, long a = 0, long b = 0) {
        Owned kq = global("kq");
        if (!kq)
            return {};
        if (!format)
            return Owned::steal(PyObject_CallMethod(kq.get(), method, nullptr));
        return Owned::steal(PyObject_CallMethod(kq.get(), method, format, a, b));
    }

    // `name = kq.<method>(channel)` then `print(name)`; channel < 0 means no argument.
    int bind_and_print(const char *name, const char *method, long channel = -1) {
        Owned result = channel < 0 ? call_on_kq(method) : call_on_kq(method, "(l)", channel);
        if (bind(name, result.get()) < 0)
            return -1;
        if (result.get() == Py_None)
            ++report.unanswered_readings;
        Owned bound = global(name);
        return bound ? print_line(bound.get()) : -1;
    }

    int pause(long seconds) {
        Owned time_module = global("time");
        if (!time_module)
            return -1;
        Owned delay = Owned::steal(PyLong_FromLong(seconds));
        return delay && call_method(time_module.get(), names().sleep, delay.get()) ? 0 : -1;
    }

  private:
    PyObject *globals_;
};

int report_failed_open(Script &script) {
    Owned port = script.global("opat_port");
    if (!port)
        return -1;
    Owned empty = Owned::steal(PyUnicode_FromString(""));
    if (!empty)
        return -1;
    Owned formatted = Owned::steal(PyObject_Format(port.get(), empty.get()));
    if (!formatted)
        return -1;
    Owned line = Owned::steal(PyUnicode_FromFormat("open serial port:%U failed!", formatted.get()));
    return line ? print_line(line.get()) : -1;
}

int read_everything(Script &script) {
    if (script.bind_and_print("dev_ver", "read_device_version") < 0 ||
        script.bind_and_print("len_list", "read_optical_length", 1) < 0 ||
        script.bind_and_print("len_list", "read_optical_length", 2) < 0 ||
        script.bind_and_print("dev_status", "read_current_status", 1) < 0 ||
        script.bind_and_print("dev_status", "read_current_status", 2) < 0)
        return -1;
    return 0;
}

int set_then_clear(Script &script) {
    if (!script.call_on_kq("set_attenuation", "(ll)", 1100, 1) ||
        !script.call_on_kq("set_attenuation", "(ll)", 1100, 2) || script.pause(5) < 0)
        return -1;
    if (!script.call_on_kq("clear_attenuation", "(l)", 1) ||
        !script.call_on_kq("clear_attenuation", "(l)", 2) || script.pause(5) < 0)
        return -1;
    return 0;
}

int close_display_and_port(Script &script) {
    Owned closed = script.call_on_kq("close_full_screen");
    if (!closed)
        return -1;
    const int truth = PyObject_IsTrue(closed.get());
    if (truth < 0 || (truth && print_line("succ close full screen!") < 0))
        return -1;
    return script.call_on_kq("close") ? 0 : -1;
}

} // namespace

const DemonstrationReport &last_demonstration_report() {
    return report;
}

int run_demonstration(PyObject *module) {
    report = {};
    Script script(module);
    Owned port = Owned::steal(PyUnicode_FromString(demonstration_port));
    if (script.bind("opat_port", port.get()) < 0)
        return -1;
    Owned cls = script.global(class_name);
    if (!cls)
        return -1;
    Owned port_name = script.global("opat_port");
    if (!port_name)
        return -1;
    if (script.bind("kq", Owned::steal(PyObject_CallOneArg(cls.get(), port_name.get())).get()) < 0)
        return -1;
    Owned opened = script.call_on_kq("open");
    if (!opened)
        return -1;
    const int truth = PyObject_IsTrue(opened.get());
    if (truth < 0)
        return -1;
    if (!truth)
        return report_failed_open(script);
    report.opened = true;
    if (read_everything(script) < 0 || set_then_clear(script) < 0)
        return -1;
    return close_display_and_port(script);
}

} // namespace kq5316::binding
