#include "sim/simulator.hpp"

#include <algorithm>
#include <cerrno>
#include <poll.h>
#include <unistd.h>

#include "sim/system_calls.hpp"
#include "sim/text.hpp"

namespace kq5316::sim {

namespace {

// The poll set: these first, then one entry for each station's port.
enum Slot : std::size_t {
    signals_slot,
    stdin_slot,
    outputs_slot,
    ports_slot = 2 + EventLog::outputs
};

timespec as_timespec(Clock::duration duration) {
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(duration).count();
    return {static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
}

} // namespace

Simulator::Simulator(const Options &options, const std::vector<std::unique_ptr<Port>> &ports,
                     EventLog &log, StopSignals &signals)
    : log_(log), signals_(signals), exit_on_eof_(options.exit_on_eof) {
    stations_.reserve(ports.size());
    bool numbered = ports.size() > 1;
    for (const std::unique_ptr<Port> &port : ports)
        stations_.emplace_back(options, *port, log,
                               numbered ? static_cast<int>(stations_.size()) : -1);
}

int Simulator::run(std::string &reason) {
    std::vector<pollfd> fds(ports_slot + stations_.size());
    while (!stopping_) {
        Clock::time_point now = Clock::now();
        fill_poll_set(fds, now);
        // Nanosecond timeouts: at high baud rates a reply is due well within a millisecond.
        std::optional<Clock::duration> timeout = poll_timeout(now);
        timespec wait = timeout ? as_timespec(*timeout) : timespec{};
        if (ppoll(fds.data(), fds.size(), timeout ? &wait : nullptr, nullptr) < 0) {
            if (errno == EINTR)
                continue;
            stop(exit_failure, system_error("poll"));
            break;
        }
        auto outputs = fds.begin() + outputs_slot;
        if (std::any_of(outputs, outputs + EventLog::outputs,
                        [](const pollfd &fd) { return fd.revents != 0; }))
            log_.write_pending();
        // A stop signal ends the loop after this pass, so that input which arrived before it is
        // still taken in; a pass's work is bounded.
        if (fds[signals_slot].revents != 0)
            stop(exit_ok, signals_.take());
        if (fds[stdin_slot].revents != 0)
            on_stdin_event();
        on_port_events(fds);
        now = Clock::now();
        for (Station &station : stations_)
            station.run_timers(now);
    }
    reason = stop_reason_;
    return status_;
}

void Simulator::fill_poll_set(std::vector<pollfd> &fds, Clock::time_point now) {
    fds[signals_slot] = {signals_.fd(), POLLIN, 0};
    fds[stdin_slot] = {stdin_open_ ? STDIN_FILENO : -1, POLLIN, 0};
    log_.watch_outputs(&fds[outputs_slot]);
    for (std::size_t i = 0; i < stations_.size(); ++i)
        fds[ports_slot + i] = {stations_[i].poll_fd(now), POLLIN, 0};
}

void Simulator::on_port_events(const std::vector<pollfd> &fds) {
    for (std::size_t i = 0; i < stations_.size(); ++i) {
        const pollfd &port = fds[ports_slot + i];
        std::string error;
        if (port.fd >= 0 && !stations_[i].on_port_event(port.revents, error))
            stop(exit_failure, error);
    }
}

std::optional<Clock::duration> Simulator::poll_timeout(Clock::time_point now) const {
    std::optional<Clock::time_point> wake;
    for (const Station &station : stations_) {
        if (std::optional<Clock::time_point> when = station.next_wake(now))
            wake_by(wake, *when);
    }
    if (!wake)
        return std::nullopt;
    return std::max(*wake - now, Clock::duration::zero());
}

// Reads what is there, without making standard input non-blocking: it may be a terminal shared
// with other processes. One read() after poll() reported it readable does not block.
void Simulator::on_stdin_event() {
    char buffer[4096];
    ssize_t count = read(STDIN_FILENO, buffer, sizeof buffer);
    if (count < 0 && errno == EINTR)
        return;
    if (count > 0) {
        for (const Line &line : control_lines_.feed({buffer, static_cast<size_t>(count)})) {
            if (stopping_) // lines after "quit" are not carried out
                break;
            handle_control_line(line);
        }
        return;
    }
    // End of input (or an input that cannot be read): the simulator goes on without it, unless
    // it was told to stop there.
    stdin_open_ = false;
    if (auto last = control_lines_.finish())
        handle_control_line(*last);
    if (exit_on_eof_ && !stopping_)
        stop(exit_ok, "end of input");
}

void Simulator::handle_control_line(const Line &input) {
    std::string_view line = trim(input.text);
    if (line.empty() || line.front() == '#')
        return;
    Control control;
    std::string error;
    if (input.too_long) {
        // Not carried out, since its end is lost; the report shows enough of it to recognise.
        line = line.substr(0, 80);
        error = "longer than " + std::to_string(max_line_length) + " bytes; not carried out";
    } else if (error = parse_control(line, control); error.empty()) {
        error = apply(control);
    }
    JsonObject event;
    event.text("event", error.empty() ? "ok" : "error").text("control", line);
    if (!error.empty())
        event.text("message", error);
    log_.emit(event);
}

// Control lines about the instruments go to every station; the first error is reported, and
// every station still gets the line.
std::string Simulator::apply(const Control &control) {
    if (control.kind == Control::Kind::quit) {
        stop(exit_ok, "quit");
        return {};
    }
    std::string first_error;
    for (Station &station : stations_) {
        std::string error = station.apply(control);
        if (first_error.empty())
            first_error = std::move(error);
    }
    return first_error;
}

void Simulator::stop(int status, std::string reason) {
    stopping_ = true;
    status_ = status;
    stop_reason_ = std::move(reason);
}

} // namespace kq5316::sim
