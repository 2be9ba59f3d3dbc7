#include "kq5316/binding/method_table.hpp"

#include "kq5316/binding/docstrings.hpp"
#include "kq5316/device/legacy_names.hpp"
#include "kq5316/device/operations.hpp"
#include "kq5316/device/request.hpp"
#include "kq5316/link/exchange.hpp"
#include "kq5316/link/port_lifecycle.hpp"

#include <string_view>

namespace kq5316::binding {

namespace {

constexpr Parameter no_parameter{nullptr, ArgType::int_type};
constexpr Parameter ch{"ch", ArgType::int_type};

namespace doc = docstrings;
using protocol::Command;

// The name of the method that sends `command`, as the class's own table spells it.
constexpr const char *sends(Command command) {
    return device::legacy_command(command).method_name;
}

// name, parameters, parameter count, `ch` default, return annotation, docstring, body
constexpr MethodRow methods[] = {
    {"__init__",
     {{{"serial_port", ArgType::str_type}, no_parameter}},
     1,
     false,
     nullptr,
     doc::init,
     link::init},
    {"__check_crc",
     {{{"data", ArgType::list_type}, no_parameter}},
     1,
     false,
     "bool",
     doc::check_crc,
     device::check_crc},
    {"__cal_crc",
     {{{"data", ArgType::list_type}, no_parameter}},
     1,
     false,
     "None",
     doc::cal_crc,
     device::cal_crc},
    {"__read", {{no_parameter, no_parameter}}, 0, false, nullptr, doc::read, link::read_reply},
    {"__write_and_read",
     {{{"cmd", ArgType::bytes_type}, no_parameter}},
     1,
     false,
     nullptr,
     doc::write_and_read,
     link::write_and_read},
    {sends(Command::read_device_version),
     {{no_parameter, no_parameter}},
     0,
     false,
     nullptr,
     doc::read_device_version,
     device::read_device_version},
    {sends(Command::read_wavelengths),
     {{ch, no_parameter}},
     1,
     true,
     nullptr,
     doc::read_optical_length,
     device::read_optical_length},
    {sends(Command::select_wavelength),
     {{{"length", ArgType::int_type}, ch}},
     2,
     true,
     nullptr,
     doc::set_optical_length,
     device::set_optical_length},
    {sends(Command::read_current_status),
     {{ch, no_parameter}},
     1,
     true,
     nullptr,
     doc::read_current_status,
     device::read_current_status},
    {sends(Command::close_full_screen),
     {{no_parameter, no_parameter}},
     0,
     false,
     "bool",
     doc::close_full_screen,
     device::close_full_screen},
    {sends(Command::set_attenuation),
     {{{"attenuation", ArgType::int_type}, ch}},
     2,
     true,
     "bool",
     doc::set_attenuation,
     device::set_attenuation},
    {sends(Command::clear_attenuation),
     {{ch, no_parameter}},
     1,
     true,
     "bool",
     doc::clear_attenuation,
     device::clear_attenuation},
    {sends(Command::disconnect),
     {{ch, no_parameter}},
     1,
     true,
     nullptr,
     doc::dis_connection,
     device::dis_connection},
    {"check_port_available",
     {{no_parameter, no_parameter}},
     0,
     false,
     "bool",
     doc::check_port_available,
     link::check_port_available},
    {"open", {{no_parameter, no_parameter}}, 0, false, "bool", doc::open, link::open},
    {"close", {{no_parameter, no_parameter}}, 0, false, nullptr, nullptr, link::close},
};

// Every command of the class is sent by exactly one of its methods.
constexpr bool every_command_has_its_method() {
    for (const device::LegacyCommand &command : device::legacy_commands) {
        int rows = 0;
        for (const MethodRow &row : methods)
            rows += std::string_view(row.name) == command.method_name;
        if (rows != 1)
            return false;
    }
    return true;
}
static_assert(every_command_has_its_method());

} // namespace

std::span<const MethodRow> method_table() {
    return methods;
}

} // namespace kq5316::binding
