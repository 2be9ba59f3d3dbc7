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

// `namespace_dict[name] = value`, with `name` spelled as the class body would spell it (rather
// than taken from names(), which the first call makes).
int add(PyObject *namespace_dict, const char *name, const Owned &value) {
    Owned stored = value ? Owned::steal(class_body_name(name)) : Owned();
    return stored ? PyDict_SetItem(namespace_dict, stored.get(), value.get()) : -1;
}

} // namespace

PyObject *build_class(PyObject *module) {
    // Items go in in the order given: `__module__` first, as a class statement has it.
    Owned namespace_dict = Owned::steal(
        Py_BuildValue("{s:s,s:s}", "__module__", module_name, "__qualname__", class_name));
    if (!namespace_dict)
        return nullptr;
    PyObject *module_text = PyDict_GetItemString(namespace_dict.get(), "__module__");
    for (const device::LegacyCommand &command : device::legacy_commands) {
        if (add(namespace_dict.get(), command.constant_name,
                frame_list(protocol::command_row(command.command))) < 0)
            return nullptr;
    }
    for (const MethodRow &row : method_table()) {
        Owned function = Owned::steal(new_function(row, module_text, PyModule_GetDict(module)));
        if (add(namespace_dict.get(), row.name, function) < 0)
            return nullptr;
    }
    return PyObject_CallFunction(reinterpret_cast<PyObject *>(&PyType_Type), "s()O", class_name,
                                 namespace_dict.get());
}

} // namespace kq5316::binding
