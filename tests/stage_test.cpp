// The signed stage builder: block layouts, head relocation, short stages,
// re-signing, alignment and refusals.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include <mbedtls/sha256.h>

#include "keyfile.h"
#include "rng.h"
#include "signing_key.h"
#include "stage.h"
#include "support/crypto.h"
#include "support/files.h"
#include "support/temp_dir.h"
#include "support/test_keys.h"

namespace {

struct StdioCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using Stream = std::unique_ptr<std::FILE, StdioCloser>;

struct Built {
    int result;
    std::int32_t written;
    long end_position;  // where the builder left the output
    Bytes out;
};

Bytes padded_16(Bytes b) {
    b.resize((b.size() + 15) / 16 * 16, 0);
    return b;
}

// The digest a reader computes: header, key block, then the hashed payload
// bytes (given by the test from its own knowledge of the stage).
Bytes block_digest(const Bytes& block, const Bytes& payload) {
    const Bytes key_block = slice(block, le32_at(block, 0x24), le32_at(block, 0x28));
    return sha256_of(concat(concat(slice(block, 0, 64), key_block), payload));
}

// The payload in logical order, undoing the head relocation.
Bytes logical_payload(const Bytes& block) {
    const std::uint32_t p = le32_at(block, 0x34);
    const std::uint32_t s16 = le32_at(block, 0x38);
    return concat(slice(block, s16, p), slice(block, p, s16 - p));
}

class SignedStageTest : public testing::Test {
protected:
    void SetUp() override {
        g_nVQ_RSA_keyFormat = 0;
        seed_random(4242);
        ASSERT_EQ(mbedtls_rsa_copy(&key.ctx, &test_key(2048)), 0);
    }

    // Runs the builder over [offset, offset + size) of `input`, appending to
    // an output that already holds `prefix`.
    Built build(const Bytes& input, std::uint32_t offset, std::uint32_t size,
                mbedtls_rsa_context* ctx, std::uint32_t alignment = 0,
                const Bytes& prefix = {}) {
        write_file(dir.file("in.bin"), input);
        write_file(dir.file("out.bin"), prefix);
        Built b{-99, -7, -1, {}};
        {
            Stream in(std::fopen(dir.file("in.bin").c_str(), "rb"));
            Stream out(std::fopen(dir.file("out.bin").c_str(), "rb+"));
            std::fseek(out.get(), 0, SEEK_END);
            b.result = zud_sig_boot_file_buffer(in.get(), offset, size, &b.written, ctx,
                                                out.get(), alignment);
            b.end_position = std::ftell(out.get());
        }
        b.out = read_file(dir.file("out.bin"));
        return b;
    }

    Bytes block_of(const Bytes& stage, mbedtls_rsa_context* ctx, std::uint32_t alignment = 0) {
        const Built b = build(stage, 0, static_cast<std::uint32_t>(stage.size()), ctx, alignment);
        EXPECT_EQ(b.result, 0);
        return b.out;
    }

    bool signature_verifies(const Bytes& block, const Bytes& digest) {
        return mbedtls_rsa_pkcs1_verify(&key.ctx, nullptr, nullptr, MBEDTLS_RSA_PUBLIC,
                                        MBEDTLS_MD_SHA256, 32, digest.data(),
                                        block.data() + 64) == 0;
    }

    TempDir dir;
    RsaKey key;
};

TEST_F(SignedStageTest, DigestOnlyBlockLayout) {
    srandom(4242);
    const auto nonce = static_cast<std::uint32_t>(std::rand());
    seed_random(4242);
    const Bytes stage = counting_bytes(1000, 3);
    const Built b = build(stage, 0, 1000, nullptr);
    ASSERT_EQ(b.result, 0);
    const Bytes& block = b.out;
    ASSERT_EQ(block.size(), 1104u);
    EXPECT_EQ(b.written, 1104);
    EXPECT_EQ(b.end_position, 1104);
    EXPECT_EQ(text_at(block, 0, 4), "@ZUD");
    EXPECT_EQ(le32_at(block, 0x04), 1104u);  // total_size
    EXPECT_EQ(block[0x08], 64);
    EXPECT_EQ(block[0x09], 0);
    EXPECT_EQ(block[0x0A], 1);
    EXPECT_EQ(block[0x0B], 0);
    EXPECT_EQ(le32_at(block, 0x0C), nonce);
    EXPECT_EQ(le32_at(block, 0x10), 0u);     // sig_type
    EXPECT_EQ(le32_at(block, 0x14), 64u);    // sig_offset
    EXPECT_EQ(le32_at(block, 0x18), 32u);    // sig_size
    EXPECT_EQ(le32_at(block, 0x1C), 96u);    // signed_data_offset
    EXPECT_EQ(le32_at(block, 0x20), 0u);     // key_type
    EXPECT_EQ(le32_at(block, 0x24), 96u);    // key_offset
    EXPECT_EQ(le32_at(block, 0x28), 0u);     // key_size
    EXPECT_EQ(le32_at(block, 0x2C), 1008u);  // signed_data_size
    EXPECT_EQ(le32_at(block, 0x30), 0u);
    EXPECT_EQ(le32_at(block, 0x34), 96u);    // payload_offset
    EXPECT_EQ(le32_at(block, 0x38), 1008u);  // payload_size
    EXPECT_EQ(le32_at(block, 0x3C), 0u);
    EXPECT_EQ(slice(block, 96, 904), slice(stage, 96, 904));
    EXPECT_EQ(slice(block, 1000, 8), Bytes(8, 0));
    EXPECT_EQ(slice(block, 1008, 96), slice(stage, 0, 96));
    EXPECT_EQ(slice(block, 64, 32), sha256_of(concat(slice(block, 0, 64), padded_16(stage))));
}

TEST_F(SignedStageTest, RsaBlockForThousandByteStage) {
    srandom(4242);
    const auto nonce = static_cast<std::uint32_t>(std::rand());
    const int stamp_draw = std::rand();
    seed_random(4242);
    const Bytes stage = counting_bytes(1000, 9);
    const Built b = build(stage, 0, 1000, &key.ctx);
    ASSERT_EQ(b.result, 0);
    const Bytes& block = b.out;
    ASSERT_EQ(block.size(), 1664u);
    EXPECT_EQ(b.written, 1664);
    EXPECT_EQ(le32_at(block, 0x04), 1664u);  // total_size
    EXPECT_EQ(le32_at(block, 0x0C), nonce);  // drawn before the key block's timestamp
    EXPECT_EQ(le32_at(block, 0x10), 1u);     // sig_type
    EXPECT_EQ(le32_at(block, 0x14), 64u);
    EXPECT_EQ(le32_at(block, 0x18), 256u);   // sig_size
    EXPECT_EQ(le32_at(block, 0x1C), 320u);   // signed_data_offset
    EXPECT_EQ(le32_at(block, 0x20), 2u);     // key_type
    EXPECT_EQ(le32_at(block, 0x24), 320u);   // key_offset
    EXPECT_EQ(le32_at(block, 0x28), 336u);   // key_size
    EXPECT_EQ(le32_at(block, 0x2C), 1344u);  // signed_data_size
    EXPECT_EQ(le32_at(block, 0x34), 656u);   // payload_offset
    EXPECT_EQ(le32_at(block, 0x38), 1008u);  // payload_size
    // Key block: key header at 320, key data at 368, zero-padded to 288 bytes.
    EXPECT_EQ(text_at(block, 320, 4), "@KEY");
    EXPECT_EQ(le32_at(block, 324), 48u + 276u);
    EXPECT_EQ(block[329], 2);
    EXPECT_EQ(text_at(block, 332, 4), "R2SA");
    EXPECT_EQ(le16_at(block, 340), 368);  // key_data_offset
    EXPECT_EQ(le16_at(block, 342), 276);
    char draw[8];
    std::snprintf(draw, sizeof draw, "%04d", stamp_draw);
    EXPECT_EQ(text_at(block, 366, 2), std::string(draw, 2));
    Bytes n(256);
    ASSERT_EQ(mbedtls_mpi_write_binary(&key.ctx.N, n.data(), n.size()), 0);
    EXPECT_EQ(slice(block, 384, 256), n);
    EXPECT_EQ(slice(block, 640, 4), (Bytes{0, 1, 0, 1}));
    EXPECT_EQ(slice(block, 644, 12), Bytes(12, 0));
    // Relocated head.
    EXPECT_EQ(slice(block, 656, 344), slice(stage, 656, 344));
    EXPECT_EQ(slice(block, 1000, 8), Bytes(8, 0));
    EXPECT_EQ(slice(block, 1008, 656), slice(stage, 0, 656));
    // The signature, checked by openssl over a digest computed here.
    write_public_pem(dir.file("pub.pem"), key.ctx);
    EXPECT_TRUE(openssl_verifies(dir.file("pub.pem"), block_digest(block, padded_16(stage)),
                                 slice(block, 64, 256)));
}

TEST_F(SignedStageTest, EveryStageSizeKeepsItsBytesAndDigest) {
    const std::uint32_t sizes[] = {0,   1,   15,  16,   95,   96,    97,    500,
                                   512, 650, 655, 656,  657,  1000,  1024,  17045,
                                   49153};
    for (const bool with_key : {false, true}) {
        mbedtls_rsa_context* ctx = with_key ? &key.ctx : nullptr;
        const std::uint32_t p = with_key ? 656 : 96;
        for (const std::uint32_t size : sizes) {
            SCOPED_TRACE(testing::Message() << "key " << with_key << " size " << size);
            const Bytes stage = counting_bytes(size, static_cast<std::uint8_t>(size));
            const Bytes block = block_of(stage, ctx);
            const std::uint32_t s16 = (size + 15) / 16 * 16;
            EXPECT_EQ(le32_at(block, 0x04), p + s16);
            EXPECT_EQ(le32_at(block, 0x38), s16);
            // A stage shorter than the header region follows it unpadded,
            // and only its own bytes are hashed.
            const bool short_stage = size < p;
            const Bytes hashed = short_stage ? stage : padded_16(stage);
            ASSERT_EQ(block.size(), short_stage ? p + size : p + s16);
            if (short_stage) {
                EXPECT_EQ(slice(block, p, size), stage);
            } else {
                EXPECT_EQ(logical_payload(block), padded_16(stage));
            }
            const Bytes digest = block_digest(block, hashed);
            if (with_key) {
                EXPECT_TRUE(signature_verifies(block, digest));
            } else {
                EXPECT_EQ(slice(block, 64, 32), digest);
            }
        }
    }
}

TEST_F(SignedStageTest, AlignmentPadsWithZerosAndReportsTheUnpaddedLength) {
    const Built b = build(counting_bytes(1000), 0, 1000, &key.ctx, 16384);
    ASSERT_EQ(b.result, 0);
    EXPECT_EQ(b.written, 1664);
    ASSERT_EQ(b.out.size(), 16384u);
    EXPECT_EQ(b.end_position, 16384);
    EXPECT_EQ(slice(b.out, 1664, 14720), Bytes(14720, 0));
    // A block that already ends on the boundary gets nothing more.
    const Built exact = build(counting_bytes(16384 - 96), 0, 16384 - 96, nullptr, 16384);
    ASSERT_EQ(exact.result, 0);
    EXPECT_EQ(exact.out.size(), 16384u);
    const Built largest = build(counting_bytes(10), 0, 10, nullptr, 65536);
    ASSERT_EQ(largest.result, 0);
    EXPECT_EQ(largest.written, 106);
    EXPECT_EQ(largest.out.size(), 65536u);
}

TEST_F(SignedStageTest, WholeInputOf512BytesIsStoredBehindTheHeaderRegion) {
    const Bytes stage = counting_bytes(512, 1);
    const Built b = build(stage, 0, 512, &key.ctx);
    ASSERT_EQ(b.result, 0);
    EXPECT_EQ(b.written, 1168);
    ASSERT_EQ(b.out.size(), 1168u);
    EXPECT_EQ(le32_at(b.out, 0x04), 1168u);
    EXPECT_EQ(le32_at(b.out, 0x34), 656u);
    EXPECT_EQ(le32_at(b.out, 0x38), 512u);
    EXPECT_EQ(slice(b.out, 656, 512), stage);
    EXPECT_TRUE(signature_verifies(b.out, block_digest(b.out, stage)));
}

TEST_F(SignedStageTest, ShortStageInsideAnInputTakesOnlyItsOwnBytes) {
    // 100 bytes before the stage, 300 stage bytes, then 5000 bytes of 0xEE.
    Bytes input(100, 0xDD);
    const Bytes stage = counting_bytes(300, 7);
    input = concat(concat(input, stage), Bytes(5000, 0xEE));
    const Bytes prefix(40, 0x5A);
    const Built b = build(input, 100, 300, &key.ctx, 0, prefix);
    ASSERT_EQ(b.result, 0);
    EXPECT_EQ(b.written, 956);
    ASSERT_EQ(b.out.size(), 40u + 956u);
    EXPECT_EQ(b.end_position, 996);
    EXPECT_EQ(slice(b.out, 0, 40), prefix);
    const Bytes block = slice(b.out, 40, 956);
    EXPECT_EQ(le32_at(block, 0x04), 960u);
    EXPECT_EQ(le32_at(block, 0x38), 304u);
    EXPECT_EQ(slice(block, 656, 300), stage);
    EXPECT_TRUE(signature_verifies(block, block_digest(block, stage)));

    // A digest-only short stage, and one just under the header region.
    const Built small = build(input, 100, 50, nullptr);
    ASSERT_EQ(small.result, 0);
    ASSERT_EQ(small.out.size(), 96u + 50u);
    EXPECT_EQ(slice(small.out, 96, 50), slice(stage, 0, 50));
    EXPECT_EQ(slice(small.out, 64, 32), block_digest(small.out, slice(stage, 0, 50)));
    Bytes long_input = concat(counting_bytes(650, 2), Bytes(3000, 0xEE));
    const Built edge = build(long_input, 0, 650, &key.ctx);
    ASSERT_EQ(edge.result, 0);
    ASSERT_EQ(edge.out.size(), 656u + 650u);
    EXPECT_EQ(slice(edge.out, 656, 650), counting_bytes(650, 2));
    EXPECT_TRUE(signature_verifies(edge.out, block_digest(edge.out, counting_bytes(650, 2))));
    // An empty stage with data behind it is the header region alone.
    const Built empty = build(long_input, 10, 0, &key.ctx);
    ASSERT_EQ(empty.result, 0);
    EXPECT_EQ(empty.written, 656);
    EXPECT_EQ(empty.out.size(), 656u);
}

TEST_F(SignedStageTest, ResigningADigestOnlyBlockSignsItsLogicalPayload) {
    const Bytes stage = counting_bytes(1000, 5);
    const Bytes inner = block_of(stage, nullptr);
    ASSERT_EQ(inner.size(), 1104u);
    const Bytes outer = block_of(inner, &key.ctx);
    ASSERT_EQ(outer.size(), 656u + 1104u);
    // The 96 bytes stored at the inner payload_size stand for its header
    // region, in the digest and in the relocated head.
    Bytes expected = inner;
    std::copy(inner.begin() + 1008, inner.end(), expected.begin());
    EXPECT_EQ(logical_payload(outer), expected);
    EXPECT_EQ(slice(logical_payload(outer), 0, 1000), stage);
    EXPECT_TRUE(signature_verifies(outer, block_digest(outer, expected)));
}

TEST_F(SignedStageTest, ResigningLeavesBlocksWithoutARelocatedHeadAsTheyAre) {
    // A digest-only block of a 32-byte stage stores that stage unrelocated.
    const Bytes small_inner = block_of(counting_bytes(32), nullptr);
    ASSERT_EQ(small_inner.size(), 128u);
    const Bytes outer = block_of(small_inner, &key.ctx);
    ASSERT_EQ(outer.size(), 656u + 128u);
    EXPECT_EQ(slice(outer, 656, 128), small_inner);
    EXPECT_TRUE(signature_verifies(outer, block_digest(outer, small_inner)));
}

TEST_F(SignedStageTest, KeptHeadMayLiePastTheStageButNotPastTheInput) {
    // A stage that is a digest-only block's first 1000 bytes, as a packaged
    // kernel image's header page names it: the kept head lies behind the
    // stage, at the block's payload_size.
    const Bytes stage = counting_bytes(1000, 5);
    const Bytes inner = block_of(stage, nullptr);
    ASSERT_EQ(inner.size(), 1104u);
    const Built b = build(concat(inner, Bytes(500, 0xEE)), 0, 1000, &key.ctx);
    ASSERT_EQ(b.result, 0);
    Bytes expected = slice(inner, 0, 1000);
    std::copy(inner.begin() + 1008, inner.end(), expected.begin());
    EXPECT_EQ(slice(logical_payload(b.out), 0, 1000), stage);
    EXPECT_TRUE(signature_verifies(b.out, block_digest(b.out, padded_16(expected))));

    // A header that points beyond the end of the input is refused, with
    // nothing written.
    Bytes fake = inner;
    fake[0x38] = 0x00;
    fake[0x39] = 0x10;  // payload_size 4096
    fake[0x04] = 0x60;
    fake[0x05] = 0x10;  // total_size 4096 + 96
    const Built refused = build(fake, 0, static_cast<std::uint32_t>(fake.size()), &key.ctx);
    EXPECT_EQ(refused.result, -1);
    EXPECT_TRUE(refused.out.empty());
}

TEST_F(SignedStageTest, RefusalsWriteNothing) {
    const Bytes input = counting_bytes(500);
    const Bytes prefix(16, 0x11);
    struct Case {
        std::uint32_t offset, size, alignment;
    };
    const Case cases[] = {
        {0, 500, 3}, {0, 500, 48}, {0, 500, 131072}, {0, 500, 0x80000000u},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.offset << " " << c.size << " " << c.alignment);
        const Built b = build(input, c.offset, c.size, &key.ctx, c.alignment, prefix);
        EXPECT_EQ(b.result, -1);
        EXPECT_EQ(b.written, -7);
        EXPECT_EQ(b.out, prefix);
    }
    // Keys whose modulus length has no key type.
    RsaKey odd;
    ASSERT_EQ(mbedtls_rsa_copy(&odd.ctx, &test_key(2048)), 0);
    odd.ctx.len = 384;
    EXPECT_EQ(build(input, 0, 500, &odd.ctx, 0, prefix).result, -1);
    EXPECT_EQ(read_file(dir.file("out.bin")), prefix);

    write_file(dir.file("in.bin"), input);
    Stream in(std::fopen(dir.file("in.bin").c_str(), "rb"));
    std::int32_t written = -7;
    EXPECT_EQ(zud_sig_boot_file_buffer(in.get(), 0, 500, &written, nullptr, nullptr, 0), -1);
    EXPECT_EQ(zud_sig_boot_file_buffer(nullptr, 0, 500, &written, nullptr, in.get(), 0), -1);
    EXPECT_EQ(written, -7);
}

TEST_F(SignedStageTest, StageOutsideItsInputIsRefusedBeforeAnythingIsDrawnOrWritten) {
    // The builder checks the range itself: no read failure is needed to
    // refuse it, so even an empty stage past the end is refused, and no
    // nonce is drawn for a stage that is refused.
    const Bytes input = counting_bytes(500);
    const Bytes prefix(16, 0x11);
    const struct {
        const char* what;
        std::uint32_t offset, size;
    } cases[] = {
        {"empty stage starting past the end", 501, 0},
        {"stage starting past the end", 600, 1},
        {"stage running past the end", 100, 401},
        {"end wrapping around 32 bits", 0xFFFFFF00u, 0x200},
    };
    seed_random(99);
    const std::uint32_t first_draw = random_u32();
    const std::unique_ptr<SigningKey> signer = borrow_signing_key(&key.ctx);
    ASSERT_NE(signer, nullptr);
    for (const bool with_key : {false, true}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(testing::Message() << c.what << (with_key ? ", with a key" : ", digest only"));
            seed_random(99);
            const Built b = build(input, c.offset, c.size, with_key ? &key.ctx : nullptr, 0, prefix);
            EXPECT_EQ(b.result, -1);
            EXPECT_EQ(b.written, -7);
            EXPECT_EQ(b.out, prefix);
            EXPECT_EQ(random_u32(), first_draw);

            const int fd = ::open(dir.file("in.bin").c_str(), O_RDONLY);
            ASSERT_GE(fd, 0);
            auto block = std::make_unique<zud_stage_block>();
            EXPECT_EQ(zud_stage_begin(fd, input.size(), c.offset, c.size, with_key ? signer.get() : nullptr,
                                      *block),
                      -1);
            ::close(fd);
        }
    }
}

TEST_F(SignedStageTest, FailedSignatureLeavesNoBlock) {
    // A key with N and E only cannot sign with the CRT values.
    RsaKey public_only;
    ASSERT_EQ(mbedtls_mpi_copy(&public_only.ctx.N, &key.ctx.N), 0);
    ASSERT_EQ(mbedtls_mpi_copy(&public_only.ctx.E, &key.ctx.E), 0);
    public_only.ctx.len = 256;
    const Bytes prefix(33, 0x44);
    const Built b = build(counting_bytes(2000), 0, 2000, &public_only.ctx, 16384, prefix);
    EXPECT_EQ(b.result, -1);
    EXPECT_EQ(b.written, -7);
    EXPECT_EQ(b.out, prefix);
    EXPECT_EQ(b.end_position, 33);
}

TEST_F(SignedStageTest, BlockTooLargeForItsLengthFieldIsRefused) {
    // Sparse input: the refusal must come before any of it is read.
    const std::string path = dir.file("huge.bin");
    write_file(path, {});
    std::filesystem::resize_file(path, 0x7FFFFFF0u);
    Stream in(std::fopen(path.c_str(), "rb"));
    Stream out(std::fopen(dir.file("out.bin").c_str(), "wb"));
    std::int32_t written = -7;
    EXPECT_EQ(zud_sig_boot_file_buffer(in.get(), 0, 0x7FFFFFF0u, &written, nullptr, out.get(), 0),
              -1);
    out.reset();
    EXPECT_EQ(size_of(dir.file("out.bin")), 0u);
    EXPECT_EQ(written, -7);
}

TEST(SignedBlockHeaderTest, EncodeAndDecodeAgreeFieldByField) {
    zud_signed_block_header h;
    h.total_size = 0x01020304;
    h.reserved_0b = 7;
    h.nonce = 0xA1B2C3D4;
    h.sig_type = 1;
    h.sig_size = 512;
    h.signed_data_offset = 320;
    h.key_type = 2;
    h.key_offset = 576;
    h.key_size = 1256;
    h.signed_data_size = 0x11223344;
    h.payload_offset = 1832;
    h.payload_size = 45056;
    std::array<std::uint8_t, 64> raw{};
    encode_signed_block_header(h, raw);
    const Bytes bytes(raw.begin(), raw.end());
    EXPECT_EQ(text_at(bytes, 0, 4), "@ZUD");
    EXPECT_EQ(le32_at(bytes, 0x04), 0x01020304u);
    EXPECT_EQ(bytes[0x08], 64);
    EXPECT_EQ(bytes[0x0A], 1);
    EXPECT_EQ(bytes[0x0B], 7);
    EXPECT_EQ(le32_at(bytes, 0x14), 64u);
    EXPECT_EQ(le32_at(bytes, 0x2C), 0x11223344u);
    EXPECT_EQ(le32_at(bytes, 0x34), 1832u);
    EXPECT_EQ(le32_at(bytes, 0x38), 45056u);
    const auto back = decode_signed_block_header(bytes);
    ASSERT_TRUE(back.has_value());
    std::array<std::uint8_t, 64> again{};
    encode_signed_block_header(*back, again);
    EXPECT_EQ(again, raw);
    EXPECT_EQ(back->key_size, 1256u);
    EXPECT_FALSE(decode_signed_block_header(slice(bytes, 0, 63)).has_value());
    Bytes wrong = bytes;
    wrong[3] = 'X';
    EXPECT_FALSE(decode_signed_block_header(wrong).has_value());
}

}  // namespace
