// The signed kernel image: its image security header and stage records, and
// the layout of a packaged image.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include "boot_image.h"
#include "bytes.h"
#include "signed_block.h"
#include "stage_block.h"

// The only page size whose images this command reads and encrypts soundly.
inline constexpr std::uint32_t kImagePageSize = 2048;

// ---------------------------------------------------------------------------
// Stage record (96 bytes, little-endian), one per part:
//   0x00 stage_offset (u32): the stage's offset in the output
//   0x04 part_size (u32): the part's size from the boot image header
//   0x08 stage_length (u32): the stored length of the signed block, without
//        the zero bytes that align it
//   0x0C page_size (u32): the page size from the boot image header
//   0x10 stage_space (u32): stage_length rounded up to page_size, the bytes
//        the stage occupies in the output
//   0x14 12 reserved bytes, zero
//   0x20 stage_digest (32 bytes): SHA-256 of the stage_space bytes as stored
//        (encrypted), then stage_space as 4 little-endian bytes
//   0x40 key_hash (32 bytes): SHA-256 of the user key digest

inline constexpr std::size_t kStageRecordSize = 96;
inline constexpr std::size_t kImageStageCount = 3;

struct zud_stage_record {
    std::uint32_t stage_offset = 0;
    std::uint32_t part_size = 0;
    std::uint32_t stage_length = 0;
    std::uint32_t page_size = 0;
    std::uint32_t stage_space = 0;
    std::array<std::uint8_t, 32> stage_digest{};
    std::array<std::uint8_t, 32> key_hash{};
};

// What follows the stored stage in its stage_digest: stage_space as four
// little-endian bytes.
std::array<std::uint8_t, 4> stage_digest_suffix(std::uint32_t stage_space);

void encode_stage_record(const zud_stage_record& r,
                         std::span<std::uint8_t, kStageRecordSize> out);
// nullopt when fewer than 96 bytes are given.
std::optional<zud_stage_record> decode_stage_record(ConstBytes in);

// ---------------------------------------------------------------------------
// Image security header (320 bytes, little-endian), written at offset 1024
// of the header page of a signed image:
//   0x00 magic "ZUDSECU!" (8 bytes)    0x08 format_word (u32, 0x905)
//   0x0C stage_count (u32, 3)          0x10 timestamp (16 ASCII characters:
//        local year, month, day, hour, minute, second and the first two
//        digits of one rand() draw; no terminator)
//   0x20 stage record 0 (kernel)       0x80 stage record 1 (ramdisk)
//   0xE0 stage record 2 (second stage)

inline constexpr std::size_t kSecurityHeaderSize = 320;
inline constexpr std::size_t kSecurityHeaderOffset = 1024;
inline constexpr std::size_t kSecurityTimestampSize = 16;
inline constexpr std::uint32_t kSecurityFormatWord = 0x905;

struct zud_image_security_header {
    std::uint32_t format_word = kSecurityFormatWord;
    std::uint32_t stage_count = kImageStageCount;
    std::array<char, kSecurityTimestampSize> timestamp{};
    std::array<zud_stage_record, kImageStageCount> stages{};
};

void encode_image_security_header(const zud_image_security_header& h,
                                  std::span<std::uint8_t, kSecurityHeaderSize> out);

// Reads the security header from a header page (at 1024); nullopt when the
// page is shorter than 2048 bytes or the magic "ZUDSECU!" is not there.
std::optional<zud_image_security_header> decode_image_security_header(ConstBytes page);
// True when the page carries the magic (the image is already signed).
bool has_image_security_header(ConstBytes page);
// Writes the security header into a header page, at 1024.
void put_image_security_header(const zud_image_security_header& h, MutBytes page);

// Why the header is not one this command writes (format word, stage count,
// offsets and spaces that follow one another from 2048 on, page sizes of
// 2048, equal key hashes), or nullptr.
const char* check_image_security_header(const zud_image_security_header& h);

// ---------------------------------------------------------------------------
// Packaged image: the output of --imgsig without a key. The input's header
// page is kept as it was (its sizes still name the parts); each part is
// stored as a digest-only block (header region of 96 bytes) padded to a
// multiple of the 2048-byte page, one after the other from 2048 on. A part
// of 96 bytes or more has its first 96 bytes relocated behind the rest; a
// shorter one follows the header region directly.
inline constexpr std::uint64_t kPackagedHeadSize = kDigestOnlyHeadSize;

// The stored length of a part's digest-only block.
constexpr std::uint64_t packaged_block_length(std::uint32_t part_size) {
    const std::uint64_t padded = (std::uint64_t{part_size} + 15) / 16 * 16;
    return part_size >= kPackagedHeadSize ? kPackagedHeadSize + padded
                                          : kPackagedHeadSize + part_size;
}

// True when `h` is the header of the digest-only block a packaged image
// stores a part of `part_size` bytes in.
bool is_packaged_block_of(const zud_signed_block_header& h, std::uint32_t part_size);

// Where each part's block starts in a packaged image.
std::array<std::uint64_t, kImageStageCount> packaged_block_offsets(const zud_boot_image_header& boot);
