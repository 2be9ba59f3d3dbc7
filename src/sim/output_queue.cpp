#include "sim/output_queue.hpp"

#include <algorithm>
#include <cerrno>
#include <unistd.h>

namespace kq5316::sim {

namespace {

// Output kept for a reader that is slow or not reading at all: at about 250 bytes an exchange,
// some 250,000 exchanges.
constexpr std::size_t max_waiting_output = 64 * 1024 * 1024;

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

} // namespace kq5316::sim
