// exchange_fd() and read_frame_fd(): the system calls of an exchange (port_io) run with the
// interpreter's lock released once, so that one exchange costs its caller a few system calls and
// other threads run meanwhile. Built against the limited C API, like the rest of the extension.
#include "local_exchange.hpp"

#if defined(_WIN32)

namespace kq5316x {

int add_local_exchange(PyObject *) {
    return 0; // Windows ports are not file descriptors: the port's own reads and writes serve
}

} // namespace kq5316x

#else

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>

#include "arguments.hpp"
#include "port_io.hpp"

namespace kq5316x {

namespace {

using port_io::Outcome;

// The outcome of a failed system call as the OSError the caller turns into its own error.
PyObject *set_os_error(int error) {
    if (error == 0) {
        PyErr_SetString(PyExc_OSError,
                        "the port reads as ended (device disconnected or closed at the other end)");
        return nullptr;
    }
    errno = error;
    return PyErr_SetFromErrno(PyExc_OSError);
}

// Runs `step` with the interpreter's lock released; when a signal interrupts it, runs the
// interpreter's signal handlers with the lock held (Ctrl-C raises there) and goes on.
template <typename Step> bool run_released(Step step, Outcome &outcome) {
    while (true) {
        PyThreadState *state = PyEval_SaveThread();
        outcome = step();
        PyEval_RestoreThread(state);
        if (outcome != Outcome::interrupted)
            return true;
        if (PyErr_CheckSignals() < 0)
            return false;
    }
}

// Why a request did not go out (whole), in the word exchange_fd() returns for it.
const char *unsent_reason(Outcome outcome) {
    if (outcome == Outcome::flooded)
        return "flooded";
    return outcome == Outcome::cancelled ? "cancelled" : "unsent";
}

bool int_argument(PyObject *object, int &out) {
    long value = PyLong_AsLong(object);
    if (value == -1 && PyErr_Occurred())
        return false;
    if (value < -1 || value > INT_MAX) {
        PyErr_SetString(PyExc_ValueError, "not a file descriptor");
        return false;
    }
    out = static_cast<int>(value);
    return true;
}

bool seconds_argument(PyObject *object, port_io::Nanoseconds &out) {
    double seconds = PyFloat_AsDouble(object);
    if (seconds == -1.0 && PyErr_Occurred())
        return false;
    out = port_io::nanoseconds_from_seconds(seconds);
    return true;
}

// exchange_fd(fd, abort_fd, request, pause, timeout, discard) -> (received, elapsed, stale,
// stale_count)
//
// Discards what is waiting on `fd` (for at most `discard` seconds), waits `pause` seconds, writes
// `request` and reads the frame that follows: its first three bytes, then the rest their length
// byte announces, until it is complete or `timeout` seconds after the request went out. `received`
// is what arrived of it (short when the time ran out), or a str when the request did not go out
// whole: "flooded" (bytes kept arriving for the whole discard: nothing sent), "cancelled"
// (`abort_fd` became readable during the discard: nothing sent) or "unsent" (the line took no
// data, or not all of it, by the deadline); `elapsed` the seconds since the request went out;
// `stale` an excerpt of the `stale_count` bytes discarded.
// `abort_fd` (or -1), a non-blocking pipe, also ends the wait for the reply early when it becomes
// readable. OSError when a system call fails.
PyObject *exchange_fd(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    if (!expect_arguments(nargs, 6, "exchange_fd"))
        return nullptr;
    port_io::Exchange exchange;
    port_io::Nanoseconds pause = 0;
    port_io::Nanoseconds discard = 0;
    if (!int_argument(args[0], exchange.fd) || !int_argument(args[1], exchange.abort_fd) ||
        !bytes_argument(args[2], exchange.request) || !seconds_argument(args[3], pause) ||
        !seconds_argument(args[4], exchange.timeout) || !seconds_argument(args[5], discard))
        return nullptr;
    port_io::Nanoseconds now = port_io::monotonic_now();
    exchange.discard_deadline = now + discard;
    exchange.not_before = now + pause;

    Outcome outcome = Outcome::done;
    if (!run_released([&exchange] { return port_io::run(exchange); }, outcome))
        return nullptr;
    if (outcome == Outcome::failed)
        return set_os_error(exchange.error);
    bool sent = outcome == Outcome::done;
    double elapsed = sent ? (port_io::monotonic_now() - exchange.start) / 1e9 : 0.0;
    PyObject *received = sent ? bytes_object({exchange.frame, exchange.received})
                              : PyUnicode_FromString(unsent_reason(outcome));
    if (received == nullptr)
        return nullptr;
    return Py_BuildValue("(Ndy#n)", received, elapsed,
                         reinterpret_cast<const char *>(exchange.excerpt),
                         static_cast<Py_ssize_t>(exchange.excerpt_size),
                         static_cast<Py_ssize_t>(exchange.discarded));
}

// read_frame_fd(fd, abort_fd, timeout) -> bytes: the next frame, read as exchange_fd() reads a
// reply, short when `timeout` seconds pass first.
PyObject *read_frame_fd(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    if (!expect_arguments(nargs, 3, "read_frame_fd"))
        return nullptr;
    int fd = -1;
    int abort_fd = -1;
    port_io::Nanoseconds timeout = 0;
    if (!int_argument(args[0], fd) || !int_argument(args[1], abort_fd) ||
        !seconds_argument(args[2], timeout))
        return nullptr;
    port_io::Nanoseconds deadline = port_io::monotonic_now() + timeout;
    std::uint8_t frame[port_io::max_frame_length];
    std::size_t received = 0;
    int error = 0;
    auto step = [&] {
        return port_io::read_frame(fd, abort_fd, deadline, frame, received, error, false);
    };
    Outcome outcome = Outcome::done;
    if (!run_released(step, outcome))
        return nullptr;
    if (outcome == Outcome::failed)
        return set_os_error(error);
    return bytes_object({frame, received});
}

PyMethodDef functions[] = {
    {"exchange_fd", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(exchange_fd)),
     METH_FASTCALL,
     "exchange_fd(fd, abort_fd, request, pause, timeout, discard) -> (received, elapsed, stale, "
     "stale_count): one exchange on a port's descriptor."},
    {"read_frame_fd", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(read_frame_fd)),
     METH_FASTCALL, "read_frame_fd(fd, abort_fd, timeout) -> bytes: the next frame."},
    {nullptr, nullptr, 0, nullptr},
};

} // namespace

int add_local_exchange(PyObject *module) {
    return PyModule_AddFunctions(module, functions);
}

} // namespace kq5316x

#endif
