// Upgrade signatures: --upgsig and the trailing signature block that it, the
// bootloader signer and the kernel image signer put on the end of a file.
#pragma once

#include <cstddef>
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <cstdio>
#include <limits>

#include "bytes.h"
#include "crypto.h"

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

// Results of zud_sig_upgrade, zud_sig_upgrade_file and zud_file_sha2.
enum UpgradeResult : int {
    kUpgradeIllegalFile = 4115,  // handler: a named file is missing or not a multiple of 16 bytes
    kUpgradeNoInput = 4013,      // the size of the input cannot be taken (missing, or no path)
    kUpgradeInputIsKey = 4021,   // the input is the key file itself
    kUpgradeBadKey = 4029,       // no key path, the key does not load, or L is outside 48..1024
    kUpgradeTwoKeys = 4031,      // handler: both "zuduserkey" and "userkey" given
    kUpgradeOpenFailed = 4039,   // cannot open for update, or the signed range cannot be digested
    kUpgradeNoBlock = 4048,      // checking: the file is shorter than L, or its block is unreadable
    kUpgradeRsaFailed = 4057,    // the raw RSA operation fails
    kUpgradeWriteFailed = 4066,  // signing: the block could not be written whole (file restored)
    kUpgradeMismatch = 4074,     // checking: the block's digest differs from the file's
    kFileSha2NoStream = 3886,    // no stream, no digest output, or a stream without a position
    kFileSha2ShortRead = 3896,   // the stream ends before the requested count
    kFileSha2BadCount = 3906,    // the count is not a multiple of 16 (nothing is read)
};

// The count that asks zud_file_sha2 for everything from the current position
// to the end of the stream. A count of 0 digests zero bytes.
inline constexpr std::uint64_t kFileSha2ToEnd = std::numeric_limits<std::uint64_t>::max();

// --upgsig: options "input", "zuduserkey", "option" (the value "chk"
// selects checking), then "userkey" (instead of "zuduserkey": a key file, a
// PEM key or a PKCS#11 URI, without the size rule of "zuduserkey"),
// "pkcs11-module" and "passphrase-file". Prints "zud log: upgrade <mode>
// pass|fail!" and returns 0 or a result above.
int zud_sig_upgrade(int argc, char** argv);

// Signs (appends a block to) or checks (slot 2 is exactly "chk") the file of
// slots[0] with the key of slots[1] (a key file in any form, or what else
// open_signing_key takes; checking needs only its public half). Either
// missing fails at once with the file untouched. Checking never changes the
// file; signing changes it only by appending one whole block.
int zud_sig_upgrade_file(const char* const* slots);

class SigningKey;

// Signs the file at `path` with a key already open, as zud_sig_upgrade_file
// does: 0, kUpgradeNoInput, kUpgradeBadKey (L outside 48..1024),
// kUpgradeOpenFailed, kUpgradeRsaFailed or kUpgradeWriteFailed.
int zud_sig_upgrade_file_key(const char* path, SigningKey& key);

// Writes the SHA-256 of `count` bytes read from the stream's current position
// (or of everything to its end for kFileSha2ToEnd) into `digest` (32 bytes),
// and puts the stream back where it started. Returns 0, kFileSha2BadCount,
// kFileSha2ShortRead or kFileSha2NoStream.
int zud_file_sha2(std::FILE* stream, std::uint8_t* digest, std::uint64_t count);

// The signature block of a file whose SHA-256 is `digest`, made with `key`
// into `block` (key.length() bytes): 0, kUpgradeBadKey (L outside 48..1024
// or `block` of another size) or kUpgradeRsaFailed (said on standard
// error). For writers that hash a file while they write it.
int zud_upgrade_signature(SigningKey& key, const Digest& digest, MutBytes block);
