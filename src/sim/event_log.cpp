#include "sim/event_log.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "sim/system_calls.hpp"

namespace kq5316::sim {

namespace {

// Output kept for a reader that is slow or not reading at all: at about 250 bytes an exchange,
// some 250,000 exchanges.
constexpr std::size_t max_waiting_output = 64 * 1024 * 1024;

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

bool is_pipe_or_socket(int fd) {
    struct stat status{};
    return fstat(fd, &status) == 0 && (S_ISFIFO(status.st_mode) || S_ISSOCK(status.st_mode));
}

// Many simulators driven at line speed (a benchmark) send their events here; writing them would
// cost each exchange a system call or two for nothing.
bool is_null_device(int fd) {
    struct stat output{}, null{};
    return fstat(fd, &output) == 0 && S_ISCHR(output.st_mode) && stat("/dev/null", &null) == 0 &&
           output.st_rdev == null.st_rdev;
}

// A line on standard error, left out when standard error would not take it at once: it may be
// the same stopped terminal or unread pipe that the line is about.
void report(const std::string &message) {
    std::string line = "kq5316-sim: " + message + "\n";
    pollfd room{STDERR_FILENO, POLLOUT, 0};
    if (poll(&room, 1, 0) == 1 && (room.revents & POLLOUT) != 0)
        (void)!write(STDERR_FILENO, line.data(), line.size());
}

// Lines the reader of `output` did not take in time are not in it; said where someone may look.
void report_lost(const std::string &name, const OutputQueue &output) {
    if (output.error() != 0)
        return; // reported when it happened, or not an error (standard output's reader left)
    if (unsigned long long lost = output.lines_not_written(); lost > 0)
        report(std::to_string(lost) + " lines not written to " + name +
               ": its reader did not keep up");
}

} // namespace

void OutputQueue::push(std::string_view line) {
    if (error_ != 0)
        return;
    if (pending_.size() - sent_ >= max_waiting_output) {
        ++dropped_;
        return;
    }
    if (dropped_ > 0) {
        pending_ += R"({"event": "dropped", "lines": )" + std::to_string(dropped_) + "}\n";
        ++waiting_lines_;
        dropped_ = 0;
    }
    pending_ += line;
    pending_ += '\n';
    ++waiting_lines_;
    if (!full_)
        write_pending();
}

void OutputQueue::write_pending() {
    full_ = false;
    while (has_pending()) {
        const char *start = pending_.data() + sent_;
        ssize_t count = write(fd_, start, pending_.size() - sent_);
        if (count > 0) {
            sent_ += static_cast<std::size_t>(count);
            waiting_lines_ -=
                static_cast<unsigned long long>(std::count(start, start + count, '\n'));
            continue;
        }
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            full_ = true; // the poll loop calls again when there is room
            break;
        }
        // A reader that went away, a full disk: nothing more can go out.
        error_ = count < 0 ? errno : EIO;
    }
    // What has gone out is let go of once it is most of the buffer, so that the copying stays
    // proportional to the output.
    if (sent_ == pending_.size() || sent_ > pending_.size() / 2) {
        pending_.erase(0, sent_);
        sent_ = 0;
    }
}

unsigned long long OutputQueue::lines_not_written() const {
    return dropped_ + waiting_lines_;
}

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

JsonObject &JsonObject::raw(std::string_view key, std::string_view json) {
    add_key(key);
    body_ += json;
    return *this;
}

EventLog::~EventLog() {
    for (int fd : {stdout_fd_, file_fd_}) {
        if (fd >= 0)
            close(fd);
    }
}

bool EventLog::copy_to_file(const std::string &path, std::string &error) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOCTTY | O_CLOEXEC, 0666);
    if (fd < 0) {
        error = system_error("cannot write " + path);
        return false;
    }
    // The descriptor is the simulator's own, so unlike standard output it can always be made
    // non-blocking: a FIFO or terminal that stops taking lines then only makes them wait.
    if (!set_non_blocking(fd)) {
        error = system_error("fcntl " + path);
        close(fd);
        return false;
    }
    file_fd_ = fd;
    file_path_ = path;
    file_ = std::make_unique<OutputQueue>(fd);
    return true;
}

void EventLog::never_wait_for_output() {
    discarded_ = is_null_device(STDOUT_FILENO);
    if (is_pipe_or_socket(STDOUT_FILENO)) {
        set_non_blocking(STDOUT_FILENO);
        return;
    }
    // A terminal's output can be stopped (Ctrl-S). Its open description is shared with the shell,
    // which must not find it non-blocking afterwards, so the simulator opens the terminal anew.
    char path[PATH_MAX];
    if (!isatty(STDOUT_FILENO) || ttyname_r(STDOUT_FILENO, path, sizeof path) != 0)
        return;
    int fd = open(path, O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return; // written through the shared description, as a file is
    stdout_fd_ = fd;
    stdout_ = OutputQueue(fd);
}

// A standard output whose reader went away is not an error: the instrument goes on for its
// clients. The log file is what the user asked for, so losing it is reported.
void EventLog::emit(const JsonObject &event) {
    if (!wanted())
        return;
    std::string line = event.str();
    if (file_) {
        file_->push(line);
        check_file();
    }
    stdout_.push(line);
}

void EventLog::watch_outputs(pollfd *fds) const {
    fds[0] = {stdout_.has_pending() ? stdout_.fd() : -1, POLLOUT, 0};
    fds[1] = {file_ && file_->has_pending() ? file_->fd() : -1, POLLOUT, 0};
}

void EventLog::write_pending() {
    stdout_.write_pending();
    if (file_) {
        file_->write_pending();
        check_file();
    }
}

// Reports the log file's write error once, when it happens.
void EventLog::check_file() {
    if (file_error_reported_ || file_->error() == 0)
        return;
    file_error_reported_ = true;
    report("cannot write " + file_path_ + ": " + std::strerror(file_->error()) +
           "; it gets no more lines");
}

bool EventLog::finish(std::chrono::milliseconds grace) {
    auto deadline = std::chrono::steady_clock::now() + grace;
    pollfd fds[outputs];
    for (watch_outputs(fds); fds[0].fd >= 0 || fds[1].fd >= 0; watch_outputs(fds)) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline -
                                                                 std::chrono::steady_clock::now());
        if (left.count() <= 0 || poll(fds, outputs, static_cast<int>(left.count())) <= 0)
            break;
        write_pending();
    }
    report_lost("standard output", stdout_);
    if (file_)
        report_lost(file_path_, *file_);
    return !file_ || file_->error() == 0;
}

} // namespace kq5316::sim
