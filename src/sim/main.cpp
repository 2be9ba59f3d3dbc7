// kq5316-sim: a simulated KQ5316 instrument on a pseudo-terminal, for tests and for trying the
// driver without the device. See --help.
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <string>
#include <sys/prctl.h>
#include <vector>

#include "sim/event_log.hpp"
#include "sim/options.hpp"
#include "sim/port.hpp"
#include "sim/simulator.hpp"
#include "sim/stop_signals.hpp"

namespace {

using namespace kq5316::sim;

// Started with standard input (or output) closed, the simulator's own descriptors would take
// their numbers and be mistaken for them; /dev/null holds the places instead.
void fill_standard_descriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) < 0)
            open("/dev/null", O_RDWR | O_NOCTTY);
    }
}

// How long output that is still waiting at exit may take to go out: a reader that is reading
// gets the last lines, one that is not delays the exit only this long.
constexpr std::chrono::milliseconds output_grace{20};

int fail(const std::string &message) {
    std::fprintf(stderr, "kq5316-sim: %s\n", message.c_str());
    return exit_failure;
}

// The ports and their links, the link paths numbered when there are several instruments. On
// failure returns false with `error` set; what was made is undone by the destructors.
bool open_ports(const Options &options, std::vector<std::unique_ptr<Port>> &ports,
                std::vector<std::unique_ptr<PortLink>> &links, std::string &error) {
    for (unsigned long i = 0; i < options.instruments; ++i) {
        std::unique_ptr<Port> port;
        if (options.tcp_port.empty())
            port = Port::open_terminal(error);
        else
            port = Port::listen_tcp(options.tcp_host, options.tcp_port, error);
        if (!port)
            return false;
        if (!options.link_path.empty()) {
            std::string path = options.link_path;
            if (options.instruments > 1)
                path += std::to_string(i);
            links.push_back(PortLink::create(path, port->name(), error));
            if (!links.back())
                return false;
        }
        ports.push_back(std::move(port));
    }
    return true;
}

// Everything the simulator owns, set up in order; the destructors undo it in reverse (the links
// are removed before the terminals go away).
int run(const Options &options) {
    std::string error;
    // Opened while stop signals still end the process: opening a FIFO waits for its reader, and
    // nothing needs cleaning up yet.
    EventLog log;
    if (!options.log_path.empty() && !log.copy_to_file(options.log_path, error))
        return fail(error);
    log.never_wait_for_output();
    StopSignals signals;
    if (!signals.open(error))
        return fail(error);
    std::vector<std::unique_ptr<Port>> ports;
    std::vector<std::unique_ptr<PortLink>> links;
    if (!open_ports(options, ports, links, error))
        return fail(error);
    for (std::size_t i = 0; i < ports.size(); ++i) {
        JsonObject ready;
        ready.text("event", "ready").text("port", ports[i]->name());
        if (!links.empty())
            ready.text("link", links[i]->path());
        if (ports.size() > 1)
            ready.number("instrument", static_cast<long long>(i));
        log.emit(ready);
    }

    Simulator simulator(options, ports, log, signals);
    std::string reason;
    int status = simulator.run(reason);
    log.emit(JsonObject().text("event", "stop").text("reason", reason));
    if (!log.finish(output_grace) && status == exit_ok)
        status = exit_failure;
    return status;
}

} // namespace

int main(int argc, char **argv) {
    fill_standard_descriptors();
    // Replies are due at times a line at 115200 baud fixes to within microseconds; the default
    // 50 us slack on timer wake-ups would add up to a third of a short exchange's line time.
    prctl(PR_SET_TIMERSLACK, 1UL);
    Options options;
    if (std::string error = parse_options(argc, argv, options); !error.empty()) {
        std::fprintf(stderr, "kq5316-sim: %s\n(see kq5316-sim --help)\n", error.c_str());
        return exit_usage;
    }
    if (options.help || options.version) {
        std::fputs((options.help ? help_text() : version_text()).c_str(), stdout);
        return exit_ok;
    }
    return run(options);
}
