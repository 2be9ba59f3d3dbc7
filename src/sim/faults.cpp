#include "sim/faults.hpp"

namespace kq5316::sim {

Outgoing FaultQueue::apply(Bytes reply) {
    Outgoing out;
    if (pending_.empty()) {
        out.tx = std::move(reply);
        return out;
    }
    Fault &fault = pending_.front();
    out.fault = fault.kind;
    switch (fault.kind) {
    case FaultKind::silent:
        break;
    case FaultKind::delay:
        out.tx = std::move(reply);
        out.delay_ms = fault.delay_ms;
        break;
    case FaultKind::truncate:
        out.tx = std::move(reply);
        out.tx.pop_back(); // a reply is never empty
        break;
    case FaultKind::raw:
        out.tx = fault.raw;
        break;
    case FaultKind::twice:
        out.tx = reply;
        out.tx.insert(out.tx.end(), reply.begin(), reply.end());
        break;
    }
    // A fault without a count spoils every reply until the faults are cleared.
    if (fault.count && --*fault.count == 0)
        pending_.pop_front();
    return out;
}

} // namespace kq5316::sim
