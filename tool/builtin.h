// Built-in key signer and device packages: --mkpsd, --mkcusid, --mksd.
#pragma once

#include <cstdint>

#include <mbedtls/rsa.h>

#include "crypto.h"

// ---------------------------------------------------------------------------
// Built-in key signer
//
// zud_tq_internal_sig replaces a file, in place, by its signed block (signed
// with the built-in RSA key, which the block also carries) encrypted with
// AES-256-CBC under the built-in AES key from a zero IV, in one chain. The
// signed block is built in a work copy named "<path>.chk" beside the file,
// which is deleted on every path; the file itself is only written once the
// signed block is complete, so every failure leaves it as it was. An empty
// file is left unchanged and unsigned.

enum BuiltinSignResult : int {
    kBuiltinSignOk = 0,
    kBuiltinNoPath = 4160,           // no path given
    kBuiltinPathTooLong = 4161,      // "<path>.chk" would exceed 255 characters
    kBuiltinTargetTooLarge = 4162,   // 4 GiB or more: its size has no 32-bit count
    kBuiltinNoSource = 3949,         // the target is missing or cannot be examined
    kBuiltinOpenFailed = 3966,       // target not readable, or work copy not creatable
    kBuiltinCopyFailed = 4164,       // reading the target or writing the work copy failed
    kBuiltinKeyLoadFailed = 3841,    // the built-in key did not load
    kBuiltinSignFailed = -1,         // files not openable for update, or the block failed
    kBuiltinEncryptFailed = 4163,    // reading the work copy or writing the target failed
};

// Signs and encrypts the file at `path` in place; returns a BuiltinSignResult.
int zud_tq_internal_sig(const char* path);

// Fills `ctx` (initialised for PKCS#1 v1.5) with the built-in RSA key and
// sets its modulus length; with `aes`, also schedules the built-in AES key for
// encryption. Returns 0, or 3841 when a value cannot be loaded.
int zud_tq_load_key_internal(mbedtls_rsa_context* ctx, AesCbc* aes);

// Copies `src` to `dst` (created or truncated), 1024 bytes at a time. With
// `size`, stores the source's size as the file system reports it, cut to 32
// bits, before either file is opened. Returns 0, 3949 (source missing or not
// examinable), 3966 (source not openable, or destination not creatable; the
// destination is only created once the source is open) or 4164 (a read or
// write failed).
int zud_duplicate_file(const char* src, const char* dst, std::uint32_t* size);

// ---------------------------------------------------------------------------
// Device packages and SD images

int zud_mk_sd(int argc, char** argv);
int zud_mk_password(int argc, char** argv);
int zud_mk_customer_id(int argc, char** argv);
