#include "sim/tcp_port.hpp"

#include <arpa/inet.h>
#include <cerrno>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include "sim/system_error.hpp"

namespace kq5316::sim {

namespace {

constexpr int backlog = 8;

struct HostPort {
    std::string host;
    std::string port;
};

// "HOST:PORT", "[V6]:PORT" or ":PORT"; an empty host is the loopback address.
bool split_address(std::string_view address, HostPort &out) {
    std::size_t colon = address.rfind(':');
    if (colon == std::string_view::npos || colon + 1 == address.size())
        return false;
    std::string_view host = address.substr(0, colon);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    out.host = host.empty() ? "127.0.0.1" : std::string(host);
    out.port = address.substr(colon + 1);
    return true;
}

// The URL a client opens for the socket's bound address.
std::string socket_url(int fd) {
    sockaddr_storage bound{};
    socklen_t size = sizeof bound;
    if (getsockname(fd, reinterpret_cast<sockaddr *>(&bound), &size) != 0)
        return {};
    char host[NI_MAXHOST];
    char port[NI_MAXSERV];
    if (getnameinfo(reinterpret_cast<sockaddr *>(&bound), size, host, sizeof host, port,
                    sizeof port, NI_NUMERICHOST | NI_NUMERICSERV) != 0)
        return {};
    std::string url = "socket://";
    if (bound.ss_family == AF_INET6)
        url.append("[").append(host).append("]");
    else
        url.append(host);
    return url.append(":").append(port);
}

// A non-blocking socket listening on the first address `where` resolves to; -1 with `error`.
int listen_on(const HostPort &where, std::string &error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo *found = nullptr;
    int status = getaddrinfo(where.host.c_str(), where.port.c_str(), &hints, &found);
    if (status != 0) {
        error = "--tcp " + where.host + ":" + where.port + ": " + gai_strerror(status);
        return -1;
    }
    int fd = socket(found->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int on = 1;
    if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        bind(fd, found->ai_addr, found->ai_addrlen) != 0 || listen(fd, backlog) != 0) {
        error = system_error("listen on " + where.host + ":" + where.port);
        if (fd >= 0)
            close(fd);
        fd = -1;
    }
    freeaddrinfo(found);
    return fd;
}

// Keepalive probes on an idle connection: a client whose host vanished without closing (power
// lost, cable pulled) would otherwise hold the only place for ever. Probing after 10 s idle,
// every 5 s, 3 times, the kernel reports it gone about 25 s after the connection went quiet,
// and reading the socket then fails. Where the timings cannot be set the system's (slower) defaults
// apply.
void probe_when_idle(int fd) {
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    [[maybe_unused]] int idle_s = 10, interval_s = 5, probes = 3;
#if defined(TCP_KEEPIDLE)
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle_s, sizeof idle_s);
#elif defined(TCP_KEEPALIVE) // macOS
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPALIVE, &idle_s, sizeof idle_s);
#endif
#if defined(TCP_KEEPINTVL)
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval_s, sizeof interval_s);
#endif
#if defined(TCP_KEEPCNT)
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
#endif
}

} // namespace

std::unique_ptr<TcpPort> TcpPort::create(std::string_view address, std::string &error) {
    HostPort where;
    if (!split_address(address, where)) {
        error = "--tcp expects HOST:PORT or :PORT";
        return nullptr;
    }
    int listener = listen_on(where, error);
    if (listener < 0)
        return nullptr;
    std::string url = socket_url(listener);
    if (url.empty()) {
        error = system_error("getsockname");
        close(listener);
        return nullptr;
    }
    return std::unique_ptr<TcpPort>(new TcpPort(listener, std::move(url)));
}

TcpPort::~TcpPort() {
    drop_client();
    close(listener_);
}

void TcpPort::accept_client() {
    int client = accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (client < 0)
        return; // nobody waiting after all, or the client gave up meanwhile
    // Replies are single small writes: send each at once rather than wait to fill a segment.
    int on = 1;
    setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    probe_when_idle(client);
    client_ = client;
    finished_ = false;
}

void TcpPort::drop_client() {
    if (client_ >= 0)
        close(client_);
    client_ = -1;
    finished_ = false;
}

Port::ReadStatus TcpPort::read_waiting(Bytes &out) {
    if (client_ < 0) {
        accept_client();
        return ReadStatus::drained;
    }
    ReadStatus status = read_now(client_, out, ECONNRESET);
    // Any other error ends this client only: the next one is served as after a hang-up.
    if (status == ReadStatus::failed)
        status = ReadStatus::lost;
    finished_ = status == ReadStatus::hung_up || status == ReadStatus::lost;
    return status;
}

void TcpPort::release_finished_client() {
    if (finished_)
        drop_client();
}

bool TcpPort::write_all(std::span<const std::uint8_t> bytes, std::string &error) {
    if (client_ < 0) {
        error = "no client connected";
        return false;
    }
    return write_all_now(client_, bytes, error);
}

} // namespace kq5316::sim
