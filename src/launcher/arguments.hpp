// The demonstration launcher's command line: it takes no arguments but --help.
#pragma once

namespace launcher {

inline constexpr int demo_exit_usage = 64;

// Handles the command line before anything else runs. Returns -1 to go on with the
// demonstration, otherwise the exit status (0 after printing the help, demo_exit_usage after
// refusing an argument).
int check_demo_arguments(int argc, char **argv);

} // namespace launcher
