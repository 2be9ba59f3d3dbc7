// The eight command frames the instrument understands, each complete with its stored channel,
// parameters and checksum. The module copies them into the class's constants; the simulated
// instrument recognises requests by their command bytes.
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

inline constexpr std::size_t command_count = 8;
inline constexpr std::size_t max_frame_length = 9;

struct CommandFrame {
    Command command;
    // Name of the class constant, without the class-private prefix.
    std::string_view constant_name;
    std::array<std::uint8_t, max_frame_length> bytes;
    std::size_t length;

    constexpr std::span<const std::uint8_t> frame() const { return {bytes.data(), length}; }
    constexpr std::uint8_t first_command_byte() const { return bytes[3]; }
    constexpr std::uint8_t second_command_byte() const { return bytes[4]; }
};

// In the order the class defines its constants.
inline constexpr std::array<CommandFrame, command_count> command_table{{
    {Command::read_device_version,
     "__CMD_READ_DEV_VER",
     {0x7B, 0x01, 0x05, 0x00, 0x03, 0x7C, 0x7D},
     7},
    {Command::read_optical_length,
     "__CMD_READ_OPTICAL_LEN",
     {0x7B, 0x01, 0x05, 0x07, 0x2E, 0x4A, 0x7D},
     7},
    {Command::read_current_status,
     "__CMD_READ_CURRENT_STATUS",
     {0x7B, 0x01, 0x05, 0x14, 0x36, 0x35, 0x7D},
     7},
    {Command::close_full_screen,
     "__CMD_CLOSE_FULLSCREEN",
     {0x7B, 0x01, 0x05, 0x00, 0x05, 0x7A, 0x7D},
     7},
    {Command::set_optical_length,
     "__CMD_SET_OPTICAL_LEN",
     {0x7B, 0x01, 0x06, 0x14, 0x3A, 0x01, 0x2F, 0x7D},
     8},
    {Command::set_attenuation,
     "__CMD_SET_ATTENUATION",
     {0x7B, 0x01, 0x07, 0x14, 0x3C, 0xF4, 0x01, 0x38, 0x7D},
     9},
    {Command::clear_attenuation,
     "__CMD_CLEAR_ATTENUATION",
     {0x7B, 0x01, 0x07, 0x14, 0x34, 0x00, 0x00, 0x35, 0x7D},
     9},
    {Command::disconnect,
     "__CMD_DIS_CONNECT",
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

} // namespace kq5316::protocol
