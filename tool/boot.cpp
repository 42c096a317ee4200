// --bootsig: signs a BL2 + FIP bootloader stage by stage, writes its eFuse
// pattern, encrypts it when an AES key is given, appends the upgrade
// signature and derives the boot media files.
#include "boot.h"

#include <getopt.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "builtin.h"
#include "clock.h"
#include "cli.h"
#include "crypto.h"
#include "files.h"
#include "keyfile.h"
#include "key_block.h"
#include "keymax.h"
#include "rng.h"
#include "signing_key.h"
#include "stage.h"
#include "upgrade.h"
#include "verify.h"

namespace {

enum Slot : std::size_t {
    kSlotInput,
    kSlotUserKeyFile,
    kSlotUserKey,
    kSlotKeymax,
    kSlotAesKey,
    kSlotOutput,
    kSlotEfuse,
    kSlotSkipSector,
    kSlotPkcs11Module,
    kSlotPassphraseFile,
    kSlotCount,
};

const option kBootOptions[] = {
    {"input", required_argument, nullptr, 0},      {"zuduserkey", required_argument, nullptr, 0},
    {"userkey", required_argument, nullptr, 0},    {"rootkeymax", required_argument, nullptr, 0},
    {"aeskey", required_argument, nullptr, 0},     {"output", required_argument, nullptr, 0},
    {"efuse", required_argument, nullptr, 0},      {"skipsector", required_argument, nullptr, 0},
    {"pkcs11-module", required_argument, nullptr, 0},
    {"passphrase-file", required_argument, nullptr, 0},
    {nullptr, 0, nullptr, 0},
};

constexpr std::size_t kEncryptPieceSize = 49152;
constexpr std::uint64_t kMax32 = 0xFFFFFFFF;

// BL2 block: the keymax's block layout (fixed 512-byte signature slot and
// key area) in signing mode, a 3504-byte zero key area in digest mode, so
// that it ends exactly at the end of the BL2 area.
constexpr std::size_t kSigningBl2Size = kFixedPayloadOffset + kBl2PayloadSize;
constexpr std::size_t kDigestBl2Size = kFixedKeyOffset + kBl2DigestKeyAreaSize + kBl2PayloadSize;
static_assert(kKeymaxSize + kSigningBl2Size == kBl2AreaSize);
static_assert(kBl2SigningBlockOffset == kKeymaxSize);
static_assert(kIvPrefixSize + kDigestBl2Size == kBl2AreaSize);
static_assert(kBl2DigestBlockOffset + kFixedKeyOffset + kBl2DigestKeyAreaSize == kBl2PayloadFileOffset);
static_assert(kBl2SigningBlockOffset + kFixedPayloadOffset == kBl2PayloadFileOffset);
constexpr unsigned kMaxSkippedSectors = 4;

// What the command line asks for, settled before any file is opened.
struct BootPlan {
    explicit BootPlan(const char* const* s) : slots(s) {}
    ~BootPlan() { wipe(iv_prefix.data(), iv_prefix.size()); }
    BootPlan(const BootPlan&) = delete;
    BootPlan& operator=(const BootPlan&) = delete;

    const char* const* slots;
    bool signing = false;
    bool encrypt = false;
    unsigned sectors = 0;
    std::array<std::uint8_t, kIvPrefixSize> iv_prefix{};
    // A reproducible encrypted run derives its IV prefix once the AES key
    // is known (see derive_iv_prefix).
    bool derive_iv_prefix = false;
    std::string output;
    std::string efuse;  // signing mode only
    // Signing mode: the key, opened once before anything is written (a
    // token asks for its PIN once); a key that does not open is reported by
    // the BL2 step with its result.
    std::unique_ptr<SigningKey> signer;
    std::string signer_failure;
};

// One run of the worker. The guards come first so that the files close
// before a failed output is removed.
struct BootRun {
    explicit BootRun(const BootPlan& p) : plan(p), iv_prefix(p.iv_prefix) {}
    ~BootRun() {
        wipe(aes.data(), aes.size());
        wipe(iv_prefix.data(), iv_prefix.size());
    }
    BootRun(const BootRun&) = delete;
    BootRun& operator=(const BootRun&) = delete;

    const BootPlan& plan;
    File input;
    File key_material;
    // The output and the eFuse file are written under temporary names and
    // put in place together at the end; until then a failure leaves any
    // earlier files of those names as they were.
    OutputFile out;
    OutputFile efuse;
    Buffer work{kBl2PayloadSize};
    std::array<std::uint8_t, kAesKeySize> aes{};
    SigningKey* key = nullptr;  // the plan's signer, once the BL2 step took it
    // The IV prefix the output starts with.
    std::array<std::uint8_t, kIvPrefixSize> iv_prefix{};
    // The result of a failure that the current step has no number of its
    // own for; it follows the worker's progress.
    int failure = kBootOpenFailed;
    bool efuse_written = false;
};

// ---------------------------------------------------------------------------
// Plan: mode, sector count, IV prefix, names

// A hexadecimal sector count ("0x" allowed); anything above 4 acts as 4.
unsigned sector_count(const char* text) {
    if (text == nullptr) return 0;
    const unsigned long n = std::strtoul(text, nullptr, 16);
    return n > kMaxSkippedSectors ? kMaxSkippedSectors : static_cast<unsigned>(n);
}

// The IV prefix's SHA-256 is the key of every encrypted FIP stage, so in an
// encrypted output it comes from the OS generator; the rand() draws are made
// all the same, so every later random value keeps its place.
// A reproducible run (SOURCE_DATE_EPOCH) must not make the stage key
// predictable either: its IV prefix is derived later from the AES key and
// the input, which keeps it as secret as the AES key and repeatable.
bool draw_iv_prefix(BootPlan& plan) {
    if (plan.encrypt && zud_reproducible()) {
        fill_random(plan.iv_prefix);  // the draws keep their place
        plan.derive_iv_prefix = true;
        return true;
    }
    if (plan.encrypt) return fill_secret(plan.iv_prefix);
    fill_random(plan.iv_prefix);
    return true;
}

// The first 16 bytes of HMAC-SHA256 under the AES key over a label and the
// SHA-256 of the input.
int derive_iv_prefix(const char* input, ConstBytes aes_key, std::span<std::uint8_t, kIvPrefixSize> out) {
    File f = open_file(input, "rb");
    Buffer chunk(1 << 20);
    if (!f || !chunk.ok()) return kBootIoFailed;
    Sha256 sha;
    for (;;) {
        const std::size_t n = read_some(f.get(), chunk.bytes());
        sha.update(chunk.bytes().first(n));
        if (n < chunk.size()) break;
    }
    if (std::ferror(f.get()) != 0) return kBootIoFailed;
    static const char kLabel[] = "zud bootloader IV prefix";
    std::vector<std::uint8_t> message(kLabel, kLabel + sizeof kLabel - 1);
    const Digest input_digest = sha.finish();
    message.insert(message.end(), input_digest.begin(), input_digest.end());
    Digest mac = hmac_sha256(aes_key, message);
    std::copy_n(mac.begin(), out.size(), out.begin());
    wipe(mac.data(), mac.size());
    return 0;
}

bool refuse_long_name(const char* base) {
    std::fprintf(stderr,
                 "zud_encrypt_tqrr: %s is too long: the names derived from it must fit %zu "
                 "characters\n",
                 base, kMaxPathLength);
    return false;
}

// The output, its boot media names and, in signing mode, the eFuse file must
// all fit 255 characters.
bool name_outputs(BootPlan& plan) {
    const char* input = plan.slots[kSlotInput];
    const char* given = plan.slots[kSlotOutput];
    const auto output = given != nullptr ? derive_name(given, "")
                                         : derive_name(input, plan.signing ? ".encrypt" : ".pkg");
    if (!output) return refuse_long_name(given != nullptr ? given : input);
    for (const char* suffix : {".usb.bl2", ".usb.tpl", ".sd.bin"}) {
        if (!derive_name(*output, suffix)) return refuse_long_name(output->c_str());
    }
    plan.output = *output;
    if (!plan.signing) return true;
    const char* efuse_given = plan.slots[kSlotEfuse];
    const auto efuse = efuse_given != nullptr ? derive_name(efuse_given, "")
                                              : derive_name(plan.output, ".efuse");
    if (!efuse) {
        return refuse_long_name(efuse_given != nullptr ? efuse_given : plan.output.c_str());
    }
    plan.efuse = *efuse;
    return true;
}

// True (and says so) when `name`, which is about to be created, is one of
// the files the command reads.
bool names_an_input(const char* const* slots, const std::string& name) {
    for (std::size_t i = kSlotInput; i <= kSlotAesKey; ++i) {
        if (same_file(name.c_str(), slots[i])) {
            std::fprintf(stderr, "zud_encrypt_tqrr: %s would overwrite the --%s file %s\n",
                         name.c_str(), kBootOptions[i].name, slots[i]);
            return true;
        }
    }
    return false;
}

int plan_boot(BootPlan& plan) {
    const char* const* s = plan.slots;
    plan.signing = s[kSlotUserKeyFile] != nullptr ||
                   (s[kSlotUserKey] != nullptr && s[kSlotKeymax] != nullptr &&
                    s[kSlotAesKey] != nullptr);
    plan.encrypt = s[kSlotAesKey] != nullptr;
    plan.sectors = sector_count(s[kSlotSkipSector]);
    if (!draw_iv_prefix(plan)) {
        std::fprintf(stderr, "zud_encrypt_tqrr: the system's random generator failed\n");
        return kBootNoRandom;
    }
    if (!name_outputs(plan)) return kBootPathTooLong;
    if (names_an_input(s, plan.output)) return kBootSameFile;
    if (plan.signing && names_an_input(s, plan.efuse)) return kBootSameFile;
    if (plan.signing && same_place(plan.efuse, plan.output)) {
        std::fprintf(stderr, "zud_encrypt_tqrr: the eFuse file %s is the output\n", plan.efuse.c_str());
        return kBootSameFile;
    }
    if (!plan.signing && (s[kSlotUserKey] != nullptr || s[kSlotKeymax] != nullptr)) {
        std::fprintf(stderr,
                     "zud_encrypt_tqrr: --userkey and --rootkeymax sign only together with "
                     "--aeskey; without all three this run makes an unsigned, digest-only "
                     "bootloader\n");
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Key material checks
//
// In signing mode the boot ROM accepts the bootloader only when the keymax's
// key matrices are sound, the keymax is signed by a key of its own root key
// matrix, and the key that signs the stages is one of its user keys. These
// are checked before anything is written. Key material of the wrong size or
// a key that does not load is left to the signing steps, which report it
// with their own results.

// The keymax the key material names, or nullopt when it is not there in the
// expected size.
std::optional<std::array<std::uint8_t, kKeymaxSize>> keymax_of(const char* const* s) {
    const bool bound = s[kSlotUserKeyFile] != nullptr;
    const char* path = bound ? s[kSlotUserKeyFile] : s[kSlotKeymax];
    File f = open_file(path, "rb");
    const auto size = stream_size(f.get());
    if (!size || *size != (bound ? kUserKeyFileSize : kKeymaxSize)) return std::nullopt;
    std::array<std::uint8_t, kKeymaxSize> keymax{};
    if (!seek_to(f.get(), bound ? kUserKeyKeymaxOffset : 0) || !read_exact(f.get(), keymax)) {
        return std::nullopt;
    }
    return keymax;
}

int check_keymax(ConstBytes keymax, const char* from) {
    const auto decoded = decode_keymax(keymax);
    if (!decoded || check_key_matrix(decoded->root) != nullptr ||
        check_key_matrix(decoded->user) != nullptr) {
        std::fprintf(stderr,
                     "zud_encrypt_tqrr: a key matrix of the keymax in %s is not valid (four "
                     "digest-form entries expected); sign the keymax again with --keysig\n",
                     from);
        return kBootKeymaxInvalid;
    }
    std::array<std::uint8_t, kKeyMatrixSize> root{};
    encode_key_matrix(decoded->root, root);
    std::uint32_t offset = 0;
    if (zud_sig_check_buffer_fix(decoded->block, root, &offset) != 0) {
        const char* why = zud_verify_failure_reason();
        std::fprintf(stderr,
                     "zud_encrypt_tqrr: the keymax in %s is not signed by a key of its root key "
                     "matrix (%s); sign it again with --keysig\n",
                     from, why != nullptr ? why : "the check fails");
        return kBootKeymaxSignature;
    }
    return 0;
}

// The signing key's digest must be an entry of the user key matrix.
int check_user_key(ConstBytes keymax, const SigningKey* key, const char* key_path) {
    if (key == nullptr) return 0;
    Buffer scratch(kKeyDataAreaMin);
    std::array<std::uint8_t, kKeyHeaderSize> header{};
    zud_init_key_header(header, static_cast<std::uint8_t>(kKeyHeaderSize));
    if (!scratch.ok() || zud_create_key_from_ctx(1, key->public_key(), scratch.bytes(), header, 0) != 0) return 0;
    const auto user_key = decode_key_header(header);
    const auto decoded = decode_keymax(keymax);
    if (!user_key || user_key->key_type == 0 || !decoded) return 0;
    if (key_matrix_names(decoded->user, user_key->key_digest)) return 0;
    std::fprintf(stderr,
                 "zud_encrypt_tqrr: the key in %s is none of the keymax's user keys, so no device "
                 "would boot what it signs; give the user key the keymax names (--ukeyN of "
                 "--keysig)\n",
                 key_path);
    return kBootUserKeyNotInKeymax;
}

int check_key_material(BootPlan& plan) {
    if (!plan.signing) return 0;
    const char* const* s = plan.slots;
    const char* key = s[kSlotUserKeyFile] != nullptr ? s[kSlotUserKeyFile] : s[kSlotUserKey];
    plan.signer = open_signing_key(
        key, command_key_source(s[kSlotPkcs11Module], s[kSlotPassphraseFile]), plan.signer_failure);
    const auto keymax = keymax_of(s);
    if (!keymax) return 0;
    const char* from = s[kSlotUserKeyFile] != nullptr ? s[kSlotUserKeyFile] : s[kSlotKeymax];
    if (const int r = check_keymax(*keymax, from); r != 0) return r;
    return check_user_key(*keymax, plan.signer.get(), key);
}

// ---------------------------------------------------------------------------
// Files and key material

// Reads up to `out.size()` bytes at `offset`, zero-filling what the file
// does not have; false on a seek or read error.
bool read_at(std::FILE* f, std::uint64_t offset, MutBytes out) {
    std::fill(out.begin(), out.end(), 0);
    if (!seek_to(f, offset)) return false;
    read_some(f, out);
    return std::ferror(f) == 0;
}

int open_streams(BootRun& run) {
    run.input = open_file(run.plan.slots[kSlotInput], "rb");
    if (!run.input) return kBootOpenFailed;
    run.out = OutputFile(run.plan.output, Exposure::kPublic);
    if (!run.out.ok()) {
        std::fprintf(stderr, "zud_encrypt_tqrr: %s\n", run.out.error().c_str());
        return kBootOpenFailed;
    }
    if (!run.work.ok()) return kBootOpenFailed;
    return 0;
}

// Opens a key file that must have exactly `size` bytes.
int open_sized(const char* path, std::uint64_t size, int wrong_size, File& file) {
    file = open_file(path, "rb");
    const auto actual = stream_size(file.get());
    if (!file || !actual) {
        std::fprintf(stderr, "zud_encrypt_tqrr: cannot read %s\n", path);
        return kBootIoFailed;
    }
    return *actual == size ? 0 : wrong_size;
}

int read_aes_key(const char* path, MutBytes aes) {
    File f;
    if (const int r = open_sized(path, kAesKeySize, kBootAesKeySize, f); r != 0) return r;
    return read_exact(f.get(), aes) ? 0 : kBootIoFailed;
}

// With a zud_user_key file, --aeskey only switches encryption on; the bound
// key encrypts. Says so when the named file would have given another key.
void note_unused_aes_key(const char* aes_path, const char* user_key_path, ConstBytes bound) {
    std::array<std::uint8_t, kAesKeySize> given{};
    File f = open_file(aes_path, "rb");
    const auto size = stream_size(f.get());
    const bool same = size && *size == kAesKeySize && read_exact(f.get(), given) &&
                      std::equal(given.begin(), given.end(), bound.begin());
    wipe(given.data(), given.size());
    if (same) return;
    std::fprintf(stderr,
                 "zud_encrypt_tqrr: the output is encrypted with the AES key bound in %s; the "
                 "--aeskey file %s %s and is not used\n",
                 user_key_path, aes_path, f ? "holds another key" : "cannot be read");
}

// The zud_user_key file: key file, keymax at 4680, AES key at 6944. It is
// left positioned at the keymax.
int read_user_key_file(BootRun& run) {
    File& f = run.key_material;
    const char* path = run.plan.slots[kSlotUserKeyFile];
    if (const int r = open_sized(path, kUserKeyFileSize, kBootUserKeySize, f); r != 0) return r;
    if (!seek_to(f.get(), kUserKeyAesOffset) || !read_exact(f.get(), run.aes) ||
        !seek_to(f.get(), kUserKeyKeymaxOffset)) {
        return kBootIoFailed;
    }
    if (run.plan.encrypt) note_unused_aes_key(run.plan.slots[kSlotAesKey], path, run.aes);
    return 0;
}

int read_key_material(BootRun& run) {
    const char* const* s = run.plan.slots;
    if (s[kSlotUserKeyFile] != nullptr) return read_user_key_file(run);
    // Without a zud_user_key file the "aeskey" file is the AES key, in
    // digest mode too.
    if (run.plan.encrypt) {
        if (const int r = read_aes_key(s[kSlotAesKey], run.aes); r != 0) return r;
    }
    if (!run.plan.signing) return 0;
    return open_sized(s[kSlotKeymax], kKeymaxSize, kBootKeymaxSize, run.key_material);
}

// ---------------------------------------------------------------------------
// eFuse pattern

// Fills `pattern` from the keymax; false when its root key matrix is not
// valid.
bool build_efuse_pattern(ConstBytes keymax, const BootRun& run,
                         std::span<std::uint8_t, kEfusePatternSize> pattern) {
    const auto decoded = decode_keymax(keymax);
    if (!decoded || check_key_matrix(decoded->root) != nullptr) return false;
    zud_efuse_pattern p;
    p.encrypted = run.plan.encrypt;
    p.root_digest = key_matrix_root_digest(decoded->root);
    if (p.encrypted) p.aes_key = run.aes;
    encode_efuse_pattern(p, pattern);
    wipe(p.aes_key.data(), p.aes_key.size());
    return true;
}

// The plain pattern goes only to a temporary file readable by its owner,
// which the built-in signer seals before it takes the eFuse file's name. A
// keymax whose root matrix is not valid gives no pattern (its checks come
// first, so this does not happen in a run that got this far).
int write_efuse_pattern(BootRun& run, ConstBytes keymax) {
    run.efuse = OutputFile(run.plan.efuse, run.plan.encrypt ? Exposure::kSecret : Exposure::kPublic);
    if (!run.efuse.ok()) {
        // A signed bootloader without its eFuse pattern cannot be fused.
        std::fprintf(stderr, "zud_encrypt_tqrr: %s; give --efuse a name that can be written\n",
                     run.efuse.error().c_str());
        return kBootIoFailed;
    }
    run.failure = kBootFailedWithEfuse;
    std::array<std::uint8_t, kEfusePatternSize> pattern{};
    const bool built = build_efuse_pattern(keymax, run, pattern);
    const bool written = !built || write_all(run.efuse.stream(), pattern);
    wipe(pattern.data(), pattern.size());
    if (!written || !run.efuse.close_stream()) return kBootIoFailed;
    if (!built) {
        std::fprintf(stderr, "zud_encrypt_tqrr: the keymax's root key matrix is not valid; "
                             "no eFuse pattern\n");
        run.efuse.discard();
    }
    run.efuse_written = built;
    return 0;
}

// Signing mode: the keymax with the IV prefix over its 16 leading bytes,
// then the eFuse pattern. Digest mode: the IV prefix alone.
int write_bl2_prefix(BootRun& run) {
    if (!run.plan.signing) return write_all(run.out.stream(), run.iv_prefix) ? 0 : kBootIoFailed;
    const MutBytes keymax = run.work.bytes().first(kKeymaxSize);
    std::fill(keymax.begin(), keymax.end(), 0);
    if (!read_exact(run.key_material.get(), keymax)) return kBootIoFailed;
    run.key_material.reset();
    std::copy(run.iv_prefix.begin(), run.iv_prefix.end(), keymax.begin());
    if (!write_all(run.out.stream(), keymax)) return kBootIoFailed;
    return write_efuse_pattern(run, keymax);
}

// ---------------------------------------------------------------------------
// BL2 block

// An input that is itself an output of this command has a signed block
// header at 16 whose sizes agree; its BL2 payload is then at 4096.
bool is_signed_bootloader(ConstBytes area) {
    const auto h = decode_signed_block_header(area.subspan(kBl2DigestBlockOffset, kSignedBlockHeaderSize));
    return h && std::uint64_t{h->total_size} ==
                    std::uint64_t{h->signed_data_offset} + h->signed_data_size;
}

int read_bl2_payload(BootRun& run) {
    const MutBytes payload = run.work.bytes();
    if (!read_at(run.input.get(), 0, payload)) return kBootIoFailed;
    if (is_signed_bootloader(payload) &&
        !read_at(run.input.get(), kBl2PayloadFileOffset, payload)) {
        return kBootIoFailed;
    }
    return 0;
}

// Loads the signing key. Its signature must fit the BL2 block's 512-byte
// slot and the stage blocks need a key size code, so 1024-, 2048- and
// 4096-bit keys are taken.
int load_signing_key(BootRun& run) {
    const char* const* s = run.plan.slots;
    const char* path = s[kSlotUserKeyFile] != nullptr ? s[kSlotUserKeyFile] : s[kSlotUserKey];
    run.key = run.plan.signer.get();
    if (run.key == nullptr) {
        std::fprintf(stderr, "zud_encrypt_tqrr: %s\n", run.plan.signer_failure.c_str());
        return run.failure;
    }
    const std::size_t len = run.key->length();
    if (len != 128 && len != 256 && len != 512) {
        std::fprintf(stderr,
                     "zud_encrypt_tqrr: the key in %s has %zu bits; 1024, 2048 or 4096 are "
                     "supported\n",
                     path, len * 8);
        return run.failure;
    }
    return 0;
}

// The signing key's public half at 576: key header and key data, laid out
// from the key file when it is a full binary key file, else from the loaded
// key, so that the boot ROM finds the key the BL2 signature is checked with
// whatever form the key came in. Returns the key_type, or nullopt when the
// key data would not fit its 1208-byte area.
std::optional<std::uint8_t> place_key_block(const char* path, const mbedtls_rsa_context& loaded,
                                            MutBytes block) {
    Buffer key_data(kKeyDataAreaMin);
    if (!key_data.ok()) return std::nullopt;
    const auto header = block.subspan(kFixedKeyOffset).first<kKeyHeaderSize>();
    zud_init_key_header(header, static_cast<std::uint8_t>(kKeyHeaderSize));
    const std::uint32_t length = zud_create_key_from_source(
        0, path, &loaded, key_data.bytes(), header, static_cast<std::uint32_t>(kFixedKeyDataOffset));
    if (length > kFixedKeyDataAreaSize) return std::nullopt;
    std::copy_n(key_data.data(), length, block.data() + kFixedKeyDataOffset);
    return decode_key_header(header)->key_type;
}

zud_signed_block_header bl2_header(const BootPlan& plan, std::uint8_t key_type,
                                   std::size_t modulus_length) {
    // In digest mode the signed range may leave out the first sectors of the
    // output: they hold only the IV prefix, the header's tail and zeros.
    constexpr std::size_t kSectorSize = 512;
    const std::size_t digest_length =
        plan.sectors == 0 ? kDigestSlotSize
                          : kSectorSize * plan.sectors - kBl2DigestBlockOffset - kSignedBlockHeaderSize;
    zud_signed_block_header h;
    h.sig_type = plan.signing ? 1 : 0;
    h.sig_size = kFixedSignatureSlotSize;
    h.signed_data_offset = static_cast<std::uint32_t>(
        kSignedBlockHeaderSize + (plan.signing ? modulus_length : digest_length));
    h.key_type = key_type;
    h.key_offset = kFixedKeyOffset;
    h.key_size = plan.signing ? kFixedKeyAreaSize : kBl2DigestKeyAreaSize;
    h.payload_offset = h.key_offset + h.key_size;
    h.payload_size = kBl2PayloadSize;
    h.total_size = h.payload_offset + h.payload_size;
    h.signed_data_size = h.total_size - h.signed_data_offset;
    return h;
}

// Digest over the 64 header bytes and the block from signed_data_offset on;
// the signature (or the digest itself) goes to the start of the slot.
int seal_bl2_block(BootRun& run, MutBytes block, std::uint32_t signed_data_offset) {
    Sha256 sha;
    sha.update(block.first(kSignedBlockHeaderSize));
    sha.update(block.subspan(signed_data_offset));
    const Digest digest = sha.finish();
    std::uint8_t* slot = block.data() + kSignedBlockHeaderSize;
    if (!run.plan.signing) {
        std::copy(digest.begin(), digest.end(), slot);
        return 0;
    }
    if (run.key->sign_sha256(digest, MutBytes(slot, kFixedSignatureSlotSize)) != 0) {
        std::fprintf(stderr, "zud_encrypt_tqrr: the BL2 signature could not be made: %s\n",
                     run.key->failure().c_str());
        return kBootBl2SignFailed;
    }
    return 0;
}

int write_bl2_block(BootRun& run) {
    const bool signing = run.plan.signing;
    if (signing) {
        if (const int r = load_signing_key(run); r != 0) return r;
    }
    Buffer block(signing ? kSigningBl2Size : kDigestBl2Size);
    if (!block.ok()) return run.failure;
    std::uint8_t key_type = 0;
    if (signing) {
        const char* const* s = run.plan.slots;
        const auto placed = place_key_block(
            key_file_of(s[kSlotUserKeyFile] != nullptr ? s[kSlotUserKeyFile] : s[kSlotUserKey]),
            *run.key->public_key(), block.bytes());
        if (!placed) return run.failure;
        key_type = *placed;
    }
    const zud_signed_block_header h = bl2_header(run.plan, key_type, signing ? run.key->length() : 0);
    encode_signed_block_header(h, block.bytes().first<kSignedBlockHeaderSize>());
    std::copy_n(run.work.data(), kBl2PayloadSize, block.data() + h.payload_offset);
    if (const int r = seal_bl2_block(run, block.bytes(), h.signed_data_offset); r != 0) return r;
    return write_all(run.out.stream(), block.bytes()) ? 0 : kBootIoFailed;
}

// ---------------------------------------------------------------------------
// FIP table of contents

// Reads the table and checks it against the `fip_size` bytes that follow
// its start: it must end inside its region, and every entry's offset and
// size must fit 32 bits and lie inside the file. nullopt (said on standard
// error) otherwise.
std::optional<zud_fip_toc> read_toc(ConstBytes region, std::uint64_t fip_size) {
    const char* reason = nullptr;
    auto toc = decode_fip_toc(region, &reason);
    std::size_t bad = 0;
    if (toc && (reason = check_toc_entries(*toc, fip_size, bad)) != nullptr) {
        const zud_toc_entry& e = toc->entries[bad];
        std::fprintf(stderr, "zud_encrypt_tqrr: FIP entry %zu (offset %llu, size %llu) does "
                             "not lie inside the file\n",
                     bad, static_cast<unsigned long long>(e.offset),
                     static_cast<unsigned long long>(e.size));
        return std::nullopt;
    }
    if (!toc && std::strcmp(reason, "the table of contents has no terminating entry") == 0) {
        std::fprintf(stderr, "zud_encrypt_tqrr: the FIP table has no terminating entry\n");
    }
    return toc;
}

// The bytes from the table's start to the end of the stream.
std::uint64_t fip_size_of(std::FILE* f) {
    const auto size = stream_size(f);
    return size && *size > kFipOffset ? *size - kFipOffset : 0;
}

// Signs `entry` into a block at the output's end and points it at the
// block: offset `next`, size the block's total_size (its stored length
// rounded up to 16).
int sign_stage(BootRun& run, zud_toc_entry& entry, std::size_t index, std::uint64_t& next) {
    SigningKey* key = run.plan.signing ? run.key : nullptr;
    std::int32_t written = 0;
    if (zud_sig_boot_file_buffer_key(run.input.get(), static_cast<std::uint32_t>(entry.offset + kFipOffset),
                                     static_cast<std::uint32_t>(entry.size), &written, key,
                                     run.out.stream(), kStageAlignment) != 0 ||
        written <= 0) {
        std::fprintf(stderr, "zud_encrypt_tqrr: FIP entry %zu could not be signed\n", index);
        return kBootStageFailed;
    }
    const auto stored = static_cast<std::uint64_t>(written);
    entry.offset = next;
    entry.size = round_up_16(stored);
    next += round_up(stored, kStageAlignment);
    if (next > kMax32) {
        std::fprintf(stderr, "zud_encrypt_tqrr: the signed FIP would exceed 4 GiB\n");
        return kBootStageFailed;
    }
    return 0;
}

int sign_fip_stages(BootRun& run) {
    const MutBytes region = run.work.bytes().first(kTocRegionSize);
    if (!read_at(run.input.get(), kFipOffset, region)) return kBootIoFailed;
    auto toc = read_toc(region, fip_size_of(run.input.get()));
    if (!toc) {
        std::printf("zud log : illegal fip file format!\n");
        return run.failure;
    }
    // The table goes first as a placeholder; the stage blocks follow it.
    if (!write_all(run.out.stream(), region)) return kBootIoFailed;
    std::uint64_t next = kTocRegionSize;
    for (std::size_t i = 0; i < toc->entries.size(); ++i) {
        if (const int r = sign_stage(run, toc->entries[i], i, next); r != 0) return r;
    }
    toc->end.offset = next;
    encode_fip_toc(*toc, region);
    if (!seek_to(run.out.stream(), kFipOffset) || !write_all(run.out.stream(), region) ||
        !seek_end(run.out.stream())) {
        return kBootIoFailed;
    }
    return 0;
}

int write_signed_bootloader(BootRun& run) {
    if (const int r = open_streams(run); r != 0) return r;
    if (const int r = read_key_material(run); r != 0) return r;
    if (run.plan.derive_iv_prefix) {
        if (const int r = derive_iv_prefix(run.plan.slots[kSlotInput], run.aes, run.iv_prefix); r != 0) {
            return r;
        }
    }
    run.failure = kBootFailedNoEfuse;
    if (const int r = write_bl2_prefix(run); r != 0) return r;
    if (const int r = read_bl2_payload(run); r != 0) return r;
    if (const int r = write_bl2_block(run); r != 0) return r;
    if (const int r = sign_fip_stages(run); r != 0) return r;
    run.input.reset();
    return run.out.close_stream() ? 0 : kBootIoFailed;
}

// ---------------------------------------------------------------------------
// Encryption

using Iv = std::array<std::uint8_t, kAesBlockSize>;

// Encrypts the BL2 area under the AES key and derives the stage key from
// the IV prefix it starts with.
int encrypt_bl2_area(std::FILE* out, ConstBytes aes_key, MutBytes piece, Digest& stage_key) {
    const MutBytes area = piece.first(kBl2AreaSize);
    if (!seek_to(out, 0) || !read_exact(out, area)) return kBootEncryptFailed;
    stage_key = sha256(area.first(kIvPrefixSize));
    AesCbc aes;
    Iv iv{};
    if (aes.set_encrypt_key(aes_key) != 0) return kBootEncryptFailed;
    if (const int r = aes.encrypt(area, iv); r != 0) return r;
    return seek_to(out, 0) && write_all(out, area) ? 0 : kBootEncryptFailed;
}

// Reads the table back (kept plain in `toc` for the stage pass), checks it
// against the output and writes its encrypted copy in its place.
int encrypt_table(std::FILE* out, AesCbc& aes, zud_fip_toc& toc, MutBytes piece) {
    const MutBytes region = piece.first(kTocRegionSize);
    if (!seek_to(out, kFipOffset) || !read_exact(out, region)) return kBootEncryptFailed;
    auto read = read_toc(region, fip_size_of(out));
    if (!read) {
        std::printf("zud log : illegal fip file format!\n");
        return kBootEncryptBadToc;
    }
    toc = std::move(*read);
    Iv iv{};
    if (const int r = aes.encrypt(region, iv); r != 0) return r;
    return seek_to(out, kFipOffset) && write_all(out, region) ? 0 : kBootEncryptFailed;
}

// One CBC chain over the stage's `size` bytes, in pieces of up to 48 KiB.
int encrypt_stage(std::FILE* out, AesCbc& aes, std::uint64_t start, std::uint64_t size,
                  MutBytes piece) {
    Iv iv{};
    for (std::uint64_t done = 0; done < size;) {
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(size - done, piece.size()));
        const MutBytes chunk = piece.first(n);
        if (!seek_to(out, start + done) || !read_exact(out, chunk)) return kBootEncryptFailed;
        if (const int r = aes.encrypt(chunk, iv); r != 0) return r;
        if (!seek_to(out, start + done) || !write_all(out, chunk)) return kBootEncryptFailed;
        done += n;
    }
    return 0;
}

// Random bytes over the padding between a stage and the next entry.
int write_gap(std::FILE* out, std::uint64_t start, std::uint64_t gap, MutBytes piece) {
    if (!seek_to(out, start)) return kBootEncryptFailed;
    while (gap > 0) {
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(gap, piece.size()));
        fill_random(piece.first(n));
        if (!write_all(out, piece.first(n))) return kBootEncryptFailed;
        gap -= n;
    }
    return 0;
}

// Entry `index` of the plain table: its stage under the stage key, then the
// gap up to the next entry (the terminating one for the last stage).
int encrypt_entry(std::FILE* out, AesCbc& aes, const zud_fip_toc& toc, std::size_t index, MutBytes piece) {
    const zud_toc_entry& entry = toc.entries[index];
    const std::uint64_t next = index + 1 < toc.entries.size() ? toc.entries[index + 1].offset : toc.end.offset;
    const std::uint64_t end = entry.offset + entry.size;
    if (next < end || next > fip_size_of(out)) {
        std::printf("zud log : illegal fip file format!\n");
        return kBootEncryptBadToc;
    }
    if (const int r = encrypt_stage(out, aes, kFipOffset + entry.offset, entry.size, piece); r != 0) {
        std::fprintf(stderr, "zud_encrypt_tqrr: FIP entry %zu could not be encrypted\n", index);
        return r;
    }
    return write_gap(out, kFipOffset + end, next - end, piece);
}

int encrypt_output(const std::string& output, ConstBytes aes_key) {
    Buffer piece(kEncryptPieceSize);
    File out = open_file(output.c_str(), "rb+");
    if (!out || !piece.ok()) {
        std::fprintf(stderr, "zud_encrypt_tqrr: cannot reopen %s to encrypt it\n", output.c_str());
        return kBootEncryptFailed;
    }
    Digest stage_key{};
    int r = encrypt_bl2_area(out.get(), aes_key, piece.bytes(), stage_key);
    AesCbc aes;
    if (r == 0 && aes.set_encrypt_key(stage_key) != 0) r = kBootEncryptFailed;
    wipe(stage_key.data(), stage_key.size());
    zud_fip_toc toc;
    if (r == 0) r = encrypt_table(out.get(), aes, toc, piece.bytes());
    for (std::size_t i = 0; r == 0 && i < toc.entries.size(); ++i) {
        r = encrypt_entry(out.get(), aes, toc, i, piece.bytes());
    }
    if (r != 0) return r;
    return std::fclose(out.release()) == 0 ? 0 : kBootEncryptFailed;
}

// ---------------------------------------------------------------------------
// Finishing steps

int seal_efuse_pattern(const BootRun& run) {
    if (!run.efuse_written) return 0;
    const int status = zud_tq_internal_sig(run.efuse.temp_path().c_str());
    if (status != 0) {
        std::fprintf(stderr, "zud_encrypt_tqrr: the eFuse pattern could not be signed (%d)\n",
                     status);
        return kBootEfuseSignFailed;
    }
    return 0;
}

// Only a key that came in a zud_user_key file signs the upgrade block.
int append_upgrade_signature(const BootRun& run) {
    const char* key_file = run.plan.slots[kSlotUserKeyFile];
    if (key_file == nullptr) return 0;
    const char* slots[] = {run.out.temp_path().c_str(), key_file, nullptr};
    const int status = zud_sig_upgrade_file(slots);
    if (status != 0) {
        std::fprintf(stderr, "zud_encrypt_tqrr: the upgrade signature failed (%d)\n", status);
        return kBootUpgradeFailed;
    }
    return 0;
}

// Puts the finished output, then its eFuse file, in place. When the second
// cannot follow, the first is taken back: they belong together.
int commit_outputs(BootRun& run) {
    if (!run.out.commit()) {
        std::fprintf(stderr, "zud_encrypt_tqrr: %s\n", run.out.error().c_str());
        return kBootIoFailed;
    }
    if (run.efuse_written && !run.efuse.commit()) {
        std::fprintf(stderr, "zud_encrypt_tqrr: %s\n", run.efuse.error().c_str());
        (void)std::remove(run.plan.output.c_str());
        return kBootIoFailed;
    }
    return 0;
}

}  // namespace

int zud_sig_boot(int argc, char** argv) {
    if (argc <= 3) return kBootTooFewWords;
    std::array<const char*, kSlotCount> slots{};
    parse_option_slots(argc, argv, kBootOptions, slots);
    if (slots[kSlotUserKeyFile] != nullptr && argc <= 5) return kBootBadOption;
    for (std::size_t i = kSlotInput; i <= kSlotKeymax; ++i) {
        const bool token = i == kSlotUserKey && is_pkcs11_uri(slots[i]);
        if (slots[i] != nullptr && !token && !path_exists(slots[i])) {
            std::printf("zud log: error! Illegal [%s] %s\n", kBootOptions[i].name, slots[i]);
            return kBootBadOption;
        }
    }
    if (slots[kSlotInput] == nullptr) {
        std::printf("zud log: error! Please set input first!\n");
        return kBootBadOption;
    }
    return zud_sig_boot_file(slots.data());
}

int zud_sig_boot_file(const char* const* slots) {
    if (slots == nullptr || slots[kSlotInput] == nullptr) return kBootNoInput;
    BootPlan plan(slots);
    if (const int refused = plan_boot(plan); refused != 0) return refused;
    if (const int refused = check_key_material(plan); refused != 0) return refused;
    BootRun run(plan);
    int result = write_signed_bootloader(run);
    if (result == 0) result = seal_efuse_pattern(run);
    if (result == 0 && plan.encrypt) result = encrypt_output(run.out.temp_path(), run.aes);
    if (result == 0) result = append_upgrade_signature(run);
    if (result == 0) result = commit_outputs(run);
    if (result != 0) return result;  // the temporary files go with `run`
    // The boot media files are copies of the finished output; a failure here
    // leaves the output in place.
    return zud_uboot_process(plan.output.c_str());
}
