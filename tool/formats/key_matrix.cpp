// The key matrix record.
#include "key_matrix.h"

#include <algorithm>
#include <cstring>

void encode_key_matrix(const zud_key_matrix& m, std::span<std::uint8_t, kKeyMatrixSize> out) {
    std::fill(out.begin(), out.end(), 0);
    std::memcpy(out.data(), "@KMX", 4);
    out[0x04] = m.version;
    out[0x05] = m.reserved_05;
    put_le16(out, 0x06, m.header_size);
    put_le32(out, 0x08, m.matrix_size);
    out[0x0C] = m.entry_count;
    out[0x0D] = m.entry_size;
    put_le16(out, 0x0E, m.reserved_0e);
    for (std::size_t i = 0; i < kKeyMatrixEntries; ++i) {
        encode_key_header(m.entries[i], out.subspan(key_matrix_entry_offset(i)).first<kKeyHeaderSize>());
    }
}

std::optional<zud_key_matrix> decode_key_matrix_header(ConstBytes in) {
    if (in.size() < kKeyMatrixHeaderSize || std::memcmp(in.data(), "@KMX", 4) != 0) return std::nullopt;
    zud_key_matrix m;
    m.version = in[0x04];
    m.reserved_05 = in[0x05];
    m.header_size = get_le16(in, 0x06);
    m.matrix_size = get_le32(in, 0x08);
    m.entry_count = in[0x0C];
    m.entry_size = in[0x0D];
    m.reserved_0e = get_le16(in, 0x0E);
    return m;
}

std::optional<zud_key_header> key_matrix_entry(ConstBytes matrix, std::size_t index) {
    const std::size_t at = key_matrix_entry_offset(index);
    if (!fits(matrix.size(), at, kKeyHeaderSize)) return std::nullopt;
    const ConstBytes entry = matrix.subspan(at, kKeyHeaderSize);
    auto h = decode_key_header_fields(entry);
    // An entry without its magic names no key, whatever its bytes say.
    if (std::memcmp(entry.data(), "@KEY", 4) != 0) h->key_type = 0;
    return h;
}

std::optional<zud_key_matrix> decode_key_matrix(ConstBytes in) {
    if (in.size() < kKeyMatrixSize) return std::nullopt;
    auto m = decode_key_matrix_header(in);
    if (!m) return std::nullopt;
    for (std::size_t i = 0; i < kKeyMatrixEntries; ++i) m->entries[i] = *key_matrix_entry(in, i);
    return m;
}

const char* check_key_matrix_header(const zud_key_matrix& m) {
    if (m.version != 1) return "the key matrix version is not 1";
    if (m.header_size != kKeyMatrixHeaderSize) return "the key matrix header_size is not 16";
    if (m.matrix_size <= kKeyMatrixHeaderSize || m.matrix_size > kMaxKeyMatrixSize) {
        return "matrix_size is not between 17 and 16384";
    }
    if (m.entry_count != kKeyMatrixEntries) return "the key matrix entry_count is not 4";
    if (m.entry_size != kKeyHeaderSize) return "the key matrix entry_size is not 48";
    return nullptr;
}

const char* check_key_matrix(const zud_key_matrix& m) {
    if (const char* reason = check_key_matrix_header(m)) return reason;
    for (const zud_key_header& entry : m.entries) {
        if (!is_digest_form(entry.key_type)) return "a key matrix entry is not in digest form";
    }
    return nullptr;
}

Digest key_matrix_root_digest(const zud_key_matrix& m) {
    Sha256 sha;
    for (const zud_key_header& entry : m.entries) sha.update(entry.key_digest);
    return sha.finish();
}

bool key_matrix_names(const zud_key_matrix& m, std::span<const std::uint8_t, kKeyDigestSize> key_digest) {
    return std::any_of(m.entries.begin(), m.entries.end(), [&](const zud_key_header& entry) {
        return std::equal(key_digest.begin(), key_digest.end(), entry.key_digest.begin());
    });
}
