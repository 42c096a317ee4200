// The FIP table of contents record.
#include "fip_toc.h"

#include <algorithm>

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

}  // namespace

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

void FipOutputLayout::place(zud_toc_entry& entry, std::uint64_t stored_length) {
    entry.offset = next_;
    entry.size = round_up_16(stored_length);
    next_ += round_up(entry.size, kStageAlignment);
}

bool FipOutputLayout::follows(const zud_toc_entry& entry) {
    const bool placed = entry.offset == next_ && entry.size != 0 && entry.size % 16 == 0;
    next_ += round_up(entry.size, kStageAlignment);
    return placed;
}

namespace {

struct KnownUuid {
    std::array<std::uint8_t, 16> uuid;
    const char* name;
};

// The firmware image package's well-known entries, as their UUIDs are
// stored in a table of contents, with their usual short names.
constexpr KnownUuid kKnownUuids[] = {
    {{0x5f, 0xf9, 0xec, 0x0b, 0x4d, 0x22, 0x3e, 0x4d, 0xa5, 0x44, 0xc3, 0x9d, 0x81, 0xc7, 0x3f, 0x0a}, "tb-fw"},
    {{0x97, 0x66, 0xfd, 0x3d, 0x89, 0xbe, 0xe8, 0x49, 0xae, 0x5d, 0x78, 0xa1, 0x40, 0x60, 0x82, 0x13}, "scp-fw"},
    {{0x47, 0xd4, 0x08, 0x6d, 0x4c, 0xfe, 0x98, 0x46, 0x9b, 0x95, 0x29, 0x50, 0xcb, 0xbd, 0x5a, 0x00}, "soc-fw"},
    {{0x05, 0xd0, 0xe1, 0x89, 0x53, 0xdc, 0x13, 0x47, 0x8d, 0x2b, 0x50, 0x0a, 0x4b, 0x7a, 0x3e, 0x38}, "tos-fw"},
    {{0xd6, 0xd0, 0xee, 0xa7, 0xfc, 0xea, 0xd5, 0x4b, 0x97, 0x82, 0x99, 0x34, 0xf2, 0x34, 0xb6, 0xe4}, "nt-fw"},
};

}  // namespace

const char* fip_uuid_name(std::span<const std::uint8_t, 16> uuid) {
    for (const KnownUuid& k : kKnownUuids) {
        if (std::equal(k.uuid.begin(), k.uuid.end(), uuid.begin())) return k.name;
    }
    return nullptr;
}
