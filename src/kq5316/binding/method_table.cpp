#include "kq5316/binding/methods.hpp"

#include "kq5316/binding/docstrings.hpp"
#include "kq5316/device/operations.hpp"
#include "kq5316/device/request.hpp"
#include "kq5316/link/exchange.hpp"
#include "kq5316/link/port_lifecycle.hpp"

namespace kq5316::binding {

namespace {

namespace doc = docstrings;

// const, not constexpr: on Windows the type objects live in the interpreter's DLL, so their
// addresses are known only once it is loaded.
const Parameter serial_port{"serial_port", &PyUnicode_Type};
const Parameter data{"data", &PyList_Type};
const Parameter cmd{"cmd", &PyBytes_Type};
const Parameter length{"length", &PyLong_Type};
const Parameter attenuation{"attenuation", &PyLong_Type};
const Parameter ch{"ch", &PyLong_Type};

// name, parameters, parameter count, `ch` default, return annotation, docstring, body
// clang-format off
const MethodRow methods[] = {
    {"__init__", {serial_port}, 1, false, nullptr, doc::init, link::init},
    {"__check_crc", {data}, 1, false, "bool", doc::check_crc, device::check_crc},
    {"__cal_crc", {data}, 1, false, "None", doc::cal_crc, device::cal_crc},
    {"__read", {}, 0, false, nullptr, doc::read, link::read_reply},
    {"__write_and_read", {cmd}, 1, false, nullptr, doc::write_and_read, link::write_and_read},
    {"read_device_version", {}, 0, false, nullptr, doc::read_device_version,
     device::read_device_version},
    {"read_optical_length", {ch}, 1, true, nullptr, doc::read_optical_length,
     device::read_optical_length},
    {"set_optical_length", {length, ch}, 2, true, nullptr, doc::set_optical_length,
     device::set_optical_length},
    {"read_current_status", {ch}, 1, true, nullptr, doc::read_current_status,
     device::read_current_status},
    {"close_full_screen", {}, 0, false, "bool", doc::close_full_screen, device::close_full_screen},
    {"set_attenuation", {attenuation, ch}, 2, true, "bool", doc::set_attenuation,
     device::set_attenuation},
    {"clear_attenuation", {ch}, 1, true, "bool", doc::clear_attenuation,
     device::clear_attenuation},
    {"dis_connection", {ch}, 1, true, nullptr, doc::dis_connection, device::dis_connection},
    {"check_port_available", {}, 0, false, "bool", doc::check_port_available,
     link::check_port_available},
    {"open", {}, 0, false, "bool", doc::open, link::open},
    {"close", {}, 0, false, nullptr, nullptr, link::close},
};
// clang-format on

} // namespace

std::span<const MethodRow> method_table() {
    return methods;
}

} // namespace kq5316::binding
