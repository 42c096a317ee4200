// Device packages and SD images: --mkpsd, --mkcusid and --mksd.
#include "builtin.h"

#include <getopt.h>

#include <array>
#include <cstdio>
#include <cstring>

#include "cli.h"
#include "crypto.h"
#include "files.h"
#include "rng.h"

namespace {

constexpr std::size_t kSdFillerSize = 512;
constexpr std::size_t kSdCopyBuffer = 10240;

// Copies the rest of `in` to `out` through `buffer`; false on a read or
// write error.
bool copy_stream(std::FILE* in, std::FILE* out, MutBytes buffer) {
    for (;;) {
        const std::size_t n = read_some(in, buffer);
        if (n == 0) return std::ferror(in) == 0;
        if (!write_all(out, buffer.first(n))) return false;
    }
}

}  // namespace

int zud_mk_sd(int argc, char** argv) {
    static const option options[] = {
        {"input", required_argument, nullptr, 0},
        {"output", required_argument, nullptr, 0},
        {nullptr, 0, nullptr, 0},
    };
    const char* slots[2] = {};
    parse_option_slots(argc, argv, options, slots);
    const char* input = slots[0];
    const char* output = slots[1];
    // Replacing the output would destroy the input it names.
    if (same_file(input, output)) {
        std::fprintf(stderr, "zud_encrypt_tqrr: --input and --output name the same file\n");
        return -1;
    }
    File in = open_file(input, "rb");
    if (!in || output == nullptr) return -1;
    Buffer buffer(kSdCopyBuffer);
    if (!buffer.ok()) return -1;
    // The image takes its name only when it is whole.
    OutputFile out(output, Exposure::kPublic);
    if (!out.ok()) {
        std::fprintf(stderr, "zud_encrypt_tqrr: %s\n", out.error().c_str());
        return -1;
    }
    fill_random(buffer.bytes().first(kSdFillerSize));
    const bool copied = write_all(out.stream(), buffer.bytes().first(kSdFillerSize)) &&
                        copy_stream(in.get(), out.stream(), buffer.bytes());
    if (!copied || !out.commit()) {
        std::fprintf(stderr, "zud_encrypt_tqrr: cannot write the SD image %s\n", output);
        return -1;
    }
    return 0;
}

namespace {

constexpr std::size_t kPackageSize = 512;
constexpr std::size_t kPasswordLength = 16;
constexpr std::size_t kChainMessageSize = 48;  // link, password, salt
constexpr int kChainRounds = 32;

// One interface of the unlock password package: the flag bits it sets
// (bit n is bit n mod 8 of byte n / 8), where its digest goes and the mask
// of the two 16-byte blocks that hold the digest.
struct PasswordInterface {
    const char* name;
    int flag_bits[2];  // 0 ends the list
    std::size_t digest_offset;
    std::uint32_t block_mask;
};

constexpr PasswordInterface kInterfaces[] = {
    {"jtag", {52, 0}, 128, 0x00000300},
    {"usb", {65, 0}, 128, 0x00000300},
    {"scan", {51, 0}, 160, 0x00000C00},
    {"jtagusb", {52, 65}, 128, 0x00000300},
};

const PasswordInterface* find_interface(const char* name) {
    for (const auto& i : kInterfaces)
        if (std::strcmp(name, i.name) == 0) return &i;
    return nullptr;
}

// The salted chain: H0 is 28 zero bytes and each link is the SHA-224 of the
// previous link, the 16 password bytes and the 4 salt bytes. The result is
// the last link followed by the salt.
void password_digest(const char* password, std::uint32_t salt,
                     std::span<std::uint8_t, kSha256Size> out) {
    std::uint8_t message[kChainMessageSize] = {};
    std::memcpy(message + kSha224Size, password, kPasswordLength);
    put_le32(message, kSha224Size + kPasswordLength, salt);
    std::fill(out.begin(), out.end(), 0);
    put_le32(out, kSha224Size, salt);
    for (int i = 0; i < kChainRounds; ++i) {
        std::memcpy(message, out.data(), kSha224Size);
        sha224(message, out.first<kSha224Size>());
    }
    wipe(message, sizeof message);
}

// Writes the package to a temporary file, seals it there with the built-in
// key and only then gives it its name: an unsigned package never stands
// under the output's name, and a failure leaves an earlier file as it was.
int seal_package(ConstBytes package, const char* path, int write_failed, int sign_failed) {
    OutputFile out(path, Exposure::kPublic);
    if (!out.ok()) {
        std::fprintf(stderr, "zud_encrypt_tqrr: %s\n", out.error().c_str());
        return write_failed;
    }
    if (!write_all(out.stream(), package) || !out.close_stream()) return write_failed;
    const int signed_result = zud_tq_internal_sig(out.temp_path().c_str());
    if (signed_result != 0) {
        std::fprintf(stderr, "zud_encrypt_tqrr: signing %s failed (%d)\n", path, signed_result);
        return sign_failed;
    }
    return out.commit() ? 0 : write_failed;
}

}  // namespace

int zud_mk_password(int argc, char** argv) {
    static const option options[] = {
        {"password", required_argument, nullptr, 0},
        {"output", required_argument, nullptr, 0},
        {"option", required_argument, nullptr, 0},
        {nullptr, 0, nullptr, 0},
    };
    const char* slots[3] = {};
    parse_option_slots(argc, argv, options, slots);
    const char* password = slots[0];
    const char* output = slots[1];
    if (password == nullptr) return kPasswordMissing;
    if (std::strlen(password) != kPasswordLength) {
        std::printf("zud log : Invalid password ! [16 chars]\n");
        return kPasswordBadLength;
    }
    if (slots[2] == nullptr) return kPasswordNoInterface;
    const PasswordInterface* interface = find_interface(slots[2]);
    if (interface == nullptr) return kPasswordBadInterface;

    std::array<std::uint8_t, kSha256Size> digest{};
    password_digest(password, random_u32(), digest);
    if (output == nullptr) {
        wipe(digest.data(), digest.size());
        return kPasswordNoOutput;
    }
    std::array<std::uint8_t, kPackageSize> package{};
    put_le32(package, 12, interface->block_mask);
    for (int bit : interface->flag_bits)
        if (bit != 0) package[static_cast<std::size_t>(bit / 8)] |= static_cast<std::uint8_t>(1u << (bit % 8));
    std::memcpy(package.data() + interface->digest_offset, digest.data(), digest.size());
    wipe(digest.data(), digest.size());
    const int result = seal_package(package, output, kPasswordOpenFailed, kPasswordSignFailed);
    wipe(package.data(), package.size());
    return result;
}

int zud_mk_customer_id(int argc, char** argv) {
    static const option options[] = {
        {"customerid", required_argument, nullptr, 0},
        {"output", required_argument, nullptr, 0},
        {nullptr, 0, nullptr, 0},
    };
    const char* slots[2] = {};
    parse_option_slots(argc, argv, options, slots);
    const char* id = slots[0];
    const char* output = slots[1];
    if (id == nullptr) return kCustomerIdMissing;
    const std::size_t length = std::strlen(id);
    if (length < 5 || length > 8) {
        std::printf("zud log : Invalid customer ID  ! [5-8 chars]\n");
        return kCustomerIdLength;
    }
    if (output == nullptr) return kCustomerIdNoOutput;
    std::array<std::uint8_t, kPackageSize> package{};
    put_le32(package, 12, 0x00010000);  // the block at 256 holds the identifier
    std::memcpy(package.data() + 264, id, length);
    return seal_package(package, output, kCustomerIdOpenFailed, kCustomerIdSignFailed);
}
