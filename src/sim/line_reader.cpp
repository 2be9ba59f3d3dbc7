#include "sim/line_reader.hpp"

namespace kq5316::sim {

std::vector<std::string> LineReader::feed(std::string_view text) {
    std::vector<std::string> lines;
    for (char c : text) {
        if (c != '\n') {
            pending_ += c;
            continue;
        }
        lines.push_back(std::move(pending_));
        pending_.clear();
    }
    return lines;
}

std::optional<std::string> LineReader::finish() {
    if (pending_.empty())
        return std::nullopt;
    std::string last = std::move(pending_);
    pending_.clear();
    return last;
}

} // namespace kq5316::sim
