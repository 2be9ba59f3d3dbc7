// kq5316x._protocol: the wire format for the checked API, taken from the same command table and
// reply layouts as the class and the simulated instrument. Pure functions over bytes: build a
// request, say how long a reply announces itself, judge a reply, decode its fields.
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
#include "kq5316/protocol/checksum.hpp"
#include "kq5316/protocol/command_table.hpp"
#include "kq5316/protocol/reply_check.hpp"
#include "kq5316/protocol/reply_fields.hpp"
#include "kq5316/protocol/request.hpp"
#include "local_exchange.hpp"

namespace {

namespace protocol = kq5316::protocol;
using kq5316x::expect_arguments;
using Bytes = std::span<const std::uint8_t>;

// The table row whose method name is `name`; null with ValueError set when there is none.
const protocol::CommandFrame *command_named(PyObject *name) {
    Py_ssize_t size = 0;
    const char *text = PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, &size) : nullptr;
    if (text == nullptr) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_TypeError, "the command must be a method name (str)");
        return nullptr;
    }
    std::string_view wanted(text, static_cast<std::size_t>(size));
    for (const protocol::CommandFrame &entry : protocol::command_table) {
        if (entry.method_name == wanted)
            return &entry;
    }
    PyErr_Format(PyExc_ValueError, "unknown command %R", name);
    return nullptr;
}

// The bytes of a `bytes` argument; false with TypeError set for anything else.
bool bytes_of(PyObject *object, Bytes &out) {
    if (!PyBytes_Check(object)) {
        // The type's name through its attribute: type objects are opaque in the limited API.
        PyObject *type_name =
            PyObject_GetAttrString(reinterpret_cast<PyObject *>(Py_TYPE(object)), "__qualname__");
        if (type_name != nullptr) {
            PyErr_Format(PyExc_TypeError, "expected bytes, got %S", type_name);
            Py_DECREF(type_name);
        }
        return false;
    }
    char *data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(object, &data, &size) < 0)
        return false;
    out = {reinterpret_cast<const std::uint8_t *>(data), static_cast<std::size_t>(size)};
    return true;
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

PyObject *to_bytes(Bytes bytes) {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char *>(bytes.data()),
                                     static_cast<Py_ssize_t>(bytes.size()));
}

// request(command, ch, value) -> bytes
PyObject *request(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    if (!expect_arguments(nargs, 3, "request"))
        return nullptr;
    const protocol::CommandFrame *entry = command_named(args[0]);
    long channel = 0;
    long value = 0;
    if (entry == nullptr || !long_in_range(args[1], protocol::max_channel, "ch", channel) ||
        !long_in_range(args[2], protocol::max_value(entry->command), "value", value))
        return nullptr;
    protocol::Request built =
        protocol::make_request(*entry, static_cast<std::uint8_t>(channel), value);
    return to_bytes(built.frame());
}

// announced_length(header) -> int: the total length the first bytes announce, 0 when they cannot
// begin a reply.
PyObject *announced_length(PyObject *, PyObject *header) {
    Bytes bytes;
    if (!bytes_of(header, bytes))
        return nullptr;
    return PyLong_FromSize_t(protocol::announced_length(bytes));
}

// check(command, request, reply, strict) -> str | None: the name of the first failed check.
PyObject *check(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    if (!expect_arguments(nargs, 4, "check"))
        return nullptr;
    const protocol::CommandFrame *entry = command_named(args[0]);
    Bytes request;
    Bytes reply;
    if (entry == nullptr || !bytes_of(args[1], request) || !bytes_of(args[2], reply))
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

PyObject *decode_version(Bytes reply) {
    namespace fields = protocol::version_reply;
    return Py_BuildValue("(iii)", reply[fields::module_version], reply[fields::hard_version],
                         reply[fields::soft_version]);
}

PyObject *decode_optical_lengths(Bytes reply) {
    namespace fields = protocol::optical_length_reply;
    std::size_t count = reply[fields::count];
    PyObject *values = PyTuple_New(static_cast<Py_ssize_t>(count));
    for (std::size_t i = 0; values != nullptr && i < count; ++i) {
        PyObject *value = PyLong_FromLong(protocol::read_u16(reply, fields::first_value + 2 * i));
        if (value == nullptr) {
            Py_CLEAR(values);
            break;
        }
        if (PyTuple_SetItem(values, static_cast<Py_ssize_t>(i), value) < 0) {
            Py_CLEAR(values);
            break;
        }
    }
    return values;
}

PyObject *decode_status(Bytes reply) {
    namespace fields = protocol::status_reply;
    long steps = protocol::read_u16(reply, fields::attenuation_low);
    return Py_BuildValue("(iil)", reply[fields::dev_work_mode], reply[fields::optical_length_index],
                         protocol::mdb_from_steps(steps));
}

// decode(command, reply) -> tuple | None, for a reply that passed check(): the fields of its
// layout (version: module, hardware, software; optical lengths: the values; status: mode,
// optical-length index, attenuation in mdB), None for an acknowledgement.
PyObject *decode(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    if (!expect_arguments(nargs, 2, "decode"))
        return nullptr;
    const protocol::CommandFrame *entry = command_named(args[0]);
    Bytes reply;
    if (entry == nullptr || !bytes_of(args[1], reply))
        return nullptr;
    if (protocol::framing_fault(reply) != protocol::ReplyFault::none ||
        !protocol::fits_layout(entry->reply_layout, reply)) {
        PyErr_SetString(PyExc_ValueError, "the reply does not fit the command's reply layout");
        return nullptr;
    }
    switch (entry->reply_layout) {
    case protocol::ReplyLayout::version:
        return decode_version(reply);
    case protocol::ReplyLayout::optical_lengths:
        return decode_optical_lengths(reply);
    case protocol::ReplyLayout::status:
        return decode_status(reply);
    case protocol::ReplyLayout::echo:
        break;
    }
    Py_RETURN_NONE;
}

// checksum(frame) -> int: the checksum the frame's checksum position should hold.
PyObject *checksum(PyObject *, PyObject *frame) {
    Bytes bytes;
    if (!bytes_of(frame, bytes))
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

// COMMANDS: the method names in table order; each also names the command in the calls above.
int add_constants(PyObject *module) {
    PyObject *names = PyTuple_New(protocol::command_count);
    if (names == nullptr)
        return -1;
    for (std::size_t i = 0; i < protocol::command_count; ++i) {
        std::string_view name = protocol::command_table[i].method_name;
        PyObject *text =
            PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
        if (text == nullptr) {
            Py_DECREF(names);
            return -1;
        }
        if (PyTuple_SetItem(names, static_cast<Py_ssize_t>(i), text) < 0) {
            Py_DECREF(names);
            return -1;
        }
    }
    if (PyModule_AddObject(module, "COMMANDS", names) < 0) {
        Py_DECREF(names);
        return -1;
    }
    if (PyModule_AddIntConstant(module, "MDB_PER_STEP", protocol::mdb_per_step) < 0 ||
        PyModule_AddIntConstant(module, "MAX_STEPS", protocol::max_steps) < 0 ||
        PyModule_AddIntConstant(module, "MAX_CHANNEL", protocol::max_channel) < 0)
        return -1;
    return 0;
}

// `module.<PREFIX><NAME> = name`, with NAME the name upper-cased and its blanks made underscores.
int add_identifier(PyObject *module, std::string_view prefix, std::string_view name) {
    char attribute[64];
    if (prefix.size() + name.size() >= sizeof attribute) {
        PyErr_SetString(PyExc_SystemError, "kq5316x._protocol: an identifier is too long");
        return -1;
    }
    char *end = attribute;
    for (char c : prefix)
        *end++ = c;
    for (char c : name)
        *end++ = c == ' ' ? '_' : (c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c);
    *end = '\0';
    PyObject *value =
        PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
    if (value == nullptr)
        return -1;
    const int added = PyModule_AddObject(module, attribute, value);
    if (added < 0)
        Py_DECREF(value);
    return added;
}

// The identifiers the Python side names commands and checks by, taken from the command table and
// the reply checks: READ_DEVICE_VERSION = "read_device_version", ..., CHECK_CHANNEL = "channel",
// so that a renamed command or check fails at import rather than in the field.
int add_identifiers(PyObject *module) {
    for (const protocol::CommandFrame &entry : protocol::command_table) {
        if (add_identifier(module, "", entry.method_name) < 0)
            return -1;
    }
    for (std::string_view check : protocol::reply_fault_names) {
        if (check != protocol::reply_fault_name(protocol::ReplyFault::none) &&
            add_identifier(module, "CHECK_", check) < 0)
            return -1;
    }
    return 0;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(add_constants)},
    {Py_mod_exec, reinterpret_cast<void *>(add_identifiers)},
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
