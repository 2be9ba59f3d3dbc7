// Byte strings as the simulator's log and control lines write them: upper-case hex pairs
// separated by single spaces ("7B 01 05 00 03 7C 7D").
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kq5316::sim {

using Bytes = std::vector<std::uint8_t>;

// "7B 01 05"; the empty string for no bytes.
std::string hex_string(std::span<const std::uint8_t> bytes);

// Reads hex digit pairs, with or without spaces between the pairs ("7B 7D" and "7B7D" are the
// same). Returns nothing when a digit is not hex or a pair is cut in half by a space or the end.
std::optional<Bytes> parse_hex(std::string_view text);

} // namespace kq5316::sim
