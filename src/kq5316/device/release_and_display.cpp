#include "kq5316/device/release_and_display.hpp"

#include "kq5316/device/command_sequence.hpp"
#include "kq5316/device/frame_patch.hpp"

namespace kq5316::device {

namespace {

using protocol::Command;

// Clear and disconnect differ only in their stored parameter bytes; the call writes the channel.
PyObject *channel_command(PyObject *self, PyObject *ch, Command command) {
    long channel = 0;
    if (channel_value(ch, &channel) < 0)
        return nullptr;
    return send_and_acknowledge(self, command, FramePatch::for_channel(channel));
}

} // namespace

PyObject *clear_attenuation(PyObject *self, PyObject *const *args) {
    return channel_command(self, args[0], Command::clear_attenuation);
}

PyObject *dis_connection(PyObject *self, PyObject *const *args) {
    return channel_command(self, args[0], Command::disconnect);
}

PyObject *close_full_screen(PyObject *self, PyObject *const *) {
    return send_and_acknowledge(self, Command::close_full_screen, FramePatch::as_stored());
}

} // namespace kq5316::device
