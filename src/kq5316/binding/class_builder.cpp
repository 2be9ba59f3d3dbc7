#include "kq5316/binding/class_builder.hpp"

#include "kq5316/binding/methods.hpp"
#include "kq5316/common/owned.hpp"
#include "kq5316/common/process_globals.hpp"
#include "kq5316/device/legacy_names.hpp"
#include "protocol/commands.hpp"

namespace kq5316::binding {

namespace {

// The frame as a list of ints, one per byte, as `list(bytes)` makes it.
Owned frame_list(const protocol::CommandRow &entry) {
    const protocol::Bytes frame = entry.frame();
    Owned bytes = Owned::steal(PyBytes_FromStringAndSize(
        reinterpret_cast<const char *>(frame.data()), static_cast<Py_ssize_t>(frame.size())));
    return bytes ? Owned::steal(PySequence_List(bytes.get())) : Owned();
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
    // Items go in in the order given: `__module__` first, as a class statement has it.
    Owned namespace_dict = Owned::steal(
        Py_BuildValue("{s:s,s:s}", "__module__", module_name, "__qualname__", class_name));
    if (!namespace_dict)
        return nullptr;
    PyObject *module_text = PyDict_GetItemString(namespace_dict.get(), "__module__");
    if (add_constants(namespace_dict.get()) < 0 ||
        add_methods(namespace_dict.get(), module, module_text) < 0)
        return nullptr;
    return PyObject_CallFunction(reinterpret_cast<PyObject *>(&PyType_Type), "s()O", class_name,
                                 namespace_dict.get());
}

} // namespace kq5316::binding
