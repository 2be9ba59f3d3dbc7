#include "sim/text.hpp"

#include <charconv>

namespace kq5316::sim {

namespace {

constexpr std::string_view blanks = " \t\r";

} // namespace

std::string_view trim(std::string_view text) {
    const std::size_t first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(blanks) + 1 - first);
}

std::vector<std::string_view> split_words(std::string_view text) {
    std::vector<std::string_view> words;
    for (text = trim(text); !text.empty(); text = trim(text.substr(words.back().size())))
        words.push_back(text.substr(0, text.find_first_of(blanks)));
    return words;
}

std::optional<unsigned long> parse_number(std::string_view token, unsigned long max) {
    unsigned long value = 0;
    auto [end, status] = std::from_chars(token.data(), token.data() + token.size(), value);
    if (status != std::errc{} || end != token.data() + token.size() || value > max)
        return std::nullopt;
    return value;
}

std::optional<std::vector<unsigned long>> parse_numbers(std::string_view text, unsigned long max) {
    std::vector<unsigned long> numbers;
    if (trim(text).empty())
        return numbers;
    while (true) {
        std::size_t comma = text.find(',');
        auto number = parse_number(trim(text.substr(0, comma)), max);
        if (!number)
            return std::nullopt;
        numbers.push_back(*number);
        if (comma == std::string_view::npos)
            return numbers;
        text.remove_prefix(comma + 1);
    }
}

std::string hex_string(std::span<const std::uint8_t> bytes) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(bytes.size() * 3);
    for (std::uint8_t byte : bytes) {
        if (!text.empty())
            text += ' ';
        text += digits[byte >> 4];
        text += digits[byte & 0x0F];
    }
    return text;
}

std::optional<Bytes> parse_hex(std::string_view text) {
    Bytes bytes;
    std::size_t i = 0;
    while (i < text.size()) {
        if (blanks.find(text[i]) != std::string_view::npos) {
            ++i;
            continue;
        }
        // Exactly two hex digits: an unsigned number takes no sign.
        const char *pair = text.data() + i;
        std::uint8_t byte = 0;
        if (i + 2 > text.size() || std::from_chars(pair, pair + 2, byte, 16).ptr != pair + 2)
            return std::nullopt;
        bytes.push_back(byte);
        i += 2;
    }
    return bytes;
}

} // namespace kq5316::sim
