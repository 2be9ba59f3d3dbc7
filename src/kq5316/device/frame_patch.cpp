#include "kq5316/device/frame_patch.hpp"

#include "kq5316/common/process_globals.hpp"
#include "kq5316/common/python_calls.hpp"
#include "kq5316/device/checksum_methods.hpp"
#include "kq5316/protocol/frame.hpp"
#include "kq5316/protocol/reply_fields.hpp"

namespace kq5316::device {

namespace {

// The value of an int as a long, with values beyond a long's range reported as overflow.
bool long_value(PyObject *number, long *value) {
    int overflow = 0;
    *value = PyLong_AsLongAndOverflow(number, &overflow);
    return overflow == 0 && !(*value == -1 && PyErr_Occurred());
}

int raise_out_of_range(const char *parameter, PyObject *value, long low, long high,
                       const char *unit) {
    PyErr_Format(PyExc_ValueError, "Argument '%s' out of range (expected %ld to %ld%s, got %S)",
                 parameter, low, high, unit, value);
    return -1;
}

// `frame[index] = value` on a frame that must be a list; IndexError when the list is too short.
int patch_byte(PyObject *frame, std::size_t index, long value) {
    if (!PyList_Check(frame)) {
        PyErr_Format(PyExc_TypeError,
                     "Argument 'data' has incorrect type (expected list, got %.200s)",
                     Py_TYPE(frame)->tp_name);
        return -1;
    }
    PyObject *item = PyLong_FromLong(value);
    if (!item)
        return -1;
    // PyList_SetItem takes the item's reference even when it fails.
    return PyList_SetItem(frame, static_cast<Py_ssize_t>(index), item);
}

int apply_patch(PyObject *frame, const FramePatch &patch) {
    for (int i = 0; i < patch.parameter_count; ++i) {
        if (patch_byte(frame, patch.parameters[i].index, patch.parameters[i].value) < 0)
            return -1;
    }
    if (patch_byte(frame, protocol::channel_index, patch.channel) < 0)
        return -1;
    return store_checksum(frame);
}

} // namespace

int channel_value(PyObject *ch, long *channel) {
    if (long_value(ch, channel) && *channel >= 0 && *channel <= protocol::max_channel)
        return 0;
    PyErr_Clear();
    return raise_out_of_range("ch", ch, 0, protocol::max_channel, "");
}

int attenuation_steps(PyObject *attenuation, long *steps) {
    long mdb = 0;
    if (long_value(attenuation, &mdb) && mdb >= protocol::min_attenuation_mdb &&
        mdb <= protocol::max_attenuation_mdb) {
        *steps = protocol::steps_from_mdb(mdb);
        return 0;
    }
    PyErr_Clear();
    return raise_out_of_range("attenuation", attenuation, protocol::min_attenuation_mdb,
                              protocol::max_attenuation_mdb, " mdB");
}

Owned patched_copy(PyObject *self, protocol::Command command, const FramePatch &patch) {
    const std::size_t row = static_cast<std::size_t>(command);
    Owned constant = Owned::steal(PyObject_GetAttr(self, names().constants[row]));
    if (!constant)
        return {};
    if (patch.channel >= 0 && apply_patch(constant.get(), patch) < 0)
        return {};
    if (!PyList_Check(constant.get()))
        return constant;
    return Owned::steal(PyList_GetSlice(constant.get(), 0, PyList_GET_SIZE(constant.get())));
}

} // namespace kq5316::device
