// The fixed-layout signed block's header.
#include "fixed_block.h"

zud_signed_block_header fixed_block_header(std::uint32_t sig_type, std::uint8_t key_type,
                                           std::uint32_t signed_data_offset,
                                           std::uint32_t key_area_size, std::uint32_t payload_size) {
    zud_signed_block_header h;
    h.sig_type = sig_type;
    h.sig_size = kFixedSignatureSlotSize;
    h.signed_data_offset = signed_data_offset;
    h.key_type = key_type;
    h.key_offset = kFixedKeyOffset;
    h.key_size = key_area_size;
    h.payload_offset = h.key_offset + h.key_size;
    h.payload_size = payload_size;
    h.total_size = h.payload_offset + h.payload_size;
    h.signed_data_size = h.total_size - h.signed_data_offset;
    return h;
}
