// Cuts the control input into lines. Input may come in any pieces (a pipe, a terminal), so a
// line is handed out only once its line feed has arrived, or at end of input. A line is kept in
// memory only up to a bound: an input that never sends a line feed cannot grow it without end.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kq5316::sim {

// Far longer than any control line needs (an "inject" of some 20,000 bytes).
inline constexpr std::size_t max_line_length = 64 * 1024;

struct Line {
    // Without its line end; of a line that was too long, only its first max_line_length bytes.
    std::string text;
    bool too_long = false;
};

class LineReader {
  public:
    // Returns the lines completed by `text`.
    std::vector<Line> feed(std::string_view text) {
        std::vector<Line> lines;
        for (char c : text) {
            if (c == '\n')
                lines.push_back(std::exchange(pending_, {}));
            else if (pending_.text.size() < max_line_length)
                pending_.text += c;
            else
                pending_.too_long = true;
        }
        return lines;
    }

    // At end of input: the last line if it had no line feed.
    std::optional<Line> finish() {
        if (pending_.text.empty())
            return std::nullopt;
        return std::exchange(pending_, {});
    }

  private:
    Line pending_;
};

} // namespace kq5316::sim
