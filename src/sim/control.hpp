// The words that steer the simulator: read from its standard input, one per line, and partly
// from its command line. Parsing only; the simulator carries them out.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "sim/faults.hpp"
#include "sim/instrument.hpp"
#include "sim/text.hpp"

namespace kq5316::sim {

// One control line, and what it carries.
struct Control {
    enum class Kind { fault, no_faults, reset, lengths, attenuation, mode, version, inject, quit };
    Kind kind = Kind::quit;
    Fault fault;              // fault: queued for the next replies
    std::uint8_t channel = 0; // lengths, attenuation, mode: the channel set
    unsigned long value = 0;  // attenuation: steps (0-65535); mode: the work mode (0-255)
    OpticalLengths lengths;   // lengths
    Version version;          // version
    Bytes bytes;              // inject: written at once
};

// Parses one control line (without its line end) into `control`; returns the error, or the empty
// string. Blank lines are the caller's to skip.
std::string parse_control(std::string_view line, Control &control);

// "CH=V1,V2,..." as the command line's --lengths takes it (the list may be empty), into
// `control`'s channel and lengths.
std::string parse_channel_lengths(std::string_view text, Control &control);

// "M,H,S" as --device-version and the version control word take it.
std::string parse_version(std::string_view text, Version &version);

} // namespace kq5316::sim
