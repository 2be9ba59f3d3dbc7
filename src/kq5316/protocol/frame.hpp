// Byte layout shared by every command and reply frame.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kq5316::protocol {

inline constexpr std::uint8_t start_byte = 0x7B;
inline constexpr std::uint8_t end_byte = 0x7D;

// Index of the channel byte in every frame.
inline constexpr std::size_t channel_index = 1;
// Index of the length byte; it always holds the frame's length minus two.
inline constexpr std::size_t length_index = 2;
// Indexes of the two command bytes, which say what a frame asks for.
inline constexpr std::size_t first_command_index = 3;
inline constexpr std::size_t second_command_index = 4;
// Index of the first parameter byte, right after the two command bytes.
inline constexpr std::size_t first_parameter_index = second_command_index + 1;
// The shortest frame: no parameters, then the checksum and the end byte.
inline constexpr std::size_t min_frame_length = first_parameter_index + 2;

// The checksum sits just before the end byte.
constexpr std::size_t checksum_index(std::size_t frame_length) {
    return frame_length - 2;
}

// The value the length byte carries for a frame of the given length.
constexpr std::uint8_t length_byte_for(std::size_t frame_length) {
    return static_cast<std::uint8_t>(frame_length - 2);
}

// The total length of a frame whose length byte holds `length_byte`: how many bytes a reader
// takes in all once it has seen the first three.
constexpr std::size_t frame_length_for(std::uint8_t length_byte) {
    return std::size_t{length_byte} + 2;
}
// Bytes up to and including the length byte: what a reader needs before it knows the length.
inline constexpr std::size_t header_length = length_index + 1;

// Largest value any byte of a frame can carry; channel numbers are single bytes.
inline constexpr long max_byte = 0xFF;
inline constexpr long max_channel = max_byte;

} // namespace kq5316::protocol
