// A reply as read from the port: a view of its bytes, and the acceptance rule every operation
// applies (at least one byte, first 0x7B, last 0x7D).
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>

#include "kq5316/protocol/frame.hpp"

namespace kq5316::device {

class ReplyBytes {
  public:
    ReplyBytes() = default;
    // Inline, like load() and delimited(): every exchange passes through them, and a call to each
    // was a visible share of the shortest operations.
    ~ReplyBytes() {
        if (has_view_)
            PyBuffer_Release(&view_);
        Py_XDECREF(bytes_object_);
    }
    ReplyBytes(const ReplyBytes &) = delete;
    ReplyBytes &operator=(const ReplyBytes &) = delete;

    // Views what the reply read returned: None or an empty object is no reply; anything else
    // must be bytes-like (TypeError otherwise, -1 returned).
    int load(PyObject *reply) {
        if (reply == Py_None)
            return 0;
        // What pyserial returns: its bytes cannot change, so they are read in place.
        if (!PyBytes_CheckExact(reply))
            return load_other(reply);
        bytes_object_ = Py_NewRef(reply);
        bytes_ = {reinterpret_cast<const std::uint8_t *>(PyBytes_AS_STRING(reply)),
                  static_cast<std::size_t>(PyBytes_GET_SIZE(reply))};
        return 0;
    }

    bool delimited() const {
        return !bytes_.empty() && bytes_.front() == protocol::start_byte &&
               bytes_.back() == protocol::end_byte;
    }
    std::size_t size() const { return bytes_.size(); }
    std::uint8_t operator[](std::size_t index) const { return bytes_[index]; }

  private:
    int load_other(PyObject *reply);

    PyObject *bytes_object_ =
        nullptr; // a strong reference to an exact bytes reply, viewed directly
    // Any other bytes-like reply, through the buffer protocol. Set only when has_view_: filling
    // it for every reply would cost a visible share of a call.
    Py_buffer view_;
    bool has_view_ = false;
    std::span<const std::uint8_t> bytes_;
};

// A result dict of one kind: (key, value) pairs, in order, with int values.
struct ResultField {
    PyObject *key;
    long value;
};
inline constexpr std::size_t max_result_fields = 3;

// The last result of one kind, kept privately (never handed out) so that the next result with the
// same values is a copy of it: copying a small dict costs about half what building one does, and
// a device answers the same values call after call. Used with the GIL held; kept for the life of
// the process.
struct ResultTemplate {
    PyObject *dict = nullptr;
    long values[max_result_fields] = {};
};

// A new dict with `fields` (at most max_result_fields), copied from `last` when its values are
// the same, built afresh (and kept in `last`) otherwise; null with an exception on failure.
PyObject *result_dict(ResultTemplate &last, std::initializer_list<ResultField> fields);

// Raises the IndexError Python raises for a reply read past its end.
void raise_reply_too_short();

} // namespace kq5316::device
