#include "sim/stop_signals.hpp"

#include <csignal>
#include <sys/signalfd.h>
#include <unistd.h>

#include "sim/system_calls.hpp"

namespace kq5316::sim {

StopSignals::~StopSignals() {
    if (fd_ >= 0)
        close(fd_);
}

bool StopSignals::open(std::string &error) {
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
    if (fd_ < 0) {
        error = system_error("signalfd");
        return false;
    }
    return true;
}

std::string StopSignals::take() {
    signalfd_siginfo info{};
    if (read(fd_, &info, sizeof info) != static_cast<ssize_t>(sizeof info))
        return {};
    return info.ssi_signo == SIGINT ? "SIGINT" : "SIGTERM";
}

} // namespace kq5316::sim
