// A reply as read from the port: a view of its bytes, and the acceptance rule every operation
// applies (at least one byte, first 0x7B, last 0x7D).
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>

namespace kq5316::device {

class ReplyBytes {
  public:
    ReplyBytes() = default;
    ~ReplyBytes();
    ReplyBytes(const ReplyBytes &) = delete;
    ReplyBytes &operator=(const ReplyBytes &) = delete;

    // Views what the reply read returned: None or an empty object is no reply; anything else
    // must be bytes-like (TypeError otherwise, -1 returned).
    int load(PyObject *reply);

    bool delimited() const;
    std::size_t size() const { return bytes_.size(); }
    std::uint8_t operator[](std::size_t index) const { return bytes_[index]; }

  private:
    PyObject *bytes_object_ =
        nullptr; // a strong reference to an exact bytes reply, viewed directly
    // Any other bytes-like reply, through the buffer protocol. Set only when has_view_: filling
    // it for every reply would cost a visible share of a call.
    Py_buffer view_;
    bool has_view_ = false;
    std::span<const std::uint8_t> bytes_;
};

// Builds a result dict from (key, value) pairs, in order; null with an exception on failure.
struct ResultField {
    PyObject *key;
    long value;
};
PyObject *result_dict(std::initializer_list<ResultField> fields);

// Raises the IndexError Python raises for a reply read past its end.
void raise_reply_too_short();

} // namespace kq5316::device
