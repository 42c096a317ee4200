// --keysig (the keymax) and --keybnd (the user key file).
#include "keysig.h"

#include "keyfile.h"
#include "keymax.h"
#include "keymax_refusal.h"
#include "user_key_file.h"

#include <getopt.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "cli.h"
#include "crypto.h"
#include "files.h"
#include "rng.h"
#include "signed_block.h"
#include "fixed_signer.h"
#include "command_signer.h"
#include "signing_key.h"

namespace {

// The keymax is one fixed-layout signed block behind 16 zero bytes that a
// bootloader later replaces with its IV prefix.
constexpr std::size_t kSignatureSlotSize = kFixedSignatureSlotSize;
constexpr std::size_t kPayloadOffset = kFixedPayloadOffset;
// An output of this exact name is the BL2 area of a bootloader: its payload
// is always 0xB000 bytes.
constexpr char kBl2OutputName[] = "bl2.encrypt";
constexpr std::uint64_t kBl2PayloadSize = 0xB000;
constexpr std::size_t kCopyChunk = 16 * 1024;

// True (and says so) when `output` is one of the `inputs`.
bool overwrites_input(const char* output, std::span<const char* const> inputs) {
    for (const char* input : inputs) {
        if (same_file(output, input)) {
            std::fprintf(stderr, "zud_encrypt_tqrr: %s would overwrite the input %s\n", output,
                         input);
            return true;
        }
    }
    return false;
}

// ---------------------------------------------------------------------------
// --keysig

const option kKeysigOptions[] = {
    {"rkey1", required_argument, nullptr, 0}, {"rkey2", required_argument, nullptr, 0},
    {"rkey3", required_argument, nullptr, 0}, {"rkey4", required_argument, nullptr, 0},
    {"ukey1", required_argument, nullptr, 0}, {"ukey2", required_argument, nullptr, 0},
    {"ukey3", required_argument, nullptr, 0}, {"ukey4", required_argument, nullptr, 0},
    {"skey", required_argument, nullptr, 0},  {"output", required_argument, nullptr, 0},
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
const CommandSyntax kKeysigSyntax{
    "keysig", kKeysigOptions,
    " --rkey1 KEY [--rkey2 KEY] [--rkey3 KEY] [--rkey4 KEY]\n"
    "        --ukey1 KEY [--ukey2 KEY] [--ukey3 KEY] [--ukey4 KEY]\n"
    "        --skey KEY --output KEYMAX [--pkcs11-module FILE] [--passphrase-file FILE]\n"
    "        [--signer 'PROGRAM [ARGS]' | --export-requests DIR | --import-signatures DIR\n"
    "         --signer-key PUB [--signer-form sha256-digest|pkcs1-block] [--signer-timeout S]]\n"
    "        (--signer-key instead of --skey: the root key signs where it lives)\n"
    "Writes KEYMAX (2264 bytes): the root and user key matrices, signed with --skey, which\n"
    "must be one of the root keys. A missing --rkeyN repeats --rkey1, a missing --ukeyN\n"
    "repeats --ukey1.\n",
    kKeysigResults};
constexpr std::size_t kKeysigSignerSlot = 12;
constexpr std::size_t kKeysigSlots = kKeysigSignerSlot + kSignerOptionCount;
constexpr std::size_t kSigningKeySlot = 8;
constexpr std::size_t kOutputSlot = 9;
constexpr std::size_t kModuleSlot = 10;
constexpr std::size_t kPassphraseSlot = 11;

// The digest-form entries of --rkey1..4 and --ukey1..4, each key opened once
// (a key named twice, as the missing ones are, is read once), and the key
// files as read.
using KeyEntry = std::array<std::uint8_t, kKeyHeaderSize>;
using MatrixEntries = std::array<KeyEntry, 8>;
using MatrixFiles = std::array<zud_key_file_image, 8>;

// The slot before `i` that names the same key, if any.
std::optional<std::size_t> same_key_before(std::span<const char* const> slots, std::size_t i) {
    for (std::size_t j = 0; j < i; ++j) {
        if (slots[j] != nullptr && slots[i] != nullptr && std::strcmp(slots[j], slots[i]) == 0) return j;
    }
    return std::nullopt;
}

// The signing key, from the file one of the matrix keys was read from when
// it names the same file, else opened from its own value.
std::unique_ptr<SigningKey> open_signer(const char* const* slots, const MatrixFiles& files,
                                        const SigningKeySource& source, std::string& failure) {
    const char* signer = slots[kSigningKeySlot];
    for (std::size_t i = 0; i < files.size(); ++i) {
        if (files[i].path.empty() || slots[i] == nullptr || std::strcmp(slots[i], signer) != 0) continue;
        zud_key_file_image copy;
        copy.path = files[i].path;
        copy.size = files[i].size;
        copy.head = Buffer(files[i].head.size());
        if (!copy.head.ok() && files[i].head.size() != 0) break;
        std::copy_n(files[i].head.data(), files[i].head.size(), copy.head.data());
        return open_signing_key(std::move(copy), source, failure);
    }
    return open_signing_key(signer, source, failure);
}

// The matrix keys, for telling which of them made a signature a signer
// returned when it is not the signing key's.
void know_matrix_keys(const char* const* slots, const SigningKeySource& source, ExternalSigner& signer) {
    for (std::size_t i = 0; i < 8; ++i) {
        if (same_key_before(std::span(slots, 8), i)) continue;
        RsaKey key;
        std::string reason;
        if (!open_public_key(slots[i], source, key, reason)) continue;
        signer.add_known_key(key.ctx, std::string(i < 4 ? "root key " : "user key ") +
                                          std::to_string(i % 4 + 1) + " of the keymax (--" +
                                          kKeysigOptions[i].name + ")");
    }
}

// Completes the digest-form key header of the key `value` names (see
// zud_create_key_from_source): a full binary key file from its records,
// any other key (a key file of another form, a PEM key, a token object)
// from its public half, which is all a matrix names. False when it gives no
// key of a size a key block can carry; `reason` says why when it does not
// open.
bool key_entry_of(const char* value, const SigningKeySource& source,
                  std::span<std::uint8_t, kKeyHeaderSize> entry, std::uint8_t header_size,
                  std::string& reason, zud_key_file_image& file) {
    Buffer scratch(kKeyDataAreaMin);
    RsaKey key;
    if (!scratch.ok() || !open_public_key(value, source, key, reason, &file)) return false;
    zud_init_key_header(entry, header_size);
    (void)zud_create_key_from_image(1, file.path.empty() ? nullptr : &file, &key.ctx, scratch.bytes(),
                                    entry, static_cast<std::uint32_t>(kKeyMatrixSize));
    return decode_key_header(entry)->key_type != 0;
}

// One key matrix of four digest-form entries, written to `f`.
bool write_key_matrix(std::FILE* f, std::span<const KeyEntry> entries) {
    // Digest-form entries carry no key data, so nothing follows them: the
    // record's defaults (matrix_size 208) hold.
    zud_key_matrix matrix;
    for (std::size_t i = 0; i < kKeyMatrixEntries; ++i) {
        matrix.entries[i] = *decode_key_header(entries[i]);
    }
    std::array<std::uint8_t, kKeyMatrixSize> bytes{};
    encode_key_matrix(matrix, bytes);
    return write_all(f, bytes);
}

// The payload of a BL2 area is padded to its fixed size; any other payload
// is the input rounded up to 16 bytes.
std::optional<std::uint64_t> payload_size_of(std::uint64_t input_size, bool bl2_mode) {
    const std::uint64_t padded = round_up_16(input_size);
    if (bl2_mode) {
        if (padded > kBl2PayloadSize) return std::nullopt;
        return kBl2PayloadSize;
    }
    // total_size is a 32-bit field.
    if (padded > UINT32_MAX - kPayloadOffset) return std::nullopt;
    return padded;
}

// The signing key, opened by the caller (null with `failure` when it did
// not open); refused when its signature would not fit the 512-byte slot.
bool usable_signing_key(const SigningKey* key, const std::string& failure) {
    if (key == nullptr) {
        if (!failure.empty()) std::fprintf(stderr, "zud_encrypt_tqrr: %s\n", failure.c_str());
        return false;
    }
    if (key->length() > kSignatureSlotSize) {
        std::fprintf(stderr,
                     "zud_encrypt_tqrr: the signing key's modulus is %zu bytes; a signature "
                     "slot holds %zu\n",
                     key->length(), kSignatureSlotSize);
        return false;
    }
    return true;
}

bool write_keymax(std::FILE* out, ConstBytes block) {
    return write_zeros(out, kKeymaxPrefixSize) && write_all(out, block) &&
           std::fflush(out) == 0;
}

// Every root and user key must name a key a matrix entry can carry. Only
// their public halves are needed: public PEM keys and token objects serve.
int check_matrix_keys(std::span<const char*, kKeysigSlots> slots, const SigningKeySource& source,
                      MatrixEntries& entries, MatrixFiles& files) {
    for (std::size_t i = 0; i < 8; ++i) {
        if (const auto j = same_key_before(std::span(slots).first(8), i)) {
            entries[i] = entries[*j];
            continue;
        }
        std::string reason;
        if (!key_entry_of(slots[i], source, entries[i], 0, reason, files[i])) {
            if (!reason.empty()) {
                std::fprintf(stderr, "zud_encrypt_tqrr: --%s: %s\n", kKeysigOptions[i].name,
                             reason.c_str());
                return kKeysigBadKey;
            }
            std::fprintf(stderr,
                         "zud_encrypt_tqrr: --%s %s is no RSA key of 1024, 2048, 4096 or 8192 "
                         "bits; give a key file of the key it is to name\n",
                         kKeysigOptions[i].name, slots[i]);
            return kKeysigBadKey;
        }
    }
    return 0;
}

// Except for a BL2 area the signing key must be one of the root keys: the
// boot side accepts a keymax only when a key of its own root matrix signed
// it. A signing key that does not open is left to the signing step (-1).
int check_signer_is_root(std::span<const char*, kKeysigSlots> slots, const SigningKey* key,
                         const MatrixEntries& entries) {
    const char* signer = slots[kSigningKeySlot];
    const char* output = slots[kOutputSlot];
    if (key == nullptr || output == nullptr || std::strcmp(output, kBl2OutputName) == 0) return 0;
    Buffer scratch(kKeyDataAreaMin);
    std::array<std::uint8_t, kKeyHeaderSize> signing{};
    if (!scratch.ok()) return 0;
    zud_init_key_header(signing, 0);
    (void)zud_create_key_from_image(1, key->key_file(), key->public_key(), scratch.bytes(), signing,
                                    static_cast<std::uint32_t>(kKeyMatrixSize));
    const auto signer_header = decode_key_header(signing);
    if (signer_header->key_type == 0) return 0;
    for (std::size_t i = 0; i < kKeyMatrixEntries; ++i) {
        if (decode_key_header(entries[i])->key_digest == signer_header->key_digest) return 0;
    }
    std::fprintf(stderr,
                 "zud_encrypt_tqrr: the signing key %s is none of the root keys; a device accepts "
                 "a keymax only when one of its root keys signed it (give --skey the private key "
                 "of an --rkeyN)\n",
                 signer);
    return kKeysigNotRootKey;
}

// ---------------------------------------------------------------------------
// --keybnd

const option kKeybndOptions[] = {
    {"ukey", required_argument, nullptr, 0},   {"rootkeymax", required_argument, nullptr, 0},
    {"aeskey", required_argument, nullptr, 0}, {"output", required_argument, nullptr, 0},
    {nullptr, 0, nullptr, 0},
};
const CommandSyntax kKeybndSyntax{
    "keybnd", kKeybndOptions,
    " --ukey KEY --rootkeymax KEYMAX [--aeskey AES32] [--output FILE]\n"
    "Writes the zud_user_key file (owner-readable): the --ukey key file, the keymax and the\n"
    "AES key (drawn from the system's generator without --aeskey). Without --output it is\n"
    "named UKEY-KEYMAX-AESKEY.key.\n",
    kKeybndResults};
constexpr std::size_t kUserKeySlot = 0;
constexpr std::size_t kKeymaxSlot = 1;
constexpr std::size_t kAesKeySlot = 2;
constexpr std::size_t kBindOutputSlot = 3;

// --output, or "<ukey>-<rootkeymax>-<aeskey>.key" with the AES key's first
// two bytes ("%02X-%02X") standing in for a missing --aeskey. Names longer
// than 255 characters are refused.
std::optional<std::string> user_key_file_name(const char* const* slots, ConstBytes aes) {
    if (slots[kBindOutputSlot] != nullptr) return derive_name(slots[kBindOutputSlot], "");
    char id[8] = {};
    std::snprintf(id, sizeof id, "%02X-%02X", aes[0], aes[1]);
    const char* third = slots[kAesKeySlot] != nullptr ? slots[kAesKeySlot] : id;
    std::string name = slots[kUserKeySlot];
    name.append("-").append(slots[kKeymaxSlot]).append("-").append(third);
    return derive_name(name, ".key");
}

// A key whose private numbers do not belong to its public half would be
// bound and fail only when a device rejects what it signed: sign a test
// digest and check it with the public half first.
bool private_half_signs(mbedtls_rsa_context& key) {
    const Digest probe = sha256(ConstBytes(reinterpret_cast<const std::uint8_t*>("zud key probe"), 13));
    Buffer sig(key.len);
    return sig.ok() && zud_rsa_sign_sha256(&key, probe.data(), sig.data()) == 0 &&
           zud_rsa_verify_sha256(&key, probe.data(), sig.data()) == 0;
}

// The key digest of the user's key: 0, kKeybndFailed when the key does not
// load or has no key size code, or kKeybndKeyMismatch.
int user_key_digest(const zud_key_file_image& file, Digest& digest) {
    const char* path = file.path.c_str();
    RsaKey key;
    if (file.path.empty() || zud_tq_load_rsa_key_image(&key.ctx, file) != 0) {
        std::fprintf(stderr, "zud_encrypt_tqrr: %s does not load as an RSA private key file; give "
                             "the user key file whose public half is --ukey1 of the keymax\n",
                     path);
        return kKeybndFailed;
    }
    const auto named = public_key_digest(key.ctx);
    if (!named) {
        std::fprintf(stderr, "zud_encrypt_tqrr: the key in %s has %zu bits; a keymax holds keys of "
                             "1024, 2048 or 4096 bits\n", path, key.ctx.len * 8);
        return kKeybndFailed;
    }
    digest = *named;
    if (!private_half_signs(key.ctx)) {
        std::fprintf(stderr,
                     "zud_encrypt_tqrr: the private numbers in %s do not sign for its public key; "
                     "the file is damaged or mixes two keys: give the intact user key file\n",
                     path);
        return kKeybndKeyMismatch;
    }
    return 0;
}

// Replaces the generated key with the --aeskey file's 32 bytes: 0, -1 when
// the file is not exactly 32 bytes long, kKeybndNoAesKey when it cannot be
// read (binding a generated key instead would leave every device fused with
// the intended key unable to decrypt).
int read_aes_key_file(const char* path, MutBytes aes) {
    std::string error;
    const SizedRead read = read_sized_file(path, aes, "an AES key file", error);
    if (read == SizedRead::kRead) return 0;
    if (read == SizedRead::kUnopened) {
        std::fprintf(stderr,
                     "zud_encrypt_tqrr: the --aeskey file: %s; give a readable 32-byte AES key "
                     "file, or leave --aeskey out to bind a generated key\n",
                     error.c_str());
        return kKeybndNoAesKey;
    }
    std::fprintf(stderr, "zud_encrypt_tqrr: --aeskey: %s\n", error.c_str());
    return kKeybndFailed;
}

// The keymax, read once: its 2264 bytes, or false when it cannot be read or
// has another size (-1).
bool read_keymax(const char* path, std::array<std::uint8_t, kKeymaxSize>& keymax) {
    std::string error;
    if (read_sized_file(path, keymax, "a keymax (made by --keysig)", error) == SizedRead::kRead) return true;
    std::fprintf(stderr, "zud_encrypt_tqrr: --rootkeymax: %s\n", error.c_str());
    return false;
}

// A zud_user_key file binds the keymax's first user key (--ukey1 of
// --keysig): its entry must carry the user key's digest.
int check_first_user_key(const zud_keymax& keymax, const Digest& user_key, const char* key_path,
                         const char* keymax_path) {
    if (keymax.user.entries[0].key_digest == user_key) return 0;
    const bool other_user_key = key_matrix_names(keymax.user, user_key);
    std::fprintf(stderr, "zud_encrypt_tqrr: the key in %s is not the first user key of the keymax in %s; %s\n",
                 key_path, keymax_path,
                 other_user_key ? "it is another of its user keys, which sign through --userkey "
                                  "(a zud_user_key file binds only the --ukey1 of --keysig)"
                                : "it is none of its user keys: give the key that was --ukey1 "
                                  "of --keysig");
    return kKeybndKeyNotInKeymax;
}

// Copies the whole of `in` from its start to `out`.
bool copy_stream(std::FILE* in, std::FILE* out) {
    Buffer chunk(kCopyChunk);
    if (!chunk.ok() || !seek_to(in, 0)) return false;
    for (;;) {
        const std::size_t n = read_some(in, chunk.bytes());
        if (n > 0 && !write_all(out, chunk.bytes().first(n))) return false;
        if (n < chunk.size()) return std::ferror(in) == 0;
    }
}

// The user key file: the --ukey file (its bytes as read, or read again when
// it is a text key too long to have been kept whole), the keymax and the
// AES key.
bool write_user_key_file(std::FILE* out, const zud_key_file_image& user_key, ConstBytes keymax,
                         ConstBytes aes) {
    const auto write = [out](ConstBytes bytes) { return write_all(out, bytes); };
    if (user_key.head.size() == user_key.size) {
        return encode_user_key_file(user_key.head.bytes(), keymax, aes, write) &&
               std::fflush(out) == 0;
    }
    std::string error;
    File key = open_input(user_key.path.c_str(), error);
    return key && copy_stream(key.get(), out) && write_all(out, keymax) && write_all(out, aes) &&
           std::fflush(out) == 0;
}

// The user key file carries the --ukey file's own bytes, so --ukey must be
// a key file: a key in a token is never copied out of it, and a PEM key is
// converted first.
bool refuse_unbindable_key(const char* value, const zud_key_file_image& file) {
    if (is_pkcs11_uri(value)) {
        std::fprintf(stderr,
                     "zud_encrypt_tqrr: --ukey %s names a key in a token, but a zud_user_key "
                     "file holds a copy of the private key; sign with the key where it is: "
                     "--bootsig --userkey URI --rootkeymax KEYMAX --aeskey AES32, --imgsig "
                     "--userkey URI --aeskey AES32, --upgsig --userkey URI\n",
                     value);
        return true;
    }
    if (value != nullptr && is_pem_file(file)) {
        std::fprintf(stderr,
                     "zud_encrypt_tqrr: --ukey %s is a PEM key, but a zud_user_key file holds a "
                     "key file; convert it (zud_keytool convert --pem %s --form full --output "
                     "KEY), or sign with it directly through --userkey\n",
                     value, value);
        return true;
    }
    // A zud_user_key file is read as a key file by its size: one made from
    // a short-form key file (N, E, D only) is too long for that form and no
    // text, so nothing could load its key again.
    if (value != nullptr && (file.size == kShortKeyFileSize || file.size == kShortKeyFileSizeAlt)) {
        std::fprintf(stderr,
                     "zud_encrypt_tqrr: --ukey %s is a short-form key file, and a zud_user_key file "
                     "made from one cannot be loaded again; bind the key as a full-form key file "
                     "(zud_keytool convert --pem KEY.pem --form full)\n",
                     value);
        return true;
    }
    return false;
}

// The keymax is checked as a device checks it before anything is written:
// a user key file whose keymax no device accepts would only fail on a board.
int bind_user_key(const char* const* slots, const zud_key_file_image& ukey, const char* output,
                  MutBytes aes) {
    const char* keymax_path = slots[kKeymaxSlot];
    std::array<std::uint8_t, kKeymaxSize> keymax_bytes{};
    if (!read_keymax(keymax_path, keymax_bytes)) return kKeybndFailed;
    Digest user_key{};
    if (const int r = user_key_digest(ukey, user_key); r != 0) return r;
    const auto keymax = decode_keymax(keymax_bytes);
    if (const int r = refuse_untrusted_keymax(keymax, keymax_path,
                                              {kKeybndKeymaxInvalid, kKeybndKeymaxSignature});
        r != 0) {
        return r;
    }
    if (slots[kAesKeySlot] != nullptr) {
        if (const int r = read_aes_key_file(slots[kAesKeySlot], aes); r != 0) return r;
    }
    if (const int r = check_first_user_key(*keymax, user_key, ukey.path.c_str(), keymax_path); r != 0) {
        return r;
    }
    // The file carries a private key and the AES key: owner only, from its
    // first byte on.
    OutputFile out(output, Exposure::kSecret);
    if (!out.ok()) {
        std::fprintf(stderr, "zud_encrypt_tqrr: %s\n", out.error().c_str());
        return kKeybndFailed;
    }
    if (!write_user_key_file(out.stream(), ukey, keymax_bytes, aes)) {
        std::fprintf(stderr, "zud_encrypt_tqrr: cannot write %s: %s\n", output, std::strerror(errno));
        return kKeybndFailed;
    }
    if (out.commit()) return 0;
    std::fprintf(stderr, "zud_encrypt_tqrr: %s\n", out.error().c_str());
    return out.not_durable() ? kKeybndNotDurable : kKeybndFailed;
}

}  // namespace

namespace {

int sign_key_max(const char* const* paths, const MatrixEntries& entries, SigningKey* signer,
                 const std::string& signer_failure);
int sign_fix(const char* input, const char* key, SigningKey* signer,
             const std::string& signer_failure, const char* output);

}  // namespace

const CommandSyntax& keysig_command_syntax() { return kKeysigSyntax; }
const CommandSyntax& keybnd_command_syntax() { return kKeybndSyntax; }

int zud_sig_key(int argc, char** argv) {
    std::array<const char*, kKeysigSlots> slots{};
    const CommandLine line = read_command_line(kKeysigSyntax, argc, argv, slots);
    if (!line.runs()) return line.result();
    if (line.given <= 2) {
        std::fprintf(stderr, "zud_encrypt_tqrr: --keysig needs --rkey1, --ukey1, --skey and "
                             "--output at least\n");
        return kKeysigBadArguments;
    }
    CommandSigner external;
    if (const int refused = external.open(&slots[kKeysigSignerSlot], slots[kSigningKeySlot], "--skey", argc, argv,
                                          std::vector<const char*>(slots.begin(), slots.begin() + 8),
                                          kKeysigBadArguments);
        refused != 0) {
        return refused;
    }
    for (std::size_t i = 0; i < 8; ++i) {
        // Missing root keys default to --rkey1, missing user keys to --ukey1.
        if (slots[i] == nullptr) slots[i] = slots[i < 4 ? 0 : 4];
        if (!is_pkcs11_uri(slots[i]) && !path_exists(slots[i])) {
            std::printf("zud log: error! Illegal key file %s\n",
                        slots[i] != nullptr ? slots[i] : "(null)");
            if (slots[i] == nullptr) {
                std::fprintf(stderr, "zud_encrypt_tqrr: --keysig needs --%s KEY\n",
                             kKeysigOptions[i < 4 ? 0 : 4].name);
            } else {
                std::fprintf(stderr, "zud_encrypt_tqrr: --%s %s names no file; give the path of a "
                                     "key file\n", kKeysigOptions[i].name, slots[i]);
            }
            return kKeysigBadArguments;
        }
    }
    SigningKeySource source = command_key_source(slots[kModuleSlot], slots[kPassphraseSlot]);
    source.external = external.get();
    MatrixEntries entries{};
    auto files = std::make_unique<MatrixFiles>();
    if (const int refused = check_matrix_keys(slots, source, entries, *files); refused != 0) return refused;
    if (external.get() != nullptr) know_matrix_keys(slots.data(), source, *external.get());
    for (const std::size_t i : {kSigningKeySlot, kOutputSlot}) {
        if (slots[i] == nullptr) {
            std::fprintf(stderr, "zud_encrypt_tqrr: --keysig needs --%s %s\n", kKeysigOptions[i].name,
                         i == kOutputSlot ? "KEYMAX (the file to write)"
                                          : "KEY (the root private key that signs the keymax)");
            return kKeysigFailed;
        }
    }
    std::string failure;
    const std::unique_ptr<SigningKey> signer =
        slots[kSigningKeySlot] != nullptr ? open_signer(slots.data(), *files, source, failure) : nullptr;
    if (const int refused = check_signer_is_root(slots, signer.get(), entries); refused != 0) {
        return refused;
    }
    if (signer) signer->set_slot("keymax");
    return external.finish(sign_key_max(slots.data(), entries, signer.get(), failure), kKeysigFailed);
}

int zud_sig_key_max(const char* const* paths) {
    if (paths == nullptr || paths[kSigningKeySlot] == nullptr || paths[kOutputSlot] == nullptr) {
        return kKeysigFailed;
    }
    const SigningKeySource source = command_key_source(nullptr, nullptr);
    MatrixEntries entries{};
    auto files = std::make_unique<MatrixFiles>();
    std::string failure;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (!key_entry_of(paths[i], source, entries[i], 0, failure, (*files)[i])) return kKeysigFailed;
    }
    const std::unique_ptr<SigningKey> signer = open_signer(paths, *files, source, failure);
    return sign_key_max(paths, entries, signer.get(), failure);
}

int zud_signature_file_fix(const char* input, const char* key, const char* output) {
    std::string failure;
    const std::unique_ptr<SigningKey> signer =
        key != nullptr ? open_signing_key(key, command_key_source(nullptr, nullptr), failure)
                       : nullptr;
    return sign_fix(input, key, signer.get(), failure, output);
}

namespace {

int sign_key_max(const char* const* paths, const MatrixEntries& entries, SigningKey* signer,
                 const std::string& signer_failure) {
    if (paths[kSigningKeySlot] == nullptr || paths[kOutputSlot] == nullptr) return kKeysigFailed;
    const std::span<const char* const> keys(paths, kSigningKeySlot + 1);
    if (overwrites_input(paths[kOutputSlot], keys)) return kKeysigFailed;
    // The matrices go to a work file of an unpredictable name beside the
    // output, removed on every path whatever signing returns.
    OutputFile matrices = make_work_file(paths[kOutputSlot]);
    if (!matrices.ok()) {
        std::fprintf(stderr, "zud_encrypt_tqrr: %s\n", matrices.error().c_str());
        return kKeysigFailed;
    }
    if (!write_key_matrix(matrices.stream(), std::span(entries).first(4)) ||
        !write_key_matrix(matrices.stream(), std::span(entries).subspan(4)) ||
        !matrices.close_stream()) {
        return kKeysigFailed;
    }
    return sign_fix(matrices.temp_path().c_str(), paths[kSigningKeySlot], signer, signer_failure,
                    paths[kOutputSlot]);
}

int sign_fix(const char* input, const char* key, SigningKey* signer,
             const std::string& signer_failure, const char* output) {
    if (input == nullptr || output == nullptr) return kKeysigFailed;
    const bool bl2_mode = std::strcmp(output, kBl2OutputName) == 0;
    const char* const inputs[] = {input, key};
    if (overwrites_input(output, inputs)) return kKeysigFailed;
    std::string error;
    File in = open_input(input, error);
    if (!in) {
        std::fprintf(stderr, "zud_encrypt_tqrr: %s\n", error.c_str());
        return kKeysigFailed;
    }
    const auto input_size = stream_size(in.get());
    if (!input_size) return kKeysigFailed;
    const auto payload_size = payload_size_of(*input_size, bl2_mode);
    if (!payload_size) return kKeysigFailed;
    Buffer block(kPayloadOffset + *payload_size);
    if (!block.ok() ||
        !read_exact(in.get(), block.bytes().subspan(kPayloadOffset, *input_size))) {
        return kKeysigFailed;
    }
    in.reset();
    if (!usable_signing_key(signer, signer_failure)) return kKeysigFailed;
    // A key whose data does not fit the key area leaves it empty (key_type 0).
    const std::uint8_t key_type = place_fixed_key(*signer, block.bytes()).value_or(0);
    const auto header = fixed_block_header(
        1, key_type, static_cast<std::uint32_t>(kSignedBlockHeaderSize + signer->length()),
        kFixedKeyAreaSize, static_cast<std::uint32_t>(*payload_size));
    encode_signed_block_header(header, block.bytes().first<kSignedBlockHeaderSize>());
    if (seal_fixed_block(block.bytes(), signer) != 0) {
        std::fprintf(stderr, "zud_encrypt_tqrr: signing with %s failed: %s\n", key,
                     signer->failure().c_str());
        return kKeysigFailed;
    }
    // The keymax reaches its name whole or not at all.
    OutputFile out(output, Exposure::kPublic);
    if (!out.ok()) {
        std::fprintf(stderr, "zud_encrypt_tqrr: %s\n", out.error().c_str());
        return kKeysigFailed;
    }
    if (!write_keymax(out.stream(), block.bytes())) return kKeysigFailed;
    if (out.commit()) return 0;
    std::fprintf(stderr, "zud_encrypt_tqrr: %s\n", out.error().c_str());
    return out.not_durable() ? kKeysigNotDurable : kKeysigFailed;
}

}  // namespace

int zud_key_bnd(int argc, char** argv) {
    std::array<const char*, 4> slots{};
    const CommandLine line = read_command_line(kKeybndSyntax, argc, argv, slots);
    if (!line.runs()) return line.result();
    // The --ukey file is read once: checked, loaded and copied from here.
    zud_key_file_image ukey;
    std::string unread;
    const bool read = !is_pkcs11_uri(slots[kUserKeySlot]) &&
                      read_key_file_image(slots[kUserKeySlot], ukey, &unread);
    if (refuse_unbindable_key(slots[kUserKeySlot], ukey)) return kKeybndFailed;
    for (const std::size_t i : {kUserKeySlot, kKeymaxSlot}) {
        if (!path_exists(slots[i])) {
            std::printf("zud log: error! Illegal input %s\n", kKeybndOptions[i].name);
            if (slots[i] == nullptr) {
                std::fprintf(stderr, "zud_encrypt_tqrr: --keybnd needs --%s %s\n", kKeybndOptions[i].name,
                             i == kUserKeySlot ? "KEY" : "KEYMAX");
            } else {
                std::fprintf(stderr, "zud_encrypt_tqrr: --%s %s names no file; give the path of an "
                                     "existing file\n", kKeybndOptions[i].name, slots[i]);
            }
            return kKeybndFailed;
        }
    }
    if (!read) {
        std::fprintf(stderr, "zud_encrypt_tqrr: --ukey: %s\n", unread.c_str());
        return kKeybndFailed;
    }
    // The AES key protects every encrypted bootloader, so it comes from the
    // OS generator; its 32 rand() draws keep every later value in place.
    Buffer aes(kAesKeySize);
    if (!aes.ok() || !fill_secret(aes.bytes())) {
        std::fprintf(stderr, "zud_encrypt_tqrr: the system's random generator failed\n");
        return kKeybndFailed;
    }
    const auto output = user_key_file_name(slots.data(), aes.bytes());
    if (!output) {
        std::fprintf(stderr, "zud_encrypt_tqrr: output name longer than %zu characters\n",
                     kMaxPathLength);
        return kKeybndFailed;
    }
    const std::span<const char* const> inputs(slots.data(), 3);
    if (overwrites_input(output->c_str(), inputs)) return kKeybndFailed;
    return bind_user_key(slots.data(), ukey, output->c_str(), aes.bytes());
}
