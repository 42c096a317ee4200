// The sealed file: what the built-in key signer turns a small file into (the
// eFuse pattern, the unlock-password and customer-ID packages).
#pragma once

#include <cstdint>

#include "bytes.h"
#include "crypto.h"

// The file's content as a stored stage block (stage_block.h) signed with
// the built-in RSA key, which the block carries, then encrypted with
// AES-256-CBC under the built-in AES key from a zero IV as one chain; the
// block's last piece is zero-padded to a multiple of 16 bytes. No length is
// stored: the sealed file is the encrypted block, its size a multiple of 16.

// The size of a sealed 512-byte file (an eFuse pattern, an unlock-password
// or customer-ID package): its block of 656 bytes of header, signature and
// key, and the 512 bytes.
inline constexpr std::size_t kSealed512Size = 1168;

// Encrypts the next piece of the block in place (a multiple of 16 bytes;
// the last piece zero-padded by the caller), continuing the chain in `iv`,
// which starts at zero. 0, or the cipher's failure.
int seal_piece(AesCbc& aes, MutBytes piece, std::span<std::uint8_t, kAesBlockSize> iv);

// Decrypts a whole sealed file into `block` (the same size) with the AES
// key; false when the size is not a multiple of 16 or the key cannot be
// set up. The caller then reads and checks the stored block it holds.
bool open_sealed_file(ConstBytes sealed, ConstBytes aes_key, MutBytes block);
