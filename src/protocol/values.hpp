// The values requests carry in their parameter bytes, and the attenuation's units: the caller
// counts in mdB, the wire in 0.01 dB steps.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "frame.hpp"

namespace kq5316::protocol {

inline constexpr long mdb_per_step = 10;
inline constexpr long max_steps = 0xFFFF;
// The mdB range whose step count, truncated toward zero, fits the 16-bit field.
inline constexpr long min_attenuation_mdb = -(mdb_per_step - 1);
inline constexpr long max_attenuation_mdb = max_steps * mdb_per_step + (mdb_per_step - 1);

constexpr long steps_from_mdb(long mdb) {
    return mdb / mdb_per_step; // C++ truncates toward zero
}
constexpr long mdb_from_steps(long steps) {
    return steps * mdb_per_step;
}
static_assert(steps_from_mdb(1239) == 123 && steps_from_mdb(-9) == 0 && steps_from_mdb(-15) == -1);
static_assert(max_attenuation_mdb == 655359 && min_attenuation_mdb == -9);

// What a request carries from its first parameter byte on.
enum class ValueLayout : std::uint8_t {
    none,     // nothing: the stored parameters go out unchanged
    steps,    // attenuation in 0.01 dB steps, 16 bits, low byte first
    position, // a position in the channel's wavelength list, one byte
};

// How many parameter bytes a layout's value takes.
constexpr std::size_t value_width(ValueLayout layout) {
    switch (layout) {
    case ValueLayout::none:
        return 0;
    case ValueLayout::steps:
        return 2;
    case ValueLayout::position:
        return 1;
    }
    return 0;
}

// The largest value a layout can carry (0 for none).
constexpr long max_value(ValueLayout layout) {
    const std::size_t width = value_width(layout);
    return width == 0 ? 0 : (1L << (8 * width)) - 1;
}
static_assert(max_value(ValueLayout::steps) == max_steps &&
              max_value(ValueLayout::position) == max_byte);

// Writes `value` (in range for `layout`) into a request's parameter bytes.
constexpr void write_request_value(std::span<std::uint8_t> request, ValueLayout layout,
                                   long value) {
    if (value_width(layout) > 0)
        write_value(request, first_parameter_index, value_width(layout), value);
}

// The value a request carries (0 for none): what the instrument reads back out of it.
constexpr long request_value(Bytes request, ValueLayout layout) {
    return value_width(layout) == 0
               ? 0
               : read_value(request, first_parameter_index, value_width(layout));
}

} // namespace kq5316::protocol
