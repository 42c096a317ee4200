// The upgrade trailer's plain block.
#include "upgrade_block.h"

#include <algorithm>
#include <array>

#include "crypto.h"
#include "files.h"
#include "progress.h"
#include "rsa.h"

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

zud_upgrade_trailer read_upgrade_trailer(int fd, std::uint64_t file_size, mbedtls_rsa_context& key,
                                         Progress* progress) {
    zud_upgrade_trailer t;
    const std::size_t len = key.len;
    if (len < kUpgradeMinModulus || len > kUpgradeWorkAreaSize || file_size < len) {
        t.state = TrailerState::kShortFile;
        return t;
    }
    t.signed_size = file_size - len;
    std::array<std::uint8_t, kUpgradeWorkAreaSize> block{};
    if (pread_full(fd, MutBytes(block).first(len), t.signed_size) != len) {
        t.state = TrailerState::kBlockUnread;
        return t;
    }
    Sha256 sha;
    const RangeRead read = read_range(fd, 0, t.signed_size, [&](ConstBytes step) {
        sha.update(step);
        add_progress(progress, step.size());
        return true;
    });
    if (read != RangeRead::kDone) {
        t.state = TrailerState::kFileUnread;
        return t;
    }
    const zud_upgrade_trailer opened = open_upgrade_trailer(ConstBytes(block).first(len), sha.finish(), key);
    t.state = opened.state;
    t.zero_padding = opened.zero_padding;
    t.carried_digest = opened.carried_digest;
    return t;
}

zud_upgrade_trailer open_upgrade_trailer(ConstBytes block, const Digest& digest, mbedtls_rsa_context& key) {
    zud_upgrade_trailer t;
    t.state = TrailerState::kBlockUnread;
    if (block.size() != key.len || block.size() < kUpgradeMinModulus || block.size() > kUpgradeWorkAreaSize) return t;
    std::array<std::uint8_t, kUpgradeWorkAreaSize> opened{};
    if (zud_rsa_public(&key, block.data(), opened.data()) != 0) {
        t.state = TrailerState::kNotBelowModulus;
        return t;
    }
    const auto carried = decode_upgrade_block(ConstBytes(opened).first(block.size()));
    const auto zero = [](std::uint8_t v) { return v == 0; };
    // Opened with the key that made it, a block starts with the 16 zero
    // bytes a signer lays out; under any other key those bytes are as good
    // as random, so the chance that a wrong key passes this is 2^-128.
    if (!carried || !std::all_of(opened.begin(), opened.begin() + kUpgradeDigestOffset, zero)) {
        t.state = TrailerState::kOtherKey;
        return t;
    }
    t.carried_digest = carried->digest;
    if (carried->digest != digest) {
        t.state = TrailerState::kDigestDiffers;
        return t;
    }
    t.state = TrailerState::kMatches;
    t.zero_padding = carried->zero_padding;
    return t;
}
