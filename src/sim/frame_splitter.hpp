// Cuts the byte stream from the port into frames. A frame starts with the start byte; its length
// byte (index 2) gives its total length, and it must end with the end byte there. Anything else is
// garbage, reported so that a test can see what the instrument ignored.
#pragma once

#include <span>
#include <vector>

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
    std::vector<Chunk> feed(std::span<const std::uint8_t> bytes);

    // Gives up on an incomplete frame (the sender went quiet or away): its start byte becomes
    // garbage and what follows is scanned again, with nothing more to wait for.
    std::vector<Chunk> flush();

    bool has_partial() const { return !buffer_.empty(); }

  private:
    std::vector<Chunk> split(bool at_end);

    Bytes buffer_;
};

} // namespace kq5316::sim
