#include "boot_image.h"

#include <cstring>

namespace {

constexpr std::size_t kKernelSizeAt = 0x08;
constexpr std::size_t kRamdiskSizeAt = 0x10;
constexpr std::size_t kSecondSizeAt = 0x18;
constexpr std::size_t kPageSizeAt = 0x24;
constexpr std::size_t kHeaderVersionAt = 0x28;
constexpr std::size_t kRecoveryDtboSizeAt = 0x660;
constexpr std::size_t kDtbSizeAt = 0x670;

}  // namespace

std::optional<zud_boot_image_header> decode_boot_image_header(ConstBytes page) {
    if (page.size() < kBootHeaderPageSize) return std::nullopt;
    zud_boot_image_header h;
    h.android_magic = std::memcmp(page.data(), "ANDROID!", 8) == 0;
    h.kernel_size = get_le32(page, kKernelSizeAt);
    h.ramdisk_size = get_le32(page, kRamdiskSizeAt);
    h.second_size = get_le32(page, kSecondSizeAt);
    h.page_size = get_le32(page, kPageSizeAt);
    h.header_version = get_le32(page, kHeaderVersionAt);
    if (h.header_version == 1 || h.header_version == 2) h.recovery_dtbo_size = get_le32(page, kRecoveryDtboSizeAt);
    if (h.header_version == 2) h.dtb_size = get_le32(page, kDtbSizeAt);
    return h;
}

void encode_boot_image_part_sizes(MutBytes page, std::uint32_t kernel_size,
                                  std::uint32_t ramdisk_size) {
    put_le32(page, kKernelSizeAt, kernel_size);
    put_le32(page, kRamdiskSizeAt, ramdisk_size);
}
