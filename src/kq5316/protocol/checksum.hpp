// The frame checksum: the two's complement of the byte sum of everything before the checksum
// position, kept to 8 bits. The end byte is not covered.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace kq5316::protocol {

// Checksum for a running sum of the covered bytes. Taking the low byte of the negated sum is the
// same as (~sum + 1) & 0xFF for any integer, however large or negative, so callers that sum
// arbitrary integers in a wider type get the same answer as the byte-wise rule.
constexpr std::uint8_t checksum_of_sum(std::uint64_t sum) {
    return static_cast<std::uint8_t>(0u - sum);
}

// Checksum of a whole frame (start byte through end byte); frames shorter than two bytes have no
// checksum position and are not passed here.
constexpr std::uint8_t checksum_of_frame(std::span<const std::uint8_t> frame) {
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i + 2 < frame.size(); ++i)
        sum += frame[i];
    return checksum_of_sum(sum);
}

// True when the checksum position holds the checksum of the covered bytes.
constexpr bool checksum_matches(std::span<const std::uint8_t> frame) {
    return frame.size() >= 2 && frame[frame.size() - 2] == checksum_of_frame(frame);
}

} // namespace kq5316::protocol
