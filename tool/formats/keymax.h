// The keymax: a signed block carrying the root and the user key matrix.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include "bytes.h"
#include "fixed_block.h"
#include "key_block.h"
#include "key_matrix.h"
#include "signed_block.h"

// ---------------------------------------------------------------------------
// Keymax
//
// 2264 bytes: 16 zero bytes (a bootloader puts its IV prefix there), then
// one signed block (the 64-byte signed block header at 16, a fixed 512-byte
// signature slot at 80, the signing key's 48-byte key header at 592 and its
// 1208-byte key data area at 640), whose payload is the root key matrix at
// 1848 and the user key matrix at 2056. Block offsets count from 16: the
// signature slot at 64, key header at 576, key data at 624, payload at 1832.
// The BL2 block of a signed bootloader uses the same block layout with a
// payload of 45056 bytes.

inline constexpr std::size_t kKeymaxSize = 2264;
inline constexpr std::size_t kKeymaxPrefixSize = 16;
inline constexpr std::size_t kKeymaxBlockSize = kKeymaxSize - kKeymaxPrefixSize;  // 2248
inline constexpr std::size_t kKeymaxRootMatrixOffset = kKeymaxPrefixSize + kFixedPayloadOffset;   // 1848
inline constexpr std::size_t kKeymaxUserMatrixOffset = kKeymaxRootMatrixOffset + kKeyMatrixSize;  // 2056
static_assert(kKeymaxUserMatrixOffset + kKeyMatrixSize == kKeymaxSize);

// A keymax (or a keymax-laid-out block) read from its 2264 bytes: the
// signed block (from 16 on), its header, the signing key's header and the
// two matrices. nullopt when fewer than 2264 bytes are given or a magic is
// missing ("@ZUD" at 16, "@KMX" at 1848 and 2056).
struct zud_keymax {
    ConstBytes file;   // the 2264 bytes
    ConstBytes block;
    zud_signed_block_header header;
    std::optional<zud_key_header> signing_key;
    zud_key_matrix root;
    zud_key_matrix user;
};
std::optional<zud_keymax> decode_keymax(ConstBytes file);
