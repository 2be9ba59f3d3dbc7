// SIGTERM and SIGINT as a readable descriptor, so that the poll loop sees a stop request like any
// other input and can clean up (remove the link) on its way out.
#pragma once

#include <string>

namespace kq5316::sim {

class StopSignals {
  public:
    StopSignals() = default;
    StopSignals(const StopSignals &) = delete;
    StopSignals &operator=(const StopSignals &) = delete;
    ~StopSignals();

    // Blocks SIGTERM and SIGINT and opens the descriptor that reports them; ignores SIGPIPE so a
    // vanished reader of standard output does not kill the simulator. Returns false with `error`
    // set on failure.
    bool open(std::string &error);

    int fd() const { return fd_; }

    // Reads one pending signal; returns its name ("SIGTERM"), or an empty string if none.
    std::string take();

  private:
    int fd_ = -1; // owned
};

} // namespace kq5316::sim
