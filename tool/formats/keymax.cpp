// The keymax record.
#include "keymax.h"

std::optional<zud_keymax> decode_keymax(ConstBytes file) {
    if (file.size() < kKeymaxSize) return std::nullopt;
    const ConstBytes block = file.subspan(kKeymaxPrefixSize, kKeymaxBlockSize);
    const auto header = decode_signed_block_header(block);
    const auto root = decode_key_matrix(file.subspan(kKeymaxRootMatrixOffset, kKeyMatrixSize));
    const auto user = decode_key_matrix(file.subspan(kKeymaxUserMatrixOffset, kKeyMatrixSize));
    if (!header || !root || !user) return std::nullopt;
    return zud_keymax{file.first(kKeymaxSize), block, *header, decode_key_header(block.subspan(kFixedKeyOffset, kKeyHeaderSize)),
                      *root, *user};
}
