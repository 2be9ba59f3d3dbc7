// The class's methods, in the order the class defines them.
#pragma once

#include <span>

#include "kq5316/binding/method_row.hpp"

namespace kq5316::binding {

std::span<const MethodRow> method_table();

} // namespace kq5316::binding
