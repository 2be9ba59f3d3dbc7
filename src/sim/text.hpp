// Text as the simulator's command line, control lines and log use it: words separated by blanks
// (space and tab, and the carriage return a line from a terminal ends with), decimal numbers with
// an upper bound, and byte strings as upper-case hex pairs separated by single spaces
// ("7B 01 05 00 03 7C 7D").
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kq5316::sim {

using Bytes = std::vector<std::uint8_t>;

// `text` without leading and trailing blanks.
std::string_view trim(std::string_view text);

// The words of `text`, split at runs of blanks.
std::vector<std::string_view> split_words(std::string_view text);

// A decimal number from 0 to `max`, nothing else in the token.
std::optional<unsigned long> parse_number(std::string_view token, unsigned long max);

// Numbers from 0 to `max` separated by commas, blanks around each allowed; a blank text is an
// empty list.
std::optional<std::vector<unsigned long>> parse_numbers(std::string_view text, unsigned long max);

// "7B 01 05"; the empty string for no bytes.
std::string hex_string(std::span<const std::uint8_t> bytes);

// Reads hex digit pairs, with or without blanks between the pairs ("7B 7D" and "7B7D" are the
// same). Returns nothing when a digit is not hex or a pair is cut in half by a blank or the end.
std::optional<Bytes> parse_hex(std::string_view text);

} // namespace kq5316::sim
