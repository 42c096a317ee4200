// The eFuse pattern record.
#include "efuse_pattern.h"

#include <algorithm>

namespace {

// eFuse pattern bytes.
constexpr std::size_t kEfuseFlagsLow = 6;
constexpr std::size_t kEfuseFlagsHigh = 7;
constexpr std::uint8_t kEfuseLowBits = 0x07;      // bits 48, 49, 50
constexpr std::uint8_t kEfuseHighBits = 0x28;     // bits 59, 61
constexpr std::uint8_t kEfuseEncryptBit = 0x10;   // bit 60
constexpr std::size_t kEfuseRootDigestAt = 48;
constexpr std::size_t kEfuseAesKeyAt = 80;
constexpr std::size_t kEfuseUsedEnd = kEfuseAesKeyAt + kAesKeySize;  // 112

bool all_zero(ConstBytes b) {
    return std::all_of(b.begin(), b.end(), [](std::uint8_t v) { return v == 0; });
}

}  // namespace

void encode_efuse_pattern(const zud_efuse_pattern& p, std::span<std::uint8_t, kEfusePatternSize> out) {
    std::fill(out.begin(), out.end(), 0);
    out[kEfuseFlagsLow] = kEfuseLowBits;
    out[kEfuseFlagsHigh] = static_cast<std::uint8_t>(kEfuseHighBits | (p.encrypted ? kEfuseEncryptBit : 0));
    std::copy(p.root_digest.begin(), p.root_digest.end(), out.begin() + kEfuseRootDigestAt);
    if (p.encrypted) std::copy(p.aes_key.begin(), p.aes_key.end(), out.begin() + kEfuseAesKeyAt);
}

std::optional<zud_efuse_pattern> decode_efuse_pattern(ConstBytes in, const char** reason) {
    const auto refuse = [&](const char* why) {
        if (reason != nullptr) *reason = why;
        return std::nullopt;
    };
    if (in.size() < kEfusePatternSize) return refuse("the eFuse pattern is shorter than 512 bytes");
    const ConstBytes p = in.first(kEfusePatternSize);
    zud_efuse_pattern e;
    e.encrypted = p[kEfuseFlagsHigh] == (kEfuseHighBits | kEfuseEncryptBit);
    if (!all_zero(p.first(kEfuseFlagsLow)) || p[kEfuseFlagsLow] != kEfuseLowBits ||
        (p[kEfuseFlagsHigh] != kEfuseHighBits && !e.encrypted)) {
        return refuse("the eFuse control bits are not those of a secure-boot pattern");
    }
    if (!all_zero(p.subspan(kEfuseFlagsHigh + 1, kEfuseRootDigestAt - kEfuseFlagsHigh - 1)) ||
        !all_zero(p.subspan(kEfuseUsedEnd))) {
        return refuse("bytes the eFuse pattern leaves zero are not zero");
    }
    std::copy_n(p.begin() + kEfuseRootDigestAt, kSha256Size, e.root_digest.begin());
    std::copy_n(p.begin() + kEfuseAesKeyAt, kAesKeySize, e.aes_key.begin());
    if (!e.encrypted && !all_zero(e.aes_key)) return refuse("an unencrypted pattern carries an AES key");
    return e;
}
