// The frame every request and reply shares: start byte, channel, length byte, two command bytes,
// parameters, checksum, end byte. The checksum is the two's complement of the byte sum of
// everything before the checksum position, kept to 8 bits; the end byte is not covered.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace kq5316::protocol {

using Bytes = std::span<const std::uint8_t>;

inline constexpr std::uint8_t start_byte = 0x7B;
inline constexpr std::uint8_t end_byte = 0x7D;

inline constexpr std::size_t channel_index = 1;
// The length byte always holds the frame's length minus two.
inline constexpr std::size_t length_index = 2;
// The two command bytes say what a frame asks for.
inline constexpr std::size_t first_command_index = 3;
inline constexpr std::size_t second_command_index = 4;
inline constexpr std::size_t first_parameter_index = second_command_index + 1;
// The checksum and the end byte follow the last parameter.
inline constexpr std::size_t trailer_length = 2;
// The shortest frame: no parameters at all.
inline constexpr std::size_t min_frame_length = first_parameter_index + trailer_length;
// Bytes up to and including the length byte: what a reader needs before it knows the length.
inline constexpr std::size_t header_length = length_index + 1;

// Channel numbers, like every other byte, stop at 255.
inline constexpr long max_byte = 0xFF;
inline constexpr long max_channel = max_byte;

constexpr std::size_t checksum_index(std::size_t frame_length) {
    return frame_length - trailer_length;
}
constexpr std::uint8_t length_byte_for(std::size_t frame_length) {
    return static_cast<std::uint8_t>(frame_length - 2);
}
constexpr std::size_t frame_length_for(std::uint8_t length_byte) {
    return std::size_t{length_byte} + 2;
}

// The checksum for a running sum of the covered bytes. The low byte of the negated sum equals
// (~sum + 1) & 0xFF for any integer, however large or negative, so callers that sum arbitrary
// integers in a wider type get the byte-wise rule's answer.
constexpr std::uint8_t checksum_of_sum(std::uint64_t sum) {
    return static_cast<std::uint8_t>(0u - sum);
}

// The checksum a whole frame (start byte through end byte, at least two bytes) should carry.
constexpr std::uint8_t checksum_of_frame(Bytes frame) {
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i + trailer_length < frame.size(); ++i)
        sum += frame[i];
    return checksum_of_sum(sum);
}

constexpr bool checksum_matches(Bytes frame) {
    return frame.size() >= trailer_length &&
           frame[checksum_index(frame.size())] == checksum_of_frame(frame);
}

// Writes the checksum of `frame` into its checksum position.
constexpr void seal(std::span<std::uint8_t> frame) {
    frame[checksum_index(frame.size())] = checksum_of_frame(frame);
}

// A value of one or two bytes, low byte first, at `offset`.
constexpr long read_value(Bytes bytes, std::size_t offset, std::size_t width) {
    return width == 1 ? bytes[offset] : bytes[offset] | bytes[offset + 1] << 8;
}
constexpr void write_value(std::span<std::uint8_t> bytes, std::size_t offset, std::size_t width,
                           long value) {
    bytes[offset] = static_cast<std::uint8_t>(value & 0xFF);
    if (width == 2)
        bytes[offset + 1] = static_cast<std::uint8_t>((value >> 8) & 0xFF);
}

} // namespace kq5316::protocol
