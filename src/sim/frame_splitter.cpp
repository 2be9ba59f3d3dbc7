#include "sim/frame_splitter.hpp"

#include <algorithm>
#include <cstddef>
#include <iterator>

#include "protocol/commands.hpp"

namespace kq5316::sim {

namespace {

// The instrument only understands frames as long as its commands; a length byte outside that
// range means the start byte was not the start of a request.
constexpr auto shorter = [](const protocol::CommandRow &a, const protocol::CommandRow &b) {
    return a.length() < b.length();
};
constexpr auto extremes = std::minmax_element(std::begin(protocol::command_table),
                                              std::end(protocol::command_table), shorter);
constexpr std::size_t shortest_command = extremes.first->length();
constexpr std::size_t longest_command = extremes.second->length();

void add_garbage(std::vector<Chunk> &chunks, std::uint8_t byte) {
    if (chunks.empty() || chunks.back().kind != Chunk::Kind::garbage)
        chunks.push_back({Chunk::Kind::garbage, {}});
    chunks.back().bytes.push_back(byte);
}

enum class Candidate { frame, garbage, incomplete };

// Judges the frame that would begin at the front of `buffer`; `length` receives its total length.
Candidate judge(std::span<const std::uint8_t> buffer, std::size_t &length) {
    if (buffer.front() != protocol::start_byte)
        return Candidate::garbage;
    if (buffer.size() <= protocol::length_index)
        return Candidate::incomplete;
    length = protocol::frame_length_for(buffer[protocol::length_index]);
    if (length < shortest_command || length > longest_command)
        return Candidate::garbage;
    if (buffer.size() < length)
        return Candidate::incomplete;
    if (buffer[length - 1] != protocol::end_byte)
        return Candidate::garbage;
    return Candidate::frame;
}

} // namespace

std::vector<Chunk> FrameSplitter::feed(std::span<const std::uint8_t> bytes) {
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
    return split(false);
}

std::vector<Chunk> FrameSplitter::flush() {
    return split(true);
}

std::vector<Chunk> FrameSplitter::split(bool at_end) {
    std::vector<Chunk> chunks;
    std::size_t start = 0;
    while (start < buffer_.size()) {
        std::span<const std::uint8_t> rest(buffer_.data() + start, buffer_.size() - start);
        std::size_t length = 0;
        Candidate candidate = judge(rest, length);
        if (candidate == Candidate::incomplete && !at_end)
            break;
        if (candidate == Candidate::frame) {
            chunks.push_back(
                {Chunk::Kind::frame,
                 Bytes(rest.begin(), rest.begin() + static_cast<std::ptrdiff_t>(length))});
            start += length;
            continue;
        }
        // Garbage, or an incomplete frame given up on: only its first byte is skipped, since a
        // real frame may begin right after it.
        add_garbage(chunks, rest.front());
        ++start;
    }
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(start));
    return chunks;
}

} // namespace kq5316::sim
