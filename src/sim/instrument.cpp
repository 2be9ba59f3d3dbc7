#include "sim/instrument.hpp"

#include "kq5316/protocol/checksum.hpp"
#include "kq5316/protocol/frame.hpp"
#include "kq5316/protocol/reply_fields.hpp"

namespace kq5316::sim {

namespace {

using protocol::Command;
using protocol::CommandFrame;
using protocol::first_command_index;
using protocol::ReplyLayout;
using protocol::second_command_index;

bool same_command_bytes(const CommandFrame &a, const CommandFrame &b) {
    return a.first_command_byte() == b.first_command_byte() &&
           a.second_command_byte() == b.second_command_byte();
}

// Clear and disconnect share their command bytes and differ only in their parameters; an entry
// whose command bytes another entry also uses is told apart by its parameter bytes.
bool command_bytes_are_shared(const CommandFrame &entry) {
    for (const CommandFrame &other : protocol::command_table) {
        if (other.command != entry.command && same_command_bytes(other, entry))
            return true;
    }
    return false;
}

bool parameters_match(std::span<const std::uint8_t> frame, const CommandFrame &entry) {
    if (frame.size() != entry.length)
        return false;
    auto stored = entry.frame();
    for (std::size_t i = protocol::first_parameter_index;
         i < protocol::checksum_index(entry.length); ++i) {
        if (frame[i] != stored[i])
            return false;
    }
    return true;
}

const CommandFrame *identify(std::span<const std::uint8_t> frame) {
    for (const CommandFrame &entry : protocol::command_table) {
        if (frame[first_command_index] != entry.first_command_byte() ||
            frame[second_command_index] != entry.second_command_byte())
            continue;
        if (command_bytes_are_shared(entry) && !parameters_match(frame, entry))
            continue;
        return &entry;
    }
    return nullptr;
}

// Why a frame with known command bytes is refused, or the empty string.
std::string refusal(std::span<const std::uint8_t> frame, const CommandFrame &entry) {
    if (frame.size() != entry.length)
        return "expected " + std::to_string(entry.length) + " bytes, got " +
               std::to_string(frame.size());
    if (!protocol::checksum_matches(frame))
        return "bad checksum";
    return {};
}

// A reply frame with the request's channel and command bytes, room for `parameter_count`
// parameter bytes (zero), the length byte filled in and the checksum still to be sealed.
Bytes reply_frame(std::span<const std::uint8_t> request, std::size_t parameter_count) {
    Bytes frame(protocol::first_parameter_index + parameter_count + 2, 0);
    frame.front() = protocol::start_byte;
    frame[protocol::channel_index] = request[protocol::channel_index];
    frame[protocol::length_index] = protocol::length_byte_for(frame.size());
    frame[first_command_index] = request[first_command_index];
    frame[second_command_index] = request[second_command_index];
    frame.back() = protocol::end_byte;
    return frame;
}

void seal(Bytes &frame) {
    frame[protocol::checksum_index(frame.size())] = protocol::checksum_of_frame(frame);
}

// Setting commands are acknowledged with their own frame, checksum recomputed.
Bytes echo_reply(std::span<const std::uint8_t> request) {
    Bytes frame(request.begin(), request.end());
    seal(frame);
    return frame;
}

} // namespace

std::string_view command_name(Command command) {
    return protocol::command_frame(command).method_name;
}

InstrumentConfig default_instrument_config() {
    InstrumentConfig config;
    config.lengths[1] = {1310, 1490, 1535};
    config.lengths[2] = {1310, 1550};
    return config;
}

Instrument::Instrument(InstrumentConfig config) : initial_(config), config_(std::move(config)) {}

void Instrument::reset() {
    config_ = initial_;
    channels_.clear();
}

Answer Instrument::answer(std::span<const std::uint8_t> frame) {
    Answer result;
    if (frame.size() < protocol::min_frame_length) {
        result.error = "too short for a frame";
        return result;
    }
    const CommandFrame *entry = identify(frame);
    if (entry == nullptr) {
        result.error = "unknown command";
        return result;
    }
    result.command = entry->command;
    result.error = refusal(frame, *entry);
    if (!result.error.empty())
        return result;

    switch (entry->reply_layout) {
    case ReplyLayout::version:
        result.reply = version_reply(frame);
        break;
    case ReplyLayout::optical_lengths:
        result.reply = optical_length_reply(frame);
        break;
    case ReplyLayout::status:
        result.reply = status_reply(frame);
        break;
    case ReplyLayout::echo: // settings take effect; the display is not modelled
        result.note = apply_setting(entry->command, frame);
        result.reply = echo_reply(frame);
        break;
    }
    if (entry->addresses_channel())
        result.channel_state = channel(frame[protocol::channel_index]);
    return result;
}

void Instrument::set_lengths(std::uint8_t channel_number, OpticalLengths values) {
    config_.lengths[channel_number] = std::move(values);
    // A selection the new list no longer has falls back to the first entry. Changing channel 1
    // also changes every channel that follows it, so all channels are checked.
    for (auto &[number, state] : channels_) {
        if (state.length_index >= lengths_of(number).size())
            state.length_index = 0;
    }
}

void Instrument::set_steps(std::uint8_t channel_number, std::uint16_t steps) {
    channel(channel_number).steps = steps;
}

void Instrument::set_work_mode(std::uint8_t channel_number, std::uint8_t mode) {
    channel(channel_number).work_mode = mode;
}

const OpticalLengths &Instrument::lengths_of(std::uint8_t channel_number) const {
    auto found = config_.lengths.find(channel_number);
    if (found != config_.lengths.end())
        return found->second;
    return config_.lengths.at(1);
}

Bytes Instrument::version_reply(std::span<const std::uint8_t> request) const {
    namespace fields = protocol::version_reply;
    Bytes reply = reply_frame(request, 3);
    static_assert(fields::soft_version + 3 == fields::length);
    reply[fields::module_version] = config_.version.module;
    reply[fields::hard_version] = config_.version.hardware;
    reply[fields::soft_version] = config_.version.software;
    seal(reply);
    return reply;
}

Bytes Instrument::optical_length_reply(std::span<const std::uint8_t> request) const {
    namespace fields = protocol::optical_length_reply;
    const OpticalLengths &values = lengths_of(request[protocol::channel_index]);
    Bytes reply = reply_frame(request, 1 + 2 * values.size());
    reply[fields::count] = static_cast<std::uint8_t>(values.size());
    for (std::size_t i = 0; i < values.size(); ++i)
        protocol::write_u16(reply, fields::first_value + 2 * i, values[i]);
    seal(reply);
    return reply;
}

// Status parameters: work mode, a reserved zero byte, the optical-length index and the
// attenuation, low byte first.
Bytes Instrument::status_reply(std::span<const std::uint8_t> request) {
    namespace fields = protocol::status_reply;
    const ChannelState &state = channel(request[protocol::channel_index]);
    Bytes reply = reply_frame(request, 5);
    reply[fields::dev_work_mode] = state.work_mode;
    reply[fields::optical_length_index] = state.length_index;
    protocol::write_u16(reply, fields::attenuation_low, state.steps);
    seal(reply);
    return reply;
}

// Carries out a setting command; returns a note when the command was accepted without effect.
std::string Instrument::apply_setting(Command command, std::span<const std::uint8_t> request) {
    std::uint8_t number = request[protocol::channel_index];
    ChannelState &state = channel(number);
    switch (command) {
    case Command::set_optical_length: {
        std::uint8_t position = request[protocol::set_optical_length_frame::position];
        std::size_t count = lengths_of(number).size();
        if (position >= count)
            return "position " + std::to_string(position) + " out of range for " +
                   std::to_string(count) + " optical lengths; selection unchanged";
        state.length_index = position;
        return {};
    }
    case Command::set_attenuation:
        state.steps = protocol::read_u16(request, protocol::set_attenuation_frame::value_low);
        state.disconnected = false;
        return {};
    case Command::clear_attenuation:
        state.steps = 0;
        return {};
    case Command::disconnect:
        state.steps = 0;
        state.disconnected = true;
        return {};
    default:
        return {};
    }
}

} // namespace kq5316::sim
