// The instrument's replies as data: each reply layout is a list of fields (what the field
// reports, where it sits, how wide its values are, whether a count byte leads a list of them).
// Reading, writing and the length a reply needs are written once here, over those descriptors.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "frame.hpp"
#include "values.hpp"

namespace kq5316::protocol {

// What a reply field reports.
enum class Quantity : std::uint8_t {
    module, // the versions of the module, its hardware and its software
    hardware,
    software,
    wavelengths,      // the channel's supported wavelengths in nm
    work_mode,        // the channel's work mode
    wavelength_index, // position of the selected wavelength in the channel's list
    attenuation,      // in mdB (0.01 dB steps on the wire)
};

struct Field {
    Quantity quantity;
    std::size_t offset; // the first byte: the value's, or a list's count byte
    std::size_t width;  // bytes per value, 1 or 2 (low byte first)
    bool counted;       // a count byte, then that many values
    long scale;         // the caller's units per wire unit

    // Where the field ends when a list holds `count` values (scalars ignore `count`).
    constexpr std::size_t end(std::size_t count) const {
        return counted ? offset + 1 + width * count : offset + width;
    }
    constexpr std::size_t value_offset(std::size_t i) const {
        return counted ? offset + 1 + width * i : offset;
    }
};

inline constexpr std::size_t max_fields = 3;

struct ReplyShape {
    std::array<Field, max_fields> fields;
    std::size_t field_count;
    // Whether the reply ends right after its fields; otherwise it may carry more bytes.
    bool exact;

    constexpr std::span<const Field> used() const { return {fields.data(), field_count}; }
};

// What the instrument answers to a command.
enum class ReplyLayout : std::uint8_t {
    echo,        // the request itself, checksum recomputed: an acknowledgement
    version,     // module, hardware and software versions
    wavelengths, // a count, then that many 16-bit wavelengths
    status,      // work mode, a reserved byte, wavelength index and attenuation
};

constexpr Field byte_field(Quantity quantity, std::size_t offset) {
    return {quantity, offset, 1, false, 1};
}

constexpr ReplyShape reply_shape(ReplyLayout layout) {
    switch (layout) {
    case ReplyLayout::echo:
        return {{}, 0, false};
    case ReplyLayout::version:
        return {{byte_field(Quantity::module, 5), byte_field(Quantity::hardware, 6),
                 byte_field(Quantity::software, 7)},
                3,
                true};
    case ReplyLayout::wavelengths:
        return {{Field{Quantity::wavelengths, 5, 2, true, 1}}, 1, true};
    case ReplyLayout::status:
        return {{byte_field(Quantity::work_mode, 5), byte_field(Quantity::wavelength_index, 7),
                 Field{Quantity::attenuation, 8, 2, false, mdb_per_step}},
                3,
                false};
    }
    return {{}, 0, false};
}

// The number of values a field holds in `reply`: a list's count byte, 1 for a scalar. Call only
// when the reply reaches the count byte (`reaches_count`).
constexpr std::size_t value_count(const Field &field, Bytes reply) {
    return field.counted ? reply[field.offset] : 1;
}
constexpr bool reaches_count(const Field &field, Bytes reply) {
    return !field.counted || reply.size() > field.offset;
}

// The bytes the fields of `shape` take in `reply`, from the start byte on: what a decoder reads.
// A reply too short to hold a list's count byte needs at least that byte.
constexpr std::size_t fields_end(const ReplyShape &shape, Bytes reply) {
    std::size_t end = 0;
    for (const Field &field : shape.used()) {
        const std::size_t field_end =
            reaches_count(field, reply) ? field.end(value_count(field, reply)) : field.offset + 1;
        end = field_end > end ? field_end : end;
    }
    return end;
}

// Whether a framed reply carries every field of its layout, the checksum and end byte after
// them, and no more where the layout is exact.
constexpr bool fits_shape(const ReplyShape &shape, Bytes reply) {
    const std::size_t needed = fields_end(shape, reply) + trailer_length;
    return shape.exact ? reply.size() == needed : reply.size() >= needed;
}

// Value `i` of a field, in the caller's units; the reply must hold it.
constexpr long field_value(const Field &field, Bytes reply, std::size_t i = 0) {
    return read_value(reply, field.value_offset(i), field.width) * field.scale;
}

// Writes `values` (in the caller's units) into the field's place; a list also gets its count.
constexpr void write_field(const Field &field, std::span<std::uint8_t> reply,
                           std::span<const long> values) {
    if (field.counted)
        reply[field.offset] = static_cast<std::uint8_t>(values.size());
    for (std::size_t i = 0; i < values.size(); ++i)
        write_value(reply, field.value_offset(i), field.width, values[i] / field.scale);
}

// Fields sit in order after the command bytes and end before any later field begins; a list is
// last, since only the last field can grow.
constexpr bool shape_is_sound(const ReplyShape &shape) {
    std::size_t next = first_parameter_index;
    for (std::size_t i = 0; i < shape.field_count; ++i) {
        const Field &field = shape.fields[i];
        if (field.offset < next || (field.width != 1 && field.width != 2) || field.scale < 1 ||
            (field.counted && i + 1 != shape.field_count))
            return false;
        next = field.end(0);
    }
    return true;
}

} // namespace kq5316::protocol
