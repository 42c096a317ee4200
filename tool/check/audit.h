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

#include "crypto.h"
#include "verify.h"

struct zud_audit_options {
    // The AES key of an encrypted bootloader or kernel image (--aes-key
    // FILE, or the one a zud_user_key file carries).
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
};

// One check: what was checked, where (a file offset), and why it failed.
// A check that could not be made (a key is missing) is not passed.
enum class zud_check_state { kPassed, kFailed, kNotChecked };

struct zud_check {
    std::string what;
    zud_check_state state = zud_check_state::kPassed;
    std::optional<std::uint64_t> offset;
    std::string detail;
};

// A part of the file and its fields, in the order they are shown.
struct zud_section {
    std::string title;
    std::optional<std::uint64_t> offset;
    std::vector<std::pair<std::string, std::string>> fields;
};

struct zud_report {
    std::string path;
    std::string kind;  // "" when the file is not recognised or not readable
    std::uint64_t size = 0;
    std::deque<zud_section> sections;  // references to them stay valid as more are added
    std::vector<zud_check> checks;
    std::string error;  // why the file could not be examined at all

    // The first check that failed or could not be made, or nullptr.
    const zud_check* first_problem() const;
    bool verified() const { return error.empty() && first_problem() == nullptr; }
};

// Recognises and audits the file at `path`.
zud_report zud_audit(const char* path, const zud_audit_options& options);

// Prints the report as text: the kind and sections (info), or the checks
// one per line and a verdict (verify).
void zud_print_report(const zud_report& report, bool checks, std::FILE* out);

// The same content as JSON.
std::string zud_report_json(const zud_report& report, bool checks);

// Reads the AES key of an encrypted bootloader from a 32-byte key file, or
// from the end of a zud_user_key file; false (with `reason`) otherwise.
bool zud_read_aes_key_for_audit(const char* path, bool user_key_file,
                                     std::array<std::uint8_t, kAesKeySize>& key,
                                     std::string& reason);
