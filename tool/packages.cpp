// Device packages and SD images: --mkpsd, --mkcusid and --mksd.
#include "packages.h"

#include <getopt.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

#include "builtin.h"
#include "cli.h"
#include "crypto.h"
#include "files.h"
#include "progress.h"
#include "rng.h"

namespace {

constexpr std::size_t kSdFillerSize = 512;

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
    // The image takes its name only when it is whole.
    OutputFile out(output, Exposure::kPublic);
    if (!out.ok()) {
        std::fprintf(stderr, "zud_encrypt_tqrr: %s\n", out.error().c_str());
        return -1;
    }
    std::array<std::uint8_t, kSdFillerSize> filler{};
    fill_random(filler);
    // The size for the progress line, taken beside the stream so that its
    // position (where the copy starts) stays as it is.
    struct stat st {};
    const bool sized = ::fstat(::fileno(in.get()), &st) == 0;
    Progress progress("zud_encrypt_tqrr: mksd", sized ? static_cast<std::uint64_t>(st.st_size) : 0);
    // The input follows the filler through the descriptors, so the filler
    // must be in the file first; nothing is written through the stream after.
    const bool copied = write_all(out.stream(), filler) && std::fflush(out.stream()) == 0 &&
                        copy_to_end(::fileno(in.get()), ::fileno(out.stream()), &progress);
    if (!copied || !out.commit()) {
        std::fprintf(stderr, "zud_encrypt_tqrr: cannot write the SD image %s\n", output);
        return -1;
    }
    return 0;
}

namespace {

constexpr std::size_t kChainMessageSize = 48;  // link, password, salt
constexpr int kChainRounds = 32;
constexpr std::size_t kBlockMaskAt = 12;

// One interface of the unlock password package: the flag bits it sets
// (bit n is bit n mod 8 of byte n / 8), where its digest goes and the mask
// of the two 16-byte blocks that hold the digest.
struct InterfaceLayout {
    PasswordInterface interface;
    const char* name;
    int flag_bits[2];  // 0 ends the list
    std::size_t digest_offset;
    std::uint32_t block_mask;
};

constexpr InterfaceLayout kInterfaces[] = {
    {PasswordInterface::kJtag, "jtag", {52, 0}, 128, 0x00000300},
    {PasswordInterface::kUsb, "usb", {65, 0}, 128, 0x00000300},
    {PasswordInterface::kScan, "scan", {51, 0}, 160, 0x00000C00},
    {PasswordInterface::kJtagUsb, "jtagusb", {52, 65}, 128, 0x00000300},
};

const InterfaceLayout& layout_of(PasswordInterface i) {
    for (const auto& l : kInterfaces)
        if (l.interface == i) return l;
    return kInterfaces[0];
}

// The package bytes an interface sets, digest aside: flags and mask.
void lay_out_flags(const InterfaceLayout& l, MutBytes package) {
    put_le32(package, kBlockMaskAt, l.block_mask);
    for (int bit : l.flag_bits)
        if (bit != 0) package[static_cast<std::size_t>(bit / 8)] |= static_cast<std::uint8_t>(1u << (bit % 8));
}

// Customer ID package: the identifier at 264, the block at 256 in the mask.
constexpr std::size_t kCustomerIdAt = 264;
constexpr std::uint32_t kCustomerIdMask = 0x00010000;

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

const char* password_interface_name(PasswordInterface i) { return layout_of(i).name; }

std::optional<PasswordInterface> password_interface_named(const char* name) {
    for (const auto& l : kInterfaces)
        if (name != nullptr && std::strcmp(name, l.name) == 0) return l.interface;
    return std::nullopt;
}

void password_digest(std::span<const std::uint8_t, kPasswordLength> password, std::uint32_t salt,
                     std::span<std::uint8_t, kSha256Size> out) {
    std::uint8_t message[kChainMessageSize] = {};
    std::copy(password.begin(), password.end(), message + kSha224Size);
    put_le32(message, kSha224Size + kPasswordLength, salt);
    std::fill(out.begin(), out.end(), 0);
    put_le32(out, kSha224Size, salt);
    for (int i = 0; i < kChainRounds; ++i) {
        std::memcpy(message, out.data(), kSha224Size);
        sha224(message, out.first<kSha224Size>());
    }
    wipe(message, sizeof message);
}

void encode_password_package(const zud_password_package& p, std::span<std::uint8_t, kPackageSize> out) {
    std::fill(out.begin(), out.end(), 0);
    const InterfaceLayout& l = layout_of(p.interface);
    lay_out_flags(l, out);
    std::copy(p.digest.begin(), p.digest.end(), out.begin() + static_cast<std::ptrdiff_t>(l.digest_offset));
}

std::optional<zud_password_package> decode_password_package(ConstBytes in, const char** reason) {
    if (in.size() < kPackageSize) {
        if (reason != nullptr) *reason = "the package is shorter than 512 bytes";
        return std::nullopt;
    }
    // A package is one interface's flags and mask plus its digest, every
    // other byte zero: lay each interface's out and compare.
    for (const auto& l : kInterfaces) {
        std::array<std::uint8_t, kPackageSize> expected{};
        lay_out_flags(l, expected);
        const auto digest_at = static_cast<std::ptrdiff_t>(l.digest_offset);
        std::copy_n(in.begin() + digest_at, kSha256Size, expected.begin() + digest_at);
        if (std::equal(expected.begin(), expected.end(), in.begin())) {
            zud_password_package p;
            p.interface = l.interface;
            std::copy_n(expected.begin() + digest_at, kSha256Size, p.digest.begin());
            return p;
        }
    }
    if (reason != nullptr) *reason = "the flags, block mask and digest place name no interface";
    return std::nullopt;
}

void encode_customer_id_package(const zud_customer_id_package& p,
                                std::span<std::uint8_t, kPackageSize> out) {
    std::fill(out.begin(), out.end(), 0);
    put_le32(out, kBlockMaskAt, kCustomerIdMask);
    std::copy(p.id.begin(), p.id.end(), out.begin() + kCustomerIdAt);
}

std::optional<zud_customer_id_package> decode_customer_id_package(ConstBytes in, const char** reason) {
    const auto refuse = [&](const char* why) {
        if (reason != nullptr) *reason = why;
        return std::nullopt;
    };
    if (in.size() < kPackageSize) return refuse("the package is shorter than 512 bytes");
    zud_customer_id_package p;
    for (std::size_t i = kCustomerIdAt; i < kCustomerIdAt + kCustomerIdMax && in[i] != 0; ++i) {
        p.id.push_back(static_cast<char>(in[i]));
    }
    if (p.id.size() < kCustomerIdMin) return refuse("the customer identifier is shorter than 5 bytes");
    std::array<std::uint8_t, kPackageSize> expected{};
    encode_customer_id_package(p, expected);
    if (!std::equal(expected.begin(), expected.end(), in.begin())) {
        return refuse("the block mask or the bytes around the identifier are not a customer ID package's");
    }
    return p;
}

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
    const auto interface = password_interface_named(slots[2]);
    if (!interface) return kPasswordBadInterface;

    zud_password_package package;
    package.interface = *interface;
    password_digest(std::span<const std::uint8_t, kPasswordLength>(
                        reinterpret_cast<const std::uint8_t*>(password), kPasswordLength),
                    random_u32(), package.digest);
    if (output == nullptr) {
        wipe(package.digest.data(), package.digest.size());
        return kPasswordNoOutput;
    }
    std::array<std::uint8_t, kPackageSize> bytes{};
    encode_password_package(package, bytes);
    wipe(package.digest.data(), package.digest.size());
    const int result = seal_package(bytes, output, kPasswordOpenFailed, kPasswordSignFailed);
    wipe(bytes.data(), bytes.size());
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
    if (length < kCustomerIdMin || length > kCustomerIdMax) {
        std::printf("zud log : Invalid customer ID  ! [5-8 chars]\n");
        return kCustomerIdLength;
    }
    if (output == nullptr) return kCustomerIdNoOutput;
    std::array<std::uint8_t, kPackageSize> package{};
    encode_customer_id_package({std::string(id, length)}, package);
    return seal_package(package, output, kCustomerIdOpenFailed, kCustomerIdSignFailed);
}
