// Signing a fixed-layout block.
#include "fixed_signer.h"

#include <algorithm>

#include "crypto.h"
#include "files.h"
#include "keyfile.h"
#include "signing_key.h"

std::optional<std::uint8_t> place_fixed_key(const SigningKey& key, MutBytes block) {
    Buffer key_data(kKeyDataAreaMin);
    if (!key_data.ok()) return std::nullopt;
    const auto header = block.subspan(kFixedKeyOffset).first<kKeyHeaderSize>();
    zud_init_key_header(header, static_cast<std::uint8_t>(kKeyHeaderSize));
    const std::uint32_t length =
        zud_create_key_from_image(0, key.key_file(), key.public_key(), key_data.bytes(), header,
                                  static_cast<std::uint32_t>(kFixedKeyDataOffset));
    if (length > kFixedKeyDataAreaSize) return std::nullopt;
    std::copy_n(key_data.data(), length, block.data() + kFixedKeyDataOffset);
    return decode_key_header(header)->key_type;
}

int seal_fixed_block(MutBytes block, SigningKey* key) {
    const auto h = decode_signed_block_header(block);
    if (!h || !fits(block.size(), h->signed_data_offset, 0)) return -1;
    Sha256 sha;
    sha.update(block.first(kSignedBlockHeaderSize));
    sha.update(block.subspan(h->signed_data_offset));
    const Digest digest = sha.finish();
    const MutBytes slot = block.subspan(kSignedBlockHeaderSize, kFixedSignatureSlotSize);
    if (key == nullptr) {
        std::copy(digest.begin(), digest.end(), slot.begin());
        return 0;
    }
    return key->sign_sha256(digest, slot) == 0 ? 0 : -1;
}
