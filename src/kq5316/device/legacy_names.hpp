// The class's command constants: the name of each (without the class-private prefix) and the
// command it holds, in the order the class defines them. The class knows exactly these commands;
// commands added to the protocol later belong to the checked API and the simulator.
#pragma once

#include "protocol/commands.hpp"

namespace kq5316::device {

struct LegacyCommand {
    protocol::Command command;
    const char *constant_name;
};

inline constexpr LegacyCommand legacy_commands[] = {
    {protocol::Command::read_device_version, "__CMD_READ_DEV_VER"},
    {protocol::Command::read_wavelengths, "__CMD_READ_OPTICAL_LEN"},
    {protocol::Command::read_current_status, "__CMD_READ_CURRENT_STATUS"},
    {protocol::Command::close_full_screen, "__CMD_CLOSE_FULLSCREEN"},
    {protocol::Command::select_wavelength, "__CMD_SET_OPTICAL_LEN"},
    {protocol::Command::set_attenuation, "__CMD_SET_ATTENUATION"},
    {protocol::Command::clear_attenuation, "__CMD_CLEAR_ATTENUATION"},
    {protocol::Command::disconnect, "__CMD_DIS_CONNECT"},
};

} // namespace kq5316::device
