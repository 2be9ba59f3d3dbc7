#include "sim/options.hpp"

#include <utility>

#include "sim/control.hpp"
#include "sim/text.hpp"

#include "protocol/commands.hpp"

namespace kq5316::sim {

namespace {

#ifdef KQ5316_VERSION
constexpr const char *program_version = KQ5316_VERSION;
#else
constexpr const char *program_version = "(development build)";
#endif

constexpr std::string_view help = R"(usage: kq5316-sim [options]

A simulated KQ5316 optical attenuator on a pseudo-terminal. It prints the terminal's
path, answers request frames written to it like the instrument, and reports every
frame and control line as one JSON object per line on standard output.

Options:
  --device-version M,H,S
                      versions the instrument reports (module, hardware, software;
                      0-255 each). Default 2,50,32.
  --lengths CH=V1,... optical lengths channel CH (0-255) supports, 0-65535 each, at
                      most 124; repeatable; "--lengths 3=" gives channel 3 none.
                      Default: channel 1 1310,1490,1535; channel 2 1310,1550; every
                      other channel whatever channel 1 supports.
  --fault "WORDS"     queue a fault before the first frame, written as on standard
                      input (silent, delay, truncate, raw, double); repeatable.
  --link PATH         create the symbolic link PATH to the terminal at start and
                      remove it at exit. An existing symbolic link is replaced; any
                      other file at PATH is left alone and the simulator exits 1.
  --log FILE          also write every output line to FILE (a FIFO too: opening
                      it waits for its reader).
  --tcp HOST:PORT     serve the instrument on a TCP socket instead of a terminal,
                      as a serial-to-network server in raw mode would (":PORT" for
                      loopback; port 0 takes a free one). Clients are served one
                      at a time, in turn; "port" in the ready line is the
                      socket://HOST:PORT URL to open. A client that closes or
                      shuts down its sending side still gets the replies owed to
                      it, then the connection is closed. Keepalive probes find a
                      client that vanished without closing (after about 25 s
                      idle); a client whose connection fails is dropped and the
                      next one served.
  --baud N            hold every reply until the request's and the reply's bytes
                      would have crossed a line at N baud (10 bits a byte).
                      Default: no line time.
  --latency MS        add MS milliseconds of processing time to every reply
                      (0-600000). Default 0.
  --instruments N     simulate N instruments (1-512), each on its own terminal,
                      all served by this one process (cheaper than N processes
                      when many are driven at line speed). Each gets a ready line;
                      their events carry "instrument": 0 to N-1; --link PATH makes
                      the links PATH0 to PATH(N-1); control lines apply to every
                      instrument. Not with --tcp.
  --exit-on-eof       stop when standard input reaches its end (a parent that
                      dies takes the simulator along).
  --version           print the program's version and exit.
  -h, --help          print this text and exit.
  Options take their value as the next argument or after "=".

Control lines on standard input (one per line, at most 65536 bytes; blank lines
and lines starting with # are skipped; each other line is answered on standard
output with {"event": "ok", "control": LINE} or {"event": "error", "control":
LINE, "message": ...}). End of input does not stop the simulator, unless
--exit-on-eof is given.
  silent [COUNT]      send no reply.
  delay MS [COUNT]    send the reply MS milliseconds later (0-600000).
  truncate [COUNT]    send the reply without its last byte.
  raw HEX... [xN|always]
                      send these bytes instead of the reply ("raw 7B 7D").
  double [COUNT]      send the reply twice, back to back.
  nofaults            drop every queued fault.
  reset               back to the start-up state: versions and optical lengths as
                      given on the command line, every channel at its defaults,
                      queued faults dropped. Replies already waiting to go out
                      still go out.
  lengths CH V1,V2,...
                      change channel CH's optical lengths ("lengths CH=V1,..." too;
                      no values: none). A selection the new list lacks goes back
                      to position 0.
  attenuation CH STEPS
                      set channel CH's attenuation (0.01 dB steps, 0-65535).
  mode CH MODE        set channel CH's work mode (0-255) for the status reply.
  version M,H,S       change the reported versions.
  inject HEX...       write these bytes to the terminal at once, unasked.
  quit                stop, as on SIGTERM.
  COUNT is N, xN (the next N replies) or always (every reply until nofaults or
  reset); default 1. Faults queue up and are used in order, one per reply: after
  "silent 2" and "truncate", replies 1 and 2 are lost and reply 3 is cut short.
  Only frames that get a reply use up a fault.

The instrument:
  Each channel (any channel byte 0-255) has a work mode (0), a selected position
  in its optical-length list (0) and an attenuation in 0.01 dB steps (0).
  Requests are recognised by their command bytes (indexes 3 and 4) and, for
  clear and disconnect, which share them, by their parameter bytes. Every reply
  starts 7B, ends 7D, carries the request's channel and command bytes, the length
  byte total-2 and the checksum before the end byte.
    read version         7B ch 08 00 03 M H S ck 7D
    read optical lengths 7B ch len 07 2E N lo0 hi0 ... ck 7D (values low byte first)
    read status          7B ch 0A 14 36 mode 00 position attLo attHi ck 7D
    select optical length (14 3A pos)
                         selects pos when the channel has that many lengths;
                         otherwise changes nothing. Either way the request is echoed.
    set attenuation (14 3C lo hi)
                         stores the steps and ends a disconnection; echoed.
    clear (14 34 00 00)  attenuation 0; echoed.
    disconnect (14 34 FF FF)
                         attenuation 0 and the channel marked disconnected (shown
                         in the log's channel state; the status reply does not
                         change otherwise) until the next set attenuation; echoed.
    close full screen (00 05)
                         echoed; changes nothing.
  Not answered, reported with "ok": false and an "error": a frame with unknown
  command bytes (including 14 34 with other parameters), a wrong length for its
  command, or a bad checksum.
  Framing: a frame starts at 7B; its length byte gives the total length (value+2),
  which must be that of some request (7 to 9 bytes), and the byte there must be 7D.
  A byte that cannot start such a frame is reported as garbage and skipped, and
  scanning goes on from the next byte. An incomplete frame is given up on after
  100 ms without new bytes, or when the client closes the terminal.
  Replies go out in the order of the requests: a reply never overtakes a delayed
  one, it waits for it.
  The terminal: only the master side is held, so nothing holds the slave path
  while no client has it open (lsof lists nobody). The simulator keeps running
  while no client is connected, and across clients closing and reopening.

Output (standard output, one JSON object per line, flushed after each):
  {"event": "ready", "port": "/dev/pts/N"[, "link": PATH]}   first line ("port" is
                                           "socket://HOST:PORT" with --tcp; one
                                           for each of --instruments N)
  {"event": "frame", "rx": HEX, "command": NAME|null, "channel": N, "ok": BOOL,
   ["error": TEXT,] ["note": TEXT,] "tx": HEX, "fault": NAME|null,
   ["write_error": TEXT,] ["deferred_ms": N,] ["state": {"work_mode": N,
   "length_index": N, "steps": N, "disconnected": BOOL}]}
      one per request, written after the reply went out. tx is what is sent ("" for
      none); NAME is the driver's method (listed under "Commands" at the end);
      state is the channel's state after the request (not given for read version and close full screen). A reply that
      does not go out at once (delay, or queued behind a delayed one) is reported
      at receipt with deferred_ms, the time until it goes out, and then with
      {"event": "sent", "tx": HEX[, "write_error": TEXT]} once written.
      write_error: the terminal did not take the bytes (its buffer full while no
      client reads it), or 4096 replies were already waiting to go out.
  {"event": "garbage", "rx": HEX}          bytes skipped
  {"event": "hangup"[, "error": TEXT]}     a client closed the terminal or its
                                           connection; error: its connection
                                           failed (with --tcp), so it was dropped
  {"event": "ok"|"error", ...}             control lines, as above
  {"event": "stop", "reason": TEXT}        last line (SIGTERM, SIGINT, quit, end
                                           of input, or the failing system call)
  --log FILE gets the same lines.
  Output that cannot be written at once (standard output or the log file is a
  pipe or FIFO nobody reads, or a stopped terminal) never holds the instrument
  up, nor a stop by SIGTERM or SIGINT: it waits in memory,
  up to 64 MiB for each; lines beyond that are dropped, and once output moves
  again {"event": "dropped", "lines": N} says how many. Lines still waiting at
  exit get 20 ms to go out; those lost are counted on standard error. The first
  write error on the log file is reported on standard error and the log file
  gets no more lines.

Exit status: 0 stopped by SIGTERM, SIGINT, quit or end of input; 1 could not set up
(terminal, socket, link, log file), a system call failed or the log file could not
be written; 2 bad command line.
)";

// An option that takes a value, and the function that applies it. The fields after `apply` are
// for the functions that serve several options: the path or number to set, the number's range.
struct ValueOption {
    std::string_view name;
    std::string (*apply)(Options &options, const ValueOption &option, std::string_view value);
    std::string Options::*path = nullptr;
    unsigned long Options::*number = nullptr;
    unsigned long low = 0;
    unsigned long high = 0;
};

std::string apply_lengths(Options &options, const ValueOption &, std::string_view value) {
    Control control;
    if (std::string error = parse_channel_lengths(value, control); !error.empty())
        return "--lengths: " + error;
    options.instrument.lengths[control.channel] = std::move(control.lengths);
    return {};
}

std::string apply_device_version(Options &options, const ValueOption &, std::string_view value) {
    if (std::string error = parse_version(value, options.instrument.version); !error.empty())
        return "--device-version: " + error;
    return {};
}

std::string apply_fault(Options &options, const ValueOption &, std::string_view value) {
    Control control;
    if (std::string error = parse_control(value, control); !error.empty())
        return "--fault: " + error;
    if (control.kind != Control::Kind::fault)
        return "--fault takes silent, delay, truncate, raw or double";
    options.faults.push_back(std::move(control.fault));
    return {};
}

// HOST:PORT, [V6]:PORT or :PORT (loopback), PORT a number from 0 to 65535 (0: any free port).
// Checked here, since the resolver would take a number beyond 65535 modulo 65536, or a service
// name, without a word.
std::string apply_tcp(Options &options, const ValueOption &, std::string_view value) {
    std::size_t colon = value.rfind(':');
    if (colon == std::string_view::npos)
        return "--tcp needs HOST:PORT or :PORT";
    std::string_view host = value.substr(0, colon);
    std::string_view port = value.substr(colon + 1);
    if (!parse_number(port, 65535))
        return "--tcp: PORT must be a number from 1 to 65535, or 0 for any free port";
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    options.tcp_host = host.empty() ? "127.0.0.1" : host;
    options.tcp_port = port;
    return {};
}

std::string apply_path(Options &options, const ValueOption &option, std::string_view value) {
    if (value.empty())
        return std::string(option.name) + " needs a path";
    options.*option.path = value;
    return {};
}

std::string apply_number(Options &options, const ValueOption &option, std::string_view value) {
    auto number = parse_number(value, option.high);
    if (!number || *number < option.low)
        return std::string(option.name) + " takes a number from " + std::to_string(option.low) +
               " to " + std::to_string(option.high);
    options.*option.number = *number;
    return {};
}

constexpr ValueOption value_options[] = {
    {"--device-version", apply_device_version},
    {"--lengths", apply_lengths},
    {"--fault", apply_fault},
    {"--link", apply_path, &Options::link_path},
    {"--log", apply_path, &Options::log_path},
    {"--tcp", apply_tcp},
    {"--baud", apply_number, nullptr, &Options::baud, 1, 100'000'000},
    {"--latency", apply_number, nullptr, &Options::latency_ms, 0, 600'000},
    {"--instruments", apply_number, nullptr, &Options::instruments, 1, 512},
};

// Options that take no value, and the flag each sets.
constexpr std::pair<std::string_view, bool Options::*> flag_options[] = {
    {"-h", &Options::help},
    {"--help", &Options::help},
    {"--version", &Options::version},
    {"--exit-on-eof", &Options::exit_on_eof},
};

// Handles argv[i] and its value, given after "=" or as the next argument; returns an error
// message or the empty string.
std::string parse_one(Options &options, int argc, char **argv, int &i) {
    std::string_view arg = argv[i];
    for (const auto &[name, flag] : flag_options) {
        if (arg == name) {
            options.*flag = true;
            return {};
        }
    }
    std::string_view name = arg.substr(0, arg.find('='));
    for (const ValueOption &option : value_options) {
        if (option.name != name)
            continue;
        if (name.size() < arg.size())
            return option.apply(options, option, arg.substr(name.size() + 1));
        if (i + 1 >= argc)
            return std::string(name) + " needs a value";
        return option.apply(options, option, argv[++i]);
    }
    return "unknown option " + std::string(arg);
}

} // namespace

std::string parse_options(int argc, char **argv, Options &options) {
    for (int i = 1; i < argc; ++i) {
        if (std::string error = parse_one(options, argc, argv, i); !error.empty())
            return error;
    }
    if (!options.tcp_port.empty() && options.instruments > 1)
        return "--instruments takes terminals; it cannot go with --tcp";
    if (!options.tcp_port.empty() && !options.link_path.empty())
        return "--link names a terminal; it cannot go with --tcp";
    return {};
}

std::string help_text() {
    std::string text(help);
    text += "\nCommands (NAME in frame events), from the driver's command table:\n";
    for (const protocol::CommandRow &row : protocol::command_table)
        text.append("  ").append(row.name).append("\n");
    return text;
}

std::string version_text() {
    return std::string("kq5316-sim ") + program_version + "\n";
}

} // namespace kq5316::sim
