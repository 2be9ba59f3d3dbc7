// The simulator's output: one JSON object per line on standard output, flushed at once so that a
// test reading the pipe sees each event as it happens; optionally copied to a file.
#pragma once

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

    void emit(const JsonObject &event);

  private:
    std::FILE *file_ = nullptr; // owned
};

} // namespace kq5316::sim
