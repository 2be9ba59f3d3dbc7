// kq5316x._protocol: the wire format for the checked API, from the protocol description the
// simulated instrument also answers from. Pure functions over bytes: build a request, say how
// long a reply announces itself, judge a reply, decode its fields; and `Command`, the enum the
// Python side names commands by.
//
// Built without C++ exceptions or RTTI and without the C++ runtime library: everything used here
// is constexpr or inline header code, and every object it hands out comes from the interpreter.
// Only the limited API of CPython 3.10 is used (the build defines Py_LIMITED_API), so one binary
// serves every later version: no macros that reach into objects, no type object fields.
// The exchange on a local device is the one piece of I/O here (local_exchange.cpp).
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "arguments.hpp"
#include "local_exchange.hpp"
#include "protocol/checks.hpp"
#include "protocol/commands.hpp"
#include "protocol/replies.hpp"
#include "protocol/requests.hpp"

namespace {

namespace protocol = kq5316::protocol;
using kq5316x::bytes_argument;
using kq5316x::bytes_object;
using kq5316x::expect_arguments;
using protocol::Bytes;

// The table row of a command, given as a `Command` member or its value (the command's name);
// null with an exception set when there is none.
const protocol::CommandRow *command_named(PyObject *name) {
    Py_ssize_t size = 0;
    const char *text = PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, &size) : nullptr;
    if (text == nullptr) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_TypeError, "the command must be a Command");
        return nullptr;
    }
    std::string_view wanted(text, static_cast<std::size_t>(size));
    for (const protocol::CommandRow &row : protocol::command_table) {
        if (row.name == wanted)
            return &row;
    }
    PyErr_Format(PyExc_ValueError, "unknown command %R", name);
    return nullptr;
}

bool long_in_range(PyObject *object, long max, const char *what, long &out) {
    out = PyLong_AsLong(object);
    if (out == -1 && PyErr_Occurred())
        return false;
    if (out < 0 || out > max) {
        PyErr_Format(PyExc_ValueError, "%s must be from 0 to %ld, not %ld", what, max, out);
        return false;
    }
    return true;
}

// request(command, ch, value) -> bytes
PyObject *request(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    if (!expect_arguments(nargs, 3, "request"))
        return nullptr;
    const protocol::CommandRow *entry = command_named(args[0]);
    long channel = 0;
    long value = 0;
    if (entry == nullptr || !long_in_range(args[1], protocol::max_channel, "ch", channel) ||
        !long_in_range(args[2], protocol::max_value(entry->value_layout), "value", value))
        return nullptr;
    protocol::Request built =
        protocol::make_request(*entry, static_cast<std::uint8_t>(channel), value);
    return bytes_object(built.frame());
}

// announced_length(header) -> int: the total length the first bytes announce, 0 when they cannot
// begin a reply.
PyObject *announced_length(PyObject *, PyObject *header) {
    Bytes bytes;
    if (!bytes_argument(header, bytes))
        return nullptr;
    return PyLong_FromSize_t(protocol::announced_length(bytes));
}

// check(command, request, reply, strict) -> str | None: the name of the first failed check.
PyObject *check(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    if (!expect_arguments(nargs, 4, "check"))
        return nullptr;
    const protocol::CommandRow *entry = command_named(args[0]);
    Bytes request;
    Bytes reply;
    if (entry == nullptr || !bytes_argument(args[1], request) || !bytes_argument(args[2], reply))
        return nullptr;
    int strict = PyObject_IsTrue(args[3]);
    if (strict < 0)
        return nullptr;
    if (request.size() < protocol::min_frame_length) {
        PyErr_SetString(PyExc_ValueError, "the request is not a frame");
        return nullptr;
    }
    protocol::ReplyFault fault = protocol::reply_fault(*entry, request, reply, strict != 0);
    if (fault == protocol::ReplyFault::none)
        Py_RETURN_NONE;
    std::string_view name = protocol::reply_fault_name(fault);
    return PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
}

// A tuple of the values a counted field holds.
PyObject *value_tuple(const protocol::Field &field, Bytes reply) {
    const std::size_t count = protocol::value_count(field, reply);
    PyObject *values = PyTuple_New(static_cast<Py_ssize_t>(count));
    for (std::size_t i = 0; values != nullptr && i < count; ++i) {
        PyObject *value = PyLong_FromLong(protocol::field_value(field, reply, i));
        if (value == nullptr || PyTuple_SetItem(values, static_cast<Py_ssize_t>(i), value) < 0)
            Py_CLEAR(values);
    }
    return values;
}

PyObject *field_object(const protocol::Field &field, Bytes reply) {
    return field.counted ? value_tuple(field, reply)
                         : PyLong_FromLong(protocol::field_value(field, reply));
}

// decode(command, reply) -> tuple | None, for a reply that passed check(): the fields of its
// reply layout in order, each an int in the caller's units (mdB for the attenuation) or, for a
// list, a tuple of ints; None for an acknowledgement, which has none.
PyObject *decode(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    if (!expect_arguments(nargs, 2, "decode"))
        return nullptr;
    const protocol::CommandRow *entry = command_named(args[0]);
    Bytes reply;
    if (entry == nullptr || !bytes_argument(args[1], reply))
        return nullptr;
    const protocol::ReplyShape shape = protocol::reply_shape(entry->reply_layout);
    if (protocol::framing_fault(reply) != protocol::ReplyFault::none ||
        !protocol::fits_shape(shape, reply)) {
        PyErr_SetString(PyExc_ValueError, "the reply does not fit the command's reply layout");
        return nullptr;
    }
    if (shape.field_count == 0)
        Py_RETURN_NONE;
    PyObject *fields = PyTuple_New(static_cast<Py_ssize_t>(shape.field_count));
    for (std::size_t i = 0; fields != nullptr && i < shape.field_count; ++i) {
        PyObject *value = field_object(shape.fields[i], reply);
        if (value == nullptr || PyTuple_SetItem(fields, static_cast<Py_ssize_t>(i), value) < 0)
            Py_CLEAR(fields);
    }
    return fields;
}

// checksum(frame) -> int: the checksum the frame's checksum position should hold.
PyObject *checksum(PyObject *, PyObject *frame) {
    Bytes bytes;
    if (!bytes_argument(frame, bytes))
        return nullptr;
    if (bytes.size() < 2) {
        PyErr_SetString(PyExc_ValueError, "a frame has at least two bytes");
        return nullptr;
    }
    return PyLong_FromLong(protocol::checksum_of_frame(bytes));
}

PyMethodDef methods[] = {
    {"request", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(request)), METH_FASTCALL,
     "request(command, ch, value) -> bytes: the request frame, checksum sealed."},
    {"announced_length", announced_length, METH_O,
     "announced_length(header) -> int: total reply length its first three bytes announce, or 0."},
    {"check", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(check)), METH_FASTCALL,
     "check(command, request, reply, strict) -> str | None: the first failed check."},
    {"decode", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(decode)), METH_FASTCALL,
     "decode(command, reply) -> tuple | None: the reply's fields."},
    {"checksum", checksum, METH_O, "checksum(frame) -> int: the additive checksum of a frame."},
    {nullptr, nullptr, 0, nullptr},
};

// dict[PREFIX + NAME] = name, with NAME the name upper-cased and its blanks made underscores.
int add_name(PyObject *dict, std::string_view prefix, std::string_view name) {
    char key[64];
    if (prefix.size() + name.size() >= sizeof key) {
        PyErr_SetString(PyExc_SystemError, "kq5316x._protocol: an identifier is too long");
        return -1;
    }
    std::size_t length = 0;
    for (char c : prefix)
        key[length++] = c;
    for (char c : name)
        key[length++] =
            c == ' ' ? '_' : (c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c);
    key[length] = '\0';
    PyObject *value =
        PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
    const int added = value != nullptr ? PyDict_SetItemString(dict, key, value) : -1;
    Py_XDECREF(value);
    return added;
}

// The protocol's limits, and CHECK_START_BYTE = "start byte", ...: the names check() returns,
// so that a renamed check fails at import rather than in the field.
int add_constants(PyObject *module) {
    if (PyModule_AddIntConstant(module, "MDB_PER_STEP", protocol::mdb_per_step) < 0 ||
        PyModule_AddIntConstant(module, "MAX_STEPS", protocol::max_steps) < 0 ||
        PyModule_AddIntConstant(module, "MAX_CHANNEL", protocol::max_channel) < 0)
        return -1;
    for (std::string_view check : protocol::reply_fault_names) {
        if (check != protocol::reply_fault_name(protocol::ReplyFault::none) &&
            add_name(PyModule_GetDict(module), "CHECK_", check) < 0)
            return -1;
    }
    return 0;
}

// Command: the protocol's command enum as a plain class of str constants, in table order
// (Command.READ_WAVELENGTHS == "read_wavelengths"). A plain class rather than an enum.Enum: the
// enum module would double what importing kq5316x costs.
int add_command_enum(PyObject *module) {
    PyObject *members = Py_BuildValue(
        "{ssss}", "__module__", "kq5316x._protocol", "__doc__",
        "The commands, one attribute each, in the protocol's order; each value is the command's "
        "name, which logs and errors print and every function here takes.");
    for (const protocol::CommandRow &row : protocol::command_table) {
        if (members != nullptr && add_name(members, "", row.name) < 0)
            Py_CLEAR(members);
    }
    PyObject *type = reinterpret_cast<PyObject *>(&PyType_Type);
    PyObject *command =
        members != nullptr ? PyObject_CallFunction(type, "s()O", "Command", members) : nullptr;
    Py_XDECREF(members);
    if (command == nullptr)
        return -1;
    const int added = PyObject_SetAttrString(module, "Command", command);
    Py_DECREF(command);
    return added;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(add_constants)},
    {Py_mod_exec, reinterpret_cast<void *>(add_command_enum)},
    {Py_mod_exec, reinterpret_cast<void *>(kq5316x::add_local_exchange)},
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "kq5316x._protocol",
    "Frames, checksum, reply framing and decoding for kq5316x.",
    0,
    methods,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

} // namespace

PyMODINIT_FUNC PyInit__protocol(void) {
    return PyModuleDef_Init(&definition);
}
