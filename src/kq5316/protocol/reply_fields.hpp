// Where the fields of the instrument's replies sit, and how the attenuation is scaled between the
// caller's mdB and the wire's 0.01 dB steps.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "frame.hpp"

namespace kq5316::protocol {

// A 16-bit value goes low byte first: its low byte at `low`, its high byte right after.
constexpr std::uint16_t read_u16(std::span<const std::uint8_t> bytes, std::size_t low) {
    return static_cast<std::uint16_t>(bytes[low] | bytes[low + 1] << 8);
}
constexpr void write_u16(std::span<std::uint8_t> bytes, std::size_t low, std::uint16_t value) {
    bytes[low] = static_cast<std::uint8_t>(value & 0xFF);
    bytes[low + 1] = static_cast<std::uint8_t>(value >> 8);
}

// Version reply: exactly this long, three version bytes.
namespace version_reply {
inline constexpr std::size_t length = 10;
inline constexpr std::size_t module_version = 5;
inline constexpr std::size_t hard_version = 6;
inline constexpr std::size_t soft_version = 7;
} // namespace version_reply

// Optical-length reply: a count, then that many 16-bit values, low byte first.
namespace optical_length_reply {
inline constexpr std::size_t count = 5;
inline constexpr std::size_t first_value = 6;
// Elements the decoder reads for a reply that declares `n` values.
constexpr std::size_t needed_length(std::size_t n) {
    return first_value + 2 * n;
}
} // namespace optical_length_reply

// Status reply: work mode, optical-length index and attenuation (0.01 dB steps, low byte first).
namespace status_reply {
inline constexpr std::size_t dev_work_mode = 5;
inline constexpr std::size_t optical_length_index = 7;
inline constexpr std::size_t attenuation_low = 8;
inline constexpr std::size_t attenuation_high = 9;
inline constexpr std::size_t min_length = 10;
static_assert(attenuation_high == attenuation_low + 1);
} // namespace status_reply

// Where the simulated instrument finds the values of the requests that carry one (the command
// table's value layouts, from the first parameter byte).
namespace set_attenuation_frame {
inline constexpr std::size_t value_low = first_parameter_index;
} // namespace set_attenuation_frame
namespace set_optical_length_frame {
inline constexpr std::size_t position = first_parameter_index;
} // namespace set_optical_length_frame

// One step on the wire is 0.01 dB, that is 10 mdB.
inline constexpr long mdb_per_step = 10;
inline constexpr long max_steps = 0xFFFF;
// The mdB range whose step count, truncated toward zero, fits the 16-bit field.
inline constexpr long min_attenuation_mdb = -(mdb_per_step - 1);
inline constexpr long max_attenuation_mdb = max_steps * mdb_per_step + (mdb_per_step - 1);

constexpr long steps_from_mdb(long mdb) {
    return mdb / mdb_per_step;
} // C++ truncates toward zero
// The step nearest to `mdb` (halves round up), for callers that range-check first.
constexpr long nearest_steps_from_mdb(long mdb) {
    return (mdb + mdb_per_step / 2) / mdb_per_step;
}
constexpr long mdb_from_steps(long steps) {
    return steps * mdb_per_step;
}

static_assert(steps_from_mdb(1239) == 123 && steps_from_mdb(-9) == 0 && steps_from_mdb(-15) == -1);
static_assert(nearest_steps_from_mdb(1234) == 123 && nearest_steps_from_mdb(1235) == 124);
static_assert(max_attenuation_mdb == 655359 && min_attenuation_mdb == -9);

} // namespace kq5316::protocol
