// The simulator's output: one JSON object per line on standard output, written at once so that a
// test reading the pipe sees each event as it happens; optionally copied to a file. A pipe that
// nobody reads never holds the simulator up: what cannot be written at once waits in memory, and
// past a generous bound further lines are dropped and counted.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>

namespace kq5316::sim {

// Builds one JSON object, fields in the order they are added.
class JsonObject {
  public:
    JsonObject &text(std::string_view key, std::string_view value);
    JsonObject &number(std::string_view key, long long value);
    JsonObject &boolean(std::string_view key, bool value);
    JsonObject &null(std::string_view key);
    // `json` must already be a JSON value (a nested object, say).
    JsonObject &raw(std::string_view key, std::string_view json);

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

    // Also writes every event to `path` (truncated first). Returns false with `error` set on
    // failure.
    bool copy_to_file(const std::string &path, std::string &error);

    // Makes standard output non-blocking when it is a pipe or socket, where a reader that does
    // not read would otherwise stop the simulator. Terminals and files are left as they are.
    void never_wait_for_output();

    void emit(const JsonObject &event);

    // Output is waiting and standard output should be polled for room.
    bool has_pending() const { return sent_ < pending_.size(); }
    // Writes what standard output takes of the waiting output.
    void write_pending();

  private:
    std::FILE *file_ = nullptr; // owned
    // Output not yet taken by standard output, from `sent_` on.
    std::string pending_;
    std::size_t sent_ = 0;
    // Lines dropped while the waiting output was at its bound, not yet reported.
    unsigned long long dropped_ = 0;
};

} // namespace kq5316::sim
