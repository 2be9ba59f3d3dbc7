// Judging a reply frame against the request it answers: framing (start byte, length byte, end
// byte, checksum), the echo of the request's command bytes and channel, and whether it is long
// enough for the fields its layout carries. The first failing check names the fault.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <span>
#include <string_view>

#include "checksum.hpp"
#include "command_table.hpp"
#include "frame.hpp"
#include "reply_fields.hpp"

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

// The name a caller's error message gives the failed check, in the order of `ReplyFault`.
inline constexpr std::string_view reply_fault_names[] = {
    "none",     "start byte",    "length byte", "end byte",
    "checksum", "command bytes", "channel",     "layout",
};
static_assert(std::size(reply_fault_names) == static_cast<std::size_t>(ReplyFault::layout) + 1);

constexpr std::string_view reply_fault_name(ReplyFault fault) {
    auto index = static_cast<std::size_t>(fault);
    return index < std::size(reply_fault_names) ? reply_fault_names[index] : "unknown";
}
static_assert(reply_fault_name(ReplyFault::start_byte) == "start byte" &&
              reply_fault_name(ReplyFault::checksum) == "checksum" &&
              reply_fault_name(ReplyFault::layout) == "layout");

// The total length a reply announces in its first bytes, or 0 when those bytes cannot begin a
// frame (wrong start byte, a length byte too small for any frame). A reader takes
// `header_length` bytes, then the rest of what this returns.
constexpr std::size_t announced_length(std::span<const std::uint8_t> header) {
    if (header.size() < header_length || header.front() != start_byte)
        return 0;
    std::size_t total = frame_length_for(header[length_index]);
    return total < min_frame_length ? 0 : total;
}

// Framing of a whole reply: delimited, as long as its length byte says, checksum right.
constexpr ReplyFault framing_fault(std::span<const std::uint8_t> reply) {
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
constexpr ReplyFault echo_fault(std::span<const std::uint8_t> request,
                                std::span<const std::uint8_t> reply) {
    if (reply[first_command_index] != request[first_command_index] ||
        reply[second_command_index] != request[second_command_index])
        return ReplyFault::command_bytes;
    if (reply[channel_index] != request[channel_index])
        return ReplyFault::channel;
    return ReplyFault::none;
}

// Whether a framed reply is long enough for the fields of its layout. Values must end before the
// checksum, so the checksum and end byte come on top of the last field read.
constexpr bool fits_layout(ReplyLayout layout, std::span<const std::uint8_t> reply) {
    constexpr std::size_t trailer = 2;
    switch (layout) {
    case ReplyLayout::echo:
        return true;
    case ReplyLayout::version:
        return reply.size() == version_reply::length;
    case ReplyLayout::optical_lengths:
        return reply.size() > optical_length_reply::count + trailer &&
               reply.size() ==
                   optical_length_reply::needed_length(reply[optical_length_reply::count]) +
                       trailer;
    case ReplyLayout::status:
        return reply.size() >= status_reply::min_length + trailer;
    }
    return false;
}

// Every check in order; `strict` adds the echo of command bytes and channel.
constexpr ReplyFault reply_fault(const CommandFrame &entry, std::span<const std::uint8_t> request,
                                 std::span<const std::uint8_t> reply, bool strict) {
    ReplyFault fault = framing_fault(reply);
    if (fault == ReplyFault::none && strict)
        fault = echo_fault(request, reply);
    if (fault == ReplyFault::none && !fits_layout(entry.reply_layout, reply))
        fault = ReplyFault::layout;
    return fault;
}

} // namespace kq5316::protocol
