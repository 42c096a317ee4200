// Key blocks: the key header record and the builders that lay a public key
// out from a key file or a key context.
#include "key_block.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "clock.h"
#include "crypto.h"
#include "files.h"
#include "signed_block.h"

void set_key_component(zud_key_component& c, std::uint16_t id, std::uint16_t offset,
                       std::uint16_t length) {
    c.component_id = id;
    c.offset = offset;
    c.length = length;
    c.reserved = 0;
}

namespace {


// Lays out the component entries of N and E and their values in `out`;
// false when `out` cannot hold them.
bool write_key_data(const zud_key_components& c, MutBytes out) {
    const auto& n = c.slot[0];
    const auto& e = c.slot[1];
    if (!fits(out.size(), 2 * kComponentEntrySize, std::size_t{n.length} + e.length)) return false;
    const zud_key_component* entries[] = {&n, &e};
    for (std::size_t i = 0; i < 2; ++i) {
        const zud_component_entry entry{entries[i]->component_id, entries[i]->offset,
                                        entries[i]->length, 0};
        encode_component_entry(entry, out.subspan(kComponentEntrySize * i).first<kComponentEntrySize>());
    }
    std::memcpy(out.data() + 2 * kComponentEntrySize, n.value, n.length);
    std::memcpy(out.data() + 2 * kComponentEntrySize + n.length, e.value, e.length);
    return true;
}

}  // namespace

std::uint32_t zud_create_key_from_components(int digest_only, std::uint8_t key_type,
                                             const zud_key_components& c, std::uint32_t size,
                                             MutBytes out,
                                             std::span<std::uint8_t, kKeyHeaderSize> header,
                                             std::uint32_t key_data_offset) {
    // The caller pre-set the header (magic, block_size, version, header_size).
    zud_key_header h = decode_key_header(header).value_or(zud_key_header{});
    const bool laid_out = write_key_data(c, out);
    if (!laid_out) key_type = 0;
    if (digest_only != 0) {
        if (is_key_form(key_type)) key_type = static_cast<std::uint8_t>(key_type + 4);
    } else {
        zud_make_timestamp(h.timestamp);
    }
    h.key_type = key_type;
    std::uint32_t result = 0;
    if (is_key_form(key_type)) {
        h.component_count = 2;
        h.component_entry_size = kComponentEntrySize;
        h.key_data_offset = static_cast<std::uint16_t>(key_data_offset);
        h.key_data_size = static_cast<std::uint16_t>(size);
        h.values_offset = static_cast<std::uint16_t>(key_data_offset + 2 * kComponentEntrySize);
        h.values_size = static_cast<std::uint16_t>(size - 2 * kComponentEntrySize);
        h.block_size += size;
        result = size;
    } else if (is_digest_form(key_type)) {
        const Digest digest = sha256(ConstBytes(out).subspan(2 * kComponentEntrySize, size - 2 * kComponentEntrySize));
        std::copy(digest.begin(), digest.end(), h.key_digest.begin());
    }
    h.key_tag = key_tag_for(key_type);
    encode_key_header(h, header);
    return result;
}

std::uint8_t key_type_for_length(std::size_t modulus_length) {
    switch (modulus_length) {
        case 128: return 1;
        case 256: return 2;
        case 512: return 3;
        case 1024: return 4;
        default: return 0;
    }
}

std::size_t modulus_length_of(std::uint8_t key_type) {
    if (!is_key_form(key_type) && !is_digest_form(key_type)) return 0;
    return std::size_t{128} << ((key_type - 1) % 4);
}

std::array<std::uint8_t, 4> key_tag_for(std::uint8_t key_type) {
    static const char* const tags[] = {"R1SA", "R2SA", "R4SA", "R8SA",
                                       "R1HA", "R2HA", "R4HA", "R8HA"};
    std::array<std::uint8_t, 4> tag{};
    if (key_type >= 1 && key_type <= 8) std::memcpy(tag.data(), tags[key_type - 1], 4);
    return tag;
}

void encode_key_header(const zud_key_header& h, std::span<std::uint8_t, kKeyHeaderSize> out) {
    std::fill(out.begin(), out.end(), 0);
    std::memcpy(out.data(), "@KEY", 4);
    put_le32(out, 0x04, h.block_size);
    out[0x08] = h.version;
    out[0x09] = h.key_type;
    out[0x0A] = h.header_size;
    out[0x0B] = h.reserved_0b;
    std::copy(h.key_tag.begin(), h.key_tag.end(), out.begin() + 0x0C);
    if (is_key_form(h.key_type)) {
        out[0x10] = h.component_count;
        out[0x11] = h.component_entry_size;
        put_le16(out, 0x14, h.key_data_offset);
        put_le16(out, 0x16, h.key_data_size);
        put_le16(out, 0x18, h.values_offset);
        put_le16(out, 0x1A, h.values_size);
        std::copy(h.timestamp.begin(), h.timestamp.end(), out.begin() + 0x20);
    } else {
        std::copy(h.key_digest.begin(), h.key_digest.end(), out.begin() + 0x10);
    }
}

std::optional<zud_key_header> decode_key_header(ConstBytes in) {
    if (in.size() < kKeyHeaderSize || std::memcmp(in.data(), "@KEY", 4) != 0) return std::nullopt;
    return decode_key_header_fields(in);
}

std::optional<zud_key_header> decode_key_header_fields(ConstBytes in) {
    if (in.size() < kKeyHeaderSize) return std::nullopt;
    zud_key_header h;
    h.block_size = get_le32(in, 0x04);
    h.version = in[0x08];
    h.key_type = in[0x09];
    h.header_size = in[0x0A];
    h.reserved_0b = in[0x0B];
    std::copy_n(in.begin() + 0x0C, 4, h.key_tag.begin());
    h.component_count = in[0x10];
    h.component_entry_size = in[0x11];
    h.key_data_offset = get_le16(in, 0x14);
    h.key_data_size = get_le16(in, 0x16);
    h.values_offset = get_le16(in, 0x18);
    h.values_size = get_le16(in, 0x1A);
    std::copy_n(in.begin() + 0x20, kTimestampSize, h.timestamp.begin());
    std::copy_n(in.begin() + 0x10, kKeyDigestSize, h.key_digest.begin());
    return h;
}

const char* check_key_header(const zud_key_header& h) {
    if (h.version != 1) return "the key header's version is not 1";
    if (h.key_tag != key_tag_for(h.key_type) || h.key_type == 0) {
        return "the key header's key_type and tag name no key";
    }
    if (is_key_form(h.key_type)) {
        if (h.component_entry_size != kComponentEntrySize) return "the key's component entries are not 8 bytes";
        if (h.values_offset != h.key_data_offset + std::uint32_t{h.component_count} * kComponentEntrySize ||
            h.values_size + std::uint32_t{h.component_count} * kComponentEntrySize != h.key_data_size) {
            return "the key's component table and values do not fit its key data";
        }
    }
    return nullptr;
}

void encode_component_entry(const zud_component_entry& e,
                            std::span<std::uint8_t, kComponentEntrySize> out) {
    put_le16(out, 0, e.component_id);
    put_le16(out, 2, e.offset);
    put_le16(out, 4, e.length);
    put_le16(out, 6, e.reserved);
}

std::optional<zud_component_entry> decode_component_entry(ConstBytes in) {
    if (in.size() < kComponentEntrySize) return std::nullopt;
    return zud_component_entry{get_le16(in, 0), get_le16(in, 2), get_le16(in, 4), get_le16(in, 6)};
}

void zud_make_timestamp(std::span<std::uint8_t, kTimestampSize> out) {
    const std::tm local = zud_calendar_now();
    // The year is widened before 1900 is added: SOURCE_DATE_EPOCH can name
    // a year whose tm_year is close to the largest int.
    const long long year = static_cast<long long>(local.tm_year) + 1900;
    char text[64] = {};
    std::snprintf(text, sizeof text, "%04lld%02d%02d%02d%02d%02d%04d", year, local.tm_mon + 1,
                  local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, std::rand());
    std::memcpy(out.data(), text, out.size());
}

void zud_init_key_header(std::span<std::uint8_t, kKeyHeaderSize> header,
                         std::uint8_t header_size) {
    zud_key_header h;
    h.header_size = header_size;
    encode_key_header(h, header);
}

void zud_revert_copy(std::uint8_t* dst, const std::uint8_t* src, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) dst[count - 1 - i] = src[i];
}

int zud_create_key_info_from_ctx(const mbedtls_rsa_context* ctx, zud_key_components& c,
                                 std::uint32_t* out_size, int with_d) {
    if (out_size != nullptr) *out_size = 0;
    // A modulus longer than a value slot is no key this format can carry.
    if (ctx == nullptr || ctx->len > kKeyComponentValueSize) return 0;
    const auto n_len = static_cast<std::uint16_t>(ctx->len);
    const auto n_at = static_cast<std::uint16_t>(with_d != 0 ? 24 : 16);
    set_key_component(c.slot[0], kComponentModulus, n_at, n_len);
    if (mbedtls_mpi_write_binary(&ctx->N, c.slot[0].value, n_len) != 0) return 0;
    // The low 32 bits of E, big-endian.
    std::uint32_t e = 0;
    for (std::size_t bit = 0; bit < 32; ++bit)
        e |= static_cast<std::uint32_t>(mbedtls_mpi_get_bit(&ctx->E, bit)) << bit;
    set_key_component(c.slot[1], kComponentExponent, static_cast<std::uint16_t>(n_at + n_len), 4);
    for (std::size_t i = 0; i < 4; ++i)
        c.slot[1].value[i] = static_cast<std::uint8_t>(e >> (24 - 8 * i));
    const auto d_at = static_cast<std::uint16_t>(n_at + n_len + 4);
    set_key_component(c.slot[2], kComponentPrivateExponent, d_at, n_len);
    if (out_size != nullptr) *out_size = d_at + (with_d != 0 ? n_len : 0u);
    return key_type_for_length(n_len);
}

std::optional<std::array<std::uint8_t, kKeyDigestSize>> public_key_digest(const mbedtls_rsa_context& ctx) {
    std::array<std::uint8_t, kKeyHeaderSize> header{};
    zud_init_key_header(header, static_cast<std::uint8_t>(kKeyHeaderSize));
    Buffer scratch(kKeyDataAreaMin);
    if (!scratch.ok() || zud_create_key_from_ctx(1, &ctx, scratch.bytes(), header, 0) != 0) return std::nullopt;
    const auto decoded = decode_key_header(header);
    if (!decoded || !is_digest_form(decoded->key_type)) return std::nullopt;
    return decoded->key_digest;
}

std::uint32_t zud_create_key_from_ctx(int digest_only, const mbedtls_rsa_context* ctx,
                                      MutBytes out,
                                      std::span<std::uint8_t, kKeyHeaderSize> key_header,
                                      std::uint32_t key_data_offset) {
    zud_key_components c{};
    std::uint32_t size = 0;
    const int code = zud_create_key_info_from_ctx(ctx, c, &size, 0);
    const auto result = zud_create_key_from_components(digest_only, static_cast<std::uint8_t>(code), c, size,
                                        out, key_header, key_data_offset);
    wipe(&c, sizeof c);
    return result;
}

// ---------------------------------------------------------------------------
// Reading a key back

namespace {

// The number a component id fills; the self-test also takes the cached
// Montgomery values. nullptr for any other id.
mbedtls_mpi* component_target(mbedtls_rsa_context* ctx, std::uint16_t id, bool self_test) {
    switch (id) {
        case kComponentModulus: return &ctx->N;
        case kComponentExponent: return &ctx->E;
        case kComponentPrivateExponent: return &ctx->D;
        case kComponentCachedRN: return self_test ? &ctx->RN : nullptr;
        case kComponentCachedRP: return self_test ? &ctx->RP : nullptr;
        case kComponentCachedRQ: return self_test ? &ctx->RQ : nullptr;
        default: return nullptr;
    }
}

}  // namespace

const char* read_key_components(mbedtls_rsa_context* ctx, ConstBytes container,
                                const zud_key_header& h, bool self_test) {
    const std::size_t table_at = h.key_data_offset;
    if (!fits(container.size(), table_at, std::size_t{h.component_count} * kComponentEntrySize)) {
        return "the key's component table lies outside its container";
    }
    // The values region must lie in the container (the components are read
    // from it), and no value may repeat: a second N read from elsewhere
    // would replace the key that the digest names.
    if (!fits(container.size(), h.values_offset, h.values_size)) {
        return "the key's values lie outside its container";
    }
    const std::size_t values_end = std::size_t{h.values_offset} + h.values_size;
    std::size_t cursor = h.values_offset;
    std::uint32_t seen = 0;
    for (std::size_t i = 0; i < h.component_count; ++i) {
        const auto entry = decode_component_entry(container.subspan(table_at + i * kComponentEntrySize));
        const std::uint16_t id = entry->component_id;
        mbedtls_mpi* target = component_target(ctx, id, self_test);
        if (target == nullptr) return "a component_id names no number of the key";
        if ((seen & (1u << id)) != 0) return "a component_id is given twice";
        seen |= 1u << id;
        if (!fits(values_end, cursor, entry->length)) return "a component reaches beyond the key's values";
        if (mbedtls_mpi_read_binary(target, container.data() + cursor, entry->length) != 0) {
            return "a component cannot be read as a number";
        }
        cursor += entry->length;
    }
    return nullptr;
}

const char* decode_block_key(mbedtls_rsa_context* ctx, ConstBytes block,
                             std::span<std::uint8_t, kKeyDigestSize> key_digest) {
    if (ctx == nullptr || block.data() == nullptr) return "no key context or no block";
    if (block.size() < kSignedBlockHeaderSize) return "the buffer is too short for a signed block header";
    const auto h = decode_signed_block_header(block);
    if (!h) return "no signed block magic \"@ZUD\"";
    if (!fits(block.size(), h->key_offset, kKeyHeaderSize)) return "the key header lies outside the block";
    const auto key_header = decode_key_header(block.subspan(h->key_offset, kKeyHeaderSize));
    if (!key_header) return "no key header magic \"@KEY\" at key_offset";
    if (!fits(block.size(), key_header->values_offset, key_header->values_size)) {
        return "the key's values lie outside the block";
    }
    const Digest d = sha256(block.subspan(key_header->values_offset, key_header->values_size));
    std::copy(d.begin(), d.end(), key_digest.begin());
    if (const char* reason = read_key_components(ctx, block, *key_header, false)) return reason;
    ctx->len = mbedtls_mpi_size(&ctx->N);
    if (!is_block_key_length(ctx->len)) return "the key's modulus is not 1024, 2048 or 4096 bits";
    return nullptr;
}
