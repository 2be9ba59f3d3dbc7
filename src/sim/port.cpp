#include "sim/port.hpp"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include "sim/system_error.hpp"

namespace kq5316::sim {

Port::ReadStatus read_now(int fd, Bytes &out, int hang_up_errno) {
    std::uint8_t buffer[max_read_pass];
    std::size_t taken = 0;
    while (taken < max_read_pass) {
        ssize_t count = read(fd, buffer, max_read_pass - taken);
        if (count > 0) {
            out.insert(out.end(), buffer, buffer + count);
            bool short_read = static_cast<std::size_t>(count) < max_read_pass - taken;
            taken += static_cast<std::size_t>(count);
            // Less than asked for is all there was: another read would only fail with EAGAIN
            // (or report the hang-up that the next poll reports too), a system call an exchange
            // can do without.
            if (short_read)
                return Port::ReadStatus::drained;
            continue;
        }
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return Port::ReadStatus::drained;
        if (count == 0 || errno == hang_up_errno)
            return Port::ReadStatus::hung_up;
        return Port::ReadStatus::failed;
    }
    return Port::ReadStatus::more;
}

bool set_non_blocking(int fd) {
    int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

bool write_all_now(int fd, std::span<const std::uint8_t> bytes, std::string &error) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t count = write(fd, bytes.data() + done, bytes.size() - done);
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

} // namespace kq5316::sim
