// Building a request frame from a command's stored frame: the caller's channel (for commands that
// address one), the command's value in its parameter bytes, and the checksum recomputed. Works on
// a copy; the stored frames never change.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "checksum.hpp"
#include "command_table.hpp"
#include "frame.hpp"
#include "reply_fields.hpp"

namespace kq5316::protocol {

struct Request {
    std::array<std::uint8_t, max_frame_length> bytes{};
    std::size_t length = 0;

    constexpr std::span<const std::uint8_t> frame() const { return {bytes.data(), length}; }
};

// Which value a command carries in its parameter bytes.
enum class ValueKind : std::uint8_t {
    none,     // the stored parameters go out unchanged
    steps,    // attenuation in 0.01 dB steps, 16 bits, low byte first
    position, // a position in the channel's optical-length list, one byte
};

constexpr ValueKind value_kind(Command command) {
    switch (command) {
    case Command::set_attenuation:
        return ValueKind::steps;
    case Command::set_optical_length:
        return ValueKind::position;
    default:
        return ValueKind::none;
    }
}

// The largest value a command's parameter bytes can carry (0 for commands without a value).
constexpr long max_value(Command command) {
    switch (value_kind(command)) {
    case ValueKind::steps:
        return max_steps;
    case ValueKind::position:
        return max_byte;
    case ValueKind::none:
        return 0;
    }
    return 0;
}

// The request for `entry` on `channel` carrying `value`. `channel` is ignored by device-level
// commands, `value` by commands without one; both must already be in range.
constexpr Request make_request(const CommandFrame &entry, std::uint8_t channel, long value) {
    Request request;
    auto stored = entry.frame();
    for (std::size_t i = 0; i < stored.size(); ++i)
        request.bytes[i] = stored[i];
    request.length = stored.size();
    if (entry.addresses_channel())
        request.bytes[channel_index] = channel;
    switch (value_kind(entry.command)) {
    case ValueKind::steps:
        write_u16(request.bytes, set_attenuation_frame::value_low,
                  static_cast<std::uint16_t>(value));
        break;
    case ValueKind::position:
        request.bytes[set_optical_length_frame::position] = static_cast<std::uint8_t>(value);
        break;
    case ValueKind::none:
        break;
    }
    request.bytes[checksum_index(request.length)] = checksum_of_frame(request.frame());
    return request;
}

static_assert(make_request(command_frame(Command::set_attenuation), 1, 110).bytes[7] == 0xBF);
static_assert(make_request(command_frame(Command::read_current_status), 2, 0).bytes[5] == 0x34);

} // namespace kq5316::protocol
