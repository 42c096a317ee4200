// Checking a keymax as the boot ROM does.
#include "keymax_check.h"

#include <array>

#include "key_block.h"
#include "rsa.h"
#include "verify.h"

zud_keymax_verdict check_keymax(const zud_keymax& keymax) {
    zud_keymax_verdict v;
    v.root_matrix = check_key_matrix(keymax.root);
    v.user_matrix = check_key_matrix(keymax.user);
    std::array<std::uint8_t, kKeyMatrixSize> root{};
    encode_key_matrix(keymax.root, root);
    std::uint32_t offset = 0;
    v.signature = verify_block_fix(keymax.block, root, &offset, zud_root_digests());
    if (v.signature.ok()) v.root_signer = signer_entry(keymax.root, keymax.block);
    return v;
}

std::optional<std::size_t> signer_entry(const zud_key_matrix& matrix, ConstBytes block) {
    RsaKey key;
    Digest digest{};
    if (decode_block_key(&key.ctx, block, digest) != nullptr) return std::nullopt;
    for (std::size_t i = 0; i < kKeyMatrixEntries; ++i) {
        if (matrix.entries[i].key_digest == digest) return i;
    }
    return std::nullopt;
}
