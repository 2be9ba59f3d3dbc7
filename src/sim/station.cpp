#include "sim/station.hpp"

#include <algorithm>
#include <poll.h>

#include "sim/system_calls.hpp"
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

// The part of a frame event known once the instrument has judged the frame.
JsonObject frame_event(const Bytes &frame, const Answer &answer) {
    JsonObject event;
    event.text("event", "frame").text("rx", hex_string(frame));
    if (answer.command)
        event.text("command", protocol::command_row(*answer.command).name);
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

Station::Station(const Options &options, Port &port, EventLog &log, int number)
    : instrument_(options.instrument), port_(port), log_(log), number_(number), baud_(options.baud),
      latency_(milliseconds(options.latency_ms)) {
    for (const Fault &fault : options.faults)
        faults_.add(fault);
}

int Station::poll_fd(Clock::time_point now) {
    if (port_paused_until_ && now < *port_paused_until_)
        return -1;
    port_paused_until_.reset();
    return port_.fd();
}

std::optional<Clock::time_point> Station::next_wake(Clock::time_point now) const {
    std::optional<Clock::time_point> wake;
    if (!replies_.empty())
        wake = replies_.front().due;
    if (splitter_.has_partial())
        wake_by(wake, last_rx_ + partial_frame_timeout);
    if (port_paused_until_)
        wake_by(wake, *port_paused_until_);
    else if (hung_up_)
        wake_by(wake, now + hang_up_pause); // to notice soon that a client has opened the slave
    return wake;
}

bool Station::on_port_event(short revents, std::string &error) {
    if (revents == 0) {
        hung_up_ = false;
        return true;
    }
    Bytes bytes;
    Port::ReadStatus status = port_.read_waiting(bytes);
    std::string read_error; // taken before errno is overwritten by the replies
    if (status == Port::ReadStatus::failed || status == Port::ReadStatus::lost)
        read_error = system_error("read");
    if (!bytes.empty()) {
        hung_up_ = false;
        last_rx_ = Clock::now();
        handle_chunks(splitter_.feed(bytes));
    }
    if (status == Port::ReadStatus::failed) {
        error = read_error;
        return false;
    }
    // With more to read, a hang-up the poll reported waits until the client's last bytes are in.
    if (status == Port::ReadStatus::more)
        return true;
    if (status == Port::ReadStatus::hung_up || status == Port::ReadStatus::lost ||
        (revents & POLLHUP) != 0)
        on_hang_up(read_error);
    else
        hung_up_ = false; // nothing says a client has gone (a TCP one may just have come)
    return true;
}

// No process holds the slave, or the TCP client has stopped sending. This is not an error: the
// client closed its port and may open it again, so the station only pauses watching it. A
// hang-up seen for the first time means a client has just left. A client that merely closed its
// sending side still gets the replies owed to it; one whose connection failed (`error`) cannot.
void Station::on_hang_up(const std::string &error) {
    if (!hung_up_) {
        hung_up_ = true;
        JsonObject event;
        event.text("event", "hangup");
        if (!error.empty())
            event.text("error", error);
        emit(event);
        handle_chunks(splitter_.flush());
    }
    if (!error.empty())
        replies_.clear(); // nor may they reach the next client
    release_when_nothing_owed();
    port_paused_until_ = Clock::now() + hang_up_pause;
}

void Station::run_timers(Clock::time_point now) {
    send_due_replies(now);
    release_when_nothing_owed();
    if (splitter_.has_partial() && now - last_rx_ >= partial_frame_timeout)
        handle_chunks(splitter_.flush());
}

void Station::release_when_nothing_owed() {
    if (replies_.empty())
        port_.release_finished_client();
}

std::string Station::apply(const Control &control) {
    std::string error;
    switch (control.kind) {
    case Control::Kind::fault:
        faults_.add(control.fault);
        break;
    case Control::Kind::reset:
        instrument_.reset();
        [[fallthrough]];
    case Control::Kind::no_faults:
        faults_.clear();
        break;
    case Control::Kind::lengths:
        instrument_.set_lengths(control.channel, control.lengths);
        break;
    case Control::Kind::attenuation:
        instrument_.set_steps(control.channel, static_cast<std::uint16_t>(control.value));
        break;
    case Control::Kind::mode:
        instrument_.set_work_mode(control.channel, static_cast<std::uint8_t>(control.value));
        break;
    case Control::Kind::version:
        instrument_.set_version(control.version);
        break;
    case Control::Kind::inject:
        port_.write_all(control.bytes, error);
        break;
    case Control::Kind::quit: // the simulator's
        break;
    }
    return error;
}

void Station::handle_chunks(const std::vector<Chunk> &chunks) {
    for (const Chunk &chunk : chunks) {
        if (chunk.kind == Chunk::Kind::frame) {
            handle_frame(chunk.bytes);
            continue;
        }
        JsonObject event;
        event.text("event", "garbage").text("rx", hex_string(chunk.bytes));
        emit(event);
    }
}

void Station::handle_frame(const Bytes &frame) {
    Answer answer = instrument_.answer(frame);
    JsonObject event = frame_event(frame, answer);
    Outgoing outgoing;
    if (answer.error.empty()) // a refused frame gets no reply and uses up no fault
        outgoing = faults_.apply(std::move(answer.reply));
    Clock::duration line_delay = line_time(frame.size(), outgoing.tx.size());
    deliver(std::move(outgoing), line_delay, event);
    if (answer.channel_state)
        event.raw("state", JsonObject()
                               .number("work_mode", answer.channel_state->work_mode)
                               .number("length_index", answer.channel_state->length_index)
                               .number("steps", answer.channel_state->steps)
                               .boolean("disconnected", answer.channel_state->disconnected)
                               .str());
    emit(event);
}

// How long the request and its reply take on the line at the configured baud rate (10 bits a
// byte), plus the device's latency.
Clock::duration Station::line_time(std::size_t request_length, std::size_t reply_length) const {
    if (baud_ == 0)
        return latency_;
    auto bits = static_cast<long long>(request_length + reply_length) * 10;
    return latency_ +
           std::chrono::nanoseconds(bits * 1'000'000'000LL / static_cast<long long>(baud_));
}

// Sends a reply now, or queues it when it is delayed (by a fault or by line timing) or an earlier
// reply is still waiting.
void Station::deliver(Outgoing outgoing, Clock::duration line_delay, JsonObject &event) {
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
    Clock::time_point due = last_rx_ + delay;
    if (!replies_.empty())
        due = std::max(due, replies_.back().due);
    replies_.push_back({due, std::move(outgoing.tx)});
    const auto wait = std::chrono::ceil<milliseconds>(due - Clock::now());
    event.number("deferred_ms", std::max<long long>(wait.count(), 0));
}

void Station::send_due_replies(Clock::time_point now) {
    bool logged = log_.wanted();
    for (std::size_t sent = 0;
         sent < max_sent_per_pass && !replies_.empty() && replies_.front().due <= now; ++sent) {
        const WaitingReply reply = std::move(replies_.front());
        replies_.pop_front();
        JsonObject event;
        if (logged)
            event.text("event", "sent").text("tx", hex_string(reply.bytes));
        write_to_port(reply.bytes, event);
        emit(event);
    }
}

// Adds "write_error" to `event` when the terminal refuses the bytes.
void Station::write_to_port(const Bytes &bytes, JsonObject &event) {
    std::string error;
    if (!port_.write_all(bytes, error))
        event.text("write_error", error);
}

void Station::emit(JsonObject &event) {
    if (!log_.wanted())
        return;
    if (number_ >= 0)
        event.number("instrument", number_);
    log_.emit(event);
}

} // namespace kq5316::sim
