// Fault injection: ways to spoil the instrument's next replies, queued and used up in order.
#pragma once

#include <cstddef>
#include <deque>
#include <optional>
#include <string_view>

#include "sim/text.hpp"

namespace kq5316::sim {

enum class FaultKind {
    silent,   // no reply at all
    delay,    // the reply, later
    truncate, // the reply without its last byte
    raw,      // given bytes instead of the reply
    twice,    // the reply two times, back to back ("double" on the control line)
};

// The control line's word for each kind, in the order of `FaultKind`.
inline constexpr std::string_view fault_names[] = {"silent", "delay", "truncate", "raw", "double"};

constexpr std::string_view fault_name(FaultKind kind) {
    return fault_names[static_cast<std::size_t>(kind)];
}

struct Fault {
    FaultKind kind = FaultKind::silent;
    unsigned delay_ms = 0; // for delay
    Bytes raw;             // for raw
    // How many replies the fault spoils; nothing means every reply until the faults are cleared.
    std::optional<unsigned> count = 1;
};

// What goes on the wire for one reply.
struct Outgoing {
    Bytes tx;
    unsigned delay_ms = 0;
    std::optional<FaultKind> fault;
};

class FaultQueue {
  public:
    void add(Fault fault) { pending_.push_back(std::move(fault)); }
    void clear() { pending_.clear(); }

    // Spoils `reply` with the fault at the head of the queue, using up one of its replies, or
    // passes it through unchanged when no fault is pending.
    Outgoing apply(Bytes reply) {
        Outgoing out;
        out.tx = std::move(reply);
        if (pending_.empty())
            return out;
        Fault &fault = pending_.front();
        out.fault = fault.kind;
        switch (fault.kind) {
        case FaultKind::silent:
            out.tx.clear();
            break;
        case FaultKind::delay:
            out.delay_ms = fault.delay_ms;
            break;
        case FaultKind::truncate:
            out.tx.pop_back(); // a reply is never empty
            break;
        case FaultKind::raw:
            out.tx = fault.raw;
            break;
        case FaultKind::twice: {
            const Bytes once = out.tx;
            out.tx.insert(out.tx.end(), once.begin(), once.end());
            break;
        }
        }
        // A fault without a count spoils every reply until the faults are cleared.
        if (fault.count && --*fault.count == 0)
            pending_.pop_front();
        return out;
    }

  private:
    std::deque<Fault> pending_;
};

} // namespace kq5316::sim
