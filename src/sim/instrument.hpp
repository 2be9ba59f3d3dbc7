// The simulated instrument's model: request frames in, reply frames out. No I/O and no timing, so
// every answer can be reasoned about (and tested) from the frame alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "protocol/commands.hpp"
#include "protocol/replies.hpp"
#include "sim/text.hpp"

namespace kq5316::sim {

struct Version {
    std::uint8_t module = 2;
    std::uint8_t hardware = 50;
    std::uint8_t software = 32;
};

// The optical-length reply carries the count in one byte and its length byte must stay within a
// byte as well: 8 + 2 * 124 = 256 bytes, whose length byte is 254.
inline constexpr std::size_t max_wavelengths = 124;

using OpticalLengths = std::vector<std::uint16_t>;

// What the instrument is built with; reset() returns to it.
struct InstrumentConfig {
    Version version;
    // Supported optical lengths by channel. Channel 1 is always present; a channel without an
    // entry of its own supports what channel 1 supports.
    std::map<std::uint8_t, OpticalLengths> lengths = {{1, {1310, 1490, 1535}}, {2, {1310, 1550}}};
};

struct ChannelState {
    std::uint8_t work_mode = 0;
    // Position in the channel's optical-length list, as the select frame carries it.
    std::uint8_t length_index = 0;
    // Attenuation in 0.01 dB steps, as last set.
    std::uint16_t steps = 0;
    bool disconnected = false;
};

// The outcome of one request frame.
struct Answer {
    // Which command the frame is; nothing when its command bytes are not known.
    std::optional<protocol::Command> command;
    // Why the frame was refused; empty when it was accepted. Refused frames get no reply.
    std::string error;
    // Something worth knowing about an accepted frame (a selection out of range).
    std::string note;
    // The reply frame; empty when the frame was refused.
    Bytes reply;
    // The addressed channel's state after the frame, for the per-channel commands.
    std::optional<ChannelState> channel_state;
};

class Instrument {
  public:
    explicit Instrument(InstrumentConfig config);

    // Handles one complete frame (start byte to end byte, as the frame splitter cut it: at least
    // as long as the shortest request).
    Answer answer(std::span<const std::uint8_t> frame);

    // Back to the configuration the instrument was built with and every channel to its defaults.
    void reset();

    void set_version(Version version) { config_.version = version; }
    void set_lengths(std::uint8_t channel, OpticalLengths values);
    void set_steps(std::uint8_t number, std::uint16_t steps) { channel(number).steps = steps; }
    void set_work_mode(std::uint8_t number, std::uint8_t mode) { channel(number).work_mode = mode; }

  private:
    const OpticalLengths &lengths_of(std::uint8_t channel) const;
    ChannelState &channel(std::uint8_t number) { return channels_[number]; }
    std::vector<long> values_of(protocol::Quantity quantity, std::uint8_t channel_number);
    Bytes field_reply(protocol::ReplyShape shape, std::span<const std::uint8_t> request);
    std::string apply_setting(const protocol::CommandRow &row,
                              std::span<const std::uint8_t> request);

    const InstrumentConfig initial_;
    InstrumentConfig config_;
    // Channels come into being when first addressed; any channel byte is a channel.
    std::map<std::uint8_t, ChannelState> channels_;
};

} // namespace kq5316::sim
