// The simulator's command line and its help text.
#pragma once

#include <string>
#include <vector>

#include "sim/faults.hpp"
#include "sim/instrument.hpp"

namespace kq5316::sim {

// Exit statuses, as the help text documents them.
inline constexpr int exit_ok = 0;
inline constexpr int exit_failure = 1;
inline constexpr int exit_usage = 2;

struct Options {
    InstrumentConfig instrument;
    std::vector<Fault> faults; // queued before the first frame, in order
    std::string link_path;     // empty: no link
    std::string log_path;      // empty: standard output only
    std::string tcp_host;      // a name or an address, without brackets
    std::string tcp_port;      // empty: a pseudo-terminal
    unsigned long baud = 0;    // 0: replies go out as soon as they are ready
    unsigned long latency_ms = 0;
    unsigned long instruments = 1; // each on its own terminal, served by one poll loop
    bool exit_on_eof = false;
    bool help = false;
    bool version = false;
};

// Parses the command line into `options`; returns the error, or the empty string.
std::string parse_options(int argc, char **argv, Options &options);

// The help, ending with the command names as the protocol's command table writes them.
std::string help_text();

// "kq5316-sim VERSION" and a line end.
std::string version_text();

} // namespace kq5316::sim
