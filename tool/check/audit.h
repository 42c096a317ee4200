// Audit: recognises any file the tool writes, shows its structure and
// checks all of it the way the chip's boot chain would, offline. Used by
// zud_keytool's info and verify.
//
// What is recognised, in this order:
//   keymax              2264 bytes, a signed block at 16 carrying two key matrices
//   zud_user_key file   a key file, then a keymax and a 32-byte AES key
//   bootloader          a BL2 area and a FIP table of contents at 49152, in
//                       signing or digest mode, plain or (given the AES key)
//                       encrypted, with or without its upgrade trailer
//   kernel image        "ANDROID!" with the "ZUDSECU!" security header
//                       (signed), or with digest-only stages (packaged)
//   sealed file         an eFuse pattern, unlock-password or customer-ID
//                       package, signed and encrypted with the built-in key
//   signed block        one block as the stage builder stores it
//   key file            the tool's RSA key file in its full, short or text form
//   SD card image       512 bytes of filler, then a file of a kind above
//   USB pair part       X.usb.bl2 (49152 bytes) or X.usb.tpl, known by its
//                       name and read with its sibling as the bootloader
//   upgrade file        anything else, given a public key (--key)
//
// Every offset and size a file names is checked before it is followed, and
// files are read in bounded pieces (encrypted stages are decrypted piece by
// piece), so memory does not grow with the file. The AES key and the
// password digest are never shown: only that they are present.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include <mbedtls/rsa.h>

#include "bytes.h"
#include "crypto.h"
#include "efuse_pattern.h"
#include "keymax.h"
#include "verify.h"

// An RSA public key as its numbers (big-endian) and the digest key
// matrices name it by.
struct zud_public_key {
    Digest digest{};
    std::vector<std::uint8_t> n;
    std::vector<std::uint8_t> e;
};

struct zud_audit_options {
    // The AES key of an encrypted bootloader or kernel image (--aes-key
    // FILE, the one a zud_user_key file carries, or the eFuse pattern's).
    std::optional<std::array<std::uint8_t, kAesKeySize>> aes_key;
    // A public key for upgrade trailers (--key): a PEM public key, a key
    // file of any form or a zud_user_key file.
    std::string public_key;
    // How to reach a key in a token or an encrypted PEM file (see
    // signing_key.h): the module and the passphrase file, when given.
    std::string pkcs11_module;
    std::string passphrase_file;
    // Root key digests the keymax's root key matrix must be one of (one to
    // three); none given: the build's table, when it has any.
    std::vector<RootDigest> root_digests;
    // The one root key digest expected (--expect-root).
    std::optional<RootDigest> expect_root;
    // The root key digest of a sealed eFuse pattern (--efuse FILE).
    std::optional<RootDigest> efuse_root;
    // The keymax in force for kernel images and upgrade files (--keymax
    // FILE, or the one of --user-key): their signers must be keys of its
    // user key matrix.
    std::optional<std::array<std::uint8_t, kKeymaxSize>> keymax;
    // Check without any root to check against (--any-root).
    bool any_root = false;
    // Keys an upgrade file's trailer may be made by, when no --key is
    // given (the user keys a release set carries): the one it opens under
    // is taken, and none is a failure.
    std::vector<zud_public_key> trailer_keys;
    // Show the SHA-256 of each stage's payload (a pass of its own over the
    // stages, for comparing with the inputs); a set check leaves it out.
    bool payload_digests = true;
};

// Whether the options give something to check a root key digest against.
bool zud_has_trust_anchor(const zud_audit_options& options);

// A value shown in a section: text, a count, size or offset, yes or no, or
// bytes shown in hex (digests, UUIDs).
enum class zud_value_type { kText, kNumber, kFlag, kHex };

struct zud_field {
    std::string key;  // snake_case, the same in every report
    zud_value_type type = zud_value_type::kText;
    std::string text;           // kText; for a number, a note shown beside it ("RSA")
    std::uint64_t number = 0;   // kNumber
    bool flag = false;          // kFlag
    std::vector<std::uint8_t> bytes;  // kHex
};

// Who made a signature: the signing key's digest (the SHA-256 of its key
// data, the digest key matrices name keys by), its size, and where the key
// sits: in the root or user key matrix in force (index from 1), the
// tool's built-in key, or nowhere the checks know.
enum class zud_key_place { kUnknown, kRootMatrix, kUserMatrix, kBuiltin };

struct zud_signer {
    Digest key_digest{};
    std::size_t bits = 0;
    zud_key_place place = zud_key_place::kUnknown;
    std::size_t index = 0;  // 1 based, in its matrix
};

// One check: a stable id, what was checked in words, where (a file
// offset), the signer when it is a signature, and why it failed. A check
// that could not be made (a key is missing) is not passed.
enum class zud_check_state { kPassed, kFailed, kNotChecked };

struct zud_check {
    std::string id;    // snake_case and dots, the same whether it passes or fails
    std::string what;  // in words
    zud_check_state state = zud_check_state::kPassed;
    std::optional<std::uint64_t> offset;
    std::string detail;
    std::optional<zud_signer> signer;
};

// A part of the file and its fields, in the order they are shown.
struct zud_section {
    std::string id;     // snake_case, stable
    std::string title;  // in words
    std::optional<std::uint64_t> offset;
    std::vector<zud_field> fields;

    void text(std::string key, std::string value);
    void number(std::string key, std::uint64_t value, std::string note = {});
    void flag(std::string key, bool value);
    void hex(std::string key, ConstBytes value);
};

struct zud_report {
    std::string path;
    std::string kind;     // in words; "" when the file is not recognised or not readable
    std::string kind_id;  // snake_case, stable
    std::uint64_t size = 0;
    // `size` is the file's size: false when it did not open, or when there
    // is no file (a key on a token).
    bool sized = false;
    std::deque<zud_section> sections;  // references to them stay valid as more are added
    std::vector<zud_check> checks;
    std::string error;  // why the file could not be examined at all
    // What root key digests were checked against ("the root digests given",
    // ...), or "" when none was (--any-root).
    std::string anchor;
    // Not shown: the public keys the file's signed blocks carry (the BL2
    // block's, a kernel image's stages'), for checking the other files of a
    // set made with them.
    std::vector<zud_public_key> carried_keys;

    // The first check that failed or could not be made, or nullptr.
    const zud_check* first_problem() const;
    bool verified() const { return error.empty() && first_problem() == nullptr; }
};

// Recognises and audits the file at `path`.
zud_report zud_audit(const char* path, const zud_audit_options& options);

// The version of the JSON report's shape (share/zud_keytool/report.schema.json);
// raised when a field changes meaning or goes away.
inline constexpr int kZudReportSchemaVersion = 1;

// `raw` as it may be shown or put in JSON: valid UTF-8 is kept; a control
// character or a byte outside a UTF-8 sequence becomes \xNN, a backslash
// two.
std::string zud_printable_text(const std::string& raw);

// The verdict in words: "verified", "verified against no root" (no anchor,
// --any-root), or the first problem.
std::string zud_verdict_text(const zud_report& report);

// Prints the report as text: the kind and sections (info), or the checks
// one per line and a verdict (verify).
void zud_print_report(const zud_report& report, bool checks, std::FILE* out);

// The same content as JSON.
std::string zud_report_json(const zud_report& report, bool checks);

// Reads a sealed eFuse pattern (--efuse FILE) into `options`: its root key
// digest, which becomes an anchor, and its AES key when it carries one
// (unless `options` has one already). False, with `reason`, when the file
// is no eFuse pattern sealed with the built-in key.
bool zud_read_efuse_for_audit(const char* path, zud_audit_options& options, std::string& reason);

// The same, as the pattern itself: its root key digest, its AES key and
// whether it asks for an encrypted bootloader.
bool zud_read_efuse_pattern(const char* path, zud_efuse_pattern& pattern, std::string& reason);

// What a few reads tell of a file (at most its first 49664 bytes): the
// keymax it carries, when it is a keymax file, a zud_user_key file, a
// bootloader in signing mode (plain, or encrypted and opening with
// `aes_key`), its .usb.bl2, or an SD card image of one of these; whether
// it is a zud_user_key file; whether it is a kernel image (or an SD card
// image of one). Nothing is checked: the audit checks it.
struct zud_file_probe {
    bool opened = false;
    std::uint64_t size = 0;
    std::optional<std::array<std::uint8_t, kKeymaxSize>> keymax;
    bool user_key_file = false;
    bool kernel_image = false;
};
zud_file_probe zud_probe_file(const char* path, const std::optional<std::array<std::uint8_t, kAesKeySize>>& aes_key);

// The public half of `ctx` as a zud_public_key; false when a key block
// cannot carry it.
bool zud_export_public_key(const mbedtls_rsa_context& ctx, zud_public_key& out);

// Reads the keymax in force for kernel images and upgrade files from a
// keymax file (--keymax) or a zud_user_key file (--user-key).
bool zud_read_keymax_for_audit(const char* path, bool user_key_file, zud_audit_options& options,
                               std::string& reason);

// Reads the AES key of an encrypted bootloader from a 32-byte key file, or
// from the end of a zud_user_key file; false (with `reason`) otherwise.
bool zud_read_aes_key_for_audit(const char* path, bool user_key_file,
                                     std::array<std::uint8_t, kAesKeySize>& key,
                                     std::string& reason);
