// The FIP table of contents, as a bootloader input and output carry it.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "bl2_area.h"
#include "bytes.h"

// ---------------------------------------------------------------------------
// FIP table of contents (a 16384-byte region, little-endian)
//
// 0x00 name (u32, 0xAA640001), 0x04 serial number (u32, 0x12345678), 0x08
// flags (u64, 0), then 40-byte entries: 0x00 UUID (16 bytes), 0x10 offset
// (u64, from the table's start), 0x18 size (u64), 0x20 flags (u64). The
// first entry of size 0 ends the table; it must lie inside the region.
// Offsets and sizes are used as 32-bit values. In an output a rewritten
// entry holds its stage block's offset and total_size, and the terminating
// entry's offset is the end of the last block.

inline constexpr std::size_t kTocRegionSize = 16384;
inline constexpr std::size_t kTocHeaderSize = 16;
inline constexpr std::size_t kTocEntrySize = 40;
inline constexpr std::uint32_t kTocName = 0xAA640001;
inline constexpr std::uint32_t kTocSerial = 0x12345678;

struct zud_toc_entry {
    std::array<std::uint8_t, 16> uuid{};
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
    std::uint64_t flags = 0;
};

struct zud_fip_toc {
    std::uint32_t name = kTocName;
    std::uint32_t serial = kTocSerial;
    std::uint64_t flags = 0;
    std::vector<zud_toc_entry> entries;  // before the terminating one; at most 408
    zud_toc_entry end;                   // the terminating entry (size 0)
};

// Reads the table; nullopt, with `reason` set, when the region is shorter
// than 16384 bytes, the header is not a FIP's, or no terminating entry lies
// inside the region.
std::optional<zud_fip_toc> decode_fip_toc(ConstBytes region, const char** reason);

// The short name of a well-known entry UUID ("tb-fw" for the BL2 image,
// "soc-fw" BL31, "tos-fw" BL32, "nt-fw" BL33, "scp-fw" the SCP image), or
// nullptr for any other.
const char* fip_uuid_name(std::span<const std::uint8_t, 16> uuid);

// Writes header, entries and the terminating entry into the 16384-byte
// `region`; the bytes behind the terminating entry are left as they are.
void encode_fip_toc(const zud_fip_toc& toc, MutBytes region);

// Every entry's offset and size must fit 32 bits and lie inside the
// `fip_size` bytes that follow the table's start. nullptr, or the reason
// with the index of the first entry that does not.
const char* check_toc_entries(const zud_fip_toc& toc, std::uint64_t fip_size, std::size_t& bad_entry);

// The output layout: the stage blocks follow the table's region, in table
// order, each starting on a 16 KiB boundary (the offsets count from the
// table's start, so the first block is at kTocRegionSize); a rewritten
// entry holds its block's offset and its stored length rounded up to 16
// (the block's total_size), and the terminating entry's offset is the end
// of the last block's space.
inline constexpr std::uint32_t kStageAlignment = 16384;

class FipOutputLayout {
public:
    // Points `entry` at the next block, of `stored_length` bytes.
    void place(zud_toc_entry& entry, std::uint64_t stored_length);
    // True when `entry` is where the next block goes (its offset, and a
    // size that is a non-zero multiple of 16); moves on past it either way.
    bool follows(const zud_toc_entry& entry);
    // Where the next block would start: after the last, the table's end.
    std::uint64_t next() const { return next_; }

private:
    std::uint64_t next_ = kTocRegionSize;
};
