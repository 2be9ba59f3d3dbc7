#include "sim/port_link.hpp"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

#include "sim/system_calls.hpp"

namespace kq5316::sim {

namespace {

bool points_to(const std::string &path, const std::string &target) {
    char buffer[PATH_MAX];
    ssize_t length = readlink(path.c_str(), buffer, sizeof buffer);
    return length >= 0 && std::string(buffer, static_cast<std::size_t>(length)) == target;
}

// Checks what is at `path` now; true when the link may be made there.
bool path_is_free(const std::string &path, std::string &error) {
    struct stat status {};
    if (lstat(path.c_str(), &status) != 0) {
        if (errno == ENOENT)
            return true;
        error = system_error("lstat " + path);
        return false;
    }
    if (!S_ISLNK(status.st_mode)) {
        error = path + " exists and is not a symbolic link; not replacing it";
        return false;
    }
    return true;
}

} // namespace

std::unique_ptr<PortLink> PortLink::create(const std::string &path, const std::string &target,
                                           std::string &error) {
    if (!path_is_free(path, error))
        return nullptr;
    // Made under a temporary name and renamed over the path, so an old link is replaced in one
    // step and a client never finds the path missing.
    std::string temporary = path + ".kq5316-sim." + std::to_string(getpid());
    if (symlink(target.c_str(), temporary.c_str()) != 0) {
        error = system_error("symlink " + temporary);
        return nullptr;
    }
    if (rename(temporary.c_str(), path.c_str()) != 0) {
        error = system_error("rename to " + path);
        unlink(temporary.c_str());
        return nullptr;
    }
    return std::unique_ptr<PortLink>(new PortLink(path, target));
}

PortLink::~PortLink() {
    if (points_to(path_, target_))
        unlink(path_.c_str());
}

} // namespace kq5316::sim
