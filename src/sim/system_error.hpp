// The message for a failed system call: what was attempted, then errno's description.
#pragma once

#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>

namespace kq5316::sim {

// "open /dev/x: No such file or directory". Reads errno, so call it before anything else can
// change it.
inline std::string system_error(std::string_view what) {
    int number = errno;
    return std::string(what) + ": " + std::strerror(number);
}

} // namespace kq5316::sim
