// The upgrade trailer's plain block.
#include "upgrade_block.h"

#include <algorithm>

namespace {

constexpr std::size_t kUpgradeDigestOffset = 16;

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
