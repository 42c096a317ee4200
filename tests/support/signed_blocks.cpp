#include "support/signed_blocks.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include <mbedtls/bignum.h>
#include <mbedtls/sha256.h>

namespace {

constexpr std::size_t kHeader = 64;
constexpr std::size_t kKeyHeader = 48;

// Blinding values for the signing call; their quality does not matter here.
int counting_rng(void*, unsigned char* out, std::size_t len) {
    static unsigned char next = 1;
    for (std::size_t i = 0; i < len; ++i) out[i] = next++;
    return 0;
}

Block big_endian(const mbedtls_mpi& x, std::size_t length) {
    Block b(length);
    if (mbedtls_mpi_write_binary(&x, b.data(), length) != 0) throw std::runtime_error("mpi size");
    return b;
}

std::uint8_t size_code(std::size_t modulus_length) {
    return modulus_length == 128 ? 1 : modulus_length == 256 ? 2 : modulus_length == 512 ? 3 : 0;
}

const char* tag_of(std::uint8_t key_type) {
    static const char* const tags[] = {"R1SA", "R2SA", "R4SA", "R8SA",
                                       "R1HA", "R2HA", "R4HA", "R8HA"};
    return key_type >= 1 && key_type <= 8 ? tags[key_type - 1] : "\0\0\0\0";
}

void put_key_header(Block& out, std::size_t at, std::uint8_t key_type, std::uint32_t block_size,
                    std::uint8_t header_size) {
    std::memcpy(out.data() + at, "@KEY", 4);
    set32(out, at + 4, block_size);
    out.at(at + 8) = 1;
    out.at(at + 9) = key_type;
    out.at(at + 10) = header_size;
    std::memcpy(out.data() + at + 12, tag_of(key_type), 4);
}

// Key-form fields of a key header: component table, values and timestamp.
void put_key_layout(Block& out, std::size_t at, std::uint8_t count, std::uint32_t key_data_offset,
                    std::uint32_t key_data_size) {
    out.at(at + 16) = count;
    out.at(at + 17) = 8;
    set16(out, at + 20, static_cast<std::uint16_t>(key_data_offset));
    set16(out, at + 22, static_cast<std::uint16_t>(key_data_size));
    set16(out, at + 24, static_cast<std::uint16_t>(key_data_offset + 8 * count));
    set16(out, at + 26, static_cast<std::uint16_t>(key_data_size - 8 * count));
    std::memcpy(out.data() + at + 32, "2024061512000042", 16);
}

void put_component(Block& out, std::size_t at, std::uint16_t id, std::uint16_t offset,
                   std::uint16_t length) {
    set16(out, at, id);
    set16(out, at + 2, offset);
    set16(out, at + 4, length);
    set16(out, at + 6, 0);
}

void put_digest_entry(Block& matrix, std::size_t i, const mbedtls_rsa_context& key) {
    const std::size_t at = 16 + 48 * i;
    put_key_header(matrix, at, static_cast<std::uint8_t>(size_code(key.len) + 4), 48, 0);
    const Block digest = key_digest_of(key);
    std::memcpy(matrix.data() + at + 16, digest.data(), 32);
}

Block matrix_header(std::uint32_t matrix_size) {
    Block m(matrix_size, 0);
    std::memcpy(m.data(), "@KMX", 4);
    m.at(4) = 1;
    set16(m, 6, 16);
    set32(m, 8, matrix_size);
    m.at(12) = 4;
    m.at(13) = 48;
    return m;
}

// The 64 header bytes of a new block; the caller fills the layout fields.
void put_block_header(Block& b, std::uint32_t sig_type, std::uint32_t sig_size,
                      std::uint32_t key_type) {
    std::memcpy(b.data(), "@ZUD", 4);
    b.at(8) = 64;
    b.at(10) = 1;
    set32(b, 0x10, sig_type);
    set32(b, 0x14, 64);
    set32(b, 0x18, sig_size);
    set32(b, 0x20, key_type);
}

Block assemble_fix(const BlockShape& layout) {
    const std::size_t len = layout.key != nullptr ? layout.key->len : 32;
    const std::size_t payload_at = kHeader + layout.slot_size + layout.key_area;
    Block b(payload_at + layout.payload.size(), 0);
    put_block_header(b, layout.key != nullptr ? 1 : 0, layout.slot_size,
                     layout.key != nullptr ? size_code(len) : 0);
    const std::uint32_t signed_at =
        layout.signed_data_offset != 0 ? layout.signed_data_offset : static_cast<std::uint32_t>(kHeader + len);
    set32(b, 0x04, static_cast<std::uint32_t>(b.size()));
    set32(b, 0x1C, signed_at);
    set32(b, 0x24, static_cast<std::uint32_t>(kHeader + layout.slot_size));
    set32(b, 0x28, layout.key_area);
    set32(b, 0x2C, static_cast<std::uint32_t>(b.size() - signed_at));
    set32(b, 0x34, static_cast<std::uint32_t>(payload_at));
    set32(b, 0x38, static_cast<std::uint32_t>(layout.payload.size()));
    if (layout.key != nullptr) {
        const std::size_t key_at = kHeader + layout.slot_size;
        Block kb = key_block(*layout.key, static_cast<std::uint32_t>(key_at + kKeyHeader));
        if (kb.size() > layout.key_area) throw std::runtime_error("key area too small");
        std::copy(kb.begin(), kb.end(), b.begin() + static_cast<std::ptrdiff_t>(key_at));
    }
    std::copy(layout.payload.begin(), layout.payload.end(), b.begin() + static_cast<std::ptrdiff_t>(payload_at));
    reseal_block(b, BlockLayout::kFix, layout.key);
    return b;
}

Block assemble_plain(const BlockShape& layout) {
    const std::size_t slot = layout.plain_slot != 0 ? layout.plain_slot
                             : layout.key != nullptr ? layout.key->len : 32;
    const std::size_t key_at = kHeader + slot + kHeader;
    const Block kb = layout.key != nullptr ? key_block(*layout.key, static_cast<std::uint32_t>(key_at + kKeyHeader))
                                         : Block{};
    const std::size_t payload_at = key_at + kb.size();
    Block b(payload_at + layout.payload.size(), 0);
    put_block_header(b, layout.key != nullptr ? 1 : 0, static_cast<std::uint32_t>(slot),
                     layout.key != nullptr ? size_code(layout.key->len) : 0);
    set32(b, 0x04, static_cast<std::uint32_t>(b.size()));
    set32(b, 0x1C, static_cast<std::uint32_t>(kHeader + slot));
    set32(b, 0x24, static_cast<std::uint32_t>(key_at));
    set32(b, 0x28, static_cast<std::uint32_t>(kb.size()));
    set32(b, 0x2C, static_cast<std::uint32_t>(b.size() - kHeader - slot));
    set32(b, 0x34, static_cast<std::uint32_t>(payload_at));
    set32(b, 0x38, static_cast<std::uint32_t>(layout.payload.size()));
    std::copy(kb.begin(), kb.end(), b.begin() + static_cast<std::ptrdiff_t>(key_at));
    std::copy(layout.payload.begin(), layout.payload.end(), b.begin() + static_cast<std::ptrdiff_t>(payload_at));
    reseal_block(b, BlockLayout::kPlain, layout.key);
    return b;
}

}  // namespace

Block sha256_block(const Block& in) {
    Block out(32);
    mbedtls_sha256_ret(in.data(), in.size(), out.data(), 0);
    return out;
}

Block key_values(const mbedtls_rsa_context& key) {
    Block v = big_endian(key.N, key.len);
    const Block e = big_endian(key.E, 4);
    v.insert(v.end(), e.begin(), e.end());
    return v;
}

Block key_digest_of(const mbedtls_rsa_context& key) { return sha256_block(key_values(key)); }

Block key_block(const mbedtls_rsa_context& key, std::uint32_t key_data_offset) {
    const Block values = key_values(key);
    const std::size_t data_size = 16 + values.size();
    Block b((kKeyHeader + data_size + 15) / 16 * 16, 0);
    put_key_header(b, 0, size_code(key.len), static_cast<std::uint32_t>(kKeyHeader + data_size), 48);
    put_key_layout(b, 0, 2, key_data_offset, static_cast<std::uint32_t>(data_size));
    put_component(b, kKeyHeader, 1, 16, static_cast<std::uint16_t>(key.len));
    put_component(b, kKeyHeader + 8, 2, static_cast<std::uint16_t>(16 + key.len), 4);
    std::memcpy(b.data() + kKeyHeader + 16, values.data(), values.size());
    return b;
}

Block sign_digest(const mbedtls_rsa_context& key, const Block& digest) {
    mbedtls_rsa_context copy;
    mbedtls_rsa_init(&copy, MBEDTLS_RSA_PKCS_V15, 0);
    Block sig(key.len);
    const int ret = mbedtls_rsa_copy(&copy, &key) != 0
                        ? -1
                        : mbedtls_rsa_pkcs1_sign(&copy, counting_rng, nullptr, MBEDTLS_RSA_PRIVATE,
                                                 MBEDTLS_MD_SHA256, 32, digest.data(), sig.data());
    mbedtls_rsa_free(&copy);
    if (ret != 0) throw std::runtime_error("signing failed");
    return sig;
}

Block assemble_block(const BlockShape& layout) {
    return layout.layout == BlockLayout::kFix ? assemble_fix(layout) : assemble_plain(layout);
}

void reseal_block(Block& b, BlockLayout layout, const mbedtls_rsa_context* key) {
    const std::uint32_t sig_size = get32(b, 0x18);
    const std::uint32_t signed_at = get32(b, 0x1C);
    const std::uint32_t signed_size = get32(b, 0x2C);
    Block covered;
    if (layout == BlockLayout::kFix) {
        covered.assign(b.begin(), b.begin() + 64);
    } else {
        std::memcpy(b.data() + 64 + sig_size, b.data(), 64);
    }
    covered.insert(covered.end(), b.begin() + signed_at, b.begin() + signed_at + signed_size);
    const Block digest = sha256_block(covered);
    const Block seal = key != nullptr ? sign_digest(*key, digest) : digest;
    std::memcpy(b.data() + 64, seal.data(), seal.size());
}

Block key_matrix(const std::array<const mbedtls_rsa_context*, 4>& keys) {
    Block m = matrix_header(208);
    for (std::size_t i = 0; i < 4; ++i) put_digest_entry(m, i, *keys[i]);
    return m;
}

Block make_keymax(const mbedtls_rsa_context& root, const mbedtls_rsa_context& user,
                  const mbedtls_rsa_context& signer) {
    BlockShape shape;
    shape.key = &signer;
    shape.payload = key_matrix({&root, &root, &root, &root});
    const Block users = key_matrix({&user, &user, &user, &user});
    shape.payload.insert(shape.payload.end(), users.begin(), users.end());
    Block keymax(16, 0);
    const Block block = assemble_block(shape);
    keymax.insert(keymax.end(), block.begin(), block.end());
    return keymax;
}

Block self_test_matrix(const mbedtls_rsa_context& key,
                       const std::array<const mbedtls_rsa_context*, 3>& others, bool with_rn) {
    const std::uint8_t count = with_rn ? 4 : 3;
    Block values = key_values(key);
    const Block d = big_endian(key.D, key.len);
    values.insert(values.end(), d.begin(), d.end());
    if (with_rn) {
        // R^2 mod N with R = 2^(64 * limbs of a len-byte number).
        mbedtls_mpi rr;
        mbedtls_mpi_init(&rr);
        const std::size_t limbs = (key.len + 7) / 8;
        if (mbedtls_mpi_lset(&rr, 1) != 0 || mbedtls_mpi_shift_l(&rr, limbs * 2 * 64) != 0 ||
            mbedtls_mpi_mod_mpi(&rr, &rr, &key.N) != 0) {
            throw std::runtime_error("RN");
        }
        const Block rn = big_endian(rr, key.len);
        mbedtls_mpi_free(&rr);
        values.insert(values.end(), rn.begin(), rn.end());
    }
    const std::size_t data_size = 8 * count + values.size();
    Block m = matrix_header(static_cast<std::uint32_t>((kSelfTestTable + data_size + 15) / 16 * 16));
    for (std::size_t i = 0; i < 3; ++i) put_digest_entry(m, i, *others[i]);
    put_key_header(m, kSelfTestEntry, size_code(key.len), static_cast<std::uint32_t>(48 + data_size), 0);
    put_key_layout(m, kSelfTestEntry, count, kSelfTestTable, static_cast<std::uint32_t>(data_size));
    const std::uint16_t len = static_cast<std::uint16_t>(key.len);
    std::uint16_t at = static_cast<std::uint16_t>(8 * count);
    const std::uint16_t ids[] = {1, 2, 3, 9};
    const std::uint16_t lengths[] = {len, 4, len, len};
    for (std::size_t i = 0; i < count; ++i) {
        put_component(m, kSelfTestTable + 8 * i, ids[i], at, lengths[i]);
        at = static_cast<std::uint16_t>(at + lengths[i]);
    }
    std::memcpy(m.data() + kSelfTestTable + 8 * count, values.data(), values.size());
    return m;
}
