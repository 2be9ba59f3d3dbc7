// A reply as read from the port: its bytes, the acceptance rule every operation applies
// (at least one byte, first 0x7B, last 0x7D), and the decoders that turn an accepted reply into
// the Python result.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <span>

#include "kq5316/common/owned.hpp"
#include "protocol/frame.hpp"

namespace kq5316::device {

class ReplyBytes {
  public:
    // Takes what the reply read returned: None or an empty object is no reply; anything else
    // must be bytes-like (TypeError otherwise, -1 returned).
    int load(PyObject *reply);

    bool delimited() const {
        return !bytes_.empty() && bytes_.front() == protocol::start_byte &&
               bytes_.back() == protocol::end_byte;
    }
    std::span<const std::uint8_t> bytes() const { return bytes_; }

  private:
    Owned held_; // the reply as a bytes object, which bytes_ views; null for no reply
    std::span<const std::uint8_t> bytes_;
};

// The results of the replies that carry values, by the protocol's reply layouts, for a reply the
// caller has accepted; null with an exception set on failure. IndexError, as Python's for a list
// read past its end, when a reply is too short for what it announces. The version's dict, keys
// 'module_version', 'hard_version', 'soft_version', is None unless the reply has the version's
// exact length; the status dict has 'dev_work_mode', 'optical_length_index', 'attenuation'.
PyObject *version_dict(const ReplyBytes &reply);
PyObject *optical_length_list(const ReplyBytes &reply);
PyObject *status_dict(const ReplyBytes &reply);

} // namespace kq5316::device
