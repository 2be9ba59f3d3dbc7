#include "sim/event_log.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

// Output kept for a reader that is slow or not reading at all: at about 250 bytes an exchange,
// some 250,000 exchanges.
constexpr std::size_t max_waiting_output = 64 * 1024 * 1024;

bool is_pipe_or_socket(int fd) {
    struct stat status{};
    return fstat(fd, &status) == 0 && (S_ISFIFO(status.st_mode) || S_ISSOCK(status.st_mode));
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

void EventLog::never_wait_for_output() {
    if (!is_pipe_or_socket(STDOUT_FILENO))
        return;
    int flags = fcntl(STDOUT_FILENO, F_GETFL);
    if (flags >= 0)
        fcntl(STDOUT_FILENO, F_SETFL, flags | O_NONBLOCK);
}

// Write errors are ignored: a reader that went away must not stop the instrument.
void EventLog::emit(const JsonObject &event) {
    std::string line = event.str();
    if (file_ != nullptr)
        write_line(file_, line);
    if (pending_.size() - sent_ >= max_waiting_output) {
        ++dropped_;
        return;
    }
    if (dropped_ > 0) {
        pending_ += JsonObject().text("event", "dropped").number("lines", dropped_).str() + "\n";
        dropped_ = 0;
    }
    pending_ += line;
    pending_ += '\n';
    write_pending();
}

void EventLog::write_pending() {
    while (has_pending()) {
        ssize_t count = write(STDOUT_FILENO, pending_.data() + sent_, pending_.size() - sent_);
        if (count > 0) {
            sent_ += static_cast<std::size_t>(count);
            continue;
        }
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;               // the poll loop calls again when there is room
        sent_ = pending_.size(); // a reader that went away: nothing more can go out
    }
    // What has gone out is let go of once it is most of the buffer, so that the copying stays
    // proportional to the output.
    if (sent_ == pending_.size() || sent_ > pending_.size() / 2) {
        pending_.erase(0, sent_);
        sent_ = 0;
    }
}

} // namespace kq5316::sim
