// Cuts the control input into lines. Input may come in any pieces (a pipe, a terminal), so a
// line is handed out only once its line feed has arrived, or at end of input.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kq5316::sim {

class LineReader {
  public:
    // Returns the lines completed by `text`, without their line ends.
    std::vector<std::string> feed(std::string_view text);

    // At end of input: the last line if it had no line feed.
    std::optional<std::string> finish();

  private:
    std::string pending_;
};

} // namespace kq5316::sim
