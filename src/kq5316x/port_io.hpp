// The system calls of one exchange on a port's descriptor (a local serial device, or a TCP
// socket), with no Python in them: discard what is waiting, pause, write a request, read the
// frame that answers it. Run with the interpreter's
// lock released. Every step is bounded by a deadline on the monotonic clock, and every step can
// be resumed after a signal interrupted it, so that the caller can run the interpreter's signal
// handlers (Ctrl-C) in between and carry on where it stopped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace kq5316x::port_io {

// Nanoseconds on the monotonic clock.
using Nanoseconds = long long;
Nanoseconds monotonic_now();
Nanoseconds nanoseconds_from_seconds(double seconds);

// The largest frame a length byte can announce.
inline constexpr std::size_t max_frame_length = 0xFF + 2;
// The most stale bytes an exchange keeps to show in its warning.
inline constexpr std::size_t max_excerpt = 256;

enum class Outcome : std::uint8_t {
    done,        // the step finished (a frame read may still be short: its deadline passed)
    interrupted, // a signal arrived: run the handlers, then call the same step again
    failed,      // a system call failed; `error` holds its errno (0: the device hung up)
    flooded,     // bytes kept arriving until the deadline: the request was not sent
    cancelled,   // the abort pipe became readable while stale bytes were discarded: not sent
    unsent,      // the line took no data (or not all of it) by the reply's deadline
};

// One exchange, from the discarding of stale bytes to the reply's last byte. `abort_fd` (or -1)
// is a pipe that ends a wait for the reply early when it becomes readable.
struct Exchange {
    int fd = -1;
    int abort_fd = -1;
    Nanoseconds discard_deadline = 0;
    Nanoseconds not_before = 0; // no request goes out before this time
    Nanoseconds timeout = 0;    // the reply's deadline, counted from when the request goes out
    std::span<const std::uint8_t> request;

    std::size_t phase = 0; // the step to run next: discard, pause, write, read
    Nanoseconds start = 0; // when the request went out
    Nanoseconds deadline = 0;
    std::size_t written = 0;
    std::uint8_t excerpt[max_excerpt]; // the first of the stale bytes discarded
    std::size_t excerpt_size = 0;
    std::size_t discarded = 0; // how many stale bytes there were in all
    std::uint8_t frame[max_frame_length] = {};
    std::size_t received = 0;
    int error = 0;
};

// Runs the exchange on from its current phase until it finishes, a signal interrupts it or a
// system call fails.
Outcome run(Exchange &exchange);

// Reads one frame (its header, then the rest its length byte announces) into `frame` from
// `received` on, until it is complete or `deadline` passes; with `wait_first`, waits for bytes
// before the first read (right after a request, when none can have come yet).
Outcome read_frame(int fd, int abort_fd, Nanoseconds deadline, std::uint8_t *frame,
                   std::size_t &received, int &error, bool wait_first);

} // namespace kq5316x::port_io
