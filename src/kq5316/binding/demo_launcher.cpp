// kq5316-demo: embeds the interpreter, registers the module as built in, marks it as the main
// program and imports it, so that importing it runs the demonstration.
//
// Exit status: 0 when the demonstration ran to its end with every reading answered; 1 when the
// module's initialisation failed (the traceback is printed); 2 when the port could not be
// opened; 3 when the instrument left a reading unanswered.
#include <Python.h>

#include <cstdio>

#include "kq5316/binding/demonstration.hpp"
#include "kq5316/common/module_state.hpp"
#include "kq5316/common/owned.hpp"

extern "C" PyObject *PyInit_kq5316(void);

namespace {

constexpr int exit_ok = 0;
constexpr int exit_failed = 1;
constexpr int exit_not_opened = 2;
constexpr int exit_unanswered = 3;

// Starts the interpreter as the program at `argv0`, so that it finds the virtual environment the
// launcher is installed in (its pyvenv.cfg) and that environment's packages.
bool start_interpreter(const char *argv0) {
    PyConfig config;
    PyConfig_InitPythonConfig(&config);
    config.parse_argv = 0;
    PyStatus status = PyConfig_SetBytesString(&config, &config.program_name, argv0);
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

// The exit status for a demonstration that ran to its end.
int outcome() {
    const kq5316::binding::DemonstrationReport &report =
        kq5316::binding::last_demonstration_report();
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

int run_demonstration() {
    kq5316::Owned module = kq5316::Owned::steal(PyImport_ImportModule(kq5316::module_name));
    std::fflush(stdout);
    if (!module) {
        PyErr_Print();
        std::fprintf(stderr, "kq5316-demo: the demonstration stopped with the error above\n");
        return exit_failed;
    }
    return outcome();
}

} // namespace

int main(int, char **argv) {
    if (PyImport_AppendInittab(kq5316::module_name, PyInit_kq5316) < 0) {
        std::fprintf(stderr, "kq5316-demo: cannot register the kq5316 module\n");
        return exit_failed;
    }
    kq5316::mark_as_main();
    if (!start_interpreter(argv[0]))
        return exit_failed;
    int status = run_demonstration();
    if (Py_FinalizeEx() < 0 && status == exit_ok)
        status = exit_failed;
    return status;
}
