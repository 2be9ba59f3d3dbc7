// One destination of the event log (standard output, the log file): lines go to its descriptor
// as far as it takes them at once, and the rest waits in memory. A reader that does not read
// never holds the simulator up: past a generous bound further lines are dropped and counted, and
// once output moves again a line says how many. The first write error ends the output.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kq5316::sim {

class OutputQueue {
  public:
    // `fd` is not owned. Writes to it block unless it is non-blocking.
    explicit OutputQueue(int fd) : fd_(fd) {}

    int fd() const { return fd_; }

    // Adds `line` (without its line feed) and writes what the descriptor takes.
    void push(std::string_view line);

    // Output is waiting and the descriptor should be polled for room.
    bool has_pending() const { return error_ == 0 && sent_ < pending_.size(); }
    // Writes what the descriptor takes of the waiting output; called when a poll found room.
    void write_pending();

    // The errno of the write that failed, 0 while none has; after it every line is discarded.
    int error() const { return error_; }

    // Lines that have not gone out and will not: dropped at the bound and not yet reported,
    // plus those still waiting.
    unsigned long long lines_not_written() const;

  private:
    int fd_;
    // Output not yet taken by the descriptor, from `sent_` on.
    std::string pending_;
    std::size_t sent_ = 0;
    // Line feeds in the waiting output.
    unsigned long long waiting_lines_ = 0;
    // Lines dropped while the waiting output was at its bound, not yet reported.
    unsigned long long dropped_ = 0;
    // The last write found no room: until a poll finds some, a new line only waits, rather than
    // cost a write that would fail again.
    bool full_ = false;
    int error_ = 0;
};

} // namespace kq5316::sim
