// Upgrade signatures: the --upgsig handler, signing and checking the
// trailing block, and the stream digest beneath them.
#include "upgrade.h"

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
#include "keyfile.h"
#include "progress.h"
#include "signing_key.h"

namespace {

constexpr std::size_t kUpgradeDigestOffset = 16;
constexpr std::uint64_t kSizeUnit = 16;

enum Slot : std::size_t { kSlotInput = 0, kSlotKey = 1, kSlotOption = 2, kSlotCount = 3 };
// The handler's further options; the worker takes the first three slots.
enum HandlerSlot : std::size_t {
    kSlotUserKey = 3,
    kSlotPkcs11Module = 4,
    kSlotPassphraseFile = 5,
    kHandlerSlotCount = 6,
};

const option kUpgradeOptions[] = {
    {"input", required_argument, nullptr, 0},
    {"zuduserkey", required_argument, nullptr, 0},
    {"option", required_argument, nullptr, 0},
    {"userkey", required_argument, nullptr, 0},
    {"pkcs11-module", required_argument, nullptr, 0},
    {"passphrase-file", required_argument, nullptr, 0},
    {nullptr, 0, nullptr, 0},
};

using WorkArea = std::array<std::uint8_t, kUpgradeWorkAreaSize>;

// Only the exact word selects checking; any other value signs.
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
        return kUpgradeIllegalFile;
    }
    if (*size % kSizeUnit != 0) {
        std::printf("zud log: error! Illegal file size [%s] \n", path);
        return kUpgradeIllegalFile;
    }
    return 0;
}

// A modulus that can carry the block: at least up to the end of the
// digest, and no longer than the work area.
bool carries_block(std::size_t len, const std::string& name) {
    if (len >= kUpgradeMinModulus && len <= kUpgradeWorkAreaSize) return true;
    std::fprintf(stderr,
                 "zud_encrypt_tqrr: the key in %s has a %zu-byte modulus; an upgrade "
                 "signature needs 48 to 1024 bytes\n",
                 name.c_str(), len);
    return false;
}

// Checking needs the public half only.
bool open_check_key(const char* value, const SigningKeySource& source, RsaKey& key) {
    if (value == nullptr) return false;
    std::string reason;
    if (!open_public_key(value, source, key, reason)) {
        std::fprintf(stderr, "zud_encrypt_tqrr: %s\n", reason.c_str());
        return false;
    }
    return carries_block(key.ctx.len, value);
}

std::unique_ptr<SigningKey> open_upgrade_key(const char* value, const SigningKeySource& source) {
    if (value == nullptr) return nullptr;
    std::string reason;
    auto key = open_signing_key(value, source, reason);
    if (!key) std::fprintf(stderr, "zud_encrypt_tqrr: %s\n", reason.c_str());
    return key;
}

// SHA-256 of `count` bytes of the stream's file from `offset` into `digest`.
// The file is read beside the stream, in large pieces, while the digest of
// the piece before is taken.
int digest_range(std::FILE* stream, std::uint64_t offset, std::uint64_t count,
                 std::uint8_t* digest, Progress* progress = nullptr) {
    Sha256 sha;
    const RangeRead read = read_range(::fileno(stream), offset, count, [&](ConstBytes step) {
        sha.update(step);
        add_progress(progress, step.size());
        return true;
    });
    // No memory to read into fails the read like the end of the file does.
    if (read != RangeRead::kDone) return kFileSha2ShortRead;
    const Digest out = sha.finish();
    std::copy(out.begin(), out.end(), digest);
    return 0;
}

// Digest of the signed range: the first `signed_size` bytes of the file.
// zud_file_sha2, counting the bytes into `progress`.
int file_sha2(std::FILE* stream, std::uint8_t* digest, std::uint64_t count, Progress* progress) {
    if (stream == nullptr || digest == nullptr) return kFileSha2NoStream;
    const auto start = tell(stream);
    const auto end = stream_size(stream);
    if (!start || !end) return kFileSha2NoStream;
    const std::uint64_t available = *end > *start ? *end - *start : 0;
    if (count == kFileSha2ToEnd) count = available;
    if (count % kSizeUnit != 0) return kFileSha2BadCount;
    if (count > available) return kFileSha2ShortRead;
    // Measuring the stream sought to its end, which wrote out anything it
    // held for writing: the file has every byte the stream has.
    const int result = digest_range(stream, *start, count, digest, progress);
    if (!seek_to(stream, *start)) return kFileSha2NoStream;
    return result;
}

int digest_signed_range(std::FILE* f, std::uint64_t signed_size, std::uint8_t* digest) {
    if (!seek_to(f, 0)) return kUpgradeOpenFailed;
    Progress progress("zud_encrypt_tqrr: upgrade signature", signed_size);
    return file_sha2(f, digest, signed_size, &progress) == 0 ? 0 : kUpgradeOpenFailed;
}

// Checking: opens the block that ends the file with the public key and
// compares the digest it carries with the digest of the bytes before it.
int check_signed_file(std::FILE* f, RsaKey& key, std::uint64_t size) {
    const std::size_t len = key.ctx.len;
    if (size < len) {
        std::fprintf(stderr, "zud_encrypt_tqrr: the file is shorter than a %zu-byte signature block\n",
                     len);
        return kUpgradeNoBlock;
    }
    const std::uint64_t signed_size = size - len;
    WorkArea block{};
    if (!seek_to(f, signed_size) || !read_exact(f, MutBytes(block).first(len))) {
        return kUpgradeNoBlock;
    }
    std::array<std::uint8_t, kSha256Size> digest{};
    const int result = digest_signed_range(f, signed_size, digest.data());
    if (result != 0) return result;
    WorkArea opened{};
    if (zud_rsa_public(&key.ctx, block.data(), opened.data()) != 0) return kUpgradeRsaFailed;
    // As a device does, only the digest is compared.
    const auto carried = decode_upgrade_block(ConstBytes(opened).first(len));
    return carried && carried->digest == digest ? 0 : kUpgradeMismatch;
}

// Appends the block at `size` through the descriptor, so that no part of it
// can linger in a stream buffer and reach the file after a failure. A block
// that does not reach the file whole is cut off again: the file never ends
// in part of one.
bool append_block(std::FILE* f, std::uint64_t size, ConstBytes block) {
    const int fd = ::fileno(f);
    if (pwrite_full(fd, block, size) == block.size()) return true;
    if (::ftruncate(fd, static_cast<off_t>(size)) != 0) {
        std::fprintf(stderr, "zud_encrypt_tqrr: could not cut a partly written block off again\n");
    }
    return false;
}

// Signing: builds the plain block over the whole file, raises it with the
// private key (the key-format flag decides how) and appends it. Nothing is
// written unless the private operation succeeded.
int sign_file(std::FILE* f, SigningKey& key, std::uint64_t size) {
    WorkArea plain{};
    WorkArea block{};
    std::array<std::uint8_t, kSha256Size> digest{};
    const int result = digest_signed_range(f, size, digest.data());
    if (result != 0) return result;
    const std::size_t len = key.length();
    encode_upgrade_block(digest, MutBytes(plain).first(len));
    if (key.private_raw(ConstBytes(plain).first(len), MutBytes(block).first(len)) != 0) {
        std::fprintf(stderr, "zud_encrypt_tqrr: %s\n", key.failure().c_str());
        return kUpgradeRsaFailed;
    }
    if (!append_block(f, size, ConstBytes(block).first(len))) {
        std::fprintf(stderr, "zud_encrypt_tqrr: cannot write the signature block\n");
        return kUpgradeWriteFailed;
    }
    // On the disk before the command says it signed; a block that cannot
    // be made durable is cut off again.
    if (::fsync(::fileno(f)) != 0) {
        (void)::ftruncate(::fileno(f), static_cast<off_t>(size));
        std::fprintf(stderr, "zud_encrypt_tqrr: cannot write the signature block to the disk\n");
        return kUpgradeWriteFailed;
    }
    return 0;
}

// Closes the signed file. Some file systems report a failed write only when
// the file is closed; the block may then be incomplete, so the file is cut
// back to its size before signing.
int close_signed_file(File file, const char* path, std::uint64_t size) {
    if (std::fclose(file.release()) == 0) return 0;
    if (::truncate(path, static_cast<off_t>(size)) != 0) {
        std::fprintf(stderr, "zud_encrypt_tqrr: could not cut a partly written block off again\n");
    }
    std::fprintf(stderr, "zud_encrypt_tqrr: cannot write the signature block\n");
    return kUpgradeWriteFailed;
}

int sign_path(const char* path, std::uint64_t size, SigningKey& key) {
    if (!carries_block(key.length(), key.name())) return kUpgradeBadKey;
    File file = open_file(path, "rb+");
    if (!file) return kUpgradeOpenFailed;
    const int result = sign_file(file.get(), key, size);
    if (result != 0) return result;
    return close_signed_file(std::move(file), path, size);
}

int upgrade_file(const char* const* slots, const SigningKeySource& source) {
    const char* path = slots != nullptr ? slots[kSlotInput] : nullptr;
    const auto size = file_size(path);
    if (!size) return kUpgradeNoInput;
    // Signing a key file in place would change the key it is signed with.
    if (same_file(path, slots[kSlotKey])) {
        std::fprintf(stderr, "zud_encrypt_tqrr: %s is the key file itself; give the file to sign "
                             "or check and the key separately\n", path);
        return kUpgradeInputIsKey;
    }
    if (is_check_mode(slots[kSlotOption])) {
        RsaKey key;
        if (!open_check_key(slots[kSlotKey], source, key)) return kUpgradeBadKey;
        File file = open_file(path, "rb+");
        if (!file) return kUpgradeOpenFailed;
        return check_signed_file(file.get(), key, *size);
    }
    const std::unique_ptr<SigningKey> key = open_upgrade_key(slots[kSlotKey], source);
    if (!key) return kUpgradeBadKey;
    return sign_path(path, *size, *key);
}

}  // namespace

void encode_upgrade_block(std::span<const std::uint8_t, 32> digest, std::span<std::uint8_t> block) {
    std::fill(block.begin(), block.end(), 0);
    std::copy(digest.begin(), digest.end(), block.begin() + kUpgradeDigestOffset);
}

std::optional<zud_upgrade_block> decode_upgrade_block(std::span<const std::uint8_t> opened) {
    if (opened.size() < kUpgradeMinModulus) return std::nullopt;
    zud_upgrade_block b;
    std::copy_n(opened.begin() + kUpgradeDigestOffset, b.digest.size(), b.digest.begin());
    const auto zero = [](std::uint8_t v) { return v == 0; };
    b.zero_padding = std::all_of(opened.begin(), opened.begin() + kUpgradeDigestOffset, zero) &&
                     std::all_of(opened.begin() + kUpgradeDigestOffset + 32, opened.end(), zero);
    return b;
}

int zud_file_sha2(std::FILE* stream, std::uint8_t* digest, std::uint64_t count) {
    return file_sha2(stream, digest, count, nullptr);
}

int zud_sig_upgrade_file(const char* const* slots) {
    return upgrade_file(slots, command_key_source(nullptr, nullptr));
}

int zud_sig_upgrade_file_key(const char* path, SigningKey& key) {
    const auto size = file_size(path);
    if (!size) return kUpgradeNoInput;
    return sign_path(path, *size, key);
}

int zud_sig_upgrade(int argc, char** argv) {
    std::array<const char*, kHandlerSlotCount> slots{};
    parse_option_slots(argc, argv, kUpgradeOptions, slots);
    int result = check_named_file("input", slots[kSlotInput]);
    if (result == 0) result = check_named_file("zuduserkey", slots[kSlotKey]);
    if (result == 0 && slots[kSlotKey] != nullptr && slots[kSlotUserKey] != nullptr) {
        std::fprintf(stderr, "zud_encrypt_tqrr: give the key once: --zuduserkey or --userkey, "
                             "not both\n");
        result = kUpgradeTwoKeys;
    }
    const char* mode = "signature";
    const char* option = slots[kSlotOption];
    if (result == 0 && option != nullptr && !is_check_mode(option)) {
        std::fprintf(stderr,
                     "zud_encrypt_tqrr: --option %s is not \"chk\"; %s is signed, not checked "
                     "(give --option chk to check it)\n",
                     option, slots[kSlotInput] != nullptr ? slots[kSlotInput] : "the file");
    }
    if (result == 0) {
        if (is_check_mode(slots[kSlotOption])) mode = "signature verify";
        const char* key = slots[kSlotKey] != nullptr ? slots[kSlotKey] : slots[kSlotUserKey];
        const char* const file_slots[kSlotCount] = {slots[kSlotInput], key, slots[kSlotOption]};
        result = upgrade_file(file_slots,
                              command_key_source(slots[kSlotPkcs11Module], slots[kSlotPassphraseFile]));
    }
    std::printf("zud log: upgrade %s %s!\n", mode, result == 0 ? "pass" : "fail");
    return result;
}

int zud_upgrade_signature(SigningKey& key, const Digest& digest, MutBytes block) {
    const std::size_t len = key.length();
    if (len < kUpgradeMinModulus || len > kUpgradeWorkAreaSize || block.size() != len) return kUpgradeBadKey;
    WorkArea plain{};
    encode_upgrade_block(digest, MutBytes(plain).first(len));
    if (key.private_raw(ConstBytes(plain).first(len), block) != 0) {
        std::fprintf(stderr, "zud_encrypt_tqrr: %s\n", key.failure().c_str());
        return kUpgradeRsaFailed;
    }
    return 0;
}
