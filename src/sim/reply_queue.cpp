#include "sim/reply_queue.hpp"

#include <algorithm>

namespace kq5316::sim {

Clock::time_point ReplyQueue::schedule(Clock::time_point due, Bytes bytes) {
    if (!queue_.empty())
        due = std::max(due, queue_.back().due);
    queue_.push_back({due, std::move(bytes)});
    return due;
}

std::optional<Clock::time_point> ReplyQueue::next_due() const {
    if (queue_.empty())
        return std::nullopt;
    return queue_.front().due;
}

std::vector<ScheduledReply> ReplyQueue::take_due(Clock::time_point now, std::size_t most) {
    std::vector<ScheduledReply> due;
    while (!queue_.empty() && queue_.front().due <= now && due.size() < most) {
        due.push_back(std::move(queue_.front()));
        queue_.pop_front();
    }
    return due;
}

} // namespace kq5316::sim
