// The zud_user_key file's layout.
#include "user_key_file.h"

std::optional<zud_user_key_layout> user_key_layout(std::uint64_t file_size) {
    if (file_size < kUserKeyTailSize) return std::nullopt;
    const std::uint64_t key_size = file_size - kUserKeyTailSize;
    return zud_user_key_layout{key_size, key_size, key_size + kKeymaxSize};
}

std::optional<zud_user_key_file> decode_user_key_file(ConstBytes file) {
    const auto layout = user_key_layout(file.size());
    if (!layout) return std::nullopt;
    return zud_user_key_file{
        file.first(static_cast<std::size_t>(layout->key_file_size)),
        file.subspan(static_cast<std::size_t>(layout->keymax_offset), kKeymaxSize),
        file.subspan(static_cast<std::size_t>(layout->aes_offset)).first<kAesKeySize>(),
    };
}
