#include "sim/event_log.hpp"

#include "sim/system_error.hpp"

namespace kq5316::sim {

namespace {

// Escapes a string for JSON. Bytes outside printable ASCII are written as \u00XX: control lines
// may carry anything, and the output must stay valid JSON whatever arrives.
void append_quoted(std::string &out, std::string_view value) {
    static constexpr char digits[] = "0123456789abcdef";
    out += '"';
    for (char c : value) {
        auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20 || byte >= 0x7F) {
            out += "\\u00";
            out += digits[byte >> 4];
            out += digits[byte & 0x0F];
        } else {
            out += c;
        }
    }
    out += '"';
}

void write_line(std::FILE *stream, const std::string &line) {
    std::fwrite(line.data(), 1, line.size(), stream);
    std::fputc('\n', stream);
    std::fflush(stream);
}

} // namespace

void JsonObject::add_key(std::string_view key) {
    if (!body_.empty())
        body_ += ", ";
    append_quoted(body_, key);
    body_ += ": ";
}

JsonObject &JsonObject::text(std::string_view key, std::string_view value) {
    add_key(key);
    append_quoted(body_, value);
    return *this;
}

JsonObject &JsonObject::number(std::string_view key, long long value) {
    add_key(key);
    body_ += std::to_string(value);
    return *this;
}

JsonObject &JsonObject::boolean(std::string_view key, bool value) {
    add_key(key);
    body_ += value ? "true" : "false";
    return *this;
}

JsonObject &JsonObject::null(std::string_view key) {
    add_key(key);
    body_ += "null";
    return *this;
}

JsonObject &JsonObject::raw(std::string_view key, std::string_view json) {
    add_key(key);
    body_ += json;
    return *this;
}

EventLog::~EventLog() {
    if (file_ != nullptr)
        std::fclose(file_);
}

bool EventLog::copy_to_file(const std::string &path, std::string &error) {
    std::FILE *file = std::fopen(path.c_str(), "w");
    if (file == nullptr) {
        error = system_error("cannot write " + path);
        return false;
    }
    if (file_ != nullptr)
        std::fclose(file_);
    file_ = file;
    return true;
}

// Write errors are ignored: a reader that went away must not stop the instrument.
void EventLog::emit(const JsonObject &event) {
    std::string line = event.str();
    write_line(stdout, line);
    if (file_ != nullptr)
        write_line(file_, line);
}

} // namespace kq5316::sim
