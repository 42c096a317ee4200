// The built-in key: a 2048-bit RSA private key (N, E, D, P, Q, DP, DQ, QP)
// and a 256-bit AES key, all big-endian byte tables, and the routines that
// load it and open what it sealed. The values are generated when the tool is
// configured, into a library of their own, from the key directory chosen
// with -DZUD_BUILTIN_KEY_DIR (by default the public development key in
// keys/builtin-dev, which protects nothing).
#pragma once

#include <cstdint>

#include <mbedtls/rsa.h>

#include "bytes.h"
#include "crypto.h"

// Declares kBuiltinN[256], kBuiltinE[4], kBuiltinD[256], kBuiltinP[128],
// kBuiltinQ[128], kBuiltinDP[128], kBuiltinDQ[128], kBuiltinQP[128],
// kBuiltinAes[32] and kBuiltinKeyIsDevelopment.
#include "builtin_key_values.h"

// The result of zud_tq_load_key_internal when a value cannot be loaded.
inline constexpr int kBuiltinKeyLoadFailed = 3841;

// Fills `ctx` (initialised for PKCS#1 v1.5) with the built-in RSA key and
// sets its modulus length; with `aes`, also schedules the built-in AES key for
// encryption. Returns 0, or 3841 when a value cannot be loaded.
int zud_tq_load_key_internal(mbedtls_rsa_context* ctx, AesCbc* aes);

// Opens a file the signer sealed: decrypts it with the built-in AES key into
// `block` (the file's size, a multiple of 16). The caller checks the signed
// block it holds (signed by the built-in key). False when the size is not
// a multiple of 16 or the key does not load.
bool zud_open_sealed(ConstBytes sealed, MutBytes block);

// The built-in RSA key's public half, for checking what the signer sealed.
int zud_builtin_public_key(mbedtls_rsa_context* ctx);
