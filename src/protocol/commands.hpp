// The commands the instrument understands, one row each: the stored frame (with its default
// channel and parameters, checksum sealed), the value it carries, the reply it gets, whom it
// addresses, and the name logs and the Python API give it. Adding a command is adding a row
// here (and an enumerator): framing, checking and decoding follow from the row's layouts.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "frame.hpp"
#include "replies.hpp"
#include "values.hpp"

namespace kq5316::protocol {

// In the order of the table below.
enum class Command : std::uint8_t {
    read_device_version,
    read_wavelengths,
    read_current_status,
    close_full_screen,
    select_wavelength,
    set_attenuation,
    clear_attenuation,
    disconnect,
};

// Whom a command addresses: the whole device (its stored channel byte goes out unchanged) or the
// channel its caller names.
enum class Target : std::uint8_t { device, channel };

inline constexpr std::size_t max_frame_length = 9;

struct CommandRow {
    Command command;
    std::string_view name;
    ValueLayout value_layout;
    ReplyLayout reply_layout;
    Target target;
    // The frame, padded with zeros to the longest; its length byte says how long it is.
    std::array<std::uint8_t, max_frame_length> bytes;

    constexpr std::size_t length() const { return frame_length_for(bytes[length_index]); }
    constexpr Bytes frame() const { return {bytes.data(), length()}; }
    constexpr bool addresses_channel() const { return target == Target::channel; }
};

// One row a command: command, name, value layout, reply layout, addressee, stored frame.
// clang-format off
inline constexpr CommandRow command_table[] = {
    {Command::read_device_version, "read_device_version", ValueLayout::none, ReplyLayout::version,
     Target::device, {0x7B, 0x01, 0x05, 0x00, 0x03, 0x7C, 0x7D}},
    {Command::read_wavelengths, "read_wavelengths", ValueLayout::none, ReplyLayout::wavelengths,
     Target::channel, {0x7B, 0x01, 0x05, 0x07, 0x2E, 0x4A, 0x7D}},
    {Command::read_current_status, "read_current_status", ValueLayout::none, ReplyLayout::status,
     Target::channel, {0x7B, 0x01, 0x05, 0x14, 0x36, 0x35, 0x7D}},
    {Command::close_full_screen, "close_full_screen", ValueLayout::none, ReplyLayout::echo,
     Target::device, {0x7B, 0x01, 0x05, 0x00, 0x05, 0x7A, 0x7D}},
    {Command::select_wavelength, "select_wavelength", ValueLayout::position, ReplyLayout::echo,
     Target::channel, {0x7B, 0x01, 0x06, 0x14, 0x3A, 0x01, 0x2F, 0x7D}},
    {Command::set_attenuation, "set_attenuation", ValueLayout::steps, ReplyLayout::echo,
     Target::channel, {0x7B, 0x01, 0x07, 0x14, 0x3C, 0xF4, 0x01, 0x38, 0x7D}},
    // Clear and disconnect share their command bytes; their parameters tell them apart.
    {Command::clear_attenuation, "clear_attenuation", ValueLayout::none, ReplyLayout::echo,
     Target::channel, {0x7B, 0x01, 0x07, 0x14, 0x34, 0x00, 0x00, 0x35, 0x7D}},
    {Command::disconnect, "disconnect", ValueLayout::none, ReplyLayout::echo,
     Target::channel, {0x7B, 0x01, 0x07, 0x14, 0x34, 0xFF, 0xFF, 0x37, 0x7D}},
};
// clang-format on
inline constexpr std::size_t command_count = std::size(command_table);

constexpr const CommandRow &command_row(Command command) {
    return command_table[static_cast<std::size_t>(command)];
}

constexpr bool same_command_bytes(const CommandRow &a, const CommandRow &b) {
    return a.bytes[first_command_index] == b.bytes[first_command_index] &&
           a.bytes[second_command_index] == b.bytes[second_command_index];
}

// Every row sits at its command's index and holds a well-formed frame (delimited, the right
// length byte, a valid checksum); a value ends before the checksum and is only carried by a
// command that addresses a channel (device-level frames go out as stored); every reply layout
// describes its fields soundly.
constexpr bool row_is_sound(const CommandRow &row, std::size_t index) {
    const Bytes frame = row.frame();
    const std::size_t width = value_width(row.value_layout);
    return static_cast<std::size_t>(row.command) == index && row.length() >= min_frame_length &&
           row.length() <= max_frame_length && frame.front() == start_byte &&
           frame.back() == end_byte && checksum_matches(frame) &&
           (width == 0 || row.addresses_channel()) &&
           first_parameter_index + width <= checksum_index(row.length()) &&
           shape_is_sound(reply_shape(row.reply_layout));
}

// Rows that share command bytes must differ in their frames, or the instrument could not tell
// which was sent.
constexpr bool rows_are_distinct(const CommandRow &row, std::size_t index) {
    for (std::size_t other = 0; other < index; ++other) {
        const CommandRow &earlier = command_table[other];
        if (!same_command_bytes(row, earlier))
            continue;
        if (row.value_layout != ValueLayout::none || earlier.value_layout != ValueLayout::none ||
            row.frame().size() != earlier.frame().size())
            return false;
        bool differ = false;
        for (std::size_t i = first_parameter_index; i < checksum_index(row.length()); ++i)
            differ = differ || row.bytes[i] != earlier.bytes[i];
        if (!differ)
            return false;
    }
    return true;
}

constexpr bool table_is_sound() {
    for (std::size_t i = 0; i < command_count; ++i) {
        if (!row_is_sound(command_table[i], i) || !rows_are_distinct(command_table[i], i))
            return false;
    }
    return true;
}
static_assert(table_is_sound());

} // namespace kq5316::protocol
