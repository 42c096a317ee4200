// The upgrade trailer: the raw-RSA signature block that ends a signed
// upgrade file (and a bootloader or kernel image signed with a user key
// file).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include <mbedtls/rsa.h>

#include "bytes.h"

class Progress;

// Signed upgrade file: the file as it stood before signing (S bytes, a
// multiple of 16), then one signature block of L bytes, L being the key's
// modulus length (48 to 1024 bytes). No size is recorded anywhere: a checker
// takes S as the file size minus L.
//
// Plain signature block (L bytes, before the private-key operation):
// 0x00 16 zero bytes, which keep the integer below any L-byte modulus;
// 0x10 SHA-256 of the first S bytes; 0x30 zero up to L. The stored block is
// that block read as one big-endian integer, raised with the raw RSA
// private-key operation (no padding scheme) and written as L big-endian bytes.
inline constexpr std::size_t kUpgradeWorkAreaSize = 1024;  // largest L
inline constexpr std::size_t kUpgradeMinModulus = 48;      // up to the end of the digest

// Lays out the plain block of `block.size()` bytes (L, at least 48) around
// `digest`.
void encode_upgrade_block(std::span<const std::uint8_t, 32> digest, std::span<std::uint8_t> block);

// The block opened with the public key: the digest it carries, and whether
// the bytes around it are the zeros a signer lays out. nullopt when fewer
// than 48 bytes are given.
struct zud_upgrade_block {
    std::array<std::uint8_t, 32> digest{};
    bool zero_padding = false;
};
std::optional<zud_upgrade_block> decode_upgrade_block(std::span<const std::uint8_t> opened);

// Reads the trailer that ends a file of `file_size` bytes open as `fd`
// (pread; the position is neither used nor moved) with the public key
// `key`: the block is opened with the public exponent and the digest it
// carries compared with the SHA-256 of the bytes before it. The file is
// read once, in large pieces, counted into `progress` when given.
enum class TrailerState {
    kMatches,         // the digest it carries is the file's
    kShortFile,       // the file is shorter than one block
    kBlockUnread,     // the block cannot be read
    kFileUnread,      // the bytes before it cannot be read
    kNotBelowModulus, // its value is no RSA value of the key
    kOtherKey,        // it opens to no trailer layout: another key made it
    kDigestDiffers,   // it opens to the layout, but the digest it carries is not the file's
};
struct zud_upgrade_trailer {
    TrailerState state = TrailerState::kFileUnread;
    std::uint64_t signed_size = 0;  // the bytes before the block
    bool zero_padding = false;      // kMatches: the bytes around the digest are zero
    std::array<std::uint8_t, 32> carried_digest{};  // kDigestDiffers, kMatches: the digest it carries
};
zud_upgrade_trailer read_upgrade_trailer(int fd, std::uint64_t file_size, mbedtls_rsa_context& key,
                                         Progress* progress);

// The decision alone, for a reader that hashed the signed bytes itself:
// `block` (key.len bytes) opened with `key` and compared with `digest`.
// Sets kNotBelowModulus, kOtherKey, kDigestDiffers or kMatches (kBlockUnread
// when `block` is not key.len bytes); signed_size is left 0.
zud_upgrade_trailer open_upgrade_trailer(ConstBytes block, const std::array<std::uint8_t, 32>& digest,
                                         mbedtls_rsa_context& key);
