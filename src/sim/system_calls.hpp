// Small helpers around system calls: the message for a failed one, non-blocking descriptors.
#pragma once

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <string_view>

namespace kq5316::sim {

// "open /dev/x: No such file or directory". Reads errno, so call it before anything else can
// change it.
inline std::string system_error(std::string_view what) {
    int number = errno;
    return std::string(what) + ": " + std::strerror(number);
}

// Sets O_NONBLOCK on `fd`; false when fcntl fails (errno says why).
inline bool set_non_blocking(int fd) {
    int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

} // namespace kq5316::sim
