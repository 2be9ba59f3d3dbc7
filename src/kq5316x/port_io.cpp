#include "port_io.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <iterator>
#include <poll.h>
#include <unistd.h>

#include "protocol/checks.hpp"

namespace kq5316x::port_io {

namespace {

namespace protocol = kq5316::protocol;

constexpr Nanoseconds per_second = 1'000'000'000;
constexpr Nanoseconds per_millisecond = 1'000'000;
// Stale bytes are read in reads this large, so that even a long backlog takes few calls.
constexpr std::size_t discard_chunk = 4096;

bool would_block(int error) {
    return error == EAGAIN || error == EWOULDBLOCK;
}

// Whether the abort pipe (non-blocking) holds bytes; takes them, as the port's own read does when
// it is cancelled.
bool take_abort(int abort_fd) {
    char drained[64];
    bool taken = false;
    while (read(abort_fd, drained, sizeof drained) > 0)
        taken = true;
    return taken;
}

enum class Wait : std::uint8_t { ready, timed_out, cancelled, interrupted, failed };

// Waits until `fd` is ready for `events`, `abort_fd` becomes readable, or `deadline` passes.
// poll() counts in whole milliseconds: the wait is rounded up, so it never ends before the
// deadline, and a wait that ends early on rounding is simply made again.
Wait wait_for(int fd, short events, int abort_fd, Nanoseconds deadline, int &error) {
    Nanoseconds left = deadline - monotonic_now();
    if (left <= 0)
        return Wait::timed_out;
    pollfd fds[2] = {{fd, events, 0}, {abort_fd, POLLIN, 0}};
    int milliseconds = static_cast<int>(
        std::min<Nanoseconds>((left + per_millisecond - 1) / per_millisecond, 60'000));
    int count = poll(fds, abort_fd >= 0 ? 2 : 1, milliseconds);
    if (count < 0) {
        error = errno;
        return error == EINTR ? Wait::interrupted : Wait::failed;
    }
    if (count == 0)
        return monotonic_now() >= deadline ? Wait::timed_out : Wait::ready;
    if (abort_fd >= 0 && fds[1].revents != 0 && take_abort(abort_fd))
        return Wait::cancelled;
    return Wait::ready;
}

// Reads whatever is waiting, in large reads, until nothing is; keeps an excerpt and a count.
Outcome discard(Exchange &exchange) {
    std::uint8_t chunk[discard_chunk];
    while (true) {
        ssize_t count = read(exchange.fd, chunk, sizeof chunk);
        // A terminal in non-canonical mode with no minimum count reads nothing when nothing is
        // waiting, as a non-blocking one fails with EAGAIN.
        if (count == 0)
            return Outcome::done;
        if (count < 0) {
            exchange.error = errno;
            if (would_block(exchange.error))
                return Outcome::done;
            return exchange.error == EINTR ? Outcome::interrupted : Outcome::failed;
        }
        auto size = static_cast<std::size_t>(count);
        std::size_t keep = std::min(size, max_excerpt - exchange.excerpt_size);
        std::memcpy(exchange.excerpt + exchange.excerpt_size, chunk, keep);
        exchange.excerpt_size += keep;
        exchange.discarded += size;
        // Only a line that keeps sending makes this loop long: the abort pipe and the clock are
        // looked at between reads, so that the port can be closed, and the loop ends in time.
        if (exchange.abort_fd >= 0 && take_abort(exchange.abort_fd))
            return Outcome::cancelled;
        if (monotonic_now() >= exchange.discard_deadline)
            return Outcome::flooded;
    }
}

Outcome pause(Exchange &exchange) {
    Nanoseconds left = exchange.not_before - monotonic_now();
    if (left <= 0)
        return Outcome::done;
    timespec wait{static_cast<time_t>(left / per_second), static_cast<long>(left % per_second)};
    if (nanosleep(&wait, nullptr) != 0 && errno == EINTR)
        return Outcome::interrupted;
    return Outcome::done;
}

// Writes the request, by the reply's deadline: a line that takes no data (flow control held,
// nothing reading at the other end) ends the exchange rather than holding it up.
Outcome write_request(Exchange &exchange) {
    if (exchange.written == 0 && exchange.start == 0) {
        exchange.start = monotonic_now();
        exchange.deadline = exchange.start + exchange.timeout;
    }
    std::span<const std::uint8_t> request = exchange.request;
    while (exchange.written < request.size()) {
        ssize_t count = write(exchange.fd, request.data() + exchange.written,
                              request.size() - exchange.written);
        if (count >= 0) {
            exchange.written += static_cast<std::size_t>(count);
            continue;
        }
        exchange.error = errno;
        if (exchange.error == EINTR)
            return Outcome::interrupted;
        if (!would_block(exchange.error))
            return Outcome::failed;
        switch (wait_for(exchange.fd, POLLOUT, -1, exchange.deadline, exchange.error)) {
        case Wait::ready:
        case Wait::cancelled:
            break;
        case Wait::interrupted:
            return Outcome::interrupted;
        case Wait::failed:
            return Outcome::failed;
        case Wait::timed_out:
            return Outcome::unsent;
        }
    }
    return Outcome::done;
}

// How many bytes the frame needs in all, as far as the bytes received so far tell: the header
// first, then the length it announces (as many as arrived when it announces none).
std::size_t needed(const std::uint8_t *frame, std::size_t received) {
    if (received < protocol::header_length)
        return protocol::header_length;
    std::size_t total = protocol::announced_length({frame, protocol::header_length});
    return total == 0 ? received : total;
}

// Right after the request nothing can have come yet: the reply's first read waits first.
Outcome read_reply(Exchange &exchange) {
    return read_frame(exchange.fd, exchange.abort_fd, exchange.deadline, exchange.frame,
                      exchange.received, exchange.error, exchange.received == 0);
}

} // namespace

Outcome read_frame(int fd, int abort_fd, Nanoseconds deadline, std::uint8_t *frame,
                   std::size_t &received, int &error, bool wait_first) {
    bool wait = wait_first;
    while (received < needed(frame, received)) {
        if (wait) {
            switch (wait_for(fd, POLLIN, abort_fd, deadline, error)) {
            case Wait::ready:
                break;
            case Wait::interrupted:
                return Outcome::interrupted;
            case Wait::failed:
                return Outcome::failed;
            case Wait::timed_out:
            case Wait::cancelled:
                return Outcome::done;
            }
        }
        // Only the bytes of this frame are read: whatever follows it stays in the port, to be
        // read as the next frame or discarded before the next request.
        ssize_t count = read(fd, frame + received, needed(frame, received) - received);
        if (count > 0) {
            received += static_cast<std::size_t>(count);
            wait = false; // the rest of a reply usually comes with its start
            continue;
        }
        // Nothing to read right after poll() said there was: the device is gone (a disconnected
        // adapter, a terminal whose other end closed).
        if (count == 0 && wait) {
            error = 0;
            return Outcome::failed;
        }
        error = count == 0 ? EAGAIN : errno;
        if (error == EINTR)
            return Outcome::interrupted;
        if (!would_block(error))
            return Outcome::failed;
        wait = true;
    }
    return Outcome::done;
}

Nanoseconds monotonic_now() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return Nanoseconds{now.tv_sec} * per_second + now.tv_nsec;
}

Nanoseconds nanoseconds_from_seconds(double seconds) {
    if (!(seconds > 0))
        return 0;
    // Far beyond any wait an exchange makes, and far from overflowing when added to the clock.
    constexpr double longest = 1e9;
    return static_cast<Nanoseconds>(std::min(seconds, longest) * per_second);
}

Outcome run(Exchange &exchange) {
    Outcome (*const steps[])(Exchange &) = {discard, pause, write_request, read_reply};
    Outcome outcome = Outcome::done;
    while (outcome == Outcome::done && exchange.phase < std::size(steps)) {
        outcome = steps[exchange.phase](exchange);
        if (outcome == Outcome::done)
            ++exchange.phase;
    }
    return outcome;
}

} // namespace kq5316x::port_io
