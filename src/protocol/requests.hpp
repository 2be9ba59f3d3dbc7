// Requests: built from a command's stored frame (the caller's channel for commands that address
// one, the value in its parameter bytes, the checksum sealed), and told apart again by the
// instrument. The stored frames never change.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "commands.hpp"
#include "frame.hpp"
#include "values.hpp"

namespace kq5316::protocol {

struct Request {
    std::array<std::uint8_t, max_frame_length> bytes{};
    std::size_t length = 0;

    constexpr Bytes frame() const { return {bytes.data(), length}; }
};

// The request for `row` on `channel` carrying `value`. `channel` is ignored by device-level
// commands, `value` by commands without one; both must already be in range.
constexpr Request make_request(const CommandRow &row, std::uint8_t channel, long value) {
    Request request{row.bytes, row.length()};
    const std::span<std::uint8_t> frame{request.bytes.data(), request.length};
    if (row.addresses_channel())
        frame[channel_index] = channel;
    write_request_value(frame, row.value_layout, value);
    seal(frame);
    return request;
}
static_assert(make_request(command_row(Command::set_attenuation), 1, 110).bytes[7] == 0xBF);
static_assert(make_request(command_row(Command::read_current_status), 2, 0).bytes[5] == 0x34);

// The row a request frame (at least `min_frame_length` bytes) is for, or null: its command bytes,
// and for rows that share them with another, its length and parameters as stored.
constexpr const CommandRow *identify(Bytes frame) {
    for (const CommandRow &row : command_table) {
        bool shared = false;
        for (const CommandRow &other : command_table)
            shared = shared || (&other != &row && same_command_bytes(row, other));
        if (frame[first_command_index] != row.bytes[first_command_index] ||
            frame[second_command_index] != row.bytes[second_command_index])
            continue;
        if (!shared)
            return &row;
        bool stored = frame.size() == row.length();
        for (std::size_t i = first_parameter_index; stored && i < checksum_index(row.length()); ++i)
            stored = frame[i] == row.bytes[i];
        if (stored)
            return &row;
    }
    return nullptr;
}

} // namespace kq5316::protocol
