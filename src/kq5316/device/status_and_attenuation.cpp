#include "kq5316/device/status_and_attenuation.hpp"

#include "kq5316/common/module_state.hpp"
#include "kq5316/device/command_sequence.hpp"
#include "kq5316/device/frame_patch.hpp"
#include "kq5316/device/reply.hpp"
#include "kq5316/protocol/reply_fields.hpp"

namespace kq5316::device {

namespace {

using protocol::Command;

PyObject *status_dict(const ReplyBytes &reply) {
    namespace field = protocol::status_reply;
    if (reply.size() < field::min_length) {
        raise_reply_too_short();
        return nullptr;
    }
    const long steps = reply[field::attenuation_low] | (reply[field::attenuation_high] << 8);
    const Names &key = names();
    return result_dict({{key.dev_work_mode, reply[field::dev_work_mode]},
                        {key.optical_length_index, reply[field::optical_length_index]},
                        {key.attenuation, protocol::mdb_from_steps(steps)}});
}

} // namespace

PyObject *read_current_status(PyObject *self, PyObject *const *args) {
    long channel = 0;
    if (channel_value(args[0], &channel) < 0)
        return nullptr;
    ReplyBytes reply;
    const auto patch = FramePatch::for_channel(channel);
    if (send_for_reply(self, Command::read_current_status, patch, reply) < 0)
        return nullptr;
    if (!reply.delimited())
        Py_RETURN_NONE;
    return status_dict(reply);
}

PyObject *set_attenuation(PyObject *self, PyObject *const *args) {
    long steps = 0;
    long channel = 0;
    if (attenuation_steps(args[0], &steps) < 0 || channel_value(args[1], &channel) < 0)
        return nullptr;
    namespace field = protocol::set_attenuation_frame;
    const auto patch = FramePatch::for_channel(channel)
                           .with(field::value_low, steps & 0xFF)
                           .with(field::value_high, steps >> 8);
    return send_and_acknowledge(self, Command::set_attenuation, patch);
}

} // namespace kq5316::device
