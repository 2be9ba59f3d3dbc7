#include "launcher/arguments.hpp"

#include <cstdio>
#include <cstring>

namespace launcher {

namespace {

constexpr const char *help = R"(usage: kq5316-demo

Runs the kq5316 module's demonstration: opens the instrument at its fixed port, reads
its versions, the optical lengths and status of channels 1 and 2, sets and clears
their attenuation and closes its full-screen display, printing each result.

Exit status: 0 every reading answered; 1 no usable Python or the module failed to initialise; 2 the port
could not be opened; 3 a reading went unanswered; 64 bad command line.
)";

bool is_help(const char *arg) {
    return std::strcmp(arg, "-h") == 0 || std::strcmp(arg, "--help") == 0;
}

} // namespace

int check_demo_arguments(int argc, char **argv) {
    if (argc < 2)
        return -1;
    if (argc == 2 && is_help(argv[1])) {
        std::fputs(help, stdout);
        return 0;
    }
    // The help option takes nothing after it: "--help extra" is a mistake worth hearing about.
    const char *unexpected = is_help(argv[1]) ? argv[2] : argv[1];
    std::fprintf(stderr, "kq5316-demo: unexpected argument %s (see kq5316-demo --help)\n",
                 unexpected);
    return demo_exit_usage;
}

} // namespace launcher
