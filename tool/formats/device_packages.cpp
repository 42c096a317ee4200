// The unlock-password and customer-ID package records.
#include "device_packages.h"

#include <algorithm>
#include <cstring>

#include "files.h"

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
