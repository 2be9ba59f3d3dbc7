#include "kq5316/common/module_state.hpp"

#include <algorithm>
#include <iterator>
#include <string_view>

namespace kq5316 {

namespace detail {
bool names_ready = false;
Names interned_names{};
} // namespace detail

namespace {

using detail::interned_names;
using detail::names_ready;

PyObject *module_object = nullptr;
// Set by an embedding launcher before it imports the module; read once by the execute step.
bool run_as_main = false;

struct NameText {
    PyObject *Names::*field;
    const char *text;
};
constexpr NameText name_texts[] = {
#define KQ5316_NAME_TEXT(field, text) {&Names::field, text},
    KQ5316_NAMES(KQ5316_NAME_TEXT)
#undef KQ5316_NAME_TEXT
};

static_assert(std::size(Names{}.constants) == protocol::command_table.size());

int intern_names() {
    for (const NameText &entry : name_texts) {
        interned_names.*entry.field = class_body_name(entry.text);
        if (!(interned_names.*entry.field))
            return -1;
    }
    for (std::size_t i = 0; i < protocol::command_table.size(); ++i) {
        // Every name in the table is a string literal, so its data ends with a NUL.
        interned_names.constants[i] =
            class_body_name(protocol::command_table[i].constant_name.data());
        if (!interned_names.constants[i])
            return -1;
    }
    return 0;
}

} // namespace

PyObject *initialised_module() {
    return module_object;
}

void set_initialised_module(PyObject *module) {
    Py_INCREF(module);
    Py_XSETREF(module_object, module);
}

void clear_initialised_module() {
    Py_CLEAR(module_object);
}

bool marked_as_main() {
    return run_as_main;
}
void mark_as_main() {
    run_as_main = true;
}

// Assembled in place rather than formatted: formatting two dozen names is a visible share of the
// import.
PyObject *class_body_name(const char *name) {
    const std::string_view text = name;
    const bool is_private = text.starts_with("__") && !text.ends_with("__");
    const std::string_view prefix = is_private ? std::string_view("_") : std::string_view();
    const std::string_view owner = is_private ? std::string_view(class_name) : std::string_view();
    char spelled[128];
    if (prefix.size() + owner.size() + text.size() >= sizeof spelled) {
        PyErr_SetString(PyExc_SystemError, "kq5316: a class body name is too long");
        return nullptr;
    }
    char *end = std::copy(prefix.begin(), prefix.end(), spelled);
    end = std::copy(owner.begin(), owner.end(), end);
    end = std::copy(text.begin(), text.end(), end);
    *end = '\0';
    return PyUnicode_InternFromString(spelled);
}

int make_names() {
    if (intern_names() < 0)
        return -1;
    interned_names.pause_seconds = PyFloat_FromDouble(0.2);
    interned_names.default_channel = PyLong_FromLong(1);
    if (!interned_names.pause_seconds || !interned_names.default_channel)
        return -1;
    names_ready = true;
    return 0;
}

} // namespace kq5316
