#include "kq5316/common/module_state.hpp"

#include <iterator>

namespace kq5316 {

namespace {

PyObject *module_object = nullptr;
// Set by an embedding launcher before it imports the module; read once by the execute step.
bool run_as_main = false;
bool names_ready = false;
Names interned{};

int intern(PyObject *&slot, const char *text) {
    slot = PyUnicode_InternFromString(text);
    return slot ? 0 : -1;
}

static_assert(std::size(Names{}.constants) == protocol::command_table.size());

// The constant names are private to the class, so it stores them with its name prefixed.
int intern_constant_names() {
    for (std::size_t i = 0; i < protocol::command_table.size(); ++i) {
        // Every name in the table is a string literal, so its data ends with a NUL.
        PyObject *name =
            PyUnicode_FromFormat("_KQ5316%s", protocol::command_table[i].constant_name.data());
        if (!name)
            return -1;
        PyUnicode_InternInPlace(&name);
        interned.constants[i] = name;
    }
    return 0;
}

} // namespace

PyObject *initialised_module() {
    return module_object;
}

void set_initialised_module(PyObject *module) {
    Py_INCREF(module);
    Py_XSETREF(module_object, module);
}

void clear_initialised_module() {
    Py_CLEAR(module_object);
}

bool marked_as_main() {
    return run_as_main;
}
void mark_as_main() {
    run_as_main = true;
}

int init_names() {
    if (names_ready)
        return 0;
    Names &n = interned;
    if (intern(n.ser, "ser") < 0 || intern(n.port, "port") < 0 ||
        intern(n.read, "_KQ5316__read") < 0 ||
        intern(n.read_optical_length, "read_optical_length") < 0 ||
        intern(n.check_port_available, "check_port_available") < 0 ||
        intern(n.write, "write") < 0 || intern(n.sleep, "sleep") < 0 ||
        intern(n.in_waiting, "inWaiting") < 0 || intern(n.read_method, "read") < 0 ||
        intern(n.close, "close") < 0 || intern(n.serial, "serial") < 0 ||
        intern(n.time, "time") < 0 || intern(n.platform, "platform") < 0 ||
        intern(n.subprocess, "subprocess") < 0 || intern(n.serial_class, "Serial") < 0 ||
        intern(n.serial_exception, "SerialException") < 0 || intern(n.system, "system") < 0 ||
        intern(n.lower, "lower") < 0 || intern(n.run, "run") < 0 || intern(n.pipe, "PIPE") < 0 ||
        intern(n.stdout_name, "stdout") < 0 || intern(n.stderr_name, "stderr") < 0 ||
        intern(n.timeout, "timeout") < 0 || intern(n.stopbits, "stopbits") < 0 ||
        intern(n.print, "print") < 0 || intern(n.module_version, "module_version") < 0 ||
        intern(n.hard_version, "hard_version") < 0 || intern(n.soft_version, "soft_version") < 0 ||
        intern(n.dev_work_mode, "dev_work_mode") < 0 ||
        intern(n.optical_length_index, "optical_length_index") < 0 ||
        intern(n.attenuation, "attenuation") < 0 || intern_constant_names() < 0)
        return -1;
    n.pause_seconds = PyFloat_FromDouble(0.2);
    n.default_channel = PyLong_FromLong(1);
    if (!n.pause_seconds || !n.default_channel)
        return -1;
    names_ready = true;
    return 0;
}

const Names &names() {
    return interned;
}

} // namespace kq5316
