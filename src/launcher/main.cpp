// kq5316-demo: runs the module's demonstration in an embedded interpreter.
//
// The launcher is two pieces so that it works wherever its environment is, on any machine:
// this program, which links no Python library, finds at run time the environment it is installed
// in (bin/../pyvenv.cfg names the base interpreter's home) and that installation's shared Python
// library, loads the library so that its symbols serve everything loaded after it, then loads the
// module's own code from kq5316-demo-core (a shared library beside this program, built like an
// extension module, so it names no Python library either) and calls its entry. No library path
// is fixed when the launcher is built. An interpreter linked statically has no library to load:
// the launcher then says so and stops.
//
// Exit status: 1 when no usable Python was found (with the reason), otherwise the entry's: 0 a
// completed demonstration, 1 a failed initialisation, 2 a port that could not be opened, 3 an
// unanswered reading; 0 after --help and 64 for any other argument, before anything is loaded.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "launcher/arguments.hpp"
#include "launcher/native.hpp"
#include "launcher/python_environment.hpp"

namespace {

constexpr int exit_failed = 1;

// Names the Python library to load instead of searching for it.
constexpr const char *library_variable = "KQ5316_PYTHON_LIBRARY";

using DemoMain = int (*)(const char *interpreter);

int fail(const std::string &message) {
    std::fprintf(stderr, "kq5316-demo: %s\n", message.c_str());
    return exit_failed;
}

// Loads the Python library: the one named by KQ5316_PYTHON_LIBRARY, else the first that exists
// of the places the installation in `home` keeps it.
bool load_python(const std::string &home, std::string &problem) {
    std::string error;
    const char *named = std::getenv(library_variable);
    if (named && *named) {
        if (launcher::load_library(named, true, error))
            return true;
        problem = "cannot load the Python library named by " + std::string(library_variable) +
                  ", " + named + ": " + error;
        return false;
    }
    std::string searched;
    for (const std::string &candidate : launcher::library_candidates(home)) {
        if (!launcher::is_file(candidate)) {
            searched += (searched.empty() ? "" : ", ") + candidate;
            continue;
        }
        if (launcher::load_library(candidate, true, error))
            return true;
        problem = "cannot load the Python library " + candidate + ": " + error;
        return false;
    }
    problem = "the Python interpreter in " + home + " has no shared library (looked for " +
              searched +
              "): it is linked statically, and a statically linked interpreter cannot be "
              "embedded. Create the environment from a Python built with its shared library "
              "(python.org's installers, Debian's python3.11 with libpython3.11, pyenv with "
              "PYTHON_CONFIGURE_OPTS=--enable-shared), or set " +
              library_variable + " to the library's path.";
    return false;
}

// The entry of kq5316-demo-core, the module's code, which sits beside the launcher.
DemoMain load_demo(const std::string &launcher_path, std::string &problem) {
    const std::string path =
        launcher::parent_directory(launcher_path) + launcher::separator + KQ5316_DEMO_CORE;
    std::string error;
    void *core = launcher::load_library(path, false, error);
    if (!core) {
        problem = "cannot load " + path + ": " + error;
        return nullptr;
    }
    void *entry = launcher::find_function(core, "kq5316_demo_main");
    if (!entry)
        problem = path + " has no entry kq5316_demo_main";
    return reinterpret_cast<DemoMain>(entry);
}

} // namespace

int main(int argc, char **argv) {
    if (int status = launcher::check_demo_arguments(argc, argv); status >= 0)
        return status;
    const std::string self = launcher::executable_path();
    if (self.empty())
        return fail("cannot tell where this program is installed");
    std::string problem;
    launcher::PythonEnvironment environment;
    if (!launcher::find_environment(self, std::getenv("VIRTUAL_ENV"), environment, problem))
        return fail(problem);
    if (!load_python(environment.home, problem))
        return fail(problem);
    DemoMain demo = load_demo(self, problem);
    if (!demo)
        return fail(problem);
    return demo(environment.interpreter.c_str());
}
