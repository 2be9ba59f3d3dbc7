// Cuts the byte stream from the port into frames. A frame starts with the start byte; its length
// byte gives its total length, which must be that of some request, and it must end with the end
// byte there. Anything else is garbage, reported so that a test can see what the instrument
// ignored.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "protocol/checks.hpp"
#include "sim/text.hpp"

namespace kq5316::sim {

struct Chunk {
    enum class Kind { frame, garbage };
    Kind kind;
    Bytes bytes;
};

class FrameSplitter {
  public:
    // Takes newly arrived bytes; returns the frames completed and the garbage skipped, in order.
    // Bytes of a frame that has not fully arrived are kept for the next call.
    std::vector<Chunk> feed(std::span<const std::uint8_t> bytes) {
        buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
        return split(false);
    }

    // Gives up on an incomplete frame (the sender went quiet or away): its start byte becomes
    // garbage and what follows is scanned again, with nothing more to wait for.
    std::vector<Chunk> flush() { return split(true); }

    bool has_partial() const { return !buffer_.empty(); }

  private:
    // The length of the frame at the front of `rest`; 0 when none begins there, nothing while
    // its bytes have not all arrived.
    static std::optional<std::size_t> frame_length(protocol::Bytes rest) {
        if (rest.front() != protocol::start_byte)
            return 0;
        if (rest.size() < protocol::header_length)
            return std::nullopt;
        const std::size_t length = protocol::announced_length(rest);
        if (length == 0 || length > protocol::max_frame_length)
            return 0;
        if (rest.size() < length)
            return std::nullopt;
        return rest[length - 1] == protocol::end_byte ? length : 0;
    }

    std::vector<Chunk> split(bool at_end) {
        std::vector<Chunk> chunks;
        auto next = buffer_.begin();
        while (next != buffer_.end()) {
            const std::optional<std::size_t> length = frame_length({next, buffer_.end()});
            if (!length && !at_end)
                break;
            if (length.value_or(0) > 0) {
                chunks.push_back({Chunk::Kind::frame, Bytes(next, next + *length)});
                next += *length;
                continue;
            }
            // Garbage, or an incomplete frame given up on: only its first byte is skipped, since
            // a real frame may begin right after it.
            if (chunks.empty() || chunks.back().kind != Chunk::Kind::garbage)
                chunks.push_back({Chunk::Kind::garbage, {}});
            chunks.back().bytes.push_back(*next++);
        }
        buffer_.erase(buffer_.begin(), next);
        return chunks;
    }

    Bytes buffer_;
};

} // namespace kq5316::sim
