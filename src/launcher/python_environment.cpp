#include "launcher/python_environment.hpp"

#include "launcher/native.hpp"

#include <cstdio>

namespace launcher {

namespace {

// Paths inside an installation, by system. The module is built for CPython 3.11 alone.
#ifdef _WIN32
constexpr const char *venv_interpreter = "Scripts\\python.exe";
constexpr const char *base_interpreter = "python.exe"; // scripts go to <prefix>\Scripts
#else
constexpr const char *venv_interpreter = "bin/python3";
constexpr const char *base_interpreter = "bin/python3.11"; // scripts go to <prefix>/bin
#endif

std::string join(const std::string &directory, const std::string &name) {
    return directory + separator + name;
}

std::string trimmed(const std::string &text) {
    const char *blanks = " \t\r\n";
    const size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos)
        return std::string();
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

// Reads the value of the first `key` in the pyvenv.cfg at `path` (lines "key = value") into
// `value`, which is left as it is when the key is absent. False when the file cannot be read.
bool read_config_value(const std::string &path, const std::string &key, std::string &value) {
    std::FILE *file = open_for_reading(path);
    if (!file)
        return false;
    char line[8192];
    while (std::fgets(line, sizeof line, file)) {
        const std::string text = line;
        const size_t equals = text.find('=');
        if (equals != std::string::npos && trimmed(text.substr(0, equals)) == key) {
            value = trimmed(text.substr(equals + 1));
            break;
        }
    }
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    return !failed;
}

bool read_virtual_environment(const std::string &root, PythonEnvironment &found,
                              std::string &problem) {
    const std::string config_path = join(root, "pyvenv.cfg");
    if (!read_config_value(config_path, "home", found.home)) {
        problem = "cannot read " + config_path;
        return false;
    }
    if (found.home.empty()) {
        problem = config_path + " does not name the base interpreter's home";
        return false;
    }
    found.interpreter = join(root, venv_interpreter);
    return true;
}

} // namespace

std::string parent_directory(const std::string &path) {
    const size_t last = path.find_last_of(separator == '/' ? "/" : "\\/");
    return last == std::string::npos ? std::string(".") : path.substr(0, last);
}

bool find_environment(const std::string &launcher_path, const char *activated,
                      PythonEnvironment &found, std::string &problem) {
    const std::string root = parent_directory(parent_directory(launcher_path));
    if (is_file(join(root, "pyvenv.cfg")))
        return read_virtual_environment(root, found, problem);
    if (is_file(join(root, base_interpreter))) {
        found.interpreter = join(root, base_interpreter);
        found.home = parent_directory(found.interpreter);
        return true;
    }
    if (activated && *activated && is_file(join(activated, "pyvenv.cfg")))
        return read_virtual_environment(activated, found, problem);
    problem = launcher_path + " is not installed in a Python environment (no pyvenv.cfg or " +
              base_interpreter + " in " + root + ") and no virtual environment is active";
    return false;
}

std::vector<std::string> library_candidates(const std::string &home) {
#if defined(_WIN32)
    return {join(home, "python311.dll")};
#elif defined(__APPLE__)
    // A framework build (python.org, Homebrew) keeps the library as <prefix>/Python.
    const std::string prefix = parent_directory(home);
    return {join(prefix, "lib/libpython3.11.dylib"), join(prefix, "Python")};
#else
    // Debian and Ubuntu keep it in the multiarch folder; self-built ones (pyenv, python.org
    // sources, conda) in <prefix>/lib.
    const std::string prefix = parent_directory(home);
    std::vector<std::string> found{join(prefix, "lib/libpython3.11.so.1.0")};
#if defined(__x86_64__)
    found.push_back(join(prefix, "lib/x86_64-linux-gnu/libpython3.11.so.1.0"));
#elif defined(__aarch64__)
    found.push_back(join(prefix, "lib/aarch64-linux-gnu/libpython3.11.so.1.0"));
#endif
    return found;
#endif
}

} // namespace launcher
