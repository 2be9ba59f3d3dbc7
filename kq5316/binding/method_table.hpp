// The class's sixteen methods, in the order the class defines them.
#pragma once

#include <span>

#include "kq5316/binding/method_spec.hpp"

namespace kq5316::binding {

std::span<const MethodSpec> method_table();

} // namespace kq5316::binding
