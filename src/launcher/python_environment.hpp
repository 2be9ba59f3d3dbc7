// Which Python installation the launcher belongs to, worked out at run time from where the
// launcher itself is, and where that installation keeps its shared library.
#pragma once

#include <string>
#include <vector>

namespace launcher {

struct PythonEnvironment {
    // The environment's own interpreter. The embedded interpreter takes it as its program, so
    // that it finds the same pyvenv.cfg, standard library and packages as that interpreter.
    std::string interpreter;
    // The directory of the base interpreter: pyvenv.cfg's `home` in a virtual environment, the
    // interpreter's own directory in a base installation.
    std::string home;
};

// The environment holding the launcher at `launcher_path`: a virtual environment (its bin/ or
// Scripts/ holds the launcher and its pyvenv.cfg names the base interpreter's home), else a base
// installation (the interpreter sits where pip puts scripts). A launcher outside any
// environment, such as one in a build tree, runs in the activated virtual environment
// `activated` ($VIRTUAL_ENV, may be null). False with the reason in `problem` otherwise.
bool find_environment(const std::string &launcher_path, const char *activated,
                      PythonEnvironment &found, std::string &problem);

// Where an installation whose interpreter lives in `home` keeps its shared Python library, most
// likely first.
std::vector<std::string> library_candidates(const std::string &home);

// The directory part of `path` (everything before its last separator).
std::string parent_directory(const std::string &path);

} // namespace launcher
