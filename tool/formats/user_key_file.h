// The zud_user_key file: a user key file bound to its keymax and AES key.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "bytes.h"

#include "crypto.h"
#include "keymax.h"

// The zud_user_key file: the user's key file, the keymax, then the 32-byte
// AES key. Made from a 4680-byte full binary key file it is 6976 bytes,
// keymax at 4680 and AES key at 6944; any other key file shifts both. The
// commands that sign with one take only the 6976-byte form, whose key file
// is the full binary form.
inline constexpr std::size_t kUserKeyKeymaxOffset = 4680;
inline constexpr std::size_t kUserKeyAesOffset = 6944;
inline constexpr std::size_t kUserKeyTailSize = kKeymaxSize + kAesKeySize;  // 2296
inline constexpr std::size_t kUserKeyFileSize = kUserKeyKeymaxOffset + kUserKeyTailSize;  // 6976
static_assert(kUserKeyAesOffset == kUserKeyKeymaxOffset + kKeymaxSize);
struct zud_user_key_layout {
    std::uint64_t key_file_size;
    std::uint64_t keymax_offset;
    std::uint64_t aes_offset;
};
// nullopt when the file is too short to carry a keymax and an AES key.
std::optional<zud_user_key_layout> user_key_layout(std::uint64_t file_size);

// The three parts of a zud_user_key file held in `file`, as views into it.
struct zud_user_key_file {
    ConstBytes key_file;
    ConstBytes keymax;  // kKeymaxSize bytes
    std::span<const std::uint8_t, kAesKeySize> aes_key;
};
// nullopt when the bytes are too short to carry a keymax and an AES key.
std::optional<zud_user_key_file> decode_user_key_file(ConstBytes file);

// Writes the file: the key file's bytes, the keymax and the AES key, in
// that order, through `write` (which returns false when it fails).
template <typename Write>
bool encode_user_key_file(ConstBytes key_file, ConstBytes keymax, ConstBytes aes_key, Write&& write) {
    return write(key_file) && write(keymax) && write(aes_key);
}
