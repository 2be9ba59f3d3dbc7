// The interpreter half of kq5316-demo, built as a shared library that the launcher program
// (src/launcher) loads once it has loaded the Python library: registers the module as built in,
// marks it as the main program, starts the interpreter and imports the module, so that importing
// it runs the demonstration.
//
// Exit status: 0 when the demonstration ran to its end with every reading answered; 1 when the
// interpreter could not start or the module's initialisation failed (the traceback is printed);
// 2 when the port could not be opened; 3 when the instrument left a reading unanswered.
#include <Python.h>

#include <cstdio>

#include "kq5316/binding/demonstration.hpp"
#include "kq5316/common/owned.hpp"
#include "kq5316/common/process_globals.hpp"

extern "C" PyObject *PyInit_kq5316(void);

namespace {

enum ExitStatus { exit_ok = 0, exit_failed = 1, exit_not_opened = 2, exit_unanswered = 3 };

// Starts the interpreter as the program `interpreter` (the environment's own python), so that it
// finds the environment's pyvenv.cfg, its standard library and its packages.
bool start_interpreter(const char *interpreter) {
    PyConfig config;
    PyConfig_InitPythonConfig(&config);
    config.parse_argv = 0;
    PyStatus status = PyConfig_SetBytesString(&config, &config.program_name, interpreter);
    if (!PyStatus_Exception(status))
        status = Py_InitializeFromConfig(&config);
    PyConfig_Clear(&config);
    if (PyStatus_Exception(status)) {
        std::fprintf(stderr, "kq5316-demo: cannot start Python: %s\n",
                     status.err_msg ? status.err_msg : "unknown error");
        return false;
    }
    return true;
}

// Imports the module, which runs the demonstration, and gives the exit status for how it went.
int run_demonstration() {
    kq5316::Owned module = kq5316::Owned::steal(PyImport_ImportModule(kq5316::module_name));
    std::fflush(stdout);
    const kq5316::binding::DemonstrationReport &report = kq5316::binding::demonstration_report;
    if (!module) {
        PyErr_Print();
        std::fprintf(stderr, "kq5316-demo: the demonstration stopped with the error above\n");
        return exit_failed;
    }
    if (!report.opened) {
        std::fprintf(stderr, "kq5316-demo: the instrument's port could not be opened\n");
        return exit_not_opened;
    }
    if (report.unanswered_readings > 0) {
        std::fprintf(stderr, "kq5316-demo: the instrument did not answer %d of the 5 readings\n",
                     report.unanswered_readings);
        return exit_unanswered;
    }
    return exit_ok;
}

} // namespace

// The one entry the launcher looks up. `interpreter` is the path of the environment's python.
extern "C" Py_EXPORTED_SYMBOL int kq5316_demo_main(const char *interpreter) {
    if (PyImport_AppendInittab(kq5316::module_name, PyInit_kq5316) < 0) {
        std::fprintf(stderr, "kq5316-demo: cannot register the kq5316 module\n");
        return exit_failed;
    }
    kq5316::run_as_main = true;
    if (!start_interpreter(interpreter))
        return exit_failed;
    int status = run_demonstration();
    if (Py_FinalizeEx() < 0 && status == exit_ok)
        status = exit_failed;
    return status;
}
