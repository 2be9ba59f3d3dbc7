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
// attributes are the terminal's, so setting them here sets them for the slave. Returns the
// call that failed, or null.
const char *make_raw(int fd) {
    termios attributes{};
    if (tcgetattr(fd, &attributes) != 0)
        return "tcgetattr";
    cfmakeraw(&attributes);
    return tcsetattr(fd, TCSANOW, &attributes) != 0 ? "tcsetattr" : nullptr;
}

// Unlocks the slave, puts the terminal in raw mode, makes the master non-blocking (so that a
// full terminal buffer or a missing client never stalls the loop) and reads the slave's path.
// Returns the call that failed, or null.
const char *prepare_master(int fd, char *name, std::size_t size) {
    if (grantpt(fd) != 0)
        return "grantpt";
    if (unlockpt(fd) != 0)
        return "unlockpt";
    if (const char *failed = make_raw(fd))
        return failed;
    if (!set_non_blocking(fd))
        return "fcntl";
    return ptsname_r(fd, name, size) != 0 ? "ptsname_r" : nullptr;
}

} // namespace

std::unique_ptr<PtyPort> PtyPort::create(std::string &error) {
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
