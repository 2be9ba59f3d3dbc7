#include "kq5316/binding/class_builder.hpp"

#include "kq5316/binding/methods.hpp"
#include "kq5316/common/owned.hpp"
#include "kq5316/common/process_globals.hpp"
#include "kq5316/device/legacy_names.hpp"
#include "protocol/commands.hpp"

namespace kq5316::binding {

namespace {

Owned frame_list(const protocol::CommandRow &entry) {
    Owned list = Owned::steal(PyList_New(static_cast<Py_ssize_t>(entry.length())));
    if (!list)
        return {};
    for (std::size_t i = 0; i < entry.length(); ++i) {
        PyObject *byte = PyLong_FromLong(entry.bytes[i]);
        if (!byte)
            return {};
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), byte);
    }
    return list;
}

int add_constants(PyObject *namespace_dict) {
    for (const device::LegacyCommand &command : device::legacy_commands) {
        Owned list = frame_list(protocol::command_row(command.command));
        // Spelled here rather than taken from names(), which the first call makes.
        Owned stored = list ? Owned::steal(class_body_name(command.constant_name)) : Owned();
        if (!stored || PyDict_SetItem(namespace_dict, stored.get(), list.get()) < 0)
            return -1;
    }
    return 0;
}

int add_methods(PyObject *namespace_dict, PyObject *module, PyObject *module_name) {
    for (const MethodRow &row : method_table()) {
        Owned function = Owned::steal(new_function(row, module_name, PyModule_GetDict(module)));
        if (!function)
            return -1;
        Owned stored = Owned::steal(class_body_name(row.name));
        if (!stored || PyDict_SetItem(namespace_dict, stored.get(), function.get()) < 0)
            return -1;
    }
    return 0;
}

} // namespace

PyObject *build_class(PyObject *module) {
    Owned namespace_dict = Owned::steal(PyDict_New());
    if (!namespace_dict)
        return nullptr;
    Owned module_text = Owned::steal(PyUnicode_FromString(module_name));
    if (!module_text)
        return nullptr;
    Owned qualname = Owned::steal(PyUnicode_FromString(class_name));
    if (!qualname)
        return nullptr;
    if (PyDict_SetItemString(namespace_dict.get(), "__module__", module_text.get()) < 0 ||
        PyDict_SetItemString(namespace_dict.get(), "__qualname__", qualname.get()) < 0)
        return nullptr;
    if (add_constants(namespace_dict.get()) < 0 ||
        add_methods(namespace_dict.get(), module, module_text.get()) < 0)
        return nullptr;
    return PyObject_CallFunction(reinterpret_cast<PyObject *>(&PyType_Type), "s()O", class_name,
                                 namespace_dict.get());
}

} // namespace kq5316::binding
