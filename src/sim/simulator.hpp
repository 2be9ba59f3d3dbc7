// The simulator's poll loop: it drives one station (an instrument on its port) or several, takes
// control lines from standard input to steer them, and reports everything on the event log.
#pragma once

#include <memory>
#include <optional>
#include <poll.h>
#include <string>
#include <vector>

#include "sim/control.hpp"
#include "sim/event_log.hpp"
#include "sim/line_reader.hpp"
#include "sim/options.hpp"
#include "sim/station.hpp"
#include "sim/stop_signals.hpp"

namespace kq5316::sim {

class Simulator {
  public:
    // One station for each of `ports`, numbered in its events when there are several. `ports`,
    // `log` and `signals` must outlive the simulator.
    Simulator(const Options &options, const std::vector<std::unique_ptr<Port>> &ports,
              EventLog &log, StopSignals &signals);

    // Runs until a stop signal, a quit line or a failing system call. Returns the exit status;
    // `reason` says why it stopped.
    int run(std::string &reason);

  private:
    // The poll set: stop signals, standard input, the event log's outputs, then the ports.
    void fill_poll_set(std::vector<pollfd> &fds, Clock::time_point now);
    void on_port_events(const std::vector<pollfd> &fds);
    std::optional<Clock::duration> poll_timeout(Clock::time_point now) const;
    void on_stdin_event();

    void handle_control_line(const Line &input);
    std::string apply(const Control &control);

    void stop(int status, std::string reason);

    std::vector<Station> stations_;
    LineReader control_lines_;
    EventLog &log_;
    StopSignals &signals_;
    const bool exit_on_eof_;

    bool stdin_open_ = true;
    bool stopping_ = false;
    int status_ = exit_ok;
    std::string stop_reason_;
};

} // namespace kq5316::sim
