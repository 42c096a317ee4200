// Internal to the audit: the reader of a file (or of a part of one, or of
// two files read as one), the report being built, and the walks over each
// kind of file, one source file per family (audit_bootloader.cpp,
// audit_kernel.cpp, audit_files.cpp, audit_keys.cpp). audit.cpp recognises a file and hands
// it to its walk.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>
#include <optional>
#include <string>
#include <vector>

#include "audit.h"
#include "bytes.h"
#include "crypto.h"
#include "files.h"
#include "key_matrix.h"
#include "keyfile.h"
#include "keymax.h"
#include "rsa.h"
#include "signed_block.h"
#include "stage_block.h"

namespace audit_walk {

std::string hex(ConstBytes bytes);
std::string number(std::uint64_t v);
bool all_zero(ConstBytes b);

// ---------------------------------------------------------------------------
// Reading

// The bytes a walk reads, at offsets from their start: a file, a stretch of
// another Source (the bootloader inside an SD card image), or two files
// read one after the other (the USB pair).
class Source {
public:
    explicit Source(const char* path);
    // `size` bytes of `outer` from `base`.
    Source(const Source& outer, std::uint64_t base, std::uint64_t size);
    // `first` and then `second`, as one.
    Source(const Source& first, const Source& second);

    bool ok() const { return ok_; }
    const std::string& error() const { return error_; }
    std::uint64_t size() const { return size_; }
    bool read(std::uint64_t offset, MutBytes out) const;
    bool has(std::uint64_t offset, const char* magic) const;

private:
    struct Part {
        const Source* outer = nullptr;  // null: this Source's own file
        std::uint64_t base = 0;
        std::uint64_t size = 0;
    };
    bool read_file(std::uint64_t offset, MutBytes out) const;

    std::string error_;
    File file_;
    bool ok_ = false;
    std::uint64_t size_ = 0;
    std::vector<Part> parts_;  // empty: the file itself
};

// The SHA-256 of a Source's bytes before each place an upgrade trailer of
// 128, 256, 512 or 1024 bytes would start, taken on a thread of its own
// (for a large Source) while the walk reads the rest, so the trailer's
// digest costs no time of the walk's.
class TrailerDigests {
public:
    explicit TrailerDigests(const Source& s);
    ~TrailerDigests();
    TrailerDigests(const TrailerDigests&) = delete;
    TrailerDigests& operator=(const TrailerDigests&) = delete;

    // The digest of the bytes before `at`; nullopt when `at` is not one of
    // the places or the Source could not be read.
    std::optional<Digest> before(std::uint64_t at);

private:
    static constexpr std::uint64_t kBackgroundSize = 1 << 20;
    void run();

    const Source& source_;
    // Written by the thread, read once it has been joined.
    std::vector<std::pair<std::uint64_t, Digest>> points_;
    bool read_ok_ = true;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// A stretch of a Source read as plain bytes: as stored, or decrypted as one
// AES-256-CBC chain from a zero IV that starts at the stretch's start (so
// any piece decrypts with the ciphertext block before it as its IV).
class Region final : public StageBlockBytes {
public:
    Region(const Source& s, std::uint64_t base, std::uint64_t size, AesCbc* decrypt)
        : source_(&s), base_(base), size_(size), decrypt_(decrypt) {}
    std::uint64_t size() const override { return size_; }
    bool read(std::uint64_t at, MutBytes out) const override;

private:
    const Source* source_;
    std::uint64_t base_ = 0;
    std::uint64_t size_ = 0;
    AesCbc* decrypt_ = nullptr;
};

// ---------------------------------------------------------------------------
// The report

class Audit {
public:
    Audit(zud_report& r, const zud_audit_options& o) : report(r), options(o) {}

    void pass(std::string id, std::string what, std::optional<std::uint64_t> at,
              std::optional<zud_signer> signer = std::nullopt);
    bool fail(std::string id, std::string what, std::optional<std::uint64_t> at, std::string detail,
              std::optional<zud_signer> signer = std::nullopt);
    void not_checked(std::string id, std::string what, std::string why,
                     std::optional<std::uint64_t> at = std::nullopt);
    bool check(bool ok, std::string id, std::string what, std::optional<std::uint64_t> at,
               std::string why_not, std::optional<zud_signer> signer = std::nullopt);
    zud_section& section(std::string id, std::string title, std::optional<std::uint64_t> at);
    // Keeps the public half of a key one of the file's blocks carries.
    void note_key(const mbedtls_rsa_context& key);

    zud_report& report;
    const zud_audit_options& options;
};

// Held while a walk loads a private key and uses it: loading sets the
// process-wide private-key mode its operations read, so two walks on two
// threads must not do so at once.
std::mutex& private_key_mutex();

// A zud_public_key as a key context; false when it is no usable key.
bool import_public_key(const zud_public_key& key, RsaKey& out);

// The header fields of a signed block.
void add_block_fields(zud_section& s, const zud_signed_block_header& h);

// The signer of a stored RSA block, placed in `user` when it names the key.
zud_signer stored_block_signer(const zud_stored_block& b, const zud_key_matrix* user);
// A signer's place in words: "user key 2", "the built-in key", or "".
std::string place_words(const zud_signer& signer);

// Checks a root key digest against every anchor the options give (eFuse
// pattern, --expect-root, --root-digests or the build's table) and shows
// it in `section`. Nothing is checked with --any-root and no anchor.
void check_root_digest(Audit& in, const Digest& root, std::optional<std::uint64_t> at, zud_section& section,
                       const std::string& id_prefix);

// The keymax in `bytes` (2264, at offset `at`): both matrices as a device
// takes them, the signature by a key of the root matrix, the root key
// digest. Returns the decoded keymax when all of that holds.
std::optional<zud_keymax> audit_keymax(Audit& in, ConstBytes bytes, std::uint64_t at, const std::string& id_prefix);

// The keymax of --keymax or --user-key, checked as above into the report
// (section "keymax in force"); nullopt when none is given or it is refused.
std::optional<zud_keymax> keymax_in_force(Audit& in);

// The trailer of the first `size` bytes of `s`, opened with `key`: it must
// carry the SHA-256 of everything before it between zeros. `carried`, when
// known, is the digest of the key the file's own blocks are signed by, for
// the message when the trailer was made by another key.
void check_trailer(Audit& in, const Source& s, std::uint64_t size, mbedtls_rsa_context& key,
                   const std::optional<Digest>& carried, TrailerDigests* digests = nullptr);

// What follows a bootloader's or kernel image's last stage, which ends at
// `end`: nothing, or exactly one trailer, checked with --key or else the key
// the file's own blocks carry (`carried_key`, whose digest is `carried`).
// `give` says which options give a key when there is none.
void check_optional_trailer(Audit& in, const Source& s, std::uint64_t end, const mbedtls_rsa_context* carried_key,
                            const std::optional<Digest>& carried, const char* give,
                            TrailerDigests* digests = nullptr);

// The key a trailer is checked with: --key when given, else `fallback`.
bool trailer_key(Audit& in, const mbedtls_rsa_context* fallback, RsaKey& out);

// Feeds the logical payload of a verified stored block (its first `count`
// bytes, or all stage_size; the head first when it was relocated) to `sha`.
bool hash_stored_payload(const StageBlockBytes& bytes, const zud_stored_block& b,
                         std::optional<std::uint64_t> count, Sha256& sha);

// How much of a bootloader its walk reads: all of it, or only the BL2 area
// (the keymax and the BL2 block), as a lone .usb.bl2 holds.
enum class BootloaderExtent { kWhole, kBl2Area };

// The walks. `encrypted`: the bootloader's BL2 area is decrypted with the
// options' AES key.
void check_bootloader(Audit& in, const Source& s, bool encrypted, BootloaderExtent extent = BootloaderExtent::kWhole);
void check_kernel_image(Audit& in, const Source& s);
void check_sealed(Audit& in, ConstBytes block);
void check_user_key_file(Audit& in, const char* path, const Source& s);
void check_single_block(Audit& in, const Source& s);
void check_upgrade_file(Audit& in, const Source& s);

// The form of a key file of the tool's: 4680 bytes (full) or 1920 or 1696
// (short) whose first record has a word count of 1 to 136, or text whose
// first eight lines name N, E, D, P, Q, DP, DQ and QP; nullopt for any
// other file.
std::optional<KeyFileForm> key_file_form(const Source& s);
// The key file walk: records, the key as it loads, its consistency.
void check_key_file(Audit& in, const Source& s, KeyFileForm form);
// The file held in another (an SD card image's, from byte 512) recognised
// as audit.cpp recognises a whole file, boot media, zud_user_key files and
// upgrade files aside, and walked; false, with nothing added to the
// report, when it is no file of the tool's.
bool check_held_file(Audit& in, const Source& s);

// The boot media walks (audit_media.cpp): an SD card image, or a part of
// the USB pair, known by `path`'s name. False, with nothing added to the
// report, when `s` is neither.
bool check_boot_medium(Audit& in, const Source& s, const std::string& path);

}  // namespace audit_walk
