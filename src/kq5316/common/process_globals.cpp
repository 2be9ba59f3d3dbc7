#include "kq5316/common/process_globals.hpp"

#include <string_view>

namespace kq5316 {

namespace {

// The names, with whether they are made.
bool names_ready = false;
Names interned_names{};

} // namespace

PyObject *class_body_name(const char *name) {
    const std::string_view text = name;
    if (!text.starts_with("__") || text.ends_with("__"))
        return PyUnicode_InternFromString(name);
    PyObject *spelled = PyUnicode_FromFormat("_%s%s", class_name, name);
    if (spelled)
        PyUnicode_InternInPlace(&spelled);
    return spelled;
}

int init_names() {
    if (names_ready)
        return 0;
#define KQ5316_INTERN_NAME(field, text)                                                            \
    if (!(interned_names.field = class_body_name(text)))                                           \
        return -1;
    KQ5316_NAMES(KQ5316_INTERN_NAME)
#undef KQ5316_INTERN_NAME
    for (const device::LegacyCommand &entry : device::legacy_commands) {
        PyObject *&name = interned_names.constants[static_cast<std::size_t>(entry.command)];
        if (!(name = class_body_name(entry.constant_name)))
            return -1;
    }
    interned_names.default_channel = PyLong_FromLong(1);
    interned_names.pause = PyFloat_FromDouble(0.2);
    if (!interned_names.default_channel || !interned_names.pause)
        return -1;
    names_ready = true;
    return 0;
}

const Names &names() {
    return interned_names;
}

} // namespace kq5316
