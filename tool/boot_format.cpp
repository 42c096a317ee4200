// The bootloader's byte formats: the BL2 area, the FIP table of contents and
// the eFuse pattern.
#include <algorithm>
#include <cstring>

#include "boot.h"
#include "keymax.h"

namespace {

constexpr std::size_t kEntryOffsetAt = 16;  // within an entry
constexpr std::size_t kEntrySizeAt = 24;
constexpr std::size_t kEntryFlagsAt = 32;
constexpr std::uint64_t kMax32 = 0xFFFFFFFF;

constexpr std::size_t toc_entry_at(std::size_t index) { return kTocHeaderSize + index * kTocEntrySize; }

zud_toc_entry decode_toc_entry(ConstBytes toc, std::size_t index) {
    const std::size_t at = toc_entry_at(index);
    zud_toc_entry e;
    std::copy_n(toc.begin() + static_cast<std::ptrdiff_t>(at), e.uuid.size(), e.uuid.begin());
    e.offset = get_le64(toc, at + kEntryOffsetAt);
    e.size = get_le64(toc, at + kEntrySizeAt);
    e.flags = get_le64(toc, at + kEntryFlagsAt);
    return e;
}

void encode_toc_entry(const zud_toc_entry& e, MutBytes toc, std::size_t index) {
    const std::size_t at = toc_entry_at(index);
    std::copy(e.uuid.begin(), e.uuid.end(), toc.begin() + static_cast<std::ptrdiff_t>(at));
    put_le64(toc, at + kEntryOffsetAt, e.offset);
    put_le64(toc, at + kEntrySizeAt, e.size);
    put_le64(toc, at + kEntryFlagsAt, e.flags);
}

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

std::optional<zud_bl2_area> decode_bl2_area(ConstBytes area) {
    if (area.size() < kBl2AreaSize) return std::nullopt;
    zud_bl2_area a;
    std::copy_n(area.begin(), kIvPrefixSize, a.iv_prefix.begin());
    const auto first = decode_signed_block_header(area.subspan(kBl2DigestBlockOffset));
    if (!first) return std::nullopt;
    const bool keymax_first = first->total_size == kKeymaxBlockSize;
    a.signing = keymax_first;
    a.block_offset = keymax_first ? kBl2SigningBlockOffset : kBl2DigestBlockOffset;
    const auto h = keymax_first ? decode_signed_block_header(area.subspan(a.block_offset)) : first;
    if (!h || !fits(kBl2AreaSize, a.block_offset, h->total_size)) return std::nullopt;
    a.header = *h;
    a.block = area.subspan(a.block_offset, h->total_size);
    return a;
}

std::optional<zud_fip_toc> decode_fip_toc(ConstBytes region, const char** reason) {
    const auto refuse = [&](const char* why) {
        if (reason != nullptr) *reason = why;
        return std::nullopt;
    };
    if (region.size() < kTocRegionSize) return refuse("the table of contents is cut short");
    zud_fip_toc toc;
    toc.name = get_le32(region, 0);
    toc.serial = get_le32(region, 4);
    toc.flags = get_le64(region, 8);
    if (toc.name != kTocName || toc.serial != kTocSerial || toc.flags != 0) {
        return refuse("the table of contents header is not a FIP's");
    }
    for (std::size_t i = 0; toc_entry_at(i + 1) <= kTocRegionSize; ++i) {
        const zud_toc_entry e = decode_toc_entry(region, i);
        if (e.size == 0) {
            toc.end = e;
            return toc;
        }
        toc.entries.push_back(e);
    }
    return refuse("the table of contents has no terminating entry");
}

void encode_fip_toc(const zud_fip_toc& toc, MutBytes region) {
    put_le32(region, 0, toc.name);
    put_le32(region, 4, toc.serial);
    put_le64(region, 8, toc.flags);
    for (std::size_t i = 0; i < toc.entries.size(); ++i) encode_toc_entry(toc.entries[i], region, i);
    encode_toc_entry(toc.end, region, toc.entries.size());
}

const char* check_toc_entries(const zud_fip_toc& toc, std::uint64_t fip_size, std::size_t& bad_entry) {
    for (std::size_t i = 0; i < toc.entries.size(); ++i) {
        const zud_toc_entry& e = toc.entries[i];
        if (e.offset > kMax32 - kFipOffset || e.size > kMax32 || !fits(fip_size, e.offset, e.size)) {
            bad_entry = i;
            return "a table of contents entry does not lie inside the file";
        }
    }
    return nullptr;
}

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
