#include "sim/instrument.hpp"

#include <algorithm>

#include "protocol/requests.hpp"

namespace kq5316::sim {

using protocol::Command;
using protocol::CommandRow;

Instrument::Instrument(InstrumentConfig config) : initial_(config), config_(std::move(config)) {}

void Instrument::reset() {
    config_ = initial_;
    channels_.clear();
}

Answer Instrument::answer(std::span<const std::uint8_t> frame) {
    Answer result;
    const CommandRow *entry = protocol::identify(frame);
    if (entry == nullptr) {
        result.error = "unknown command";
        return result;
    }
    result.command = entry->command;
    if (frame.size() != entry->length())
        result.error = "expected " + std::to_string(entry->length()) + " bytes, got " +
                       std::to_string(frame.size());
    else if (!protocol::checksum_matches(frame))
        result.error = "bad checksum";
    if (!result.error.empty())
        return result;

    const protocol::ReplyShape shape = protocol::reply_shape(entry->reply_layout);
    if (shape.field_count > 0) {
        result.reply = field_reply(shape, frame);
    } else { // settings take effect, acknowledged with the request itself (its checksum is right)
        result.note = apply_setting(*entry, frame);
        result.reply.assign(frame.begin(), frame.end());
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

const OpticalLengths &Instrument::lengths_of(std::uint8_t channel_number) const {
    auto found = config_.lengths.find(channel_number);
    if (found != config_.lengths.end())
        return found->second;
    return config_.lengths.at(1);
}

// What the channel's state (or the instrument's) says a reply field reports, in the field's
// units: one value, or a list's values.
std::vector<long> Instrument::values_of(protocol::Quantity quantity, std::uint8_t channel_number) {
    switch (quantity) {
    case protocol::Quantity::module:
        return {config_.version.module};
    case protocol::Quantity::hardware:
        return {config_.version.hardware};
    case protocol::Quantity::software:
        return {config_.version.software};
    case protocol::Quantity::wavelengths: {
        const OpticalLengths &values = lengths_of(channel_number);
        return std::vector<long>(values.begin(), values.end());
    }
    case protocol::Quantity::work_mode:
        return {channel(channel_number).work_mode};
    case protocol::Quantity::wavelength_index:
        return {channel(channel_number).length_index};
    case protocol::Quantity::attenuation:
        return {protocol::mdb_from_steps(channel(channel_number).steps)};
    }
    return {};
}

// A reply with the request's channel and command bytes and the values of the shape's fields;
// bytes no field covers (the status reply's reserved byte) stay zero.
Bytes Instrument::field_reply(protocol::ReplyShape shape, std::span<const std::uint8_t> request) {
    const std::uint8_t number = request[protocol::channel_index];
    std::vector<long> values[protocol::max_fields];
    std::size_t end = protocol::first_parameter_index;
    for (std::size_t i = 0; i < shape.field_count; ++i) {
        values[i] = values_of(shape.fields[i].quantity, number);
        end = std::max(end, shape.fields[i].end(values[i].size()));
    }
    Bytes reply(end + protocol::trailer_length, 0);
    std::copy(request.begin(), request.begin() + protocol::first_parameter_index, reply.begin());
    reply[protocol::length_index] = protocol::length_byte_for(reply.size());
    for (std::size_t i = 0; i < shape.field_count; ++i)
        protocol::write_field(shape.fields[i], reply, values[i]);
    reply.back() = protocol::end_byte;
    protocol::seal(reply);
    return reply;
}

namespace {

// A setting's effect on the addressed channel; returns a note when accepted without effect.
using Setting = std::string (*)(ChannelState &state, long value, std::size_t length_count);

std::string select_wavelength(ChannelState &state, long position, std::size_t count) {
    if (static_cast<std::size_t>(position) >= count)
        return "position " + std::to_string(position) + " out of range for " +
               std::to_string(count) + " optical lengths; selection unchanged";
    state.length_index = static_cast<std::uint8_t>(position);
    return {};
}

std::string set_attenuation(ChannelState &state, long steps, std::size_t) {
    state.steps = static_cast<std::uint16_t>(steps);
    state.disconnected = false;
    return {};
}

std::string clear_attenuation(ChannelState &state, long, std::size_t) {
    state.steps = 0;
    return {};
}

std::string disconnect(ChannelState &state, long, std::size_t) {
    state.steps = 0;
    state.disconnected = true;
    return {};
}

// The settings the model carries out; every other acknowledged command (the display's) changes
// nothing the instrument reports.
struct SettingRule {
    Command command;
    Setting apply;
};
constexpr SettingRule settings[] = {
    {Command::select_wavelength, select_wavelength},
    {Command::set_attenuation, set_attenuation},
    {Command::clear_attenuation, clear_attenuation},
    {Command::disconnect, disconnect},
};

} // namespace

std::string Instrument::apply_setting(const CommandRow &row,
                                      std::span<const std::uint8_t> request) {
    const std::uint8_t number = request[protocol::channel_index];
    for (const SettingRule &rule : settings) {
        if (rule.command == row.command)
            return rule.apply(channel(number), protocol::request_value(request, row.value_layout),
                              lengths_of(number).size());
    }
    return {};
}

} // namespace kq5316::sim
