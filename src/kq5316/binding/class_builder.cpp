#include "kq5316/binding/class_builder.hpp"

#include <algorithm>
#include <string_view>

#include "kq5316/binding/function_type.hpp"
#include "kq5316/binding/method_table.hpp"
#include "kq5316/common/module_state.hpp"
#include "kq5316/common/owned.hpp"
#include "kq5316/protocol/command_table.hpp"

namespace kq5316::binding {

namespace {

// Names with two leading underscores and no trailing ones are private to the class, which stores
// them with the class name prefixed, as the compiler does for a class body. Interned, as the names
// of a class body are; assembled in place rather than formatted, which costs a visible share of
// the import for two dozen names.
Owned stored_name(std::string_view name) {
    const bool is_private = name.starts_with("__") && !name.ends_with("__");
    const std::string_view prefix = is_private ? std::string_view("_") : std::string_view();
    const std::string_view owner = is_private ? std::string_view(class_name) : std::string_view();
    char text[128];
    if (prefix.size() + owner.size() + name.size() >= sizeof text) {
        PyErr_SetString(PyExc_SystemError, "kq5316: a class attribute name is too long");
        return {};
    }
    char *end = std::copy(prefix.begin(), prefix.end(), text);
    end = std::copy(owner.begin(), owner.end(), end);
    end = std::copy(name.begin(), name.end(), end);
    *end = '\0';
    return Owned::steal(PyUnicode_InternFromString(text));
}

Owned frame_list(const protocol::CommandFrame &entry) {
    Owned list = Owned::steal(PyList_New(static_cast<Py_ssize_t>(entry.length)));
    if (!list)
        return {};
    for (std::size_t i = 0; i < entry.length; ++i) {
        PyObject *byte = PyLong_FromLong(entry.bytes[i]);
        if (!byte)
            return {};
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), byte);
    }
    return list;
}

int add_constants(PyObject *namespace_dict) {
    for (std::size_t i = 0; i < protocol::command_count; ++i) {
        Owned list = frame_list(protocol::command_table[i]);
        Owned stored = list ? stored_name(protocol::command_table[i].constant_name) : Owned();
        if (!stored || PyDict_SetItem(namespace_dict, stored.get(), list.get()) < 0)
            return -1;
    }
    return 0;
}

int add_methods(PyObject *namespace_dict, PyObject *module, PyObject *module_name) {
    for (const MethodRow &row : method_table()) {
        Owned function =
            Owned::steal(new_function(row, class_name, module_name, PyModule_GetDict(module)));
        Owned stored = function ? stored_name(row.name) : Owned();
        if (!stored || PyDict_SetItem(namespace_dict, stored.get(), function.get()) < 0)
            return -1;
    }
    return 0;
}

} // namespace

PyObject *build_class(PyObject *module) {
    if (ready_function_type() < 0)
        return nullptr;
    Owned namespace_dict = Owned::steal(PyDict_New());
    if (!namespace_dict)
        return nullptr;
    Owned module_name = Owned::steal(PyUnicode_FromString("kq5316"));
    Owned qualname = Owned::steal(PyUnicode_FromString(class_name));
    if (!module_name || !qualname)
        return nullptr;
    if (PyDict_SetItemString(namespace_dict.get(), "__module__", module_name.get()) < 0 ||
        PyDict_SetItemString(namespace_dict.get(), "__qualname__", qualname.get()) < 0)
        return nullptr;
    if (add_constants(namespace_dict.get()) < 0 ||
        add_methods(namespace_dict.get(), module, module_name.get()) < 0)
        return nullptr;
    return PyObject_CallFunction(reinterpret_cast<PyObject *>(&PyType_Type), "s()O", class_name,
                                 namespace_dict.get());
}

} // namespace kq5316::binding
