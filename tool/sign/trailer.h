// Signing with the upgrade trailer: the block that --upgsig, the bootloader
// signer and the kernel image signer put on the end of a file, and the
// stream digest beneath it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <limits>

#include "bytes.h"
#include "crypto.h"
#include "upgrade_block.h"

// Results of zud_sig_upgrade, zud_sig_upgrade_file, the trailer signer and
// zud_file_sha2.
enum UpgradeResult : int {
    kUpgradeBadOption = 4117,    // handler: --option with any value but "chk"
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
    kUpgradeInputChanged = 4082,  // signing: the file changed while it was being signed (untouched)
    kUpgradeNotDurable = 4083,   // signing: the block could not be synced to the disk (cut off again)
    kFileSha2NoStream = 3886,    // no stream, no digest output, or a stream without a position
    kFileSha2ShortRead = 3896,   // the stream ends before the requested count
    kFileSha2BadCount = 3906,    // the count is not a multiple of 16 (nothing is read)
};

// The count that asks zud_file_sha2 for everything from the current position
// to the end of the stream. A count of 0 digests zero bytes.
inline constexpr std::uint64_t kFileSha2ToEnd = std::numeric_limits<std::uint64_t>::max();

#include <string>

class SigningKey;

// True when a key of `len` modulus bytes can carry the block (48 to 1024);
// says otherwise on standard error, naming the key by `name`.
bool trailer_key_fits(std::size_t len, const std::string& name);


// Signs the file at `path` with a key already open, as zud_sig_upgrade_file
// does: 0, kUpgradeNoInput, kUpgradeBadKey (L outside 48..1024),
// kUpgradeOpenFailed, kUpgradeRsaFailed, kUpgradeInputChanged,
// kUpgradeWriteFailed or kUpgradeNotDurable.
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
