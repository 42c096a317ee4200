// Verification: the reader side of the signed block, keymax and key matrix
// formats. Checks one signed block, a chain that starts with a keymax, or a
// key matrix against the table of root key digests.
//
// Every offset and size these routines read comes from the data they check
// and is treated as hostile: a region that does not lie inside the buffer
// (or inside the record that should contain it) is refused before anything
// is read, hashed or copied, so no input makes them touch memory outside
// the buffers they are given.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <span>

#include <mbedtls/rsa.h>

#include "bytes.h"
#include "result.h"
#include "stage_block.h"

inline constexpr std::size_t kRootDigestSize = 32;
inline constexpr std::size_t kRootDigestCount = 3;
using RootDigest = std::array<std::uint8_t, kRootDigestSize>;
using KeyDigestRef = std::span<const std::uint8_t, kRootDigestSize>;

using RootDigests = std::span<const RootDigest>;

// Results.
enum VerifyResult : int {
    kVerifyOk = 0,
    kVerifyFailed = -1,             // refused: header, bounds, key, matrix, chain
    kVerifyBadSignature = 1786,     // bl3x checker: the RSA signature does not verify
    kVerifyDigestMismatch = 1788,   // a digest-only block whose digest differs
    kVerifyNotInRootTable = 1790,   // a matrix digest that is not in the root digest table
    kVerifyKeyTestFailed = 1792,    // the key pair self-test's RSA operation fails
};

// The "bl3x" checker keeps the head of a block (header, signature slot, key
// block) in a work area of this size; a payload_offset above it is refused.
inline constexpr std::uint32_t kBl3xHeadMax = kStageHeadMax;
// The file routines hold a whole file in memory; larger files are refused.
inline constexpr std::uint64_t kMaxCheckedFileSize = 256u << 20;

// ---------------------------------------------------------------------------
// Root digest table
//
// Three SHA-256 digests of root key matrices (the root key digest a device's
// eFuses carry). Initialised at build time from -DZUD_ROOT_DIGESTS; the
// default, three all-zero digests, admits no real matrix.

// The table the build was configured with. The routines below whose
// interface takes no table check against it; the variants that take a
// table (the verify_* routines) check against the table given, so that a
// caller with digests of its own (zud_keytool's --root-digests) passes them
// rather than changing what the process checks against.
std::span<const RootDigest, kRootDigestCount> zud_root_digests();

// Replaces the table the routines without a table argument use. For the
// tests of those routines only; the programs never call it.
void zud_set_root_digests(std::span<const RootDigest, kRootDigestCount> digests);

// 0 when `digest` equals one of the three root digests (compared in order,
// the first match ends the search); otherwise kVerifyNotInRootTable.
int zud_check_root_key_sha2_with_efuse(KeyDigestRef digest);

// ---------------------------------------------------------------------------
// Key matrices
//
// Key matrix: 0x00 magic "@KMX", 0x04 version (u8, 1), 0x06 header_size
// (u16, 16), 0x08 matrix_size (u32, 17 to 16384), 0x0C entry_count (u8, 4),
// 0x0D entry_size (u8, 48), then four 48-byte key headers. An entry with
// key_type 5 to 8 carries its key_digest at entry offset 16; any other entry
// names its key data by key_data_offset and values_offset, counted from the
// start of the matrix. Besides the field checks, a matrix is refused when
// matrix_size exceeds the buffer or leaves no room for the four entries, or
// when a key entry's values lie outside the matrix.

// The matrix digest: SHA-256 of the four entry digests (a digest entry's
// key_digest, else the SHA-256 of its values). 0 or -1 (matrix refused).
int zud_key_matrix_digest(ConstBytes matrix, std::span<std::uint8_t, kRootDigestSize> out);

// Checks the matrix; with `root_check` set, its digest must also be in the
// root digest table. 0, -1, or kVerifyNotInRootTable.
int zud_tq_verify_key_matrix(ConstBytes matrix, int root_check);

// 0 when `key_digest` equals the key_digest of one of the matrix's
// entry_count entries (read from byte 12, no other field checked); -1 when
// none does, or when the entries reach beyond the buffer.
int zud_key_match_check(ConstBytes matrix, KeyDigestRef key_digest);

// Key pair self-test of the last entry that is not in digest form: reads its
// components (1 N, 2 E, 3 D, 9/10/11 the cached Montgomery values RN/RP/RQ),
// raises 512 bytes drawn from the random source (top bit of the first byte
// cleared) to D modulo N in the plain private-key mode, then back with E,
// and requires the round trip to give the drawn bytes again. Draws 512
// rand() values. The private-key mode flag g_nVQ_RSA_keyFormat is restored
// before returning. 0, -1 (matrix or key refused, round trip differs), or
// kVerifyKeyTestFailed (an RSA operation fails).
int zud_verify_key_matrix(ConstBytes matrix);

// ---------------------------------------------------------------------------
// Signing key of a block

// decode_block_key (key_block.h), as 0 or -1.
int zud_load_rsa_puk(mbedtls_rsa_context* ctx, ConstBytes block,
                     std::span<std::uint8_t, kRootDigestSize> key_digest);

// Hooks on the checkers' paths; both accept everything (return 0).
int zud_check_secure_set_match(int rsa_signed);
int zud_key_match_check_tpl(KeyDigestRef key_digest);

// ---------------------------------------------------------------------------
// Block checkers
//
// All three require the signed block header (64 bytes at the start of the
// buffer) to carry magic "@ZUD", header_size 64, version 1, reserved byte
// 11 zero and sig_offset 64. A signature or digest must lie inside its slot
// (sig_size bytes at 64). `offset`, when given, receives where the usable
// payload starts. A `matrix` with no bytes means none.

// Block as the stage builder stores it: sig_type 0 (digest only) or 1 to 3
// (RSA, sig_size 128, 256 or 512). The payload head stored at payload_size
// is moved back to offset 0 first, so on success (and on any result after
// that move) the buffer's first payload_size bytes are the payload in
// logical order. Hashes the 64 header bytes, key_size bytes at
// signed_data_offset and that payload. Refuses, before anything is moved,
// a payload_offset above 1168, a head that does not fit the buffer at
// payload_size, and a signature slot, signed key range or signing key that
// is not inside the head. The block's own key verifies it; with a `matrix`
// that has bytes, the block must also be RSA-signed by a key the matrix
// names (-1 otherwise, before anything is moved), so that a pass shows who
// signed and not only integrity. 0 (offset 0), -1, 1786 (bad RSA signature)
// or kVerifyDigestMismatch.
int zud_sig_check_buffer_bl3x(MutBytes block, ConstBytes matrix, std::uint32_t* offset);

// Block as the keymax and the BL2 block are laid out (payload in place):
// kind as for bl3x; hashes the 64 header bytes and signed_data_size bytes at
// signed_data_offset. total_size must not exceed the buffer, and the signed
// range, the key and the payload must lie inside the block's total_size
// bytes, the payload inside the signed range.
//   digest only, no matrix: offset = payload_offset.
//   digest only with a matrix: refused (-1), since a block that must be
//     signed by a key of the matrix carries no key.
//   RSA with a matrix: its key digest must be an entry of the matrix;
//     offset += payload_offset.
//   RSA without a matrix (a chain): the payload carries a root key matrix
//     that must be in the root digest table and contain the signing key,
//     followed 208 bytes later by a user key matrix; the block that starts
//     at total_size is then checked the same way against that user matrix,
//     and offset = total_size + its payload_offset.
// 0, -1, or kVerifyDigestMismatch.
int zud_sig_check_buffer_fix(ConstBytes block, ConstBytes matrix, std::uint32_t* offset);

// A layout in which the signed data starts with a copy of the header: as the
// "fix" checker, but the kind comes from sig_size (32 digest only; 128, 256
// or 512 RSA, which must equal the key's modulus length), the 64 bytes at
// sig_offset + sig_size must equal the header and lie inside the signed
// range, and only the signed_data_size bytes at signed_data_offset are
// hashed. A chain continues with this checker.
int zud_sig_check_buffer(ConstBytes block, ConstBytes matrix, std::uint32_t* offset);

// The three checkers with the reason a refusal has (a short phrase,
// "payload_offset is above 1168"; a chain's second block prefixes "second
// block: "), and, for the chain, the root digests to check against.
zud_result verify_block_bl3x(MutBytes block, std::uint32_t* offset, ConstBytes matrix = {});
zud_result verify_block_fix(ConstBytes block, ConstBytes matrix, std::uint32_t* offset,
                            RootDigests roots);
zud_result verify_block_plain(ConstBytes block, ConstBytes matrix, std::uint32_t* offset,
                              RootDigests roots);

// zud_tq_verify_key_matrix with a reason, against `roots` when given;
// zud_key_match_check and zud_verify_key_matrix with a reason.
zud_result verify_key_matrix(ConstBytes matrix, const RootDigests* roots);
zud_result verify_key_match(ConstBytes matrix, KeyDigestRef key_digest);
zud_result verify_key_pair(ConstBytes matrix);

// ---------------------------------------------------------------------------
// Files

// Checks a file holding one signed block with the "bl3x" checker and prints
// "zud log : [PATH] check pass". 0, -1 (no path, unreadable, over
// kMaxCheckedFileSize, no memory) or the checker's result.
int zud_sig_check_file_bl3x(const char* path);

// Checks a file holding 16 leading bytes, a keymax block and the block that
// follows it with the "fix" checker from byte 16 on, and prints "zud log:
// BL2 is start from 0xOFFSET" with the file offset of the second block's
// payload. Results as above.
int zud_sig_check_file(const char* path);

