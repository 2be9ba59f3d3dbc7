// The words that steer the simulator: read from its standard input, one per line, and partly
// from its command line. Parsing only; the simulator carries them out.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "sim/faults.hpp"
#include "sim/instrument.hpp"
#include "sim/text.hpp"

namespace kq5316::sim {

struct AddFault {
    Fault fault;
};
struct ClearFaults {};
struct ResetInstrument {};
struct SetLengths {
    std::uint8_t channel;
    OpticalLengths values;
};
struct SetSteps {
    std::uint8_t channel;
    std::uint16_t steps;
};
struct SetWorkMode {
    std::uint8_t channel;
    std::uint8_t mode;
};
struct SetVersion {
    Version version;
};
struct Inject {
    Bytes bytes;
};
struct Quit {};

using Control = std::variant<AddFault, ClearFaults, ResetInstrument, SetLengths, SetSteps,
                             SetWorkMode, SetVersion, Inject, Quit>;

struct ControlParse {
    std::optional<Control> control;
    std::string error; // set when control is empty
};

// Parses one control line (without its line end). Blank lines are the caller's to skip.
ControlParse parse_control(std::string_view line);

// "CH=V1,V2,..." as the command line's --lengths takes it; the list may be empty.
std::optional<SetLengths> parse_channel_lengths(std::string_view text, std::string &error);

// "M,H,S" as --version and the version control word take it.
std::optional<Version> parse_version(std::string_view text, std::string &error);

} // namespace kq5316::sim
