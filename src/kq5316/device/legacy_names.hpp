// The class's own spellings of the commands it sends: the name of each class constant (without
// the class-private prefix) and of the method that sends it, in the order the class defines
// them. The class knows exactly these commands; commands added to the protocol later belong to
// the checked API and the simulator until the class is given a row here.
#pragma once

#include <cstddef>
#include <iterator>

#include "protocol/commands.hpp"

namespace kq5316::device {

struct LegacyCommand {
    protocol::Command command;
    const char *constant_name;
    const char *method_name;
};

inline constexpr LegacyCommand legacy_commands[] = {
    {protocol::Command::read_device_version, "__CMD_READ_DEV_VER", "read_device_version"},
    {protocol::Command::read_wavelengths, "__CMD_READ_OPTICAL_LEN", "read_optical_length"},
    {protocol::Command::read_current_status, "__CMD_READ_CURRENT_STATUS", "read_current_status"},
    {protocol::Command::close_full_screen, "__CMD_CLOSE_FULLSCREEN", "close_full_screen"},
    {protocol::Command::select_wavelength, "__CMD_SET_OPTICAL_LEN", "set_optical_length"},
    {protocol::Command::set_attenuation, "__CMD_SET_ATTENUATION", "set_attenuation"},
    {protocol::Command::clear_attenuation, "__CMD_CLEAR_ATTENUATION", "clear_attenuation"},
    {protocol::Command::disconnect, "__CMD_DIS_CONNECT", "dis_connection"},
};
inline constexpr std::size_t legacy_command_count = std::size(legacy_commands);

// The position of one of the class's commands in its table (and in the names' constants).
constexpr std::size_t legacy_index(protocol::Command command) {
    std::size_t index = 0;
    while (index < legacy_command_count && legacy_commands[index].command != command)
        ++index;
    return index;
}

constexpr const LegacyCommand &legacy_command(protocol::Command command) {
    return legacy_commands[legacy_index(command)];
}

// Each command appears once.
constexpr bool legacy_commands_distinct() {
    for (std::size_t i = 0; i < legacy_command_count; ++i) {
        if (legacy_index(legacy_commands[i].command) != i)
            return false;
    }
    return true;
}
static_assert(legacy_commands_distinct());

} // namespace kq5316::device
