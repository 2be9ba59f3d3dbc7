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

// The largest value a layout can carry (0 for none).
constexpr long max_value(ValueLayout layout) {
    switch (layout) {
    case ValueLayout::steps:
        return max_steps;
    case ValueLayout::position:
        return max_byte;
    case ValueLayout::none:
        return 0;
    }
    return 0;
}
constexpr long max_value(Command command) {
    return max_value(command_frame(command).value_layout);
}

// The parameter bytes that carry `value` (in range for its layout), in frame order from the first
// parameter byte.
struct ValueBytes {
    std::array<std::uint8_t, 2> bytes{};
    std::size_t count = 0;
};
constexpr ValueBytes value_bytes(ValueLayout layout, long value) {
    ValueBytes result;
    switch (layout) {
    case ValueLayout::steps:
        write_u16(result.bytes, 0, static_cast<std::uint16_t>(value));
        result.count = 2;
        break;
    case ValueLayout::position:
        result.bytes[0] = static_cast<std::uint8_t>(value);
        result.count = 1;
        break;
    case ValueLayout::none:
        break;
    }
    return result;
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
    const ValueBytes carried = value_bytes(entry.value_layout, value);
    for (std::size_t i = 0; i < carried.count; ++i)
        request.bytes[first_parameter_index + i] = carried.bytes[i];
    request.bytes[checksum_index(request.length)] = checksum_of_frame(request.frame());
    return request;
}

// A command that carries a value addresses a channel (device-level frames go out as stored), and
// its value ends before the checksum.
constexpr bool values_fit_their_frames() {
    for (const CommandFrame &entry : command_table) {
        const std::size_t width = value_bytes(entry.value_layout, 0).count;
        if (width > 0 && !entry.addresses_channel())
            return false;
        if (first_parameter_index + width > checksum_index(entry.length))
            return false;
    }
    return true;
}
static_assert(values_fit_their_frames());

static_assert(make_request(command_frame(Command::set_attenuation), 1, 110).bytes[7] == 0xBF);
static_assert(make_request(command_frame(Command::read_current_status), 2, 0).bytes[5] == 0x34);

} // namespace kq5316::protocol
