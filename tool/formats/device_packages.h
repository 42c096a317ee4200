// The unlock-password and customer-ID packages.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "bytes.h"
#include "crypto.h"

// Both packages are 512 bytes, every byte zero unless listed, and are stored
// in the built-in signer's signed and encrypted form (1168 bytes). Bit n of
// a package is bit n mod 8 of byte n / 8; the block mask at 12 (u32) has bit
// k set for each 16-byte block k that carries data.
//
// Unlock password package: byte 6 bits 48-55 and byte 8 bits 64-71 are the
// protection flags (JTAG bit 52, USB bit 65, scan bit 51); 0x0C block mask;
// the password digest (32 bytes) at 128 ("jtag", "usb", "jtagusb") or 160
// ("scan"): the last link of a chain of 32 SHA-224 iterations, each over the
// previous link (28 bytes, the first is zero), the 16 password bytes and the
// salt, followed by the salt (u32, one rand() draw).
//
// Customer ID package: block mask 0x00010000 at 12, the 5 to 8 identifier
// bytes at 264, zero-terminated by byte 272.

inline constexpr std::size_t kPackageSize = 512;
inline constexpr std::size_t kPasswordLength = 16;

enum class PasswordInterface { kJtag, kUsb, kScan, kJtagUsb };

struct zud_password_package {
    PasswordInterface interface = PasswordInterface::kJtag;
    // The last link of the chain and the salt, as stored (32 bytes).
    std::array<std::uint8_t, kSha256Size> digest{};
};

// The interface's name as the --option value spells it, and back.
const char* password_interface_name(PasswordInterface i);
std::optional<PasswordInterface> password_interface_named(const char* name);

void encode_password_package(const zud_password_package& p, std::span<std::uint8_t, kPackageSize> out);
// Reads and checks a package (flags, block mask and digest place agree with
// one interface, every other byte zero); nullopt with `reason` otherwise.
std::optional<zud_password_package> decode_password_package(ConstBytes in, const char** reason);

// The salted chain: H0 is 28 zero bytes and each of 32 links is the SHA-224
// of the previous link, the 16 password bytes and the 4 salt bytes (little-
// endian). The result is the last link followed by the salt.
void password_digest(std::span<const std::uint8_t, kPasswordLength> password, std::uint32_t salt,
                     std::span<std::uint8_t, kSha256Size> out);

inline constexpr std::size_t kCustomerIdMin = 5;
inline constexpr std::size_t kCustomerIdMax = 8;

struct zud_customer_id_package {
    std::string id;  // 5 to 8 bytes
};
void encode_customer_id_package(const zud_customer_id_package& p,
                                std::span<std::uint8_t, kPackageSize> out);
std::optional<zud_customer_id_package> decode_customer_id_package(ConstBytes in, const char** reason);
