// The Android boot image header page, as far as the tool reads and writes
// it: shared by --sha (section digests) and --imgsig (kernel images).
#pragma once

#include <cstdint>
#include <optional>

#include "bytes.h"

// Header page (the first 2048 bytes), the fields used, all u32 little-
// endian: 0x00 magic "ANDROID!" (8 bytes), 0x08 kernel size, 0x10 ramdisk
// size, 0x18 second stage size, 0x24 page size, 0x28 header version.
// Versions 1 and 2 add the recovery DTBO size at 0x660 and version 2 the
// DTB size at 0x670. The parts follow the header page, each starting on a
// page boundary.

inline constexpr std::size_t kBootHeaderPageSize = 2048;

struct zud_boot_image_header {
    bool android_magic = false;      // "ANDROID!" at 0
    std::uint32_t kernel_size = 0;
    std::uint32_t ramdisk_size = 0;
    std::uint32_t second_size = 0;
    std::uint32_t page_size = 0;
    std::uint32_t header_version = 0;
    std::uint32_t recovery_dtbo_size = 0;  // header versions 1 and 2
    std::uint32_t dtb_size = 0;            // header version 2
};

// Reads the fields from a header page; nullopt when fewer than 2048 bytes
// are given. The magic is reported, not required (--sha does not check it).
std::optional<zud_boot_image_header> decode_boot_image_header(ConstBytes page);

// The part sizes a signed kernel image's header page carries: the kernel
// and ramdisk size fields take the stored stage sizes; nothing else changes.
void encode_boot_image_part_sizes(MutBytes page, std::uint32_t kernel_size,
                                  std::uint32_t ramdisk_size);
