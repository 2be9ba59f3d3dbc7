// The simulator's poll loop: bytes from the terminal become frames for the instrument model,
// its replies go back (spoiled by any queued fault, some of them later), control lines from
// standard input steer it, and everything is reported on the event log.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "sim/control.hpp"
#include "sim/event_log.hpp"
#include "sim/faults.hpp"
#include "sim/frame_splitter.hpp"
#include "sim/instrument.hpp"
#include "sim/line_reader.hpp"
#include "sim/options.hpp"
#include "sim/pty_port.hpp"
#include "sim/reply_queue.hpp"
#include "sim/stop_signals.hpp"

namespace kq5316::sim {

class Simulator {
  public:
    // `port`, `log` and `signals` must outlive the simulator.
    Simulator(const Options &options, PtyPort &port, EventLog &log, StopSignals &signals);

    // Runs until a stop signal, a quit line or a failing system call. Returns the exit status;
    // `reason` says why it stopped.
    int run(std::string &reason);

  private:
    // Poll loop.
    bool port_watched(Clock::time_point now) const;
    int poll_timeout_ms(Clock::time_point now) const;
    void on_port_event(short revents);
    void on_hang_up();
    void on_stdin_event();
    void run_timers(Clock::time_point now);

    // Frames.
    void handle_chunks(const std::vector<Chunk> &chunks);
    void handle_frame(const Bytes &frame);
    void deliver(Outgoing outgoing, JsonObject &event);
    void send_due_replies(Clock::time_point now);
    bool write_to_port(const Bytes &bytes, JsonObject &event);

    // Control lines.
    void handle_control_line(std::string_view line);
    std::string apply(const AddFault &control);
    std::string apply(const ClearFaults &control);
    std::string apply(const ResetInstrument &control);
    std::string apply(const SetLengths &control);
    std::string apply(const SetSteps &control);
    std::string apply(const SetWorkMode &control);
    std::string apply(const SetVersion &control);
    std::string apply(const Inject &control);
    std::string apply(const Quit &control);

    void stop(int status, std::string reason);

    Instrument instrument_;
    FaultQueue faults_;
    FrameSplitter splitter_;
    ReplyQueue replies_;
    LineReader control_lines_;
    PtyPort &port_;
    EventLog &log_;
    StopSignals &signals_;

    bool stdin_open_ = true;
    // The last look at the master found no process holding the slave. Linux reports this only
    // after a client has closed the slave, never before the first client opens it, so the
    // simulator starts out not knowing of a hang-up.
    bool hung_up_ = false;
    // While no client holds the slave the master reports a hang-up on every poll; it is left out
    // of the poll set until this time so that the loop sleeps instead of spinning.
    std::optional<Clock::time_point> port_paused_until_;
    Clock::time_point last_rx_{};

    bool stopping_ = false;
    int status_ = exit_ok;
    std::string stop_reason_;
};

} // namespace kq5316::sim
