#include "sim/faults.hpp"

namespace kq5316::sim {

std::string_view fault_name(FaultKind kind) {
    switch (kind) {
    case FaultKind::silent:
        return "silent";
    case FaultKind::delay:
        return "delay";
    case FaultKind::truncate:
        return "truncate";
    case FaultKind::raw:
        return "raw";
    case FaultKind::twice:
        return "double";
    }
    return "unknown";
}

Outgoing FaultQueue::apply(Bytes reply) {
    Outgoing out;
    if (pending_.empty()) {
        out.tx = std::move(reply);
        return out;
    }
    const Fault &fault = pending_.front();
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
        if (!out.tx.empty())
            out.tx.pop_back();
        break;
    case FaultKind::raw:
        out.tx = fault.raw;
        break;
    case FaultKind::twice:
        out.tx = reply;
        out.tx.insert(out.tx.end(), reply.begin(), reply.end());
        break;
    }
    use_one();
    return out;
}

void FaultQueue::use_one() {
    Fault &fault = pending_.front();
    if (!fault.count)
        return;
    if (--*fault.count == 0)
        pending_.pop_front();
}

} // namespace kq5316::sim
