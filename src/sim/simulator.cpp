#include "sim/simulator.hpp"

#include <algorithm>
#include <cerrno>
#include <poll.h>
#include <unistd.h>

#include "sim/system_error.hpp"
#include "sim/text.hpp"

namespace kq5316::sim {

namespace {

using std::chrono::milliseconds;

// How long the loop sleeps before looking at a hung-up terminal again: short enough that a
// client's first frame after opening waits no more than this, long enough not to spin.
constexpr milliseconds hang_up_pause{10};
// A frame whose bytes stop coming for this long is given up on.
constexpr milliseconds partial_frame_timeout{100};
// Replies held back at most at once. A client flooding requests while a delay holds every reply
// would otherwise grow the queue without end; past this, replies are not sent.
constexpr std::size_t max_waiting_replies = 4096;
// Replies sent in one pass of the poll loop at most, so that a pass stays short (a stop signal is
// seen between passes) however many fall due together.
constexpr std::size_t max_sent_per_pass = 512;

long long whole_ms_until(Clock::time_point when, Clock::time_point now) {
    if (when <= now)
        return 0;
    return std::chrono::ceil<milliseconds>(when - now).count();
}

std::string state_json(const ChannelState &state) {
    return JsonObject()
        .number("work_mode", state.work_mode)
        .number("length_index", state.length_index)
        .number("steps", state.steps)
        .boolean("disconnected", state.disconnected)
        .str();
}

// The part of a frame event known once the instrument has judged the frame.
JsonObject frame_event(const Bytes &frame, const Answer &answer) {
    JsonObject event;
    event.text("event", "frame").text("rx", hex_string(frame));
    if (answer.command)
        event.text("command", command_name(*answer.command));
    else
        event.null("command");
    event.number("channel", frame[protocol::channel_index]);
    event.boolean("ok", answer.error.empty());
    if (!answer.error.empty())
        event.text("error", answer.error);
    if (!answer.note.empty())
        event.text("note", answer.note);
    return event;
}

} // namespace

Simulator::Simulator(const Options &options, Port &port, EventLog &log, StopSignals &signals)
    : instrument_(options.instrument), port_(port), log_(log), signals_(signals),
      baud_(options.baud), latency_(milliseconds(options.latency_ms)),
      exit_on_eof_(options.exit_on_eof) {
    for (const Fault &fault : options.faults)
        faults_.add(fault);
}

int Simulator::run(std::string &reason) {
    while (!stopping_) {
        Clock::time_point now = Clock::now();
        bool watch_port = port_watched(now);
        if (watch_port)
            port_paused_until_.reset();
        pollfd fds[3 + EventLog::outputs] = {
            {signals_.fd(), POLLIN, 0},
            {stdin_open_ ? STDIN_FILENO : -1, POLLIN, 0},
            {watch_port ? port_.fd() : -1, POLLIN, 0},
        };
        log_.watch_outputs(fds + 3);
        // Nanosecond timeouts: at high baud rates a reply is due well within a millisecond.
        std::optional<Clock::duration> timeout = poll_timeout(now);
        timespec wait{};
        if (timeout) {
            auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(*timeout).count();
            wait = {static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
        }
        if (ppoll(fds, std::size(fds), timeout ? &wait : nullptr, nullptr) < 0) {
            if (errno == EINTR)
                continue;
            stop(exit_failure, system_error("poll"));
            break;
        }
        if (std::any_of(fds + 3, std::end(fds), [](const pollfd &fd) { return fd.revents != 0; }))
            log_.write_pending();
        // A stop signal ends the loop after this pass, so that input which arrived before it is
        // still taken in; a pass's work is bounded.
        if (fds[0].revents != 0)
            stop(exit_ok, signals_.take());
        if (fds[1].revents != 0)
            on_stdin_event();
        if (watch_port)
            on_port_event(fds[2].revents);
        run_timers(Clock::now());
    }
    reason = stop_reason_;
    return status_;
}

bool Simulator::port_watched(Clock::time_point now) const {
    return !port_paused_until_ || now >= *port_paused_until_;
}

std::optional<Clock::duration> Simulator::poll_timeout(Clock::time_point now) const {
    std::optional<Clock::time_point> wake = replies_.next_due();
    auto earliest = [&wake](Clock::time_point when) {
        if (!wake || when < *wake)
            wake = when;
    };
    if (splitter_.has_partial())
        earliest(last_rx_ + partial_frame_timeout);
    if (port_paused_until_)
        earliest(*port_paused_until_);
    else if (hung_up_)
        earliest(now + hang_up_pause); // to notice soon that a client has opened the slave
    if (!wake)
        return std::nullopt;
    return std::max(*wake - now, Clock::duration::zero());
}

void Simulator::on_port_event(short revents) {
    if (revents == 0) {
        hung_up_ = false;
        return;
    }
    Bytes bytes;
    Port::ReadStatus status = port_.read_waiting(bytes);
    if (status == Port::ReadStatus::failed) // before errno is overwritten by the replies
        stop(exit_failure, system_error("read"));
    if (!bytes.empty()) {
        hung_up_ = false;
        last_rx_ = Clock::now();
        handle_chunks(splitter_.feed(bytes));
    }
    // With more to read, a hang-up the poll reported waits until the client's last bytes are in.
    if (status == Port::ReadStatus::failed || status == Port::ReadStatus::more)
        return;
    if (status == Port::ReadStatus::hung_up || (revents & POLLHUP) != 0)
        on_hang_up();
}

// No process holds the slave. This is not an error: the client closed its port and may open it
// again, so the simulator only pauses watching the master. A hang-up seen for the first time
// means a client has just left.
void Simulator::on_hang_up() {
    if (!hung_up_) {
        hung_up_ = true;
        log_.emit(JsonObject().text("event", "hangup"));
        handle_chunks(splitter_.flush());
    }
    port_paused_until_ = Clock::now() + hang_up_pause;
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

void Simulator::run_timers(Clock::time_point now) {
    send_due_replies(now);
    if (splitter_.has_partial() && now - last_rx_ >= partial_frame_timeout)
        handle_chunks(splitter_.flush());
}

void Simulator::handle_chunks(const std::vector<Chunk> &chunks) {
    for (const Chunk &chunk : chunks) {
        if (chunk.kind == Chunk::Kind::frame) {
            handle_frame(chunk.bytes);
            continue;
        }
        log_.emit(JsonObject().text("event", "garbage").text("rx", hex_string(chunk.bytes)));
    }
}

void Simulator::handle_frame(const Bytes &frame) {
    Answer answer = instrument_.answer(frame);
    JsonObject event = frame_event(frame, answer);
    if (!answer.error.empty()) {
        event.text("tx", "").null("fault");
        log_.emit(event);
        return;
    }
    Outgoing outgoing = faults_.apply(std::move(answer.reply));
    Clock::duration line_delay = line_time(frame.size(), outgoing.tx.size());
    deliver(std::move(outgoing), line_delay, event);
    if (answer.channel_state)
        event.raw("state", state_json(*answer.channel_state));
    log_.emit(event);
}

// How long the request and its reply take on the line at the configured baud rate (10 bits a
// byte), plus the device's latency.
Clock::duration Simulator::line_time(std::size_t request_length, std::size_t reply_length) const {
    if (baud_ == 0)
        return latency_;
    auto bits = static_cast<long long>(request_length + reply_length) * 10;
    return latency_ +
           std::chrono::nanoseconds(bits * 1'000'000'000LL / static_cast<long long>(baud_));
}

// Sends a reply now, or queues it when it is delayed (by a fault or by line timing) or an earlier
// reply is still waiting.
void Simulator::deliver(Outgoing outgoing, Clock::duration line_delay, JsonObject &event) {
    event.text("tx", hex_string(outgoing.tx));
    if (outgoing.fault)
        event.text("fault", fault_name(*outgoing.fault));
    else
        event.null("fault");
    if (outgoing.tx.empty())
        return;
    Clock::duration delay = milliseconds(outgoing.delay_ms) + line_delay;
    if (delay == Clock::duration::zero() && replies_.empty()) {
        write_to_port(outgoing.tx, event);
        return;
    }
    if (replies_.size() >= max_waiting_replies) {
        event.text("write_error", std::to_string(max_waiting_replies) + " replies already waiting");
        return;
    }
    // Counted from when the request's bytes were read, not from when its answer was ready.
    Clock::time_point now = Clock::now();
    Clock::time_point due = replies_.schedule(last_rx_ + delay, std::move(outgoing.tx));
    event.number("deferred_ms", whole_ms_until(due, now));
}

void Simulator::send_due_replies(Clock::time_point now) {
    for (const ScheduledReply &reply : replies_.take_due(now, max_sent_per_pass)) {
        JsonObject event;
        event.text("event", "sent").text("tx", hex_string(reply.bytes));
        write_to_port(reply.bytes, event);
        log_.emit(event);
    }
}

// Adds "write_error" to `event` when the terminal refuses the bytes.
bool Simulator::write_to_port(const Bytes &bytes, JsonObject &event) {
    std::string error;
    if (port_.write_all(bytes, error))
        return true;
    event.text("write_error", error);
    return false;
}

void Simulator::handle_control_line(const Line &input) {
    std::string_view line = trim(input.text);
    if (line.empty() || line.front() == '#')
        return;
    if (input.too_long) {
        // Not carried out, since its end is lost; the report shows enough of it to recognise.
        log_.emit(JsonObject()
                      .text("event", "error")
                      .text("control", line.substr(0, 80))
                      .text("message", "longer than " + std::to_string(max_line_length) +
                                           " bytes; not carried out"));
        return;
    }
    ControlParse parsed = parse_control(line);
    std::string error = parsed.error;
    if (parsed.control)
        error = std::visit([this](const auto &control) { return apply(control); }, *parsed.control);
    JsonObject event;
    event.text("event", error.empty() ? "ok" : "error").text("control", line);
    if (!error.empty())
        event.text("message", error);
    log_.emit(event);
}

std::string Simulator::apply(const AddFault &control) {
    faults_.add(control.fault);
    return {};
}

std::string Simulator::apply(const ClearFaults &) {
    faults_.clear();
    return {};
}

std::string Simulator::apply(const ResetInstrument &) {
    instrument_.reset();
    faults_.clear();
    return {};
}

std::string Simulator::apply(const SetLengths &control) {
    instrument_.set_lengths(control.channel, control.values);
    return {};
}

std::string Simulator::apply(const SetSteps &control) {
    instrument_.set_steps(control.channel, control.steps);
    return {};
}

std::string Simulator::apply(const SetWorkMode &control) {
    instrument_.set_work_mode(control.channel, control.mode);
    return {};
}

std::string Simulator::apply(const SetVersion &control) {
    instrument_.set_version(control.version);
    return {};
}

std::string Simulator::apply(const Inject &control) {
    std::string error;
    port_.write_all(control.bytes, error);
    return error;
}

std::string Simulator::apply(const Quit &) {
    stop(exit_ok, "quit");
    return {};
}

void Simulator::stop(int status, std::string reason) {
    stopping_ = true;
    status_ = status;
    stop_reason_ = std::move(reason);
}

} // namespace kq5316::sim
