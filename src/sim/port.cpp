#include "sim/port.hpp"

#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "sim/system_calls.hpp"

namespace kq5316::sim {

namespace {

constexpr int backlog = 8;

// Unlocks the slave, puts the terminal in raw mode (no echo of what the client writes back to
// it, no line editing, no translation of 0x0D, 0x0A or control characters in binary frames; on
// Linux the master's attributes are the slave's), makes the master non-blocking (so that a full
// terminal buffer or a missing client never stalls the loop) and reads the slave's path. Returns
// the call that failed, or null.
const char *prepare_master(int fd, char *name, std::size_t size) {
    termios attributes{};
    if (grantpt(fd) != 0)
        return "grantpt";
    if (unlockpt(fd) != 0)
        return "unlockpt";
    if (tcgetattr(fd, &attributes) != 0)
        return "tcgetattr";
    cfmakeraw(&attributes);
    if (tcsetattr(fd, TCSANOW, &attributes) != 0)
        return "tcsetattr";
    if (!set_non_blocking(fd))
        return "fcntl";
    return ptsname_r(fd, name, size) != 0 ? "ptsname_r" : nullptr;
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

// A non-blocking socket listening on the first address `host` and `port` resolve to; -1 with
// `error`.
int listen_on(const std::string &host, const std::string &port, std::string &error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo *found = nullptr;
    int status = getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
    if (status != 0) {
        error = "--tcp " + host + ":" + port + ": " + gai_strerror(status);
        return -1;
    }
    int fd = socket(found->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int on = 1;
    if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        bind(fd, found->ai_addr, found->ai_addrlen) != 0 || listen(fd, backlog) != 0) {
        error = system_error("listen on " + host + ":" + port);
        if (fd >= 0)
            close(fd);
        fd = -1;
    }
    freeaddrinfo(found);
    return fd;
}

struct SocketOption {
    int level;
    int name;
    int value;
};

// Replies are single small writes: each goes out at once rather than wait to fill a segment.
// Keepalive probes on an idle connection: a client whose host vanished without closing (power
// lost, cable pulled) would otherwise hold the only place for ever. Probing after 10 s idle,
// every 5 s, 3 times, the kernel reports it gone about 25 s after the connection went quiet,
// and reading the socket then fails.
constexpr SocketOption client_options[] = {
    {IPPROTO_TCP, TCP_NODELAY, 1},   {SOL_SOCKET, SO_KEEPALIVE, 1}, {IPPROTO_TCP, TCP_KEEPIDLE, 10},
    {IPPROTO_TCP, TCP_KEEPINTVL, 5}, {IPPROTO_TCP, TCP_KEEPCNT, 3},
};

bool points_to(const std::string &path, const std::string &target) {
    char buffer[PATH_MAX];
    ssize_t length = readlink(path.c_str(), buffer, sizeof buffer);
    return length >= 0 && std::string(buffer, static_cast<std::size_t>(length)) == target;
}

// Checks what is at `path` now; true when the link may be made there.
bool path_is_free(const std::string &path, std::string &error) {
    struct stat status{};
    if (lstat(path.c_str(), &status) != 0) {
        if (errno == ENOENT)
            return true;
        error = system_error("lstat " + path);
        return false;
    }
    if (!S_ISLNK(status.st_mode)) {
        error = path + " exists and is not a symbolic link; not replacing it";
        return false;
    }
    return true;
}

} // namespace

std::unique_ptr<Port> Port::open_terminal(std::string &error) {
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0) {
        error = system_error("posix_openpt");
        return nullptr;
    }
    char name[128];
    if (const char *failed = prepare_master(master, name, sizeof name)) {
        error = system_error(failed);
        close(master);
        return nullptr;
    }
    return std::unique_ptr<Port>(new Port(master, -1, name));
}

std::unique_ptr<Port> Port::listen_tcp(const std::string &host, const std::string &port,
                                       std::string &error) {
    int listener = listen_on(host, port, error);
    if (listener < 0)
        return nullptr;
    std::string url = socket_url(listener);
    if (url.empty()) {
        error = system_error("getsockname");
        close(listener);
        return nullptr;
    }
    return std::unique_ptr<Port>(new Port(-1, listener, std::move(url)));
}

Port::~Port() {
    drop_client();
    if (listener_ >= 0)
        close(listener_);
}

int Port::fd() const {
    if (line_ < 0)
        return listener_;
    return finished_ ? -1 : line_;
}

Port::ReadStatus Port::read_waiting(Bytes &out) {
    if (listener_ < 0)
        return read_line(out);
    if (line_ < 0) {
        accept_client();
        return ReadStatus::drained;
    }
    ReadStatus status = read_line(out);
    // Any other error ends this client only: the next one is served as after a hang-up.
    if (status == ReadStatus::failed)
        status = ReadStatus::lost;
    finished_ = status == ReadStatus::hung_up || status == ReadStatus::lost;
    return status;
}

// The end of input is a hang-up, and so is the error by which the line says its peer has gone:
// Linux reports EIO on a terminal's master once no process holds the slave (after the bytes
// still waiting have been read), a socket ECONNRESET.
Port::ReadStatus Port::read_line(Bytes &out) {
    const int hang_up_errno = listener_ < 0 ? EIO : ECONNRESET;
    std::uint8_t buffer[max_read_pass];
    std::size_t taken = 0;
    while (taken < max_read_pass) {
        ssize_t count = read(line_, buffer, max_read_pass - taken);
        if (count > 0) {
            out.insert(out.end(), buffer, buffer + count);
            bool short_read = static_cast<std::size_t>(count) < max_read_pass - taken;
            taken += static_cast<std::size_t>(count);
            // Less than asked for is all there was: another read would only fail with EAGAIN
            // (or report the hang-up that the next poll reports too), a system call an exchange
            // can do without.
            if (short_read)
                return ReadStatus::drained;
            continue;
        }
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return ReadStatus::drained;
        if (count == 0 || errno == hang_up_errno)
            return ReadStatus::hung_up;
        return ReadStatus::failed;
    }
    return ReadStatus::more;
}

bool Port::write_all(std::span<const std::uint8_t> bytes, std::string &error) {
    if (line_ < 0) {
        error = "no client connected";
        return false;
    }
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t count = write(line_, bytes.data() + done, bytes.size() - done);
        if (count >= 0) {
            done += static_cast<std::size_t>(count);
            continue;
        }
        if (errno == EINTR)
            continue;
        error = system_error("write");
        return false;
    }
    return true;
}

void Port::accept_client() {
    int client = accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (client < 0)
        return; // nobody waiting after all, or the client gave up meanwhile
    for (const SocketOption &option : client_options)
        setsockopt(client, option.level, option.name, &option.value, sizeof option.value);
    line_ = client;
    finished_ = false;
}

void Port::release_finished_client() {
    if (finished_)
        drop_client();
}

void Port::drop_client() {
    if (line_ >= 0)
        close(line_);
    line_ = -1;
    finished_ = false;
}

std::unique_ptr<PortLink> PortLink::create(const std::string &path, const std::string &target,
                                           std::string &error) {
    if (!path_is_free(path, error))
        return nullptr;
    // Made under a temporary name and renamed over the path, so an old link is replaced in one
    // step and a client never finds the path missing.
    std::string temporary = path + ".kq5316-sim." + std::to_string(getpid());
    if (symlink(target.c_str(), temporary.c_str()) != 0) {
        error = system_error("symlink " + temporary);
        return nullptr;
    }
    if (rename(temporary.c_str(), path.c_str()) != 0) {
        error = system_error("rename to " + path);
        unlink(temporary.c_str());
        return nullptr;
    }
    return std::unique_ptr<PortLink>(new PortLink(path, target));
}

PortLink::~PortLink() {
    if (points_to(path_, target_))
        unlink(path_.c_str());
}

} // namespace kq5316::sim
