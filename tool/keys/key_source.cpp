// Key blocks of key files: a public key laid out from a full binary key
// file's own number records.
#include "keyfile.h"

#include "files.h"
#include "key_block.h"

int zud_create_key_info_from_image(const zud_key_file_image& image, zud_key_components& c,
                                   std::uint32_t* out_size, int with_d) {
    if (!is_full_key_file_size(image.size) || image.head.size() < 8 * kNumberRecordSize) return 0;
    const ConstBytes records = image.head.bytes().first(8 * kNumberRecordSize);
    const auto n = decode_number_record(records, 0);
    const auto e = decode_number_record(records, 1);
    const auto d = decode_number_record(records, 2);
    // Word counts beyond the record describe bytes that are not there.
    if (!n || !e || !d) return 0;

    const auto n_len = static_cast<std::uint16_t>(n->value.size());
    const auto e_len = static_cast<std::uint16_t>(e->value.size());
    const auto n_at = static_cast<std::uint16_t>(with_d != 0 ? 24 : 16);
    set_key_component(c.slot[0], kComponentModulus, n_at, n_len);
    zud_revert_copy(c.slot[0].value, n->value.data(), n_len);
    set_key_component(c.slot[1], kComponentExponent, static_cast<std::uint16_t>(n_at + n_len), e_len);
    zud_revert_copy(c.slot[1].value, e->value.data(), e_len);
    // The private exponent is never emitted, so its value is not copied.
    const auto d_at = static_cast<std::uint16_t>(n_at + n_len + e_len);
    set_key_component(c.slot[2], kComponentPrivateExponent, d_at,
                  static_cast<std::uint16_t>(with_d != 0 ? d->value.size() : 0));
    if (out_size != nullptr) *out_size = d_at + c.slot[2].length;
    return key_type_for_length(n_len);
}

int zud_create_key_info_from_file(const char* path, zud_key_components& c,
                                  std::uint32_t* out_size, int with_d) {
    zud_key_file_image image;
    if (!read_key_file_image(path, image)) return 0;
    return zud_create_key_info_from_image(image, c, out_size, with_d);
}

std::uint32_t zud_create_key_from_image(int digest_only, const zud_key_file_image* image,
                                        const mbedtls_rsa_context* loaded, MutBytes out,
                                        std::span<std::uint8_t, kKeyHeaderSize> key_header,
                                        std::uint32_t key_data_offset) {
    zud_key_components c{};
    std::uint32_t size = 0;
    const int code = image != nullptr ? zud_create_key_info_from_image(*image, c, &size, 0) : 0;
    if (code == 0) {
        wipe(&c, sizeof c);
        return zud_create_key_from_ctx(digest_only, loaded, out, key_header, key_data_offset);
    }
    const auto result = zud_create_key_from_components(digest_only, static_cast<std::uint8_t>(code), c,
                                                       size, out, key_header, key_data_offset);
    wipe(&c, sizeof c);
    return result;
}

std::uint32_t zud_create_key_from_file(int digest_only, const char* path, MutBytes out,
                                       std::span<std::uint8_t, kKeyHeaderSize> key_header,
                                       std::uint32_t key_data_offset) {
    zud_key_components c{};
    std::uint32_t size = 0;
    const int code = zud_create_key_info_from_file(path, c, &size, 0);
    const auto result = zud_create_key_from_components(digest_only, static_cast<std::uint8_t>(code), c,
                                                       size, out, key_header, key_data_offset);
    wipe(&c, sizeof c);
    return result;
}

std::uint32_t zud_create_key_from_source(int digest_only, const char* path,
                                         const mbedtls_rsa_context* loaded, MutBytes out,
                                         std::span<std::uint8_t, kKeyHeaderSize> key_header,
                                         std::uint32_t key_data_offset) {
    zud_key_file_image image;
    const bool read = read_key_file_image(path, image);
    return zud_create_key_from_image(digest_only, read ? &image : nullptr, loaded, out, key_header,
                                     key_data_offset);
}
