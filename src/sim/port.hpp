// The simulator's end of the line: the master side of a pseudo-terminal (whose slave path clients
// open as their serial port), or a TCP socket served as a serial-to-network server in raw mode
// serves a real instrument: the bytes of the line, nothing else. The poll loop watches fd(), takes
// what has arrived and writes replies, never blocking. A terminal may also be given a symbolic
// link at a fixed path.
//
// TCP serves one client at a time; the next one waiting to connect is taken when the current one
// leaves. A client that closes its end, or only shuts down its sending side, keeps its connection
// until the station has sent the replies owed to it; one whose connection failed is let go at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "sim/text.hpp"

namespace kq5316::sim {

// The most bytes taken from the client in one pass of the poll loop. A client that sends without
// pause (a flood) then costs the loop a bounded time and memory per pass, between which a stop
// signal is seen: about 150 requests, a millisecond or two.
inline constexpr std::size_t max_read_pass = 1024;

class Port {
  public:
    // A pseudo-terminal in raw mode, master non-blocking. On failure returns null and sets `error`.
    static std::unique_ptr<Port> open_terminal(std::string &error);
    // Listens on `host`:`port` (a number, 0 for a free one). On failure returns null and sets
    // `error`.
    static std::unique_ptr<Port> listen_tcp(const std::string &host, const std::string &port,
                                            std::string &error);

    Port(const Port &) = delete;
    Port &operator=(const Port &) = delete;
    ~Port();

    // The descriptor to poll: the terminal's master; for TCP the client's socket while one is
    // connected and sending, none (-1) while one that has stopped sending waits for its replies,
    // else the listening socket.
    int fd() const;
    // What a client opens: the slave's path, or "socket://HOST:PORT" with the port actually bound.
    const std::string &name() const { return name_; }

    enum class ReadStatus {
        drained, // everything waiting was read (possibly nothing)
        more,    // a pass's worth was read; more may be waiting
        hung_up, // the client has gone; whatever it sent has been read
        lost,    // the client's connection failed (errno says why); the port serves the next one
        failed,  // errno says why
    };
    // Appends the bytes waiting to `out`, at most max_read_pass of them. A TCP port without a
    // client takes the next one waiting to connect (reading nothing).
    ReadStatus read_waiting(Bytes &out);

    // Writes all of `bytes`. Returns false with `error` set when the line would not take them
    // (a full buffer because no client reads, no client at all, or a system error).
    bool write_all(std::span<const std::uint8_t> bytes, std::string &error);

    // Closes the connection of a TCP client that has stopped sending (hung_up or lost), which is
    // kept until then for the replies owed to it; the station calls it once it owes none. A
    // terminal has no connection of its own to close.
    void release_finished_client();

  private:
    Port(int line, int listener, std::string name)
        : line_(line), listener_(listener), name_(std::move(name)) {}
    ReadStatus read_line(Bytes &out);
    void accept_client();
    void drop_client();

    int line_;     // owned: the terminal's master or the TCP client's socket; -1 for no client
    int listener_; // owned: the listening socket, -1 for a terminal
    bool finished_ = false; // the TCP client has stopped sending; nothing more is read from it
    std::string name_;
};

// A symbolic link to the terminal at a fixed path, for clients that name their port in advance.
class PortLink {
  public:
    // Makes `path` a symbolic link to `target`. An existing symbolic link at `path` is replaced;
    // any other file there is refused, since it may be a real device or someone's data. On
    // failure returns null and sets `error`.
    static std::unique_ptr<PortLink> create(const std::string &path, const std::string &target,
                                            std::string &error);

    PortLink(const PortLink &) = delete;
    PortLink &operator=(const PortLink &) = delete;
    // Removes the link, unless it has been replaced meanwhile by something not pointing to the
    // terminal.
    ~PortLink();

    const std::string &path() const { return path_; }

  private:
    PortLink(std::string path, std::string target)
        : path_(std::move(path)), target_(std::move(target)) {}

    std::string path_;
    std::string target_;
};

} // namespace kq5316::sim
