// The simulator's output: one JSON object per line on standard output, written at once so that a
// test reading the pipe sees each event as it happens; optionally copied to a file. Neither a
// pipe nobody reads on standard output nor a log file (a FIFO, say) whose reader stops ever holds
// the simulator up: each is an OutputQueue.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <poll.h>
#include <string>
#include <string_view>
#include <unistd.h>

namespace kq5316::sim {

// One destination of the event log (standard output, the log file): lines go to its descriptor
// as far as it takes them at once, and the rest waits in memory. A reader that does not read
// never holds the simulator up: past a generous bound further lines are dropped and counted, and
// once output moves again a line says how many. The first write error ends the output.
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

// Builds one JSON object, fields in the order they are added.
class JsonObject {
  public:
    JsonObject &text(std::string_view key, std::string_view value);
    // `json` must already be a JSON value (a nested object, say).
    JsonObject &raw(std::string_view key, std::string_view json);
    JsonObject &number(std::string_view key, long long value) {
        return raw(key, std::to_string(value));
    }
    JsonObject &boolean(std::string_view key, bool value) {
        return raw(key, value ? "true" : "false");
    }
    JsonObject &null(std::string_view key) { return raw(key, "null"); }

    std::string str() const { return "{" + body_ + "}"; }

  private:
    void add_key(std::string_view key);

    std::string body_;
};

class EventLog {
  public:
    EventLog() = default;
    EventLog(const EventLog &) = delete;
    EventLog &operator=(const EventLog &) = delete;
    ~EventLog();

    // Also writes every event to `path` (truncated first), never waiting for it once open:
    // opening a FIFO waits for its reader. Returns false with `error` set on failure.
    bool copy_to_file(const std::string &path, std::string &error);

    // Writes standard output without blocking when it is a pipe, socket or terminal, where a
    // reader that does not read (or a stopped terminal) would otherwise stop the simulator.
    void never_wait_for_output();

    void emit(const JsonObject &event);
    // Whether events go anywhere: not when standard output is /dev/null and no file takes a
    // copy. A busy caller leaves building its events out then.
    bool wanted() const { return !discarded_ || file_; }

    static constexpr int outputs = 2;
    // Fills `outputs` entries of `fds`, one per output: its descriptor to poll for room while
    // output waits there, else -1.
    void watch_outputs(pollfd *fds) const;
    // Writes what the outputs take of their waiting output.
    void write_pending();

    // At exit: gives waiting output up to `grace` to go out, then reports on standard error what
    // was lost. Returns false when the log file could not be written.
    bool finish(std::chrono::milliseconds grace);

  private:
    void check_file();

    OutputQueue stdout_{STDOUT_FILENO};
    int stdout_fd_ = -1; // owned: the terminal opened anew, or -1
    std::unique_ptr<OutputQueue> file_;
    int file_fd_ = -1; // owned
    std::string file_path_;
    bool file_error_reported_ = false;
    bool discarded_ = false; // standard output is /dev/null
};

} // namespace kq5316::sim
