// The keymax and the user key file: the key matrix and keymax records, and
// the commands that write them (--keysig, --keybnd).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include "bytes.h"
#include "crypto.h"
#include "key_block.h"
#include "signed_block.h"

// ---------------------------------------------------------------------------
// Key matrix
//
// 208 bytes, little-endian: 0x00 magic "@KMX", 0x04 version (u8, 1), 0x05
// reserved, 0x06 header_size (u16, 16), 0x08 matrix_size (u32: 16 + 4 x 48
// + the key data appended behind the entries, rounded up to 16), 0x0C
// entry_count (u8, 4), 0x0D entry_size (u8, 48), 0x0E reserved (u16), then
// four 48-byte key headers, in digest form (key_type 5 to 8, header_size 0)
// in every matrix this tool writes. An entry in key form names its key data
// by key_data_offset and values_offset, counted from the matrix's start.
//
// A device accepts a matrix when magic, version 1, header_size 16,
// entry_count 4 and entry_size 48 hold, matrix_size lies in 17..16384 (it
// reads the entries at their fixed places whatever matrix_size says), and
// every entry is in digest form.

inline constexpr std::size_t kKeyMatrixSize = 208;
inline constexpr std::size_t kKeyMatrixHeaderSize = 16;
inline constexpr std::size_t kKeyMatrixEntries = 4;
inline constexpr std::uint32_t kMaxKeyMatrixSize = 16384;

struct zud_key_matrix {
    std::uint8_t version = 1;
    std::uint8_t reserved_05 = 0;
    std::uint16_t header_size = kKeyMatrixHeaderSize;
    std::uint32_t matrix_size = kKeyMatrixSize;
    std::uint8_t entry_count = kKeyMatrixEntries;
    std::uint8_t entry_size = kKeyHeaderSize;
    std::uint16_t reserved_0e = 0;
    // An entry without the "@KEY" magic decodes with key_type 0.
    std::array<zud_key_header, kKeyMatrixEntries> entries{};
};

void encode_key_matrix(const zud_key_matrix& m, std::span<std::uint8_t, kKeyMatrixSize> out);

// nullopt when fewer than 208 bytes are given or the magic is not "@KMX".
std::optional<zud_key_matrix> decode_key_matrix(ConstBytes in);

// The header fields alone (the first 16 bytes), for readers that look at
// entry_count before they know how many entries the bytes hold.
std::optional<zud_key_matrix> decode_key_matrix_header(ConstBytes in);

// Entry `index` (0 based, any index) if the bytes hold it.
std::optional<zud_key_header> key_matrix_entry(ConstBytes matrix, std::size_t index);
inline constexpr std::size_t key_matrix_entry_offset(std::size_t index) {
    return kKeyMatrixHeaderSize + index * kKeyHeaderSize;
}

// Why a device refuses the matrix, or nullptr (the rule above).
const char* check_key_matrix_header(const zud_key_matrix& m);
const char* check_key_matrix(const zud_key_matrix& m);

// The root key digest of a matrix in digest form: SHA-256 over the four
// key_digest values, entry 0 first. It is what the eFuse pattern carries.
Digest key_matrix_root_digest(const zud_key_matrix& m);

// True when one of the matrix's entries carries `key_digest`.
bool key_matrix_names(const zud_key_matrix& m, std::span<const std::uint8_t, kKeyDigestSize> key_digest);

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
inline constexpr std::size_t kFixedSignatureSlotSize = 512;
inline constexpr std::size_t kFixedKeyDataAreaSize = 1208;
inline constexpr std::size_t kFixedKeyOffset = kSignedBlockHeaderSize + kFixedSignatureSlotSize;  // 576
inline constexpr std::size_t kFixedKeyDataOffset = kFixedKeyOffset + kKeyHeaderSize;              // 624
inline constexpr std::size_t kFixedKeyAreaSize = kKeyHeaderSize + kFixedKeyDataAreaSize;          // 1256
inline constexpr std::size_t kFixedPayloadOffset = kFixedKeyOffset + kFixedKeyAreaSize;           // 1832
inline constexpr std::size_t kKeymaxRootMatrixOffset = kKeymaxPrefixSize + kFixedPayloadOffset;   // 1848
inline constexpr std::size_t kKeymaxUserMatrixOffset = kKeymaxRootMatrixOffset + kKeyMatrixSize;  // 2056
static_assert(kKeymaxUserMatrixOffset + kKeyMatrixSize == kKeymaxSize);

// A keymax (or a keymax-laid-out block) read from its 2264 bytes: the
// signed block (from 16 on), its header, the signing key's header and the
// two matrices. nullopt when fewer than 2264 bytes are given or a magic is
// missing ("@ZUD" at 16, "@KMX" at 1848 and 2056).
struct zud_keymax {
    ConstBytes block;
    zud_signed_block_header header;
    std::optional<zud_key_header> signing_key;
    zud_key_matrix root;
    zud_key_matrix user;
};
std::optional<zud_keymax> decode_keymax(ConstBytes file);

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

enum KeysigResult : int {
    kKeysigBadArguments = 3105,  // seven words or fewer, or a key path that does not exist
    kKeysigBadKey = 3107,        // a root or user key that does not load as a key of 1024 to 8192 bits
    kKeysigNotRootKey = 3109,    // the signing key is none of the four root keys
};

// Results of zud_key_bnd besides -1.
enum KeybndResult : int {
    kKeybndNoAesKey = 3121,      // the --aeskey file cannot be read
    kKeybndKeyMismatch = 3123,   // the key's private half does not sign for its public half
};

int zud_sig_key(int argc, char** argv);
int zud_sig_key_max(const char* const* paths);
int zud_signature_file_fix(const char* input, const char* key, const char* output);
int zud_key_bnd(int argc, char** argv);
