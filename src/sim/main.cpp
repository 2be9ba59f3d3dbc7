// kq5316-sim: a simulated KQ5316 instrument on a pseudo-terminal, for tests and for trying the
// driver without the device. See --help.
#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <string>

#include "sim/event_log.hpp"
#include "sim/options.hpp"
#include "sim/port_link.hpp"
#include "sim/pty_port.hpp"
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

int fail(const std::string &message) {
    std::fprintf(stderr, "kq5316-sim: %s\n", message.c_str());
    return exit_failure;
}

void emit_ready(EventLog &log, const PtyPort &port, const PortLink *link) {
    JsonObject event;
    event.text("event", "ready").text("port", port.slave_path());
    if (link != nullptr)
        event.text("link", link->path());
    log.emit(event);
}

// Everything the simulator owns, set up in order; the destructors undo it in reverse (the link
// is removed before the terminal goes away).
int run(const Options &options) {
    std::string error;
    StopSignals signals;
    if (!signals.open(error))
        return fail(error);
    EventLog log;
    if (!options.log_path.empty() && !log.copy_to_file(options.log_path, error))
        return fail(error);
    std::unique_ptr<PtyPort> port = PtyPort::create(error);
    if (!port)
        return fail(error);
    std::unique_ptr<PortLink> link;
    if (!options.link_path.empty()) {
        link = PortLink::create(options.link_path, port->slave_path(), error);
        if (!link)
            return fail(error);
    }
    emit_ready(log, *port, link.get());

    Simulator simulator(options, *port, log, signals);
    std::string reason;
    int status = simulator.run(reason);
    log.emit(JsonObject().text("event", "stop").text("reason", reason));
    return status;
}

} // namespace

int main(int argc, char **argv) {
    fill_standard_descriptors();
    OptionsParse parsed = parse_options(argc, argv);
    if (!parsed.error.empty()) {
        std::fprintf(stderr, "kq5316-sim: %s\n(see kq5316-sim --help)\n", parsed.error.c_str());
        return exit_usage;
    }
    if (parsed.options.help) {
        std::fwrite(help_text().data(), 1, help_text().size(), stdout);
        return exit_ok;
    }
    return run(parsed.options);
}
