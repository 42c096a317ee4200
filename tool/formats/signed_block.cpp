#include "signed_block.h"

#include <cstring>

void encode_signed_block_header(const zud_signed_block_header& h,
                                std::span<std::uint8_t, kSignedBlockHeaderSize> out) {
    std::memcpy(out.data(), "@ZUD", 4);
    put_le32(out, 0x04, h.total_size);
    out[0x08] = h.header_size;
    out[0x09] = h.reserved_09;
    out[0x0A] = h.version;
    out[0x0B] = h.reserved_0b;
    put_le32(out, 0x0C, h.nonce);
    put_le32(out, 0x10, h.sig_type);
    put_le32(out, 0x14, h.sig_offset);
    put_le32(out, 0x18, h.sig_size);
    put_le32(out, 0x1C, h.signed_data_offset);
    put_le32(out, 0x20, h.key_type);
    put_le32(out, 0x24, h.key_offset);
    put_le32(out, 0x28, h.key_size);
    put_le32(out, 0x2C, h.signed_data_size);
    put_le32(out, 0x30, h.reserved_30);
    put_le32(out, 0x34, h.payload_offset);
    put_le32(out, 0x38, h.payload_size);
    put_le32(out, 0x3C, h.reserved_3c);
}

std::optional<zud_signed_block_header> decode_signed_block_header(ConstBytes in) {
    if (in.size() < kSignedBlockHeaderSize || std::memcmp(in.data(), "@ZUD", 4) != 0) {
        return std::nullopt;
    }
    zud_signed_block_header h;
    h.total_size = get_le32(in, 0x04);
    h.header_size = in[0x08];
    h.reserved_09 = in[0x09];
    h.version = in[0x0A];
    h.reserved_0b = in[0x0B];
    h.nonce = get_le32(in, 0x0C);
    h.sig_type = get_le32(in, 0x10);
    h.sig_offset = get_le32(in, 0x14);
    h.sig_size = get_le32(in, 0x18);
    h.signed_data_offset = get_le32(in, 0x1C);
    h.key_type = get_le32(in, 0x20);
    h.key_offset = get_le32(in, 0x24);
    h.key_size = get_le32(in, 0x28);
    h.signed_data_size = get_le32(in, 0x2C);
    h.reserved_30 = get_le32(in, 0x30);
    h.payload_offset = get_le32(in, 0x34);
    h.payload_size = get_le32(in, 0x38);
    h.reserved_3c = get_le32(in, 0x3C);
    return h;
}

const char* check_signed_block_header(const zud_signed_block_header& h) {
    if (h.header_size != kSignedBlockHeaderSize) return "header_size is not 64";
    if (h.version != 1) return "version is not 1";
    if (h.reserved_0b != 0) return "reserved byte 11 is not 0";
    if (h.sig_offset != kSignedBlockHeaderSize) return "sig_offset is not 64";
    return nullptr;
}
