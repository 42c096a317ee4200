// The image security header, its stage records and the packaged layout.
#include "image_header.h"

#include <algorithm>
#include <cstring>

void encode_stage_record(const zud_stage_record& r,
                         std::span<std::uint8_t, kStageRecordSize> out) {
    std::fill(out.begin(), out.end(), 0);
    put_le32(out, 0x00, r.stage_offset);
    put_le32(out, 0x04, r.part_size);
    put_le32(out, 0x08, r.stage_length);
    put_le32(out, 0x0C, r.page_size);
    put_le32(out, 0x10, r.stage_space);
    // 0x14 to 0x1F stay zero (reserved).
    std::copy(r.stage_digest.begin(), r.stage_digest.end(), out.begin() + 0x20);
    std::copy(r.key_hash.begin(), r.key_hash.end(), out.begin() + 0x40);
}

void encode_image_security_header(const zud_image_security_header& h,
                                  std::span<std::uint8_t, kSecurityHeaderSize> out) {
    std::fill(out.begin(), out.end(), 0);
    std::memcpy(out.data(), "ZUDSECU!", 8);
    put_le32(out, 0x08, h.format_word);
    put_le32(out, 0x0C, h.stage_count);
    std::memcpy(out.data() + 0x10, h.timestamp.data(), kSecurityTimestampSize);
    for (std::size_t i = 0; i < kImageStageCount; ++i) {
        encode_stage_record(h.stages[i], std::span<std::uint8_t, kStageRecordSize>(
                                             out.data() + 0x20 + i * kStageRecordSize,
                                             kStageRecordSize));
    }
}

std::array<std::uint8_t, 4> stage_digest_suffix(std::uint32_t stage_space) {
    std::array<std::uint8_t, 4> suffix{};
    put_le32(suffix, 0, stage_space);
    return suffix;
}

std::optional<zud_stage_record> decode_stage_record(ConstBytes in) {
    if (in.size() < kStageRecordSize) return std::nullopt;
    zud_stage_record r;
    r.stage_offset = get_le32(in, 0x00);
    r.part_size = get_le32(in, 0x04);
    r.stage_length = get_le32(in, 0x08);
    r.page_size = get_le32(in, 0x0C);
    r.stage_space = get_le32(in, 0x10);
    std::copy_n(in.begin() + 0x20, r.stage_digest.size(), r.stage_digest.begin());
    std::copy_n(in.begin() + 0x40, r.key_hash.size(), r.key_hash.begin());
    return r;
}

bool has_image_security_header(ConstBytes page) {
    return fits(page.size(), kSecurityHeaderOffset, kSecurityHeaderSize) &&
           std::memcmp(page.data() + kSecurityHeaderOffset, "ZUDSECU!", 8) == 0;
}

std::optional<zud_image_security_header> decode_image_security_header(ConstBytes page) {
    if (page.size() < kBootHeaderPageSize || !has_image_security_header(page)) return std::nullopt;
    const ConstBytes in = page.subspan(kSecurityHeaderOffset, kSecurityHeaderSize);
    zud_image_security_header h;
    h.format_word = get_le32(in, 0x08);
    h.stage_count = get_le32(in, 0x0C);
    std::memcpy(h.timestamp.data(), in.data() + 0x10, kSecurityTimestampSize);
    for (std::size_t i = 0; i < kImageStageCount; ++i) {
        h.stages[i] = *decode_stage_record(in.subspan(0x20 + i * kStageRecordSize, kStageRecordSize));
    }
    return h;
}

void put_image_security_header(const zud_image_security_header& h, MutBytes page) {
    encode_image_security_header(
        h, std::span<std::uint8_t, kSecurityHeaderSize>(page.data() + kSecurityHeaderOffset,
                                                        kSecurityHeaderSize));
}

const char* check_image_security_header(const zud_image_security_header& h) {
    if (h.format_word != kSecurityFormatWord) return "the security header's format word is not 0x905";
    if (h.stage_count != kImageStageCount) return "the security header does not describe 3 stages";
    std::uint64_t offset = kBootHeaderPageSize;
    for (const zud_stage_record& r : h.stages) {
        if (r.page_size != kImagePageSize) return "a stage record's page size is not 2048";
        if (r.stage_offset != offset) return "a stage does not start where the one before it ends";
        if (r.stage_space != round_up(r.stage_length, r.page_size)) {
            return "a stage record's space is not its length rounded up to the page";
        }
        if (r.key_hash != h.stages[0].key_hash) return "the stage records carry different key hashes";
        offset += r.stage_space;
    }
    return nullptr;
}

std::array<std::uint64_t, kImageStageCount> packaged_block_offsets(const zud_boot_image_header& boot) {
    const std::uint32_t parts[] = {boot.kernel_size, boot.ramdisk_size, boot.second_size};
    std::array<std::uint64_t, kImageStageCount> offsets{};
    std::uint64_t at = kBootHeaderPageSize;
    for (std::size_t i = 0; i < kImageStageCount; ++i) {
        offsets[i] = at;
        at += round_up(packaged_block_length(parts[i]), kImagePageSize);
    }
    return offsets;
}

bool is_packaged_block_of(const zud_signed_block_header& h, std::uint32_t part_size) {
    const std::uint64_t payload = round_up_16(part_size);
    return h.sig_type == 0 && h.sig_size == kDigestSlotSize && h.key_size == 0 &&
           h.payload_offset == kPackagedHeadSize && h.payload_size == payload &&
           h.total_size == payload + kPackagedHeadSize;
}
