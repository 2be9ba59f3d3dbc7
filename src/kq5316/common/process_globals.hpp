// The module's process globals: the module lives in one interpreter per process and is never torn
// down, so what it keeps is kept for the process, not in per-module state. Besides the objects'
// locks (link/locks.cpp) and the function type (binding/function_type.cpp), these are all.
#pragma once

#include <Python.h>

#include "kq5316/device/legacy_names.hpp"

namespace kq5316 {

// The initialised module object, or null before the first successful execution (and again after
// one that failed). A strong reference: the module is never torn down.
inline PyObject *initialised_module = nullptr;

// Set by an embedding launcher, before it imports the module, to run it as the main program.
inline bool run_as_main = false;

// The module's name, and its class's name.
inline constexpr const char *module_name = "kq5316";
inline constexpr const char *class_name = "KQ5316";

// `name` as the class body would spell it, interned; null with an exception set on failure.
// Names with two leading underscores and no trailing ones are private to the class: the compiler
// prefixes every such name in a class body with "_" and the class name.
PyObject *class_body_name(const char *name);

// The names looked up on every device operation, as written in the class body, interned once:
// the field of `Names`, then its text. Rarely run code spells its names where it uses them.
#define KQ5316_NAMES(X)                                                                            \
    X(ser, "ser")                                                                                  \
    X(port, "port")                                                                                \
    X(read_optical_length, "read_optical_length")                                                  \
    X(sleep, "sleep")                                                                              \
    X(write, "write")                                                                              \
    X(in_waiting, "inWaiting")                                                                     \
    X(read, "read")                                                                                \
    X(read_reply, "__read")                                                                        \
    X(acquire, "acquire")                                                                          \
    X(release, "release")                                                                          \
    X(time, "time")                                                                                \
    X(module_version, "module_version")                                                            \
    X(hard_version, "hard_version")                                                                \
    X(soft_version, "soft_version")                                                                \
    X(dev_work_mode, "dev_work_mode")                                                              \
    X(optical_length_index, "optical_length_index")                                                \
    X(attenuation, "attenuation")

// The interned names and the constant objects the methods use, created at the first call of a
// method and immutable afterwards.
struct Names {
#define KQ5316_NAME_FIELD(field, text) PyObject *field;
    KQ5316_NAMES(KQ5316_NAME_FIELD)
#undef KQ5316_NAME_FIELD
    PyObject *default_channel; // the int 1
    PyObject *pause;           // the float 0.2, seconds between a write and its reply read
    // The class's command constants ("_KQ5316__CMD_..."), by command; null for the commands the
    // class does not know.
    PyObject *constants[protocol::command_count];
};

// Creates the names if they are not made yet; returns -1 with an exception set on failure.
int init_names();
// The names; valid once init_names() has succeeded.
const Names &names();

} // namespace kq5316
