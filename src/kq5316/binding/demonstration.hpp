// The fixed demonstration the module runs when it is executed as the main program: one
// instrument on a fixed port, driven from open to close.
#pragma once

#include <Python.h>

namespace kq5316::binding {

// Runs the demonstration in the module's namespace; -1 with the exception set when a call fails.
int run_demonstration(PyObject *module);

// How the last demonstration went, for the launcher's exit status: whether the port opened, and
// how many of its five readings came back as None. It runs at most once per process, from the
// import.
struct DemonstrationReport {
    bool opened = false;
    int unanswered_readings = 0;
};
inline DemonstrationReport demonstration_report;

} // namespace kq5316::binding
