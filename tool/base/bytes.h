// Internal: little-endian field codec and bounds checks for byte layouts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

using ConstBytes = std::span<const std::uint8_t>;
using MutBytes = std::span<std::uint8_t>;

// True when [offset, offset + count) lies inside `size` bytes. No sum is
// formed, so a hostile offset cannot wrap around.
constexpr bool fits(std::size_t size, std::size_t offset, std::size_t count) {
    return offset <= size && count <= size - offset;
}

// The getters and setters are unchecked: the caller has already checked that
// the whole record is there (with `fits` or a fixed-size span).
constexpr std::uint16_t get_le16(ConstBytes b, std::size_t at) {
    return static_cast<std::uint16_t>(b[at] | b[at + 1] << 8);
}

constexpr std::uint32_t get_le32(ConstBytes b, std::size_t at) {
    return std::uint32_t{b[at]} | std::uint32_t{b[at + 1]} << 8 |
           std::uint32_t{b[at + 2]} << 16 | std::uint32_t{b[at + 3]} << 24;
}

constexpr std::uint64_t get_le64(ConstBytes b, std::size_t at) {
    return std::uint64_t{get_le32(b, at)} | std::uint64_t{get_le32(b, at + 4)} << 32;
}

constexpr void put_le16(MutBytes b, std::size_t at, std::uint16_t v) {
    b[at] = static_cast<std::uint8_t>(v);
    b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}

constexpr void put_le32(MutBytes b, std::size_t at, std::uint32_t v) {
    for (std::size_t i = 0; i < 4; ++i)
        b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

constexpr void put_le64(MutBytes b, std::size_t at, std::uint64_t v) {
    for (std::size_t i = 0; i < 8; ++i)
        b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// Rounds up to a multiple of `unit`, which must be a power of two.
constexpr std::uint64_t round_up(std::uint64_t value, std::uint64_t unit) {
    return (value + unit - 1) & ~(unit - 1);
}

constexpr std::uint64_t round_up_16(std::uint64_t value) { return round_up(value, 16); }

constexpr bool is_power_of_two(std::uint64_t v) { return v != 0 && (v & (v - 1)) == 0; }

// The bytes as lower-case hexadecimal digits, two a byte (how digests are
// shown and given on command lines).
inline std::string hex_text(ConstBytes bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string s;
    s.reserve(bytes.size() * 2);
    for (const std::uint8_t b : bytes) {
        s += kDigits[b >> 4];
        s += kDigits[b & 15];
    }
    return s;
}
