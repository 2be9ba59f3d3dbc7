// The few operating-system calls the launcher needs, with one implementation for POSIX systems
// (native_posix.cpp) and one for Windows (native_windows.cpp). Paths are UTF-8 on every system.
#pragma once

#include <cstdio>
#include <string>

namespace launcher {

// The platform's directory separator.
#ifdef _WIN32
constexpr char separator = '\\';
#else
constexpr char separator = '/';
#endif

// The full path of the running program; empty when the system cannot tell.
std::string executable_path();

// Whether `path` names an existing regular file (or a link to one).
bool is_file(const std::string &path);

// Opens the file at `path` for reading in binary mode; null when it cannot.
std::FILE *open_for_reading(const std::string &path);

// Loads the shared library at `path`. With `global`, its symbols serve every library loaded
// after it (the Python library's serve the extension modules the interpreter loads). Returns
// null with the system's reason in `error` on failure. Libraries stay loaded until exit.
void *load_library(const std::string &path, bool global, std::string &error);

// The address of the function `name` exported by `library`, or null.
void *find_function(void *library, const char *name);

} // namespace launcher
