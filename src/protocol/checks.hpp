// Judging a reply frame against the request it answers: framing (start byte, length byte, end
// byte, checksum), the echo of the request's command bytes and channel, and whether it carries
// the fields of its layout. The first failing check names the fault.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string_view>

#include "commands.hpp"
#include "frame.hpp"
#include "replies.hpp"

namespace kq5316::protocol {

enum class ReplyFault : std::uint8_t {
    none,
    start_byte,
    length_byte,
    end_byte,
    checksum,
    command_bytes,
    channel,
    layout,
};

// The name an error message gives each check, in the order of `ReplyFault`.
inline constexpr std::string_view reply_fault_names[] = {
    "none",     "start byte",    "length byte", "end byte",
    "checksum", "command bytes", "channel",     "layout",
};
static_assert(std::size(reply_fault_names) == static_cast<std::size_t>(ReplyFault::layout) + 1);

constexpr std::string_view reply_fault_name(ReplyFault fault) {
    return reply_fault_names[static_cast<std::size_t>(fault)];
}

// The total length a reply announces in its first `header_length` bytes, or 0 when those bytes
// cannot begin a frame (wrong start byte, a length byte too small for any frame).
constexpr std::size_t announced_length(Bytes header) {
    if (header.size() < header_length || header.front() != start_byte)
        return 0;
    const std::size_t total = frame_length_for(header[length_index]);
    return total < min_frame_length ? 0 : total;
}

// Framing of a whole reply: delimited, as long as its length byte says, checksum right.
constexpr ReplyFault framing_fault(Bytes reply) {
    if (reply.empty() || reply.front() != start_byte)
        return ReplyFault::start_byte;
    if (reply.size() < header_length || announced_length(reply) != reply.size())
        return ReplyFault::length_byte;
    if (reply.back() != end_byte)
        return ReplyFault::end_byte;
    if (!checksum_matches(reply))
        return ReplyFault::checksum;
    return ReplyFault::none;
}

// Whether a framed reply answers this request: same command bytes, same channel byte.
constexpr ReplyFault echo_fault(Bytes request, Bytes reply) {
    if (reply[first_command_index] != request[first_command_index] ||
        reply[second_command_index] != request[second_command_index])
        return ReplyFault::command_bytes;
    if (reply[channel_index] != request[channel_index])
        return ReplyFault::channel;
    return ReplyFault::none;
}

// Framing, then (when `strict`) the echo, then the layout's fields.
constexpr ReplyFault reply_fault(const CommandRow &row, Bytes request, Bytes reply, bool strict) {
    ReplyFault fault = framing_fault(reply);
    if (fault == ReplyFault::none && strict)
        fault = echo_fault(request, reply);
    if (fault == ReplyFault::none && !fits_shape(reply_shape(row.reply_layout), reply))
        fault = ReplyFault::layout;
    return fault;
}

} // namespace kq5316::protocol
