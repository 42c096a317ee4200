// Signed blocks, key blocks and key matrices assembled by the test suite
// itself with mbed TLS only, independent of the tool's writers, so that a
// reader and a writer cannot share one misunderstanding. Also used by the
// fuzz target (it needs nothing from GoogleTest).
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include <mbedtls/rsa.h>

using Block = std::vector<std::uint8_t>;

Block sha256_block(const Block& in);

inline std::uint32_t get32(const Block& b, std::size_t at) {
    return std::uint32_t{b.at(at)} | std::uint32_t{b.at(at + 1)} << 8 |
           std::uint32_t{b.at(at + 2)} << 16 | std::uint32_t{b.at(at + 3)} << 24;
}
inline void set32(Block& b, std::size_t at, std::uint32_t v) {
    for (std::size_t i = 0; i < 4; ++i) b.at(at + i) = static_cast<std::uint8_t>(v >> (8 * i));
}
inline void set16(Block& b, std::size_t at, std::uint16_t v) {
    b.at(at) = static_cast<std::uint8_t>(v);
    b.at(at + 1) = static_cast<std::uint8_t>(v >> 8);
}

// N big-endian (modulus length bytes) then E in 4 bytes: what a key block
// carries after its component table and what its key digest covers.
Block key_values(const mbedtls_rsa_context& key);
Block key_digest_of(const mbedtls_rsa_context& key);

// A key block in key form: the 48-byte key header (key_type, tag, table at
// key_data_offset, values 16 bytes later), the two component entries, N and
// E, zero-padded to a multiple of 16.
Block key_block(const mbedtls_rsa_context& key, std::uint32_t key_data_offset);

// PKCS#1 v1.5 SHA-256 signature of `digest` with `key`.
Block sign_digest(const mbedtls_rsa_context& key, const Block& digest);

enum class BlockLayout {
    kFix,    // header, slot, key header and key data area, payload (keymax, BL2)
    kPlain,  // header, slot, copy of the header, key block, payload
};

struct BlockShape {
    BlockLayout layout = BlockLayout::kFix;
    const mbedtls_rsa_context* key = nullptr;  // none: digest only
    Block payload;
    // Fix layout: the signature slot (512) and the key area (1256); the
    // signed data starts behind the signature (or digest) unless given.
    std::uint32_t slot_size = 512;
    std::uint32_t key_area = 1256;
    std::uint32_t signed_data_offset = 0;
    // Plain layout: the slot is the modulus length (32 without a key)
    // unless given.
    std::uint32_t plain_slot = 0;
};

// Assembles and signs (or digests) one block.
Block assemble_block(const BlockShape& layout);

// Re-signs (or re-digests) a block after a test changed its header, in the
// layout it was assembled in.
void reseal_block(Block& block, BlockLayout layout, const mbedtls_rsa_context* key);

// A key matrix of four digest-form entries naming `keys`.
Block key_matrix(const std::array<const mbedtls_rsa_context*, 4>& keys);

// A keymax as --keysig lays it out: 16 zero bytes, then a fix-layout block
// signed by `signer` over a root key matrix naming `root` four times and a
// user key matrix naming `user` four times. A device takes it when `signer`
// is `root`.
Block make_keymax(const mbedtls_rsa_context& root, const mbedtls_rsa_context& user,
                  const mbedtls_rsa_context& signer);

// A key matrix whose last entry carries `key` in key form for the self-test:
// components N (1), E (2), D (3) and, when `with_rn`, the cached R^2 mod N
// (9); the other entries name `others` in digest form.
Block self_test_matrix(const mbedtls_rsa_context& key,
                       const std::array<const mbedtls_rsa_context*, 3>& others, bool with_rn);

// Offsets of the self-test matrix's key entry and of its component table.
inline constexpr std::size_t kSelfTestEntry = 16 + 3 * 48;
inline constexpr std::size_t kSelfTestTable = 208;
