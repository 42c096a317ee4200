// The zud_user_key file: a user key file bound to its keymax and AES key.
#pragma once

#include <cstdint>
#include <optional>

#include "crypto.h"
#include "keymax.h"

// The zud_user_key file: the user's key file, the keymax, then the 32-byte
// AES key. Made from a 4680-byte full binary key file it is 6976 bytes,
// keymax at 4680 and AES key at 6944; any other key file shifts both.
inline constexpr std::size_t kUserKeyKeymaxOffset = 4680;
inline constexpr std::size_t kUserKeyAesOffset = 6944;
inline constexpr std::size_t kUserKeyTailSize = kKeymaxSize + kAesKeySize;  // 2296
struct zud_user_key_layout {
    std::uint64_t key_file_size;
    std::uint64_t keymax_offset;
    std::uint64_t aes_offset;
};
// nullopt when the file is too short to carry a keymax and an AES key.
std::optional<zud_user_key_layout> user_key_layout(std::uint64_t file_size);
