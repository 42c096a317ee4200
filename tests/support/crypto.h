// Independent checks for tests: hashes and decryption made with the crypto
// library directly, not through the tool's own wrappers.
#pragma once

#include <cstdint>

#include "support/files.h"

Bytes sha256_of(const Bytes& in);
Bytes concat(Bytes a, const Bytes& b);
// AES-256-CBC decryption with a 32-byte key from a zero IV; the data must be
// a multiple of 16 bytes.
Bytes aes256_cbc_decrypt(const std::uint8_t* key, Bytes data);
