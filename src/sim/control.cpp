#include "sim/control.hpp"

#include <limits>
#include <vector>

namespace kq5316::sim {

namespace {

constexpr unsigned long max_count = 1'000'000;
constexpr unsigned long max_delay_ms = 600'000;

ControlParse failure(std::string message) {
    return {std::nullopt, std::move(message)};
}
ControlParse success(Control control) {
    return {std::move(control), {}};
}

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

std::optional<std::uint8_t> parse_channel(std::string_view token) {
    auto value = parse_number(token, 0xFF);
    if (!value)
        return std::nullopt;
    return static_cast<std::uint8_t>(*value);
}

// Fault words without arguments of their own ("silent", "truncate", "double"), each [COUNT].
ControlParse parse_plain_fault(FaultKind kind, std::string_view rest) {
    auto words = split_words(rest);
    Fault fault;
    fault.kind = kind;
    if (words.size() > 1 || (words.size() == 1 && !parse_count(words[0], false, fault.count)))
        return failure("expected at most a count (N, xN or always)");
    return success(AddFault{std::move(fault)});
}

ControlParse parse_delay(std::string_view rest) {
    auto words = split_words(rest);
    Fault fault;
    fault.kind = FaultKind::delay;
    if (words.empty() || words.size() > 2)
        return failure("expected MS [COUNT]");
    auto ms = parse_number(words[0], max_delay_ms);
    if (!ms)
        return failure("MS must be a number of milliseconds up to 600000");
    fault.delay_ms = static_cast<unsigned>(*ms);
    if (words.size() == 2 && !parse_count(words[1], false, fault.count))
        return failure("the count must be N, xN or always");
    return success(AddFault{std::move(fault)});
}

ControlParse parse_raw(std::string_view rest) {
    auto words = split_words(rest);
    Fault fault;
    fault.kind = FaultKind::raw;
    if (!words.empty() && parse_count(words.back(), true, fault.count)) {
        std::string_view count = words.back();
        rest = trim(rest);
        rest.remove_suffix(count.size());
    }
    auto bytes = parse_hex(rest);
    if (!bytes || bytes->empty())
        return failure("expected hex bytes, then optionally xN or always");
    fault.raw = std::move(*bytes);
    return success(AddFault{std::move(fault)});
}

ControlParse parse_inject(std::string_view rest) {
    auto bytes = parse_hex(rest);
    if (!bytes || bytes->empty())
        return failure("expected hex bytes");
    return success(Inject{std::move(*bytes)});
}

// "lengths CH V1,V2,..." or "lengths CH=V1,V2,..."; no values clears the channel's list.
ControlParse parse_lengths(std::string_view rest) {
    std::string text;
    auto words = split_words(rest);
    for (std::size_t i = 0; i < words.size(); ++i) {
        text += words[i];
        if (i == 0 && words[0].find('=') == std::string_view::npos)
            text += '=';
    }
    std::string error;
    auto lengths = parse_channel_lengths(text, error);
    if (!lengths)
        return failure(error);
    return success(std::move(*lengths));
}

// "attenuation CH STEPS" and "mode CH VALUE": a channel and a number that fits `Value`, made
// into the control `Setting{channel, value}`.
template <typename Setting, typename Value>
ControlParse parse_channel_setting(std::string_view rest, std::string usage) {
    auto words = split_words(rest);
    if (words.size() != 2)
        return failure(std::move(usage));
    auto channel = parse_channel(words[0]);
    auto value = parse_number(words[1], std::numeric_limits<Value>::max());
    if (!channel || !value)
        return failure(std::move(usage));
    return success(Setting{*channel, static_cast<Value>(*value)});
}

ControlParse parse_attenuation(std::string_view rest) {
    return parse_channel_setting<SetSteps, std::uint16_t>(
        rest, "expected CH (0-255) and STEPS (0-65535, in 0.01 dB)");
}

ControlParse parse_mode(std::string_view rest) {
    return parse_channel_setting<SetWorkMode, std::uint8_t>(rest,
                                                            "expected CH (0-255) and MODE (0-255)");
}

ControlParse parse_version_word(std::string_view rest) {
    std::string error;
    auto version = parse_version(trim(rest), error);
    if (!version)
        return failure(error);
    return success(SetVersion{*version});
}

// Words that take no arguments at all; `Word` is what the line stands for.
template <typename Word> ControlParse parse_no_arguments(std::string_view rest) {
    if (!trim(rest).empty())
        return failure("takes no arguments");
    return success(Word{});
}

// The control words but the plain faults, each with the parser of its arguments.
struct Word {
    std::string_view name;
    ControlParse (*parse)(std::string_view rest);
};

constexpr Word words[] = {
    {"delay", parse_delay},
    {"raw", parse_raw},
    {"lengths", parse_lengths},
    {"attenuation", parse_attenuation},
    {"mode", parse_mode},
    {"version", parse_version_word},
    {"inject", parse_inject},
    {"nofaults", parse_no_arguments<ClearFaults>},
    {"reset", parse_no_arguments<ResetInstrument>},
    {"quit", parse_no_arguments<Quit>},
};

// Fault words that take nothing but a count; their names are the faults' own.
constexpr FaultKind plain_faults[] = {FaultKind::silent, FaultKind::truncate, FaultKind::twice};

// Splits "1310,1490" into numbers 0..65535; an empty text is an empty list.
std::optional<OpticalLengths> parse_length_list(std::string_view text) {
    OpticalLengths values;
    if (text.empty())
        return values;
    while (true) {
        std::size_t comma = text.find(',');
        auto value = parse_number(text.substr(0, comma), 0xFFFF);
        if (!value)
            return std::nullopt;
        values.push_back(static_cast<std::uint16_t>(*value));
        if (comma == std::string_view::npos)
            return values;
        text.remove_prefix(comma + 1);
    }
}

} // namespace

ControlParse parse_control(std::string_view line) {
    line = trim(line);
    std::size_t end = 0;
    while (end < line.size() && !is_space(line[end]))
        ++end;
    std::string_view name = line.substr(0, end);
    std::string_view rest = line.substr(end);
    for (const Word &word : words) {
        if (word.name == name)
            return word.parse(rest);
    }
    for (FaultKind kind : plain_faults) {
        if (fault_name(kind) == name)
            return parse_plain_fault(kind, rest);
    }
    return failure("unknown control word");
}

std::optional<SetLengths> parse_channel_lengths(std::string_view text, std::string &error) {
    std::size_t equals = text.find('=');
    auto channel = parse_channel(trim(text.substr(0, equals)));
    if (equals == std::string_view::npos || !channel) {
        error = "expected CH=V1,V2,... with CH from 0 to 255";
        return std::nullopt;
    }
    auto values = parse_length_list(trim(text.substr(equals + 1)));
    if (!values) {
        error = "optical lengths must be numbers from 0 to 65535 separated by commas";
        return std::nullopt;
    }
    if (values->size() > max_wavelengths) {
        error = "at most " + std::to_string(max_wavelengths) + " optical lengths per channel";
        return std::nullopt;
    }
    return SetLengths{*channel, std::move(*values)};
}

std::optional<Version> parse_version(std::string_view text, std::string &error) {
    std::uint8_t parts[3] = {};
    for (std::size_t i = 0; i < 3; ++i) {
        std::size_t comma = text.find(',');
        bool last = i == 2;
        auto value = parse_number(trim(text.substr(0, comma)), 0xFF);
        if (!value || (comma == std::string_view::npos) != last) {
            error = "expected M,H,S: three numbers from 0 to 255";
            return std::nullopt;
        }
        parts[i] = static_cast<std::uint8_t>(*value);
        if (!last)
            text.remove_prefix(comma + 1);
    }
    return Version{parts[0], parts[1], parts[2]};
}

} // namespace kq5316::sim
