// SIGTERM and SIGINT as a readable descriptor, so that the poll loop sees a stop request like any
// other input and can clean up (remove the link) on its way out.
#pragma once

#include <csignal>
#include <string>
#include <sys/signalfd.h>
#include <unistd.h>

#include "sim/system_calls.hpp"

namespace kq5316::sim {

class StopSignals {
  public:
    StopSignals() = default;
    StopSignals(const StopSignals &) = delete;
    StopSignals &operator=(const StopSignals &) = delete;
    ~StopSignals() {
        if (fd_ >= 0)
            close(fd_);
    }

    // Blocks SIGTERM and SIGINT and opens the descriptor that reports them; ignores SIGPIPE so a
    // vanished reader of standard output does not kill the simulator. Returns false with `error`
    // set on failure.
    bool open(std::string &error) {
        sigset_t stop_set;
        sigemptyset(&stop_set);
        sigaddset(&stop_set, SIGTERM);
        sigaddset(&stop_set, SIGINT);
        if (sigprocmask(SIG_BLOCK, &stop_set, nullptr) != 0) {
            error = system_error("sigprocmask");
            return false;
        }
        std::signal(SIGPIPE, SIG_IGN);
        fd_ = signalfd(-1, &stop_set, SFD_NONBLOCK | SFD_CLOEXEC);
        if (fd_ < 0)
            error = system_error("signalfd");
        return fd_ >= 0;
    }

    int fd() const { return fd_; }

    // Reads one pending signal; returns its name ("SIGTERM"), or an empty string if none.
    std::string take() {
        signalfd_siginfo info{};
        if (read(fd_, &info, sizeof info) != static_cast<ssize_t>(sizeof info))
            return {};
        return info.ssi_signo == SIGINT ? "SIGINT" : "SIGTERM";
    }

  private:
    int fd_ = -1; // owned
};

} // namespace kq5316::sim
