// The instrument served on a TCP socket, as a serial-to-network server in raw mode serves a real
// one: the bytes of the line, nothing else. One client at a time; the next one waiting to connect
// is taken when the current one leaves.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "sim/port.hpp"

namespace kq5316::sim {

class TcpPort : public Port {
  public:
    // Listens on `address`, "HOST:PORT" or ":PORT" (loopback); port 0 takes a free one. On failure
    // returns null and sets `error`.
    static std::unique_ptr<TcpPort> create(std::string_view address, std::string &error);

    TcpPort(const TcpPort &) = delete;
    TcpPort &operator=(const TcpPort &) = delete;
    ~TcpPort() override;

    // The client's socket while one is connected, else the listening one.
    int fd() const override { return client_ >= 0 ? client_ : listener_; }
    // "socket://HOST:PORT" with the port actually bound.
    const std::string &name() const override { return url_; }

    // Without a client, takes the next one waiting to connect (reading nothing); hung_up when
    // the client closed its end, which also frees the place for the next one.
    ReadStatus read_waiting(Bytes &out) override;
    bool write_all(std::span<const std::uint8_t> bytes, std::string &error) override;

  private:
    TcpPort(int listener, std::string url) : listener_(listener), url_(std::move(url)) {}
    void accept_client();
    void drop_client();

    int listener_;    // owned
    int client_ = -1; // owned
    std::string url_;
};

} // namespace kq5316::sim
