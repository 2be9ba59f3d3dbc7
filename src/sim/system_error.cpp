#include "sim/system_error.hpp"

#include <cerrno>
#include <cstring>

namespace kq5316::sim {

std::string system_error(std::string_view what) {
    int number = errno;
    return std::string(what) + ": " + std::strerror(number);
}

} // namespace kq5316::sim
