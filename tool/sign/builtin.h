// The built-in key signer: signs and encrypts small files with the tool's
// own key, and opens what it sealed.
#pragma once

#include <cstdint>

#include <mbedtls/rsa.h>

#include "builtin_key.h"
#include "bytes.h"
#include "crypto.h"

// ---------------------------------------------------------------------------
// Built-in key signer
//
// zud_tq_internal_sig replaces a file by its signed block (signed with the
// built-in RSA key, which the block also carries) encrypted with
// AES-256-CBC under the built-in AES key from a zero IV, in one chain. The
// signed block is built in a work file of an unpredictable name beside the
// file (owner only, removed on every path) and the sealed result replaces
// the file by a rename, keeping its mode: the file holds either its old
// content or the whole sealed block. An empty file is left unchanged and
// unsigned.

enum BuiltinSignResult : int {
    kBuiltinSignOk = 0,
    kBuiltinNoPath = 4160,           // no path given
    kBuiltinTargetTooLarge = 4162,   // 4 GiB or more: its size has no 32-bit count
    kBuiltinNoSource = 3949,         // the target is missing or cannot be examined
    kBuiltinOpenFailed = 3966,       // target not readable, or the work file not creatable
    kBuiltinCopyFailed = 4164,       // zud_duplicate_file: a read or write failed
    kBuiltinSignFailed = -1,         // the signed block could not be built
    kBuiltinEncryptFailed = 4163,    // the sealed file could not be written or put in place
};

// Signs and encrypts the file at `path` in place; returns a BuiltinSignResult.
int zud_tq_internal_sig(const char* path);

// A tool built with the public development key says, in one line on
// standard error, that the file `sealed` (a finished package or eFuse
// pattern) is sealed with it: anyone can open or forge such a file, and
// devices fused for production reject it. Says nothing in a production build.
void warn_development_seal(const char* sealed);

// Copies `src` to `dst`, 1024 bytes at a time, through a temporary file that
// replaces `dst` when the copy is whole (it takes `src`'s mode). With
// `size`, stores the source's size as the file system reports it, cut to 32
// bits, before either file is opened. Returns 0, 3949 (source missing or not
// examinable), 3966 (source not openable, or the destination's directory not
// writable; nothing is created before the source is open) or 4164 (a read
// or write failed; `dst` is left as it was).
int zud_duplicate_file(const char* src, const char* dst, std::uint32_t* size);
