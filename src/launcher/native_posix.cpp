// Linux, macOS and other POSIX systems: the dynamic loader and the program's own path.
#include "launcher/native.hpp"

#include <dlfcn.h>
#include <sys/stat.h>

#include <climits>
#include <cstdio>
#include <cstdlib>

#ifdef __APPLE__
#include <cstdint>
#include <mach-o/dyld.h>
#endif

namespace launcher {

namespace {

// The program's path as the system reports it, links not yet resolved.
std::string reported_executable_path() {
#ifdef __APPLE__
    char path[PATH_MAX];
    uint32_t size = sizeof path;
    return _NSGetExecutablePath(path, &size) == 0 ? std::string(path) : std::string();
#else
    return "/proc/self/exe";
#endif
}

} // namespace

std::string executable_path() {
    // Links resolved, so that a link to the launcher placed elsewhere still finds the
    // environment the launcher itself sits in.
    const std::string reported = reported_executable_path();
    if (reported.empty())
        return reported;
    char *resolved = realpath(reported.c_str(), nullptr);
    if (!resolved)
        return std::string();
    std::string path(resolved);
    std::free(resolved);
    return path;
}

bool is_file(const std::string &path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

std::FILE *open_for_reading(const std::string &path) {
    return std::fopen(path.c_str(), "rb");
}

void *load_library(const std::string &path, bool global, std::string &error) {
    void *library = dlopen(path.c_str(), RTLD_NOW | (global ? RTLD_GLOBAL : RTLD_LOCAL));
    if (!library) {
        const char *reason = dlerror();
        error = reason ? reason : "unknown error";
    }
    return library;
}

void *find_function(void *library, const char *name) {
    return dlsym(library, name);
}

} // namespace launcher
