// Test-local file and byte helpers, independent of the tool's own codec.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

using Bytes = std::vector<std::uint8_t>;

Bytes read_file(const std::string& path);
void write_file(const std::string& path, const Bytes& bytes);
bool file_exists(const std::string& path);
// The names of the entries of `dir`, hidden ones included.
std::set<std::string> files_in(const std::filesystem::path& dir);
std::uint64_t size_of(const std::string& path);

// 0, 1, 2, ... 255, 0, 1, ... (`count` bytes), offset by `start`.
Bytes counting_bytes(std::size_t count, std::uint8_t start = 0);

// `count` bytes from a generator seeded with `seed`: no period, so a piece
// read from the wrong place or handed on out of order shows.
Bytes seeded_bytes(std::size_t count, unsigned seed);

inline std::uint32_t le32_at(const Bytes& b, std::size_t at) {
    return std::uint32_t{b.at(at)} | std::uint32_t{b.at(at + 1)} << 8 |
           std::uint32_t{b.at(at + 2)} << 16 | std::uint32_t{b.at(at + 3)} << 24;
}
inline std::uint16_t le16_at(const Bytes& b, std::size_t at) {
    return static_cast<std::uint16_t>(b.at(at) | b.at(at + 1) << 8);
}

Bytes slice(const Bytes& b, std::size_t at, std::size_t count);
std::string text_at(const Bytes& b, std::size_t at, std::size_t count);

// SHA-256 computed by the openssl command-line tool, as lower-case hex.
std::string openssl_sha256_hex(const std::string& path);
std::string to_hex(const Bytes& b);
