// --upgsig: the handler, and checking the trailing block.
#include "upgsig.h"

#include <getopt.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <array>
#include <cstring>
#include <memory>
#include <span>
#include <string>

#include "cli.h"
#include "crypto.h"
#include "files.h"
#include "key_block.h"
#include "keyfile.h"
#include "progress.h"
#include "command_signer.h"
#include "signing_key.h"

namespace {

constexpr std::uint64_t kSizeUnit = 16;

enum Slot : std::size_t { kSlotInput = 0, kSlotKey = 1, kSlotOption = 2, kSlotCount = 3 };
// The handler's further options; the worker takes the first three slots.
enum HandlerSlot : std::size_t {
    kSlotUserKey = 3,
    kSlotPkcs11Module = 4,
    kSlotPassphraseFile = 5,
    kSlotSigner = 6,  // the six signer options from here on
    kHandlerSlotCount = kSlotSigner + kSignerOptionCount,
};

const option kUpgradeOptions[] = {
    {"input", required_argument, nullptr, 0},
    {"zuduserkey", required_argument, nullptr, 0},
    {"option", required_argument, nullptr, 0},
    {"userkey", required_argument, nullptr, 0},
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

const CommandSyntax kUpgradeSyntax{
    "upgsig", kUpgradeOptions,
    " --input FILE --zuduserkey KEY|--userkey KEY [--option chk]\n"
    "        [--pkcs11-module FILE] [--passphrase-file FILE]\n"
    "        [--signer 'PROGRAM [ARGS]' | --export-requests DIR | --import-signatures DIR\n"
    "         --signer-key PUB [--signer-timeout S]]   (instead of --userkey; raw-block)\n"
    "Appends the upgrade signature block to FILE in place (FILE a multiple of 16 bytes);\n"
    "with --option chk it writes nothing and checks the block FILE ends with.\n",
    kUpgsigResults};

// Only the exact word selects checking (the handler refuses any other).
bool is_check_mode(const char* option) {
    return option != nullptr && std::strcmp(option, "chk") == 0;
}

// The handler's look at one named file before anything is opened. An empty
// slot is left to the file routine.
int check_named_file(const char* name, const char* path) {
    if (path == nullptr) return 0;
    const auto size = file_size(path);
    if (!size) {
        std::printf("zud log: error! Illegal [%s] %s\n", name, path);
        std::fprintf(stderr, "zud_encrypt_tqrr: --%s %s names no file; give the path of an "
                             "existing file\n", name, path);
        return kUpgradeIllegalFile;
    }
    if (*size % kSizeUnit != 0) {
        std::printf("zud log: error! Illegal file size [%s] \n", path);
        std::fprintf(stderr, "zud_encrypt_tqrr: %s has %llu bytes, not a multiple of 16; pad it "
                             "to a multiple of 16 bytes before signing\n",
                     path, static_cast<unsigned long long>(*size));
        return kUpgradeIllegalFile;
    }
    return 0;
}

// Checking needs the public half only.
bool open_check_key(const char* value, const SigningKeySource& source, RsaKey& key) {
    if (value == nullptr) {
        std::fprintf(stderr, "zud_encrypt_tqrr: --upgsig needs the key: --zuduserkey KEY or --userkey KEY\n");
        return false;
    }
    std::string reason;
    if (!open_public_key(value, source, key, reason)) {
        std::fprintf(stderr, "zud_encrypt_tqrr: %s\n", reason.c_str());
        return false;
    }
    return trailer_key_fits(key.ctx.len, value);
}

std::unique_ptr<SigningKey> open_upgrade_key(const char* value, const SigningKeySource& source) {
    if (value == nullptr) {
        std::fprintf(stderr, "zud_encrypt_tqrr: --upgsig needs the key: --zuduserkey KEY or --userkey KEY\n");
        return nullptr;
    }
    std::string reason;
    auto key = open_signing_key(value, source, reason);
    if (!key) {
        std::fprintf(stderr, "zud_encrypt_tqrr: %s\n", reason.c_str());
        return nullptr;
    }
    // The trailer is the raw private operation: a key that cannot make it
    // is refused before the file is touched.
    if (!key->can_raw(reason)) {
        std::fprintf(stderr, "zud_encrypt_tqrr: %s\n", reason.c_str());
        return nullptr;
    }
    key->set_slot("upgrade trailer");
    return key;
}

// Checking: opens the block that ends the file with the public key and
// compares the digest it carries with the digest of the bytes before it.
// As a device does, only the digest is compared.
int check_signed_file(std::FILE* f, RsaKey& key, std::uint64_t size) {
    const std::size_t len = key.ctx.len;
    if (size < len) {
        std::fprintf(stderr, "zud_encrypt_tqrr: the file is shorter than a %zu-byte signature block\n",
                     len);
        return kUpgradeNoBlock;
    }
    // The signed range is digested as zud_file_sha2 digests, in whole
    // 16-byte units.
    if ((size - len) % kSizeUnit != 0) {
        std::fprintf(stderr, "zud_encrypt_tqrr: the file less its %zu-byte signature block is not a "
                             "multiple of 16 bytes, so no block of this key ends it\n", len);
        return kUpgradeOpenFailed;
    }
    Progress progress("zud_encrypt_tqrr: upgrade signature", size - len);
    const zud_upgrade_trailer t = read_upgrade_trailer(::fileno(f), size, key.ctx, &progress);
    switch (t.state) {
        case TrailerState::kMatches: return 0;
        case TrailerState::kShortFile:
        case TrailerState::kBlockUnread:
            std::fprintf(stderr, "zud_encrypt_tqrr: cannot read the signature block at the end of "
                                 "the file: %s\n", std::strerror(errno));
            return kUpgradeNoBlock;
        case TrailerState::kFileUnread:
            std::fprintf(stderr, "zud_encrypt_tqrr: cannot read the signed part of the file: %s\n",
                         std::strerror(errno));
            return kUpgradeOpenFailed;
        case TrailerState::kNotBelowModulus:
            std::fprintf(stderr, "zud_encrypt_tqrr: the last %zu bytes of the file are no signature "
                                 "block of this key (their value is not below its modulus)\n", len);
            return kUpgradeRsaFailed;
        case TrailerState::kOtherKey: {
            const Digest given = public_key_digest(key.ctx).value_or(Digest{});
            std::fprintf(stderr, "zud_encrypt_tqrr: the file is not signed by this key (key digest %s): "
                                 "its last %zu bytes do not open to a signature block under it; check with "
                                 "the key that signed it\n", hex_text(given).c_str(), len);
            return kUpgradeMismatch;
        }
        case TrailerState::kDigestDiffers: break;
    }
    std::fprintf(stderr, "zud_encrypt_tqrr: the file changed after signing: its signature block "
                         "opens under this key, but the digest it carries is not that of the "
                         "%llu bytes before it\n", static_cast<unsigned long long>(size - len));
    return kUpgradeMismatch;
}

int upgrade_file(const char* const* slots, const SigningKeySource& source) {
    const char* path = slots != nullptr ? slots[kSlotInput] : nullptr;
    const auto size = file_size(path);
    if (!size) {
        if (path == nullptr) {
            std::fprintf(stderr, "zud_encrypt_tqrr: --upgsig needs --input FILE\n");
        } else {
            std::fprintf(stderr, "zud_encrypt_tqrr: cannot take the size of %s: %s\n", path,
                         std::strerror(errno));
        }
        return kUpgradeNoInput;
    }
    // Signing a key file in place would change the key it is signed with.
    if (same_file(path, slots[kSlotKey])) {
        std::fprintf(stderr, "zud_encrypt_tqrr: %s is the key file itself; give the file to sign "
                             "or check and the key separately\n", path);
        return kUpgradeInputIsKey;
    }
    if (is_check_mode(slots[kSlotOption])) {
        RsaKey key;
        if (!open_check_key(slots[kSlotKey], source, key)) return kUpgradeBadKey;
        std::string error;
        // Checking reads the file and nothing more, so a read-only file checks.
        File file = open_input(path, error, InputUse::kRead);
        if (!file) {
            std::fprintf(stderr, "zud_encrypt_tqrr: %s\n", error.c_str());
            return kUpgradeOpenFailed;
        }
        return check_signed_file(file.get(), key, *size);
    }
    const std::unique_ptr<SigningKey> key = open_upgrade_key(slots[kSlotKey], source);
    if (!key) return kUpgradeBadKey;
    return zud_sig_upgrade_file_key(path, *key);
}

}  // namespace

int zud_sig_upgrade_file(const char* const* slots) {
    return upgrade_file(slots, command_key_source(nullptr, nullptr));
}

const CommandSyntax& upgsig_command_syntax() { return kUpgradeSyntax; }

int zud_sig_upgrade(int argc, char** argv) {
    std::array<const char*, kHandlerSlotCount> slots{};
    const CommandLine line = read_command_line(kUpgradeSyntax, argc, argv, slots);
    if (!line.runs()) return line.result();
    if (slots[kSlotOption] != nullptr && !is_check_mode(slots[kSlotOption])) {
        std::fprintf(stderr,
                     "zud_encrypt_tqrr: --option takes only \"chk\" (check the signature), not "
                     "\"%s\"; nothing was done to %s (give no --option to sign it)\n",
                     slots[kSlotOption], slots[kSlotInput] != nullptr ? slots[kSlotInput] : "the file");
        return kUpgradeBadOption;
    }
    int result = check_named_file("input", slots[kSlotInput]);
    if (result == 0) result = check_named_file("zuduserkey", slots[kSlotKey]);
    if (result == 0 && slots[kSlotKey] != nullptr && slots[kSlotUserKey] != nullptr) {
        std::fprintf(stderr, "zud_encrypt_tqrr: give the key once: --zuduserkey or --userkey, "
                             "not both\n");
        result = kUpgradeTwoKeys;
    }
    CommandSigner signer;
    if (result == 0 && slots[kSlotKey] != nullptr && any_signer_option(&slots[kSlotSigner])) {
        std::fprintf(stderr, "zud_encrypt_tqrr: --zuduserkey holds its own key; give --signer-key "
                             "without it\n");
        result = kUpgradeTwoKeys;
    }
    if (result == 0) {
        result = signer.open(&slots[kSlotSigner], slots[kSlotUserKey], "--userkey", argc, argv,
                             {slots[kSlotInput]}, kUpgradeBadKey);
    }
    const char* mode = "signature";
    if (result == 0) {
        if (is_check_mode(slots[kSlotOption])) mode = "signature verify";
        const char* key = slots[kSlotKey] != nullptr ? slots[kSlotKey] : slots[kSlotUserKey];
        const char* const file_slots[kSlotCount] = {slots[kSlotInput], key, slots[kSlotOption]};
        SigningKeySource source = command_key_source(slots[kSlotPkcs11Module], slots[kSlotPassphraseFile]);
        source.external = signer.get();
        result = signer.finish(upgrade_file(file_slots, source), kUpgradeWriteFailed);
    }
    std::printf("zud log: upgrade %s %s!\n", mode, result == 0 ? "pass" : "fail");
    return result;
}
