// The message for a failed system call: what was attempted, then errno's description.
#pragma once

#include <string>
#include <string_view>

namespace kq5316::sim {

// "open /dev/x: No such file or directory". Reads errno, so call it before anything else can
// change it.
std::string system_error(std::string_view what);

} // namespace kq5316::sim
