// Built-in key signer and device packages: --mkpsd, --mkcusid, --mksd.
#pragma once

#include <cstdint>

#include <mbedtls/rsa.h>

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
    kBuiltinKeyLoadFailed = 3841,    // the built-in key did not load
    kBuiltinSignFailed = -1,         // the signed block could not be built
    kBuiltinEncryptFailed = 4163,    // the sealed file could not be written or put in place
};

// Signs and encrypts the file at `path` in place; returns a BuiltinSignResult.
int zud_tq_internal_sig(const char* path);

// Fills `ctx` (initialised for PKCS#1 v1.5) with the built-in RSA key and
// sets its modulus length; with `aes`, also schedules the built-in AES key for
// encryption. Returns 0, or 3841 when a value cannot be loaded.
int zud_tq_load_key_internal(mbedtls_rsa_context* ctx, AesCbc* aes);

// Copies `src` to `dst`, 1024 bytes at a time, through a temporary file that
// replaces `dst` when the copy is whole (it takes `src`'s mode). With
// `size`, stores the source's size as the file system reports it, cut to 32
// bits, before either file is opened. Returns 0, 3949 (source missing or not
// examinable), 3966 (source not openable, or the destination's directory not
// writable; nothing is created before the source is open) or 4164 (a read
// or write failed; `dst` is left as it was).
int zud_duplicate_file(const char* src, const char* dst, std::uint32_t* size);

// ---------------------------------------------------------------------------
// Device packages and SD images
//
// Both packages are 512 bytes, every byte zero unless listed, and are stored
// in the built-in signer's signed and encrypted form (1168 bytes). Bit n of
// a package is bit n mod 8 of byte n / 8; the block mask at 12 (u32) has bit
// k set for each 16-byte block k that carries data.
//
// Unlock password package: byte 6 bits 48-55 and byte 8 bits 64-71 are the
// protection flags (JTAG bit 52, USB bit 65, scan bit 51); 0x0C block mask;
// the password digest (32 bytes) at 128 ("jtag", "usb", "jtagusb") or 160
// ("scan"): the last link of a chain of 32 SHA-224 iterations, each over the
// previous link (28 bytes, the first is zero), the 16 password bytes and the
// salt, followed by the salt (u32, one rand() draw).
//
// Customer ID package: block mask 0x00010000 at 12, the 5 to 8 identifier
// bytes at 264, zero-terminated by byte 272.

enum PasswordResult : int {
    kPasswordMissing = 4325,       // no --password
    kPasswordBadLength = 4330,     // not exactly 16 bytes
    kPasswordNoInterface = 4345,   // no --option
    kPasswordBadInterface = 4349,  // not "jtag", "usb", "scan" or "jtagusb"
    kPasswordNoOutput = 4416,      // no --output
    kPasswordOpenFailed = 4422,    // the output cannot be opened or written
    kPasswordSignFailed = 4431,    // the built-in signer failed; the output is removed
};

enum CustomerIdResult : int {
    kCustomerIdMissing = 4513,     // no --customerid
    kCustomerIdLength = 4518,      // not 5 to 8 bytes
    kCustomerIdNoOutput = 4527,    // no --output
    kCustomerIdOpenFailed = 4533,  // the output cannot be opened or written
    kCustomerIdSignFailed = 4541,  // the built-in signer failed; the output is removed
};

// --mksd: an SD card image, 512 bytes of filler then the input; 0 or -1.
int zud_mk_sd(int argc, char** argv);
// --mkpsd: the unlock password package; a PasswordResult.
int zud_mk_password(int argc, char** argv);
// --mkcusid: the customer ID package; a CustomerIdResult.
int zud_mk_customer_id(int argc, char** argv);
