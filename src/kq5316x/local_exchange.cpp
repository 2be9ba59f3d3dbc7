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
#include <cstddef>
#include <cstdint>

#include "port_io.hpp"

namespace kq5316x {

namespace {

using port_io::Outcome;

// The most stale bytes an exchange keeps to show in its warning.
constexpr std::size_t max_excerpt = 256;

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

PyObject *frame_bytes(const std::uint8_t *frame, std::size_t size) {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char *>(frame),
                                     static_cast<Py_ssize_t>(size));
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
PyObject *exchange_fd(PyObject *, PyObject *args) {
    port_io::Exchange exchange;
    const char *request = nullptr;
    Py_ssize_t request_size = 0;
    double pause = 0;
    double timeout = 0;
    double discard = 0;
    if (!PyArg_ParseTuple(args, "iiy#ddd:exchange_fd", &exchange.fd, &exchange.abort_fd, &request,
                          &request_size, &pause, &timeout, &discard))
        return nullptr;
    // `request` belongs to the caller's bytes object, held for the whole call: it stays put.
    exchange.request = {reinterpret_cast<const std::uint8_t *>(request),
                        static_cast<std::size_t>(request_size)};
    std::uint8_t excerpt[max_excerpt];
    exchange.discarded.excerpt = excerpt;
    port_io::Nanoseconds now = port_io::monotonic_now();
    exchange.discard_deadline = now + port_io::nanoseconds_from_seconds(discard);
    exchange.not_before = now + port_io::nanoseconds_from_seconds(pause);
    exchange.timeout = port_io::nanoseconds_from_seconds(timeout);

    Outcome outcome = Outcome::done;
    if (!run_released([&exchange] { return port_io::run(exchange); }, outcome))
        return nullptr;
    if (outcome == Outcome::failed)
        return set_os_error(exchange.error);
    bool sent = outcome == Outcome::done;
    double elapsed = sent ? (port_io::monotonic_now() - exchange.start) / 1e9 : 0.0;
    PyObject *received = sent ? frame_bytes(exchange.frame, exchange.received)
                              : PyUnicode_FromString(unsent_reason(outcome));
    if (received == nullptr)
        return nullptr;
    return Py_BuildValue("(Ndy#n)", received, elapsed,
                         reinterpret_cast<const char *>(exchange.discarded.excerpt.data()),
                         static_cast<Py_ssize_t>(exchange.discarded.kept),
                         static_cast<Py_ssize_t>(exchange.discarded.count));
}

// read_frame_fd(fd, abort_fd, timeout) -> bytes: the next frame, read as exchange_fd() reads a
// reply, short when `timeout` seconds pass first.
PyObject *read_frame_fd(PyObject *, PyObject *args) {
    int fd = -1;
    int abort_fd = -1;
    double timeout = 0;
    if (!PyArg_ParseTuple(args, "iid:read_frame_fd", &fd, &abort_fd, &timeout))
        return nullptr;
    port_io::Nanoseconds deadline =
        port_io::monotonic_now() + port_io::nanoseconds_from_seconds(timeout);
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
    return frame_bytes(frame, received);
}

PyMethodDef functions[] = {
    {"exchange_fd", exchange_fd, METH_VARARGS,
     "exchange_fd(fd, abort_fd, request, pause, timeout, discard) -> (received, elapsed, stale, "
     "stale_count): one exchange on a port's descriptor."},
    {"read_frame_fd", read_frame_fd, METH_VARARGS,
     "read_frame_fd(fd, abort_fd, timeout) -> bytes: the next frame."},
    {nullptr, nullptr, 0, nullptr},
};

} // namespace

int add_local_exchange(PyObject *module) {
    return PyModule_AddFunctions(module, functions);
}

} // namespace kq5316x

#endif
