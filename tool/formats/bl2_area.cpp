// The BL2 area record.
#include "bl2_area.h"

#include <algorithm>

#include "keymax.h"

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

bool is_signed_bl2_area(ConstBytes area) {
    if (!fits(area.size(), kBl2DigestBlockOffset, kSignedBlockHeaderSize)) return false;
    const auto h = decode_signed_block_header(area.subspan(kBl2DigestBlockOffset, kSignedBlockHeaderSize));
    return h && std::uint64_t{h->total_size} == std::uint64_t{h->signed_data_offset} + h->signed_data_size;
}
