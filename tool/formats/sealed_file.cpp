// The sealed file's cipher layer.
#include "sealed_file.h"

#include <algorithm>
#include <array>

int seal_piece(AesCbc& aes, MutBytes piece, std::span<std::uint8_t, kAesBlockSize> iv) {
    return aes.encrypt(piece, iv);
}

bool open_sealed_file(ConstBytes sealed, ConstBytes aes_key, MutBytes block) {
    if (sealed.size() % kAesBlockSize != 0 || block.size() != sealed.size()) return false;
    AesCbc aes;
    if (aes.set_decrypt_key(aes_key) != 0) return false;
    std::copy(sealed.begin(), sealed.end(), block.begin());
    std::array<std::uint8_t, kAesBlockSize> iv{};
    return aes.decrypt(block, iv) == 0;
}
