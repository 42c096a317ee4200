// The check of a release set: the eFuse pattern burned into a board and the
// files made to run on it (bootloader and its boot media, kernel images,
// upgrade files, device packages), each checked as a board fused with that
// pattern would decide, and all of them against one another: one keymax
// wherever a keymax appears, its user keys the signers of everything, the
// eFuse pattern's AES key and encryption bit the bootloader's.
//
// The files are examined by the audit (audit.h) with the pattern as the one
// trust anchor; the large ones two at a time.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "audit.h"

struct zud_set_options {
    std::string efuse_path;  // the sealed eFuse pattern (--efuse)
    // The AES key of encrypted kernel images (--aes-key), when it is not
    // that of a zud_user_key file given or in the set.
    std::optional<std::array<std::uint8_t, kAesKeySize>> kernel_aes_key;
    // A zud_user_key file (--user-key): its keymax is the set's, its AES key
    // opens kernel images, its key may sign upgrade files.
    std::string user_key_path;
    std::string keymax_path;  // the set's keymax (--keymax)
    std::string public_key;   // one more key upgrade files may be signed by (--key)
    std::string pkcs11_module;
    std::string passphrase_file;
    // Files and directories; a directory stands for the files in it that
    // are the tool's (not its subdirectories).
    std::vector<std::string> artefacts;
    unsigned threads = 2;  // large files examined at once
};

struct zud_set_report {
    std::string efuse_path;
    bool efuse_read = false;
    Digest efuse_root{};
    bool efuse_encrypted = false;
    // Where the set's keymax comes from, in words ("bl.bin", "--keymax
    // keymax.bin"); "" when no file carries one.
    std::string keymax_source;
    std::vector<zud_report> artefacts;  // in the order given, directories expanded
    // Files of a directory given that are not the tool's, or whose trailer
    // opens under no key of the set: not part of the set.
    std::vector<std::string> left_out;
    std::string error;  // why the set could not be checked at all
    // The first broken link in words ("" when there is none).
    std::string broken_link;

    bool verified() const { return error.empty() && broken_link.empty() && !artefacts.empty(); }
};

zud_set_report zud_audit_set(const zud_set_options& options);

// The verdict in words: "verified: ..." or the first broken link.
std::string zud_set_verdict_text(const zud_set_report& report);

// The set as text: the eFuse pattern, each file with its checks (ok / FAIL
// / SKIP and the offset), and the verdict.
void zud_print_set_report(const zud_set_report& report, std::FILE* out);

// The same content as one JSON document.
std::string zud_set_report_json(const zud_set_report& report);
