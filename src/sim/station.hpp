// One simulated instrument on its own port: bytes from the port become frames for the instrument
// model, and its replies go back (spoiled by any queued fault, some of them later), each held for
// the time the line takes to carry the request and the reply. The simulator's poll loop drives
// one station or many.
#pragma once

#include <chrono>
#include <deque>
#include <optional>
#include <string>

#include "sim/control.hpp"
#include "sim/event_log.hpp"
#include "sim/faults.hpp"
#include "sim/frame_splitter.hpp"
#include "sim/instrument.hpp"
#include "sim/options.hpp"
#include "sim/port.hpp"

namespace kq5316::sim {

using Clock = std::chrono::steady_clock;

// Makes `wake` the earlier of itself (none: never) and `when`.
inline void wake_by(std::optional<Clock::time_point> &wake, Clock::time_point when) {
    if (!wake || when < *wake)
        wake = when;
}

class Station {
  public:
    // `port` and `log` must outlive the station. `number` (or -1 for a lone instrument) is added
    // to its events as "instrument".
    Station(const Options &options, Port &port, EventLog &log, int number);

    // The port's descriptor to poll now, or -1 (it is left out for a while after a hang-up).
    int poll_fd(Clock::time_point now);
    // When the station next has something to do without input, if ever.
    std::optional<Clock::time_point> next_wake(Clock::time_point now) const;

    // Takes in what the poll reported on the port. Returns false with `error` set when reading
    // failed.
    bool on_port_event(short revents, std::string &error);
    // Sends the replies that are due (then lets a client that has stopped sending go, once it is
    // owed none) and gives up on a partial frame that stopped.
    void run_timers(Clock::time_point now);

    // Carries out a control line about the instrument, its faults or its port (quit is the
    // simulator's). Returns the error, or an empty string.
    std::string apply(const Control &control);

  private:
    void on_hang_up(const std::string &error);
    void release_when_nothing_owed();
    void handle_chunks(const std::vector<Chunk> &chunks);
    void handle_frame(const Bytes &frame);
    Clock::duration line_time(std::size_t request_length, std::size_t reply_length) const;
    void deliver(Outgoing outgoing, Clock::duration line_delay, JsonObject &event);
    void send_due_replies(Clock::time_point now);
    void write_to_port(const Bytes &bytes, JsonObject &event);
    void emit(JsonObject &event);

    Instrument instrument_;
    FaultQueue faults_;
    FrameSplitter splitter_;
    struct WaitingReply {
        Clock::time_point due;
        Bytes bytes;
    };
    // Replies waiting for their time to go out. The instrument answers in the order it was asked,
    // so a reply never overtakes one queued before it: a prompt reply behind a delayed one waits.
    std::deque<WaitingReply> replies_;
    Port &port_;
    EventLog &log_;
    const int number_;

    // Line timing: every reply waits for the bytes to cross the line, plus the device's latency.
    const unsigned long baud_;
    const Clock::duration latency_;

    // The last look at the master found no process holding the slave. Linux reports this only
    // after a client has closed the slave, never before the first client opens it, so the
    // station starts out not knowing of a hang-up.
    bool hung_up_ = false;
    // While no client holds the slave the master reports a hang-up on every poll; it is left out
    // of the poll set until this time so that the loop sleeps instead of spinning.
    std::optional<Clock::time_point> port_paused_until_;
    Clock::time_point last_rx_{};
};

} // namespace kq5316::sim
