#include "sim/control.hpp"

#include <iterator>
#include <vector>

namespace kq5316::sim {

namespace {

constexpr unsigned long max_count = 1'000'000;
constexpr unsigned long max_delay_ms = 600'000;

// A count is "N" or "xN" (N from 1) or "always". `hex_allowed` forbids the bare "N" where it
// could be mistaken for a hex byte. Returns false for a token that is not a count.
bool parse_count(std::string_view token, bool hex_allowed, std::optional<unsigned> &count) {
    if (token == "always") {
        count.reset();
        return true;
    }
    bool prefixed = !token.empty() && token.front() == 'x';
    if (prefixed)
        token.remove_prefix(1);
    else if (hex_allowed)
        return false;
    auto value = parse_number(token, max_count);
    if (!value || *value == 0)
        return false;
    count = static_cast<unsigned>(*value);
    return true;
}

std::string parse_delay(std::string_view rest, Fault &fault) {
    auto words = split_words(rest);
    if (words.empty() || words.size() > 2)
        return "expected MS [COUNT]";
    auto ms = parse_number(words[0], max_delay_ms);
    if (!ms)
        return "MS must be a number of milliseconds up to 600000";
    fault.delay_ms = static_cast<unsigned>(*ms);
    if (words.size() == 2 && !parse_count(words[1], false, fault.count))
        return "the count must be N, xN or always";
    return {};
}

std::string parse_raw(std::string_view rest, Fault &fault) {
    auto words = split_words(rest);
    if (!words.empty() && parse_count(words.back(), true, fault.count)) {
        std::string_view count = words.back();
        rest = trim(rest);
        rest.remove_suffix(count.size());
    }
    auto bytes = parse_hex(rest);
    if (!bytes || bytes->empty())
        return "expected hex bytes, then optionally xN or always";
    fault.raw = std::move(*bytes);
    return {};
}

// A fault's arguments: "MS [COUNT]" for delay, "HEX... [xN|always]" for raw, "[COUNT]" for the
// others.
std::string parse_fault(std::string_view rest, Fault &fault) {
    if (fault.kind == FaultKind::delay)
        return parse_delay(rest, fault);
    if (fault.kind == FaultKind::raw)
        return parse_raw(rest, fault);
    auto words = split_words(rest);
    if (words.size() > 1 || (words.size() == 1 && !parse_count(words[0], false, fault.count)))
        return "expected at most a count (N, xN or always)";
    return {};
}

std::string parse_inject(std::string_view rest, Control &control) {
    auto bytes = parse_hex(rest);
    if (!bytes || bytes->empty())
        return "expected hex bytes";
    control.bytes = std::move(*bytes);
    return {};
}

// "lengths CH V1,V2,..." or "lengths CH=V1,V2,..."; no values clears the channel's list.
std::string parse_lengths(std::string_view rest, Control &control) {
    std::string text;
    auto words = split_words(rest);
    for (std::size_t i = 0; i < words.size(); ++i) {
        text += words[i];
        if (i == 0 && words[0].find('=') == std::string_view::npos)
            text += '=';
    }
    return parse_channel_lengths(text, control);
}

// "attenuation CH STEPS" and "mode CH MODE": a channel and a number up to `max`.
std::string parse_channel_setting(std::string_view rest, Control &control, unsigned long max,
                                  const char *usage) {
    auto words = split_words(rest);
    auto channel = words.size() == 2 ? parse_number(words[0], 0xFF) : std::nullopt;
    auto value = words.size() == 2 ? parse_number(words[1], max) : std::nullopt;
    if (!channel || !value)
        return usage;
    control.channel = static_cast<std::uint8_t>(*channel);
    control.value = *value;
    return {};
}

std::string parse_attenuation(std::string_view rest, Control &control) {
    return parse_channel_setting(rest, control, 0xFFFF,
                                 "expected CH (0-255) and STEPS (0-65535, in 0.01 dB)");
}

std::string parse_mode(std::string_view rest, Control &control) {
    return parse_channel_setting(rest, control, 0xFF, "expected CH (0-255) and MODE (0-255)");
}

std::string parse_version_word(std::string_view rest, Control &control) {
    return parse_version(trim(rest), control.version);
}

std::string parse_no_arguments(std::string_view rest, Control &) {
    return trim(rest).empty() ? "" : "takes no arguments";
}

// The control words but the faults (named as the faults are), each with what it stands for and
// the parser of its arguments.
struct Word {
    std::string_view name;
    Control::Kind kind;
    std::string (*parse)(std::string_view rest, Control &control);
};

constexpr Word words[] = {
    {"lengths", Control::Kind::lengths, parse_lengths},
    {"attenuation", Control::Kind::attenuation, parse_attenuation},
    {"mode", Control::Kind::mode, parse_mode},
    {"version", Control::Kind::version, parse_version_word},
    {"inject", Control::Kind::inject, parse_inject},
    {"nofaults", Control::Kind::no_faults, parse_no_arguments},
    {"reset", Control::Kind::reset, parse_no_arguments},
    {"quit", Control::Kind::quit, parse_no_arguments},
};

} // namespace

std::string parse_control(std::string_view line, Control &control) {
    const std::vector<std::string_view> split = split_words(line);
    const std::string_view name = split.empty() ? "" : split.front();
    const std::string_view rest = trim(line).substr(name.size());
    for (const Word &word : words) {
        if (word.name == name) {
            control.kind = word.kind;
            return word.parse(rest, control);
        }
    }
    for (std::size_t i = 0; i < std::size(fault_names); ++i) {
        if (fault_names[i] == name) {
            control.kind = Control::Kind::fault;
            control.fault.kind = static_cast<FaultKind>(i);
            return parse_fault(rest, control.fault);
        }
    }
    return "unknown control word";
}

std::string parse_channel_lengths(std::string_view text, Control &control) {
    std::size_t equals = text.find('=');
    auto channel = parse_number(trim(text.substr(0, equals)), 0xFF);
    if (equals == std::string_view::npos || !channel)
        return "expected CH=V1,V2,... with CH from 0 to 255";
    auto values = parse_numbers(text.substr(equals + 1), 0xFFFF);
    if (!values)
        return "optical lengths must be numbers from 0 to 65535 separated by commas";
    if (values->size() > max_wavelengths)
        return "at most " + std::to_string(max_wavelengths) + " optical lengths per channel";
    control.channel = static_cast<std::uint8_t>(*channel);
    control.lengths.assign(values->begin(), values->end());
    return {};
}

std::string parse_version(std::string_view text, Version &version) {
    auto parts = parse_numbers(text, 0xFF);
    if (!parts || parts->size() != 3)
        return "expected M,H,S: three numbers from 0 to 255";
    version = {static_cast<std::uint8_t>((*parts)[0]), static_cast<std::uint8_t>((*parts)[1]),
               static_cast<std::uint8_t>((*parts)[2])};
    return {};
}

} // namespace kq5316::sim
