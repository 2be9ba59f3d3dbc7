#include "sim/line_reader.hpp"

namespace kq5316::sim {

std::vector<Line> LineReader::feed(std::string_view text) {
    std::vector<Line> lines;
    for (char c : text) {
        if (c == '\n') {
            lines.push_back(std::move(pending_));
            pending_ = {};
        } else if (pending_.text.size() < max_line_length) {
            pending_.text += c;
        } else {
            pending_.too_long = true;
        }
    }
    return lines;
}

std::optional<Line> LineReader::finish() {
    if (pending_.text.empty())
        return std::nullopt;
    Line last = std::move(pending_);
    pending_ = {};
    return last;
}

} // namespace kq5316::sim
