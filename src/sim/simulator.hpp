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
#include "sim/port.hpp"
#include "sim/reply_queue.hpp"
#include "sim/stop_signals.hpp"

namespace kq5316::sim {

class Simulator {
  public:
    // `port`, `log` and `signals` must outlive the simulator.
    Simulator(const Options &options, Port &port, EventLog &log, StopSignals &signals);

    // Runs until a stop signal, a quit line or a failing system call. Returns the exit status;
    // `reason` says why it stopped.
    int run(std::string &reason);

  private:
    // Poll loop.
    bool port_watched(Clock::time_point now) const;
    std::optional<Clock::duration> poll_timeout(Clock::time_point now) const;
    void on_port_event(short revents);
    void on_hang_up();
    void on_stdin_event();
    void run_timers(Clock::time_point now);

    // Frames.
    void handle_chunks(const std::vector<Chunk> &chunks);
    void handle_frame(const Bytes &frame);
    Clock::duration line_time(std::size_t request_length, std::size_t reply_length) const;
    void deliver(Outgoing outgoing, Clock::duration line_delay, JsonObject &event);
    void send_due_replies(Clock::time_point now);
    bool write_to_port(const Bytes &bytes, JsonObject &event);

    // Control lines.
    void handle_control_line(const Line &input);
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
    Port &port_;
    EventLog &log_;
    StopSignals &signals_;

    // Line timing: every reply waits for the bytes to cross the line, plus the device's latency.
    const unsigned long baud_;
    const Clock::duration latency_;
    const bool exit_on_eof_;

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
