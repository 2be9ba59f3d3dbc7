#include "sim/text.hpp"

#include <charconv>

namespace kq5316::sim {

namespace {

bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}

} // namespace

std::string_view trim(std::string_view text) {
    while (!text.empty() && is_space(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && is_space(text.back()))
        text.remove_suffix(1);
    return text;
}

std::vector<std::string_view> split_words(std::string_view text) {
    std::vector<std::string_view> words;
    text = trim(text);
    while (!text.empty()) {
        std::size_t end = 0;
        while (end < text.size() && !is_space(text[end]))
            ++end;
        words.push_back(text.substr(0, end));
        text = trim(text.substr(end));
    }
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
        if (is_space(text[i])) {
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
