// The instrument served on a TCP socket, as a serial-to-network server in raw mode serves a real
// one: the bytes of the line, nothing else. One client at a time; the next one waiting to connect
// is taken when the current one leaves. A client that closes its end, or only shuts down its
// sending side, keeps its connection until the station has sent the replies owed to it; one whose
// connection failed is let go at once.
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

    // The client's socket while one is connected and sending; none (-1) while one that has
    // stopped sending waits for its replies; else the listening one.
    int fd() const override {
        if (client_ < 0)
            return listener_;
        return finished_ ? -1 : client_;
    }
    // "socket://HOST:PORT" with the port actually bound.
    const std::string &name() const override { return url_; }

    // Without a client, takes the next one waiting to connect (reading nothing); hung_up when
    // the client closed its end (or reset the connection), lost when reading failed otherwise.
    ReadStatus read_waiting(Bytes &out) override;
    bool write_all(std::span<const std::uint8_t> bytes, std::string &error) override;
    // Frees the place for the next client.
    void release_finished_client() override;

  private:
    TcpPort(int listener, std::string url) : listener_(listener), url_(std::move(url)) {}
    void accept_client();
    void drop_client();

    int listener_;          // owned
    int client_ = -1;       // owned
    bool finished_ = false; // the client has stopped sending; nothing more is read from it
    std::string url_;
};

} // namespace kq5316::sim
