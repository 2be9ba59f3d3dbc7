// Replies waiting for their time to go out. The instrument answers in the order it was asked, so
// a reply never overtakes one queued before it: a prompt reply behind a delayed one waits for it.
#pragma once

#include <algorithm>
#include <chrono>
#include <deque>
#include <optional>
#include <vector>

#include "sim/text.hpp"

namespace kq5316::sim {

using Clock = std::chrono::steady_clock;

struct ScheduledReply {
    Clock::time_point due;
    Bytes bytes;
};

class ReplyQueue {
  public:
    // Queues `bytes` for `due`, or for the due time of the last queued reply if that is later.
    // Returns the time it was queued for.
    Clock::time_point schedule(Clock::time_point due, Bytes bytes) {
        if (!queue_.empty())
            due = std::max(due, queue_.back().due);
        queue_.push_back({due, std::move(bytes)});
        return due;
    }

    bool empty() const { return queue_.empty(); }
    void clear() { queue_.clear(); }
    std::size_t size() const { return queue_.size(); }
    std::optional<Clock::time_point> next_due() const {
        if (queue_.empty())
            return std::nullopt;
        return queue_.front().due;
    }

    // Removes and returns, in order, the replies due at `now`, at most `most` of them.
    std::vector<ScheduledReply> take_due(Clock::time_point now, std::size_t most) {
        std::vector<ScheduledReply> due;
        while (!queue_.empty() && queue_.front().due <= now && due.size() < most) {
            due.push_back(std::move(queue_.front()));
            queue_.pop_front();
        }
        return due;
    }

  private:
    std::deque<ScheduledReply> queue_;
};

} // namespace kq5316::sim
