// The simulator's end of the line, whatever carries it: a pseudo-terminal or a TCP socket. The
// poll loop watches fd(), takes what has arrived and writes replies, never blocking.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "sim/text.hpp"

namespace kq5316::sim {

class Port {
  public:
    virtual ~Port() = default;

    // The descriptor to poll for input (and, for TCP, for a client waiting to connect).
    virtual int fd() const = 0;
    // What a client opens: a terminal path or a socket:// URL.
    virtual const std::string &name() const = 0;

    enum class ReadStatus {
        drained, // everything waiting was read (possibly nothing)
        more,    // a pass's worth was read; more may be waiting
        hung_up, // the client has gone; whatever it sent has been read
        lost,    // the client's connection failed (errno says why); the port serves the next one
        failed,  // errno says why
    };
    // Appends the bytes waiting to `out`, at most max_read_pass of them.
    virtual ReadStatus read_waiting(Bytes &out) = 0;

    // Writes all of `bytes`. Returns false with `error` set when the line would not take them
    // (a full buffer because no client reads, no client at all, or a system error).
    virtual bool write_all(std::span<const std::uint8_t> bytes, std::string &error) = 0;

    // Closes the connection of a client that has stopped sending (hung_up or lost), which is kept
    // until then for the replies owed to it; the station calls it once it owes none. A terminal
    // has no connection of its own to close.
    virtual void release_finished_client() {}
};

// The most bytes taken from the client in one pass of the poll loop. A client that sends without
// pause (a flood) then costs the loop a bounded time and memory per pass, between which a stop
// signal is seen: about 150 requests, a millisecond or two.
inline constexpr std::size_t max_read_pass = 1024;

// Appends the bytes waiting on the non-blocking descriptor `fd` to `out`, at most max_read_pass.
// The end of input, or the error `hang_up_errno` by which the descriptor says its peer has gone,
// is a hang-up.
Port::ReadStatus read_now(int fd, Bytes &out, int hang_up_errno);

// Sets O_NONBLOCK on `fd`; false when fcntl fails (errno says why).
bool set_non_blocking(int fd);

// Writes all of `bytes` to the non-blocking descriptor `fd`; false with `error` set when it would
// block or fails.
bool write_all_now(int fd, std::span<const std::uint8_t> bytes, std::string &error);

} // namespace kq5316::sim
