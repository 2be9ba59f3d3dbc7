// The command frames the instrument understands, each complete with its stored channel,
// parameters and checksum, together with the name of the class method that sends it, the value it
// carries and the shape of the reply it expects: the one place a command is written. The module
// copies the frames into the class's constants; the simulated instrument recognises requests by
// their command bytes and answers in the reply shape; the checked API encodes and decodes through
// the same rows.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "checksum.hpp"
#include "frame.hpp"

namespace kq5316::protocol {

enum class Command : std::uint8_t {
    read_device_version,
    read_optical_length,
    read_current_status,
    close_full_screen,
    set_optical_length,
    set_attenuation,
    clear_attenuation,
    disconnect,
};

// What the instrument answers to a command.
enum class ReplyLayout : std::uint8_t {
    echo,            // the request itself, checksum recomputed: an acknowledgement
    version,         // module, hardware and software versions
    optical_lengths, // a count, then that many 16-bit values
    status,          // work mode, optical-length index and attenuation
};

// What a command carries in its parameter bytes, from the first one on.
enum class ValueLayout : std::uint8_t {
    none,     // nothing: the stored parameters go out unchanged
    steps,    // attenuation in 0.01 dB steps, 16 bits, low byte first
    position, // a position in the channel's optical-length list, one byte
};

// Whom a command addresses: the whole device (sent on the stored channel byte) or the channel
// its caller names.
enum class Target : std::uint8_t { device, channel };

inline constexpr std::size_t command_count = 8;
inline constexpr std::size_t max_frame_length = 9;

struct CommandFrame {
    Command command;
    // Name of the class constant, without the class-private prefix.
    std::string_view constant_name;
    // Name of the class method that sends the frame.
    std::string_view method_name;
    ValueLayout value_layout;
    ReplyLayout reply_layout;
    Target target;
    std::array<std::uint8_t, max_frame_length> bytes;
    std::size_t length;

    constexpr std::span<const std::uint8_t> frame() const { return {bytes.data(), length}; }
    constexpr std::uint8_t first_command_byte() const { return bytes[first_command_index]; }
    constexpr std::uint8_t second_command_byte() const { return bytes[second_command_index]; }
    constexpr bool addresses_channel() const { return target == Target::channel; }
};

// In the order the class defines its constants.
inline constexpr std::array<CommandFrame, command_count> command_table{{
    {Command::read_device_version,
     "__CMD_READ_DEV_VER",
     "read_device_version",
     ValueLayout::none,
     ReplyLayout::version,
     Target::device,
     {0x7B, 0x01, 0x05, 0x00, 0x03, 0x7C, 0x7D},
     7},
    {Command::read_optical_length,
     "__CMD_READ_OPTICAL_LEN",
     "read_optical_length",
     ValueLayout::none,
     ReplyLayout::optical_lengths,
     Target::channel,
     {0x7B, 0x01, 0x05, 0x07, 0x2E, 0x4A, 0x7D},
     7},
    {Command::read_current_status,
     "__CMD_READ_CURRENT_STATUS",
     "read_current_status",
     ValueLayout::none,
     ReplyLayout::status,
     Target::channel,
     {0x7B, 0x01, 0x05, 0x14, 0x36, 0x35, 0x7D},
     7},
    {Command::close_full_screen,
     "__CMD_CLOSE_FULLSCREEN",
     "close_full_screen",
     ValueLayout::none,
     ReplyLayout::echo,
     Target::device,
     {0x7B, 0x01, 0x05, 0x00, 0x05, 0x7A, 0x7D},
     7},
    {Command::set_optical_length,
     "__CMD_SET_OPTICAL_LEN",
     "set_optical_length",
     ValueLayout::position,
     ReplyLayout::echo,
     Target::channel,
     {0x7B, 0x01, 0x06, 0x14, 0x3A, 0x01, 0x2F, 0x7D},
     8},
    {Command::set_attenuation,
     "__CMD_SET_ATTENUATION",
     "set_attenuation",
     ValueLayout::steps,
     ReplyLayout::echo,
     Target::channel,
     {0x7B, 0x01, 0x07, 0x14, 0x3C, 0xF4, 0x01, 0x38, 0x7D},
     9},
    {Command::clear_attenuation,
     "__CMD_CLEAR_ATTENUATION",
     "clear_attenuation",
     ValueLayout::none,
     ReplyLayout::echo,
     Target::channel,
     {0x7B, 0x01, 0x07, 0x14, 0x34, 0x00, 0x00, 0x35, 0x7D},
     9},
    {Command::disconnect,
     "__CMD_DIS_CONNECT",
     "dis_connection",
     ValueLayout::none,
     ReplyLayout::echo,
     Target::channel,
     {0x7B, 0x01, 0x07, 0x14, 0x34, 0xFF, 0xFF, 0x37, 0x7D},
     9},
}};

constexpr const CommandFrame &command_frame(Command command) {
    return command_table[static_cast<std::size_t>(command)];
}

// Every stored frame is well formed: delimited, the right length byte, a valid checksum.
constexpr bool stored_frames_are_valid() {
    for (const CommandFrame &entry : command_table) {
        auto frame = entry.frame();
        if (frame.front() != start_byte || frame.back() != end_byte)
            return false;
        if (frame[length_index] != length_byte_for(frame.size()))
            return false;
        if (!checksum_matches(frame))
            return false;
    }
    return true;
}
static_assert(stored_frames_are_valid());

// Rows sit at the index of their command, so command_frame() is a plain lookup.
constexpr bool rows_in_command_order() {
    for (std::size_t i = 0; i < command_count; ++i) {
        if (static_cast<std::size_t>(command_table[i].command) != i)
            return false;
    }
    return true;
}
static_assert(rows_in_command_order());

} // namespace kq5316::protocol
