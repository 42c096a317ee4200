// --bootsig: signs a BL2 + FIP bootloader stage by stage, writes its eFuse
// pattern, encrypts it when an AES key is given, appends the upgrade
// signature and derives the boot media files.
#include "bootsig.h"

#include <getopt.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
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
#include "bl2_area.h"
#include "efuse_pattern.h"
#include "fip_toc.h"
#include "keymax.h"
#include "keymax_refusal.h"
#include "fixed_signer.h"
#include "user_key_file.h"
#include "pipeline.h"
#include "progress.h"
#include "rng.h"
#include "signing_key.h"
#include "stage.h"
#include "command_signer.h"
#include "trailer.h"
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
    // The signer options, in the order CommandSigner reads them.
    {"signer", required_argument, nullptr, 0},
    {"signer-key", required_argument, nullptr, 0},
    {"signer-form", required_argument, nullptr, 0},
    {"signer-timeout", required_argument, nullptr, 0},
    {"export-requests", required_argument, nullptr, 0},
    {"import-signatures", required_argument, nullptr, 0},
    {nullptr, 0, nullptr, 0},
};
// The handler's slots: the worker's, then the six signer options.
constexpr std::size_t kSlotSigner = kSlotCount;
constexpr std::size_t kHandlerSlotCount = kSlotSigner + kSignerOptionCount;

const CommandSyntax kBootSyntax{
    "bootsig", kBootOptions,
    " --input BOOTLOADER\n"
    "        [--zuduserkey USERKEYFILE | --userkey KEY --rootkeymax KEYMAX --aeskey AES32]\n"
    "        [--aeskey AES32] [--output FILE] [--efuse FILE] [--skipsector N]\n"
    "        [--pkcs11-module FILE] [--passphrase-file FILE]\n"
    "        [--signer 'PROGRAM [ARGS]' | --export-requests DIR | --import-signatures DIR\n"
    "         --signer-key PUB [--signer-form sha256-digest|pkcs1-block] [--signer-timeout S]]\n"
    "        (--signer-key instead of --userkey: the user key signs where it lives)\n"
    "Signs the bootloader stage by stage (digest-only blocks when no key option is given),\n"
    "encrypts it when an AES key is given, and writes OUTPUT (default BOOTLOADER.encrypt,\n"
    "or BOOTLOADER.pkg without keys), its eFuse pattern (signing: --efuse, default\n"
    "OUTPUT.efuse) and OUTPUT.usb.bl2, OUTPUT.usb.tpl and OUTPUT.sd.bin.\n",
    kBootsigResults};

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

// The key material of a signing run, each file read once before anything is
// written: the zud_user_key file (its key, keymax and AES key), or the key
// --userkey names and the --rootkeymax file. A file that cannot be read or
// has the wrong size is reported by the step that needs it, with that
// step's result.
struct BootKeys {
    enum class State { kRead, kUnreadable, kWrongSize };
    State material = State::kUnreadable;  // the zud_user_key file, or the keymax file
    std::string material_failure;         // why it is unreadable
    Buffer bytes{0};                      // that file, when read with its size
    std::optional<zud_keymax> keymax;     // decoded from `bytes`
    ConstBytes aes;                       // the bound AES key (zud_user_key file)
    // The key, opened once (a token asks for its PIN once); a key that does
    // not open is reported by the BL2 step with its result.
    std::unique_ptr<SigningKey> signer;
    std::string signer_failure;
};

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
    BootKeys keys;  // signing mode
    ExternalSigner* external = nullptr;  // --signer-key: the user key signs elsewhere
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
    FileStamp input_stamp;  // taken before the input's first read
    // The output and the eFuse file are written under temporary names and
    // put in place together at the end; until then a failure leaves any
    // earlier files of those names as they were.
    OutputFile out;
    OutputFile efuse;
    Buffer work{kBl2PayloadSize};
    Buffer area{kBl2AreaSize};  // the output's BL2 area, built before it is written
    std::array<std::uint8_t, kAesKeySize> aes{};
    SigningKey* key = nullptr;  // the plan's signer, once the BL2 step took it
    // The IV prefix the output starts with.
    std::array<std::uint8_t, kIvPrefixSize> iv_prefix{};
    // The result of a failure that the current step has no number of its
    // own for; it follows the worker's progress.
    int failure = kBootOpenFailed;
    bool efuse_written = false;
    // The boot media variants, written with the output.
    std::unique_ptr<BootMedia> media;
    std::unique_ptr<Progress> progress;
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
int derive_iv_prefix(std::FILE* input, ConstBytes aes_key, std::span<std::uint8_t, kIvPrefixSize> out) {
    const auto size = stream_size(input);
    if (!size) return kBootIoFailed;
    Sha256 sha;
    const RangeRead read = read_range(::fileno(input), 0, *size, [&sha](ConstBytes step) {
        sha.update(step);
        return true;
    });
    if (read != RangeRead::kDone) return kBootIoFailed;
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

// The key options form one of two signing sets, --zuduserkey (with
// --aeskey to encrypt) or all of --userkey, --rootkeymax and --aeskey; with
// none of them the run makes a digest-only bootloader. Part of a set would
// quietly give that unsigned bootloader instead of the signed one asked for.
int check_key_options(const char* const* s) {
    const bool bound = s[kSlotUserKeyFile] != nullptr;
    const int loose = (s[kSlotUserKey] != nullptr) + (s[kSlotKeymax] != nullptr) +
                      (s[kSlotAesKey] != nullptr);
    if (bound && (s[kSlotUserKey] != nullptr || s[kSlotKeymax] != nullptr)) {
        std::fprintf(stderr, "zud_encrypt_tqrr: --bootsig signs with --zuduserkey alone (add "
                             "--aeskey to encrypt) or with --userkey, --rootkeymax and --aeskey, "
                             "not with both: the zud_user_key file holds the key and keymax\n");
        return kBootIncompleteKeys;
    }
    if (!bound && loose != 0 && loose != 3) {
        std::fprintf(stderr, "zud_encrypt_tqrr: --bootsig signs with --userkey, --rootkeymax and "
                             "--aeskey together, or with --zuduserkey; %s is missing (give no key "
                             "option at all for a digest-only bootloader)\n",
                     s[kSlotUserKey] == nullptr ? "--userkey"
                     : s[kSlotKeymax] == nullptr ? "--rootkeymax" : "--aeskey");
        return kBootIncompleteKeys;
    }
    return 0;
}

int plan_boot(BootPlan& plan) {
    const char* const* s = plan.slots;
    if (const int refused = check_key_options(s); refused != 0) return refused;
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

// Reads a file of key material once: its bytes when it has `size` bytes.
BootKeys::State read_material(const char* path, std::uint64_t size, Buffer& bytes,
                              std::string& failure) {
    File f = open_input(path, failure);
    const auto actual = stream_size(f.get());
    if (!f || !actual) return BootKeys::State::kUnreadable;
    if (*actual != size) return BootKeys::State::kWrongSize;
    bytes = Buffer(static_cast<std::size_t>(size));
    return bytes.ok() && read_exact(f.get(), bytes.bytes()) ? BootKeys::State::kRead
                                                              : BootKeys::State::kUnreadable;
}

// The zud_user_key file, read once: its key is opened from the bytes read.
void load_user_key_file(BootKeys& keys, const char* path, const SigningKeySource& source) {
    zud_key_file_image image;
    if (!read_key_file_image(path, image, &keys.material_failure)) {
        keys.signer_failure = keys.material_failure;
        return;
    }
    if (image.size == kUserKeyFileSize && image.head.size() == kUserKeyFileSize) {
        keys.bytes = Buffer(kUserKeyFileSize);
        if (keys.bytes.ok()) {
            std::copy_n(image.head.data(), kUserKeyFileSize, keys.bytes.data());
            keys.material = BootKeys::State::kRead;
        }
    } else {
        keys.material = BootKeys::State::kWrongSize;
    }
    keys.signer = open_signing_key(std::move(image), source, keys.signer_failure);
    if (keys.material != BootKeys::State::kRead) return;
    const auto parts = decode_user_key_file(keys.bytes.bytes());
    keys.keymax = decode_keymax(parts->keymax);
    keys.aes = parts->aes_key;
}

// The root key that signed the keymax, for telling a signature a signer
// made with it instead of the user key.
void know_keymax_signer(const zud_keymax& keymax, ExternalSigner& signer) {
    RsaKey root;
    std::array<std::uint8_t, kKeyDigestSize> digest{};
    if (decode_block_key(&root.ctx, keymax.block, digest) == nullptr) {
        signer.add_known_key(root.ctx, "the root key that signed the keymax");
    }
}

void load_key_material(BootPlan& plan) {
    const char* const* s = plan.slots;
    BootKeys& keys = plan.keys;
    const SigningKeySource source = command_key_source(s[kSlotPkcs11Module], s[kSlotPassphraseFile]);
    if (s[kSlotUserKeyFile] != nullptr) {
        load_user_key_file(keys, s[kSlotUserKeyFile], source);
        return;
    }
    SigningKeySource external = source;
    external.external = plan.external;
    keys.signer = open_signing_key(s[kSlotUserKey], external, keys.signer_failure);
    keys.material = read_material(s[kSlotKeymax], kKeymaxSize, keys.bytes, keys.material_failure);
    if (keys.material == BootKeys::State::kRead) keys.keymax = decode_keymax(keys.bytes.bytes());
    if (plan.external != nullptr && keys.keymax) know_keymax_signer(*keys.keymax, *plan.external);
}

int check_key_material(BootPlan& plan) {
    if (!plan.signing) return 0;
    load_key_material(plan);
    const BootKeys& keys = plan.keys;
    // Material of the wrong size is left to the step that reads it.
    if (keys.material != BootKeys::State::kRead) return 0;
    const char* const* s = plan.slots;
    const char* key = s[kSlotUserKeyFile] != nullptr ? s[kSlotUserKeyFile] : s[kSlotUserKey];
    const char* from = s[kSlotUserKeyFile] != nullptr ? s[kSlotUserKeyFile] : s[kSlotKeymax];
    if (const int r = refuse_untrusted_keymax(keys.keymax, from, {kBootKeymaxInvalid, kBootKeymaxSignature});
        r != 0) {
        return r;
    }
    if (keys.signer == nullptr) return 0;
    return refuse_unnamed_user_key(*keys.keymax, from, *keys.signer->public_key(), key,
                                   kBootUserKeyNotInKeymax);
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
    std::string error;
    run.input = open_input(run.plan.slots[kSlotInput], error);
    if (!run.input) {
        std::fprintf(stderr, "zud_encrypt_tqrr: %s\n", error.c_str());
        return kBootOpenFailed;
    }
    run.out = OutputFile(run.plan.output, Exposure::kPublic);
    if (!run.out.ok()) {
        std::fprintf(stderr, "zud_encrypt_tqrr: %s\n", run.out.error().c_str());
        return kBootOpenFailed;
    }
    if (!run.work.ok() || !run.area.ok()) {
        std::fprintf(stderr, "zud_encrypt_tqrr: out of memory for the bootloader's buffers\n");
        return kBootOpenFailed;
    }
    return 0;
}

// Says that the key material in `path` does not have its size, and what
// the file should be.
int refuse_material_size(const char* path, std::uint64_t size, int wrong_size) {
    const auto actual = file_size(path);
    const char* what = wrong_size == kBootAesKeySize    ? "an AES key file (--aeskey)"
                       : wrong_size == kBootKeymaxSize  ? "a keymax (--rootkeymax, made by --keysig)"
                                                        : "a zud_user_key file (--zuduserkey, made by --keybnd)";
    std::fprintf(stderr, "zud_encrypt_tqrr: %s has %llu bytes, but %s has exactly %llu\n", path,
                 static_cast<unsigned long long>(actual.value_or(0)), what,
                 static_cast<unsigned long long>(size));
    return wrong_size;
}

// Opens a key file that must have exactly `size` bytes.
int open_sized(const char* path, std::uint64_t size, int wrong_size, File& file) {
    if (path == nullptr) return kBootIoFailed;
    std::string error;
    file = open_input(path, error);
    const auto actual = stream_size(file.get());
    if (!file || !actual) {
        if (file) error = std::string("cannot read ") + path;
        std::fprintf(stderr, "zud_encrypt_tqrr: %s\n", error.c_str());
        return kBootIoFailed;
    }
    return *actual == size ? 0 : refuse_material_size(path, size, wrong_size);
}

// The result of key material read before: 0, `wrong_size`, or an I/O
// failure (said on standard error, as open_sized says it).
int material_result(const BootKeys& keys, const char* path, std::uint64_t size, int wrong_size) {
    switch (keys.material) {
        case BootKeys::State::kRead: return 0;
        case BootKeys::State::kWrongSize: return refuse_material_size(path, size, wrong_size);
        case BootKeys::State::kUnreadable: break;
    }
    if (keys.material_failure.empty()) {
        std::fprintf(stderr, "zud_encrypt_tqrr: cannot read %s\n", path);
    } else {
        std::fprintf(stderr, "zud_encrypt_tqrr: %s\n", keys.material_failure.c_str());
    }
    return kBootIoFailed;
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
    std::string error;
    File f = open_input(aes_path, error);
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

// The zud_user_key file, read before: its AES key.
int read_user_key_file(BootRun& run) {
    const char* path = run.plan.slots[kSlotUserKeyFile];
    const BootKeys& keys = run.plan.keys;
    if (const int r = material_result(keys, path, kUserKeyFileSize, kBootUserKeySize); r != 0) return r;
    std::copy(keys.aes.begin(), keys.aes.end(), run.aes.begin());
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
    return material_result(run.plan.keys, s[kSlotKeymax], kKeymaxSize, kBootKeymaxSize);
}

// ---------------------------------------------------------------------------
// eFuse pattern

// Fills `pattern` from the keymax; false when its root key matrix is not
// valid.
bool build_efuse_pattern(const std::optional<zud_keymax>& keymax, const BootRun& run,
                         std::span<std::uint8_t, kEfusePatternSize> pattern) {
    if (!keymax || check_key_matrix(keymax->root) != nullptr) return false;
    zud_efuse_pattern p;
    p.encrypted = run.plan.encrypt;
    p.root_digest = key_matrix_root_digest(keymax->root);
    if (p.encrypted) p.aes_key = run.aes;
    encode_efuse_pattern(p, pattern);
    wipe(p.aes_key.data(), p.aes_key.size());
    return true;
}

// The plain pattern goes only to a temporary file readable by its owner,
// which the built-in signer seals before it takes the eFuse file's name. A
// keymax whose root matrix is not valid gives no pattern (its checks come
// first, so this does not happen in a run that got this far).
int write_efuse_pattern(BootRun& run) {
    run.efuse = OutputFile(run.plan.efuse, run.plan.encrypt ? Exposure::kSecret : Exposure::kPublic);
    if (!run.efuse.ok()) {
        // A signed bootloader without its eFuse pattern cannot be fused.
        std::fprintf(stderr, "zud_encrypt_tqrr: %s; give --efuse a name that can be written\n",
                     run.efuse.error().c_str());
        return kBootIoFailed;
    }
    run.failure = kBootFailedWithEfuse;
    std::array<std::uint8_t, kEfusePatternSize> pattern{};
    const bool built = build_efuse_pattern(run.plan.keys.keymax, run, pattern);
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

// The BL2 area starts with, in signing mode, the keymax with the IV prefix
// over its 16 leading bytes (the eFuse pattern is written from it), in
// digest mode the IV prefix alone. Returns where the BL2 block goes.
int build_bl2_prefix(BootRun& run) {
    const MutBytes area = run.area.bytes();
    std::fill(area.begin(), area.end(), 0);
    if (!run.plan.signing) {
        std::copy(run.iv_prefix.begin(), run.iv_prefix.end(), area.begin());
        return 0;
    }
    const ConstBytes keymax = run.plan.keys.keymax ? run.plan.keys.keymax->file : ConstBytes{};
    if (keymax.size() != kKeymaxSize) return kBootIoFailed;
    std::copy(keymax.begin(), keymax.end(), area.begin());
    std::copy(run.iv_prefix.begin(), run.iv_prefix.end(), area.begin());
    return write_efuse_pattern(run);
}

// ---------------------------------------------------------------------------
// BL2 block

int read_bl2_payload(BootRun& run) {
    const MutBytes payload = run.work.bytes();
    if (!read_at(run.input.get(), 0, payload)) return kBootIoFailed;
    // An earlier output keeps its BL2 payload at 4096.
    if (is_signed_bl2_area(payload) &&
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
    run.key = run.plan.keys.signer.get();
    if (run.key == nullptr) {
        std::fprintf(stderr, "zud_encrypt_tqrr: %s\n", run.plan.keys.signer_failure.c_str());
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

// The BL2 block's header: in digest mode the signed range may leave out the
// first sectors of the output, which hold only the IV prefix, the header's
// tail and zeros.
zud_signed_block_header bl2_header(const BootPlan& plan, std::uint8_t key_type,
                                   std::size_t modulus_length) {
    constexpr std::size_t kSectorSize = 512;
    const std::size_t digest_length =
        plan.sectors == 0 ? kDigestSlotSize
                          : kSectorSize * plan.sectors - kBl2DigestBlockOffset - kSignedBlockHeaderSize;
    return fixed_block_header(
        plan.signing ? 1 : 0, key_type,
        static_cast<std::uint32_t>(kSignedBlockHeaderSize + (plan.signing ? modulus_length : digest_length)),
        plan.signing ? kFixedKeyAreaSize : kBl2DigestKeyAreaSize, kBl2PayloadSize);
}

// The BL2 block fills the area behind its prefix.
int build_bl2_block(BootRun& run) {
    const bool signing = run.plan.signing;
    if (signing) {
        if (const int r = load_signing_key(run); r != 0) return r;
    }
    const MutBytes block = run.area.bytes().subspan(signing ? kBl2SigningBlockOffset : kBl2DigestBlockOffset);
    std::uint8_t key_type = 0;
    if (signing) {
        const auto placed = place_fixed_key(*run.key, block);
        if (!placed) return run.failure;
        key_type = *placed;
    }
    const zud_signed_block_header h = bl2_header(run.plan, key_type, signing ? run.key->length() : 0);
    encode_signed_block_header(h, block.first<kSignedBlockHeaderSize>());
    std::copy_n(run.work.data(), kBl2PayloadSize, block.data() + h.payload_offset);
    // The signature (or the digest itself) goes to the start of the slot.
    if (signing) run.key->set_slot("BL2 block");
    if (seal_fixed_block(block, signing ? run.key : nullptr) != 0) {
        std::fprintf(stderr, "zud_encrypt_tqrr: the BL2 signature could not be made: %s\n",
                     run.key->failure().c_str());
        return kBootBl2SignFailed;
    }
    return 0;
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

// The eFuse pattern is sealed by the built-in signer in its temporary file.
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

// The signed FIP as the output carries it: the table pointing at the stage
// blocks, and each block's header region once its stage is signed.
struct SignedFip {
    std::array<std::uint8_t, kTocRegionSize> region{};  // the table region, as written
    zud_fip_toc toc;
    std::vector<zud_stage_block> blocks;  // one per entry
};

int stage_failed(std::size_t index, const char* what) {
    const int saved = errno;
    std::fprintf(stderr, "zud_encrypt_tqrr: FIP entry %zu could not be %s\n", index, what);
    errno = saved;
    return kBootStageFailed;
}

// Reads the table, lays out every stage's block header (drawing its nonce
// and timestamp, in table order) and points each entry at its block: offset
// behind the previous block, size the block's stored length rounded up to
// 16; blocks start on 16 KiB boundaries.
int plan_fip(BootRun& run, SignedFip& fip) {
    const MutBytes region(fip.region);
    if (!read_at(run.input.get(), kFipOffset, region)) return kBootIoFailed;
    auto toc = read_toc(region, fip_size_of(run.input.get()));
    if (!toc) {
        std::printf("zud log : illegal fip file format!\n");
        std::fprintf(stderr, "zud_encrypt_tqrr: %s has no valid FIP table of contents at byte "
                             "49152; give a bootloader with BL2 in its first 48 KiB and the FIP "
                             "behind it\n",
                     run.plan.slots[kSlotInput]);
        return run.failure;
    }
    fip.toc = std::move(*toc);
    const auto input_size = stream_size(run.input.get());
    if (!input_size) return kBootIoFailed;
    SigningKey* key = run.plan.signing ? run.key : nullptr;
    fip.blocks.resize(fip.toc.entries.size());
    FipOutputLayout layout;
    for (std::size_t i = 0; i < fip.toc.entries.size(); ++i) {
        zud_toc_entry& entry = fip.toc.entries[i];
        if (zud_stage_begin(::fileno(run.input.get()), *input_size, entry.offset + kFipOffset,
                            entry.size, key, fip.blocks[i]) != kStageOk) {
            return stage_failed(i, "signed");
        }
        layout.place(entry, fip.blocks[i].stored_length);
        if (layout.next() > kMax32) {
            std::fprintf(stderr, "zud_encrypt_tqrr: the signed FIP would exceed 4 GiB\n");
            return kBootStageFailed;
        }
    }
    fip.toc.end.offset = layout.next();
    encode_fip_toc(fip.toc, region);
    return 0;
}

// Digests the stages (two at a time), then signs the digests in table order.
int sign_fip(BootRun& run, SignedFip& fip) {
    const auto digests = zud_stage_digests(::fileno(run.input.get()), fip.blocks, run.progress.get());
    SigningKey* key = run.plan.signing ? run.key : nullptr;
    for (std::size_t i = 0; i < fip.blocks.size(); ++i) {
        if (!digests[i]) return stage_failed(i, "read");
        if (key != nullptr) key->set_slot("FIP entry " + std::to_string(i));
        if (zud_stage_seal(fip.blocks[i], key, *digests[i]) != kStageOk) {
            if (key != nullptr && !key->failure().empty()) {
                std::fprintf(stderr, "zud_encrypt_tqrr: %s\n", key->failure().c_str());
            }
            return stage_failed(i, "signed");
        }
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Writing the output
//
// One pass in output order. This thread lays the bytes out (the BL2 area,
// the table, each stage block read again from the input) into 1 MiB
// pieces, encrypts them when an AES key is given, and hands them to a
// worker thread, which hashes them for the upgrade signature and writes
// them to the boot media variants. The output itself is written by
// whichever thread has less to do: this one when it encrypts, else the
// worker. The random gap bytes of an encrypted output are drawn here, in
// output order.

constexpr std::size_t kOutputPieceSize = 1024 * 1024;
constexpr std::size_t kOutputPieces = 4;

using Iv = std::array<std::uint8_t, kAesBlockSize>;

// Encrypts the BL2 area under the AES key and the table under the stage
// key, the SHA-256 of the IV prefix the area starts with.
int encrypt_head(BootRun& run, SignedFip& fip, AesCbc& stage_aes) {
    Digest stage_key = sha256(run.area.bytes().first(kIvPrefixSize));
    const int keyed = stage_aes.set_encrypt_key(stage_key);
    wipe(stage_key.data(), stage_key.size());
    AesCbc aes;
    if (keyed != 0 || aes.set_encrypt_key(run.aes) != 0) return kBootEncryptFailed;
    Iv iv{};
    if (aes.encrypt(run.area.bytes(), iv) != 0) return kBootEncryptFailed;
    // The table about to be encrypted is checked as a device reads it.
    if (!read_toc(fip.region, fip.toc.end.offset)) {
        std::printf("zud log : illegal fip file format!\n");
        return kBootEncryptBadToc;
    }
    iv = Iv{};
    return stage_aes.encrypt(fip.region, iv) == 0 ? 0 : kBootEncryptFailed;
}


// Stage block `index`, encrypted as one CBC chain when `aes` is given,
// then the gap up to the next block: zeros, or random bytes in an
// encrypted output.
int emit_stage(const BootRun& run, const SignedFip& fip, std::size_t index, AesCbc* aes, PieceFiller& pass) {
    const zud_toc_entry& entry = fip.toc.entries[index];
    const std::uint64_t end = entry.offset + entry.size;
    const std::uint64_t next = index + 1 < fip.toc.entries.size() ? fip.toc.entries[index + 1].offset
                                                                   : fip.toc.end.offset;
    StageEmitter emitter(::fileno(run.input.get()), fip.blocks[index], entry.size);
    Iv iv{};
    while (emitter.remaining() > 0) {
        const MutBytes r = pass.room();
        if (r.empty()) return kBootIoFailed;
        const std::int64_t n = emitter.fill(r.first(static_cast<std::size_t>(
            std::min<std::uint64_t>(r.size(), emitter.remaining()))));
        if (n <= 0) return stage_failed(index, "read");
        const MutBytes filled = r.first(static_cast<std::size_t>(n));
        if (aes != nullptr) {
            if (aes->encrypt(filled, iv) != 0) return kBootEncryptFailed;
        }
        if (!pass.advance(filled.size())) return kBootIoFailed;
    }
    for (std::uint64_t gap = next - end; gap > 0;) {
        const MutBytes r = pass.room();
        if (r.empty()) return kBootIoFailed;
        const MutBytes filled = r.first(static_cast<std::size_t>(std::min<std::uint64_t>(r.size(), gap)));
        if (aes != nullptr) {
            fill_random(filled);
        } else {
            std::fill(filled.begin(), filled.end(), 0);
        }
        gap -= filled.size();
        if (!pass.advance(filled.size())) return kBootIoFailed;
    }
    return 0;
}

// The result for an output that could not be written from `offset` on:
// the stage block (or its gap) that holds it, else an I/O failure.
int write_failure(const SignedFip& fip, std::uint64_t offset, const std::string& name) {
    const auto& entries = fip.toc.entries;
    for (std::size_t i = entries.size(); i-- > 0;) {
        if (offset >= kFipOffset + entries[i].offset) return stage_failed(i, "written");
    }
    std::fprintf(stderr, "zud_encrypt_tqrr: cannot write %s: %s\n", name.c_str(),
                 std::strerror(errno));
    return kBootIoFailed;
}

// Writes the output: the BL2 area, the table, the stage blocks and, with a
// zud_user_key file, the upgrade signature over all of them; the boot media
// variants follow the same bytes.
int write_output(BootRun& run, SignedFip& fip) {
    const bool encrypt = run.plan.encrypt;
    AesCbc stage_aes;
    if (encrypt) {
        if (const int r = encrypt_head(run, fip, stage_aes); r != 0) return r;
    }
    run.media = std::make_unique<BootMedia>(run.plan.output);
    BootMedia& media = *run.media;
    const bool trailer = run.plan.slots[kSlotUserKeyFile] != nullptr;
    WriteBehind out(::fileno(run.out.stream()), 0);
    const bool worker_writes = !encrypt;
    bool worker_write_failed = false;
    Sha256 sha;
    PieceQueue queue(kOutputPieces, kOutputPieceSize, [&](ConstBytes piece) {
        if (worker_writes && !out.write(piece)) {
            worker_write_failed = true;
            return false;
        }
        if (trailer) sha.update(piece);
        media.write(piece);
        add_progress(run.progress.get(), piece.size());
        return true;
    });
    PieceFiller pass(queue, worker_writes ? nullptr : &out);
    int r = pass.put(run.area.bytes()) && pass.put(fip.region) ? 0 : kBootIoFailed;
    for (std::size_t i = 0; r == 0 && i < fip.blocks.size(); ++i) {
        r = emit_stage(run, fip, i, encrypt ? &stage_aes : nullptr, pass);
    }
    if (r == 0 && !pass.hand_on()) r = kBootIoFailed;
    const bool consumed = queue.finish();
    if (!queue.ok()) return kBootOpenFailed;
    if (worker_write_failed || pass.write_failed()) return write_failure(fip, out.position(), run.plan.output);
    if (r != 0) return r;
    if (!consumed) return kBootIoFailed;
    if (!trailer) return 0;
    std::array<std::uint8_t, kUpgradeWorkAreaSize> block{};
    const MutBytes signature = MutBytes(block).first(run.key->length());
    const int status = zud_upgrade_signature(*run.key, sha.finish(), signature);
    if (status != 0 || !out.write(signature)) {
        std::fprintf(stderr, "zud_encrypt_tqrr: the upgrade signature failed (%d)\n",
                     status != 0 ? status : static_cast<int>(kUpgradeWriteFailed));
        return kBootUpgradeFailed;
    }
    media.write(signature);
    return 0;
}

// The input is read twice, once to sign its stages and once to write them:
// a change after the first read would give blocks that fail their checks,
// so it is compared with its stamp from before that read.
int check_input_unchanged(const BootRun& run) {
    if (same_stamp(run.input_stamp, stamp_file(::fileno(run.input.get())))) return 0;
    std::fprintf(stderr, "zud_encrypt_tqrr: %s changed while it was being signed; run the "
                         "command again once nothing writes to it\n",
                 run.plan.slots[kSlotInput]);
    return kBootInputChanged;
}

int write_signed_bootloader(BootRun& run) {
    if (const int r = open_streams(run); r != 0) return r;
    run.input_stamp = stamp_file(::fileno(run.input.get()));
    if (const int r = read_key_material(run); r != 0) return r;
    if (run.plan.derive_iv_prefix) {
        if (const int r = derive_iv_prefix(run.input.get(), run.aes, run.iv_prefix); r != 0) {
            return r;
        }
    }
    run.failure = kBootFailedNoEfuse;
    if (const int r = build_bl2_prefix(run); r != 0) return r;
    if (const int r = read_bl2_payload(run); r != 0) return r;
    if (const int r = build_bl2_block(run); r != 0) return r;
    auto fip = std::make_unique<SignedFip>();
    if (const int r = plan_fip(run, *fip); r != 0) return r;
    // The stages are read once to sign them, then the output is written.
    std::uint64_t work = kFipOffset + fip->toc.end.offset;
    for (const zud_stage_block& b : fip->blocks) work += b.stage_size;
    run.progress = std::make_unique<Progress>("zud_encrypt_tqrr: bootsig", work);
    if (const int r = sign_fip(run, *fip); r != 0) return r;
    if (const int r = seal_efuse_pattern(run); r != 0) return r;
    if (const int r = check_input_unchanged(run); r != 0) return r;
    if (const int r = write_output(run, *fip); r != 0) return r;
    run.progress->finish();
    // The outputs are committed next.
    if (const int r = check_input_unchanged(run); r != 0) return r;
    run.input.reset();
    return 0;
}

// ---------------------------------------------------------------------------
// Finishing steps


// Puts the finished output, then its eFuse file, in place. When the second
// cannot follow, the first is taken back (and an earlier output of that
// name put back): they belong together.
int commit_outputs(BootRun& run) {
    std::string error;
    CommitResult committed = CommitResult::kInPlace;
    if (run.efuse_written) {
        committed = commit_together(run.out, run.efuse, error);
    } else if (!run.out.commit()) {
        committed = run.out.not_durable() ? CommitResult::kNotDurable : CommitResult::kFailed;
        error = run.out.error();
    }
    if (committed == CommitResult::kInPlace) return 0;
    std::fprintf(stderr, "zud_encrypt_tqrr: %s\n", error.c_str());
    return committed == CommitResult::kNotDurable ? kBootOutputNotDurable : kBootIoFailed;
}

}  // namespace

const CommandSyntax& bootsig_command_syntax() { return kBootSyntax; }

namespace {
int sign_boot_file(const char* const* slots, ExternalSigner* external);
}  // namespace

int zud_sig_boot(int argc, char** argv) {
    std::array<const char*, kHandlerSlotCount> slots{};
    const CommandLine line = read_command_line(kBootSyntax, argc, argv, slots);
    if (!line.runs()) return line.result();
    if (line.given == 0) {
        std::fprintf(stderr, "zud_encrypt_tqrr: --bootsig needs at least --input BOOTLOADER\n");
        return kBootTooFewWords;
    }
    if (slots[kSlotUserKeyFile] != nullptr && line.given <= 1) {
        std::fprintf(stderr, "zud_encrypt_tqrr: --bootsig --zuduserkey needs --input BOOTLOADER "
                             "too\n");
        return kBootBadOption;
    }
    if (slots[kSlotUserKeyFile] != nullptr && any_signer_option(&slots[kSlotSigner])) {
        std::fprintf(stderr, "zud_encrypt_tqrr: --zuduserkey holds its own user key; give "
                             "--signer-key with --rootkeymax and --aeskey instead\n");
        return kBootBadOption;
    }
    CommandSigner external;
    if (const int r = external.open(&slots[kSlotSigner], slots[kSlotUserKey], "--userkey", argc, argv,
                                    {slots[kSlotInput], slots[kSlotKeymax], slots[kSlotAesKey]}, kBootBadOption);
        r != 0) {
        return r;
    }
    for (std::size_t i = kSlotInput; i <= kSlotKeymax; ++i) {
        const bool token = i == kSlotUserKey && is_pkcs11_uri(slots[i]);
        if (slots[i] != nullptr && !token && !path_exists(slots[i])) {
            std::printf("zud log: error! Illegal [%s] %s\n", kBootOptions[i].name, slots[i]);
            std::fprintf(stderr, "zud_encrypt_tqrr: --%s %s names no file; give the path of an "
                                 "existing file\n",
                         kBootOptions[i].name, slots[i]);
            return kBootBadOption;
        }
    }
    if (slots[kSlotInput] == nullptr) {
        std::printf("zud log: error! Please set input first!\n");
        std::fprintf(stderr, "zud_encrypt_tqrr: --bootsig needs --input BOOTLOADER\n");
        return kBootBadOption;
    }
    return external.finish(sign_boot_file(slots.data(), external.get()), kBootIoFailed);
}

int zud_sig_boot_file(const char* const* slots) { return sign_boot_file(slots, nullptr); }

namespace {

int sign_boot_file(const char* const* slots, ExternalSigner* external) {
    if (slots == nullptr || slots[kSlotInput] == nullptr) return kBootNoInput;
    BootPlan plan(slots);
    plan.external = external;
    if (const int refused = plan_boot(plan); refused != 0) return refused;
    if (const int refused = check_key_material(plan); refused != 0) return refused;
    BootRun run(plan);
    int result = write_signed_bootloader(run);
    if (result == 0) result = commit_outputs(run);
    if (result != 0) return result;  // the temporary files go with `run`
    if (run.efuse_written && !outputs_withheld()) warn_development_seal(plan.efuse.c_str());
    // The boot media variants go in place after the output; a failure here
    // leaves the output in place.
    return run.media->finish() ? 0 : kBootMediaFailed;
}

}  // namespace
