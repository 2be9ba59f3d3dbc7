// The few process-wide facts the module keeps, and the names it looks up at each use.
#pragma once

#include <Python.h>

#include "kq5316/protocol/command_table.hpp"

namespace kq5316 {

// The initialised module object, or null before the first successful execution (and again after
// one that failed). The module lives in one interpreter per process and is never torn down, so
// this is a strong reference held until the process ends.
PyObject *initialised_module();
void set_initialised_module(PyObject *module);
void clear_initialised_module();

// Whether an embedding launcher has asked that the module run as the main program.
bool marked_as_main();
void mark_as_main();

// Interned attribute names used on every call, created once, at the first call of a method (an
// import that calls nothing need not make them), so the hot paths never build a string.
// Immutable afterwards.
struct Names {
    PyObject *ser;
    PyObject *port;
    PyObject *read; // "_KQ5316__read"
    PyObject *read_optical_length;
    PyObject *check_port_available;
    PyObject *write;
    PyObject *sleep;
    PyObject *in_waiting;  // "inWaiting"
    PyObject *read_method; // "read"
    PyObject *close;
    PyObject *serial;
    PyObject *time;
    PyObject *platform;
    PyObject *subprocess;
    PyObject *serial_class;     // "Serial"
    PyObject *serial_exception; // "SerialException"
    PyObject *system;
    PyObject *lower;
    PyObject *run;
    PyObject *pipe;        // "PIPE"
    PyObject *stdout_name; // "stdout"
    PyObject *stderr_name; // "stderr"
    PyObject *timeout;
    PyObject *stopbits;
    PyObject *print;
    PyObject *pause_seconds;   // the float 0.2
    PyObject *default_channel; // the int 1
    // Keys of the version and status results.
    PyObject *module_version;
    PyObject *hard_version;
    PyObject *soft_version;
    PyObject *dev_work_mode;
    PyObject *optical_length_index;
    PyObject *attenuation;
    // "_KQ5316__CMD_...", one per row of the command table, in its order.
    PyObject *constants[protocol::command_count];
};

// Creates the names once; returns -1 with an exception set on failure. Cheap once done.
int init_names();
const Names &names();

} // namespace kq5316
