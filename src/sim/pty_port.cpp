#include "sim/pty_port.hpp"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include "sim/system_error.hpp"

namespace kq5316::sim {

namespace {

// Raw mode: no echo of what the client writes back to it, no line editing, no translation of
// the bytes 0x0D, 0x0A or of control characters in binary frames. On Linux the master's
// attributes are the terminal's, so setting them here sets them for the slave.
bool make_raw(int fd, std::string &error) {
    termios attributes{};
    if (tcgetattr(fd, &attributes) != 0) {
        error = system_error("tcgetattr");
        return false;
    }
    cfmakeraw(&attributes);
    if (tcsetattr(fd, TCSANOW, &attributes) != 0) {
        error = system_error("tcsetattr");
        return false;
    }
    return true;
}

// Non-blocking, so that a full terminal buffer or a missing client never stalls the loop.
bool make_non_blocking(int fd, std::string &error) {
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
        error = system_error("fcntl");
        return false;
    }
    return true;
}

bool prepare_master(int fd, std::string &error) {
    if (grantpt(fd) != 0) {
        error = system_error("grantpt");
        return false;
    }
    if (unlockpt(fd) != 0) {
        error = system_error("unlockpt");
        return false;
    }
    return make_raw(fd, error) && make_non_blocking(fd, error);
}

} // namespace

std::unique_ptr<PtyPort> PtyPort::create(std::string &error) {
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0) {
        error = system_error("posix_openpt");
        return nullptr;
    }
    char name[128];
    if (!prepare_master(master, error)) {
        close(master);
        return nullptr;
    }
    if (ptsname_r(master, name, sizeof name) != 0) {
        error = system_error("ptsname_r");
        close(master);
        return nullptr;
    }
    return std::unique_ptr<PtyPort>(new PtyPort(master, name));
}

PtyPort::~PtyPort() {
    close(master_);
}

// Linux reports EIO on the master once no process holds the slave, after the bytes still
// waiting have been read.
Port::ReadStatus PtyPort::read_waiting(Bytes &out) {
    return read_now(master_, out, EIO);
}

bool PtyPort::write_all(std::span<const std::uint8_t> bytes, std::string &error) {
    return write_all_now(master_, bytes, error);
}

} // namespace kq5316::sim
