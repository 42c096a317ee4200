// Key files, the private operation and key blocks.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include <mbedtls/sha256.h>

#include "keyfile.h"
#include "key_block.h"
#include "support/crypto.h"
#include "support/files.h"
#include "support/temp_dir.h"
#include "support/test_keys.h"

namespace {

bool same_number(const mbedtls_mpi& a, const mbedtls_mpi& b) {
    return mbedtls_mpi_cmp_mpi(&a, &b) == 0;
}

Bytes be_bytes(const mbedtls_mpi& x, std::size_t len) {
    Bytes b(len);
    EXPECT_EQ(mbedtls_mpi_write_binary(&x, b.data(), len), 0);
    return b;
}

class KeyFileTest : public testing::Test {
protected:
    void SetUp() override { g_nVQ_RSA_keyFormat = 0; }
    const mbedtls_rsa_context& key = test_key(2048);
    TempDir dir;
};

TEST_F(KeyFileTest, FullBinaryAndTextFormsLoadIntoEqualContexts) {
    write_full_key(dir.file("full.bin"), key);
    write_text_key(dir.file("key.txt"), key);
    RsaKey full;
    RsaKey text;
    ASSERT_EQ(zud_tq_load_rsa_key_file(&full.ctx, dir.file("full.bin").c_str()), 0);
    EXPECT_EQ(g_nVQ_RSA_keyFormat, 0);
    ASSERT_EQ(zud_tq_load_rsa_key_file(&text.ctx, dir.file("key.txt").c_str()), 0);
    EXPECT_EQ(full.ctx.len, 256u);
    EXPECT_EQ(text.ctx.len, 256u);
    const mbedtls_mpi* a[] = {&full.ctx.N, &full.ctx.E, &full.ctx.D,  &full.ctx.P,
                              &full.ctx.Q, &full.ctx.DP, &full.ctx.DQ, &full.ctx.QP};
    const mbedtls_mpi* b[] = {&text.ctx.N, &text.ctx.E, &text.ctx.D,  &text.ctx.P,
                              &text.ctx.Q, &text.ctx.DP, &text.ctx.DQ, &text.ctx.QP};
    const mbedtls_mpi* k[] = {&key.N, &key.E, &key.D, &key.P, &key.Q, &key.DP, &key.DQ, &key.QP};
    for (int i = 0; i < 8; ++i) {
        EXPECT_TRUE(same_number(*a[i], *k[i])) << "number " << i;
        EXPECT_TRUE(same_number(*b[i], *k[i])) << "number " << i;
    }
}

TEST_F(KeyFileTest, UserKeyFileOfSixThousandNineHundredSeventySixBytesLoadsItsKey) {
    write_full_key(dir.file("full.bin"), key);
    Bytes user = read_file(dir.file("full.bin"));
    user.resize(6976, 0xA5);  // keymax and AES key behind the key file
    write_file(dir.file("user.key"), user);
    RsaKey loaded;
    ASSERT_EQ(zud_tq_load_rsa_key_file(&loaded.ctx, dir.file("user.key").c_str()), 0);
    EXPECT_TRUE(same_number(loaded.ctx.N, key.N));
    EXPECT_TRUE(same_number(loaded.ctx.QP, key.QP));
}

TEST_F(KeyFileTest, ShortFormTakesExponentFromThreeBytesAndSetsPlainMode) {
    write_short_key(dir.file("short.bin"), key);
    for (std::uint8_t words : {1, 2, 0}) {
        Bytes file = read_file(dir.file("short.bin"));
        file[552 + 544] = words;  // the word count of E does not matter
        write_file(dir.file("short2.bin"), file);
        RsaKey loaded;
        ASSERT_EQ(zud_tq_load_rsa_key_file(&loaded.ctx, dir.file("short2.bin").c_str()), 0);
        EXPECT_EQ(mbedtls_mpi_cmp_int(&loaded.ctx.E, 65537), 0) << int{words};
        EXPECT_TRUE(same_number(loaded.ctx.D, key.D));
        EXPECT_EQ(mbedtls_mpi_cmp_int(&loaded.ctx.P, 0), 0);
        EXPECT_EQ(g_nVQ_RSA_keyFormat, 1);
    }
    // The 1696-byte variant is the same form.
    Bytes shorter = read_file(dir.file("short.bin"));
    shorter.resize(1696);
    write_file(dir.file("short3.bin"), shorter);
    RsaKey loaded;
    ASSERT_EQ(zud_tq_load_rsa_key_file(&loaded.ctx, dir.file("short3.bin").c_str()), 0);
    EXPECT_EQ(g_nVQ_RSA_keyFormat, 1);
    // Loading another form puts the flag back.
    write_full_key(dir.file("full.bin"), key);
    ASSERT_EQ(zud_tq_load_rsa_key_file(&loaded.ctx, dir.file("full.bin").c_str()), 0);
    EXPECT_EQ(g_nVQ_RSA_keyFormat, 0);
}

TEST_F(KeyFileTest, LittleEndianReaderKeepsLowZeroBytes) {
    const std::uint8_t field[] = {0x00, 0x00, 0x01, 0x00};
    mbedtls_mpi x;
    mbedtls_mpi_init(&x);
    ASSERT_EQ(mpi_read_binary_x(&x, field, 4), 0);
    EXPECT_EQ(mbedtls_mpi_cmp_int(&x, 65536), 0);
    mbedtls_mpi_free(&x);
}

TEST_F(KeyFileTest, WordCountBeyondTheRecordIsRefused) {
    write_full_key(dir.file("full.bin"), key);
    for (std::size_t record : {0u, 1u, 7u}) {
        Bytes file = read_file(dir.file("full.bin"));
        file[record * 552 + 544] = 137;
        write_file(dir.file("bad.bin"), file);
        RsaKey loaded;
        EXPECT_EQ(zud_tq_load_rsa_key_file(&loaded.ctx, dir.file("bad.bin").c_str()),
                  kKeyLoadBadRecord) << record;
    }
    write_short_key(dir.file("short.bin"), key);
    Bytes file = read_file(dir.file("short.bin"));
    file[2 * 552 + 547] = 0x80;  // D's word count, top byte
    write_file(dir.file("bad.bin"), file);
    RsaKey loaded;
    EXPECT_EQ(zud_tq_load_rsa_key_file(&loaded.ctx, dir.file("bad.bin").c_str()),
              kKeyLoadBadRecord);
    EXPECT_EQ(g_nVQ_RSA_keyFormat, 0);
}

TEST_F(KeyFileTest, SizeAloneChoosesTheForm) {
    // A text file of exactly 4680 bytes is read as a full binary key file;
    // its "word counts" are text and far beyond a record.
    write_text_key(dir.file("key.txt"), key);
    Bytes text = read_file(dir.file("key.txt"));
    text.resize(4680, '\n');
    write_file(dir.file("4680.txt"), text);
    RsaKey loaded;
    EXPECT_EQ(zud_tq_load_rsa_key_file(&loaded.ctx, dir.file("4680.txt").c_str()),
              kKeyLoadBadRecord);
}

TEST_F(KeyFileTest, TextFormResults) {
    // Only N and E: -2 for the missing third line, N and E kept.
    std::ofstream(dir.file("two.txt")) << "N = C5\nE = 10001\n";
    RsaKey two;
    EXPECT_EQ(zud_tq_load_rsa_key_file(&two.ctx, dir.file("two.txt").c_str()), -2);
    EXPECT_EQ(mbedtls_mpi_cmp_int(&two.ctx.N, 0xC5), 0);
    EXPECT_EQ(mbedtls_mpi_cmp_int(&two.ctx.E, 0x10001), 0);
    EXPECT_EQ(two.ctx.len, 1u);

    // CR LF endings, text before the digits, a last line without a line feed.
    std::ofstream(dir.file("crlf.txt")) << "N = 0A1b\r\nE=3\r\nD 7\r\nP\r\nQ = 1\r\nDP = 2\r\nDQ = 3\r\nQP=4";
    RsaKey crlf;
    EXPECT_EQ(zud_tq_load_rsa_key_file(&crlf.ctx, dir.file("crlf.txt").c_str()), 0);
    EXPECT_EQ(mbedtls_mpi_cmp_int(&crlf.ctx.N, 0xA1B), 0);
    EXPECT_EQ(mbedtls_mpi_cmp_int(&crlf.ctx.D, 7), 0);
    EXPECT_EQ(mbedtls_mpi_cmp_int(&crlf.ctx.QP, 4), 0);

    // An empty line holds no digits and reads as 0.
    std::ofstream(dir.file("empty.txt")) << "N = 1234\n\nD = 5\nP = 1\nQ = 1\nDP = 1\nDQ = 1\nQP = 1\n";
    RsaKey empty;
    EXPECT_EQ(zud_tq_load_rsa_key_file(&empty.ctx, dir.file("empty.txt").c_str()), 0);
    EXPECT_EQ(mbedtls_mpi_cmp_int(&empty.ctx.E, 0), 0);
    EXPECT_EQ(mbedtls_mpi_cmp_int(&empty.ctx.D, 5), 0);
}

TEST_F(KeyFileTest, TextLinesUpTo1247CharactersFit) {
    const auto file_with_first_line = [&](std::size_t chars_with_lf) {
        std::string line = "N = " + std::string(chars_with_lf - 5, 'F') + "\n";
        std::ofstream(dir.file("long.txt")) << line << "E = 3\nD = 1\nP = 1\nQ = 1\nDP = 1\nDQ = 1\nQP = 1\n";
        RsaKey loaded;
        return zud_tq_load_rsa_key_file(&loaded.ctx, dir.file("long.txt").c_str());
    };
    EXPECT_EQ(file_with_first_line(1247), 0);
    EXPECT_EQ(file_with_first_line(1248), -8);
    EXPECT_EQ(file_with_first_line(3000), -8);
}

TEST_F(KeyFileTest, MissingPathOrFileIsMinusOne) {
    RsaKey loaded;
    EXPECT_EQ(zud_tq_load_rsa_key_file(&loaded.ctx, nullptr), -1);
    EXPECT_EQ(zud_tq_load_rsa_key_file(&loaded.ctx, dir.file("none").c_str()), -1);
}

class PrivateOperationTest : public KeyFileTest {};

TEST_F(PrivateOperationTest, ShortKeySignsWithoutPrimesAndOpensslAgrees) {
    write_short_key(dir.file("short.bin"), key);
    write_public_pem(dir.file("pub.pem"), key);
    RsaKey loaded;
    ASSERT_EQ(zud_tq_load_rsa_key_file(&loaded.ctx, dir.file("short.bin").c_str()), 0);
    const Bytes digest = sha256_of(counting_bytes(100));
    Bytes sig(256);
    ASSERT_EQ(zud_rsa_sign_sha256(&loaded.ctx, digest.data(), sig.data()), 0);
    EXPECT_TRUE(openssl_verifies(dir.file("pub.pem"), digest, sig));
    EXPECT_EQ(zud_rsa_verify_sha256(&loaded.ctx, digest.data(), sig.data()), 0);

    // PKCS#1 v1.5 is deterministic: the CRT key signs the same bytes.
    write_full_key(dir.file("full.bin"), key);
    RsaKey full;
    ASSERT_EQ(zud_tq_load_rsa_key_file(&full.ctx, dir.file("full.bin").c_str()), 0);
    Bytes sig2(256);
    ASSERT_EQ(zud_rsa_sign_sha256(&full.ctx, digest.data(), sig2.data()), 0);
    EXPECT_EQ(sig, sig2);
}

TEST_F(PrivateOperationTest, PlainModeRejectsInputNotBelowModulus) {
    write_short_key(dir.file("short.bin"), key);
    RsaKey loaded;
    ASSERT_EQ(zud_tq_load_rsa_key_file(&loaded.ctx, dir.file("short.bin").c_str()), 0);
    Bytes in = be_bytes(key.N, 256);
    Bytes out(256);
    EXPECT_EQ(zud_rsa_private(&loaded.ctx, in.data(), out.data()), MBEDTLS_ERR_RSA_BAD_INPUT_DATA);
    in[0] = 0;
    in[255] = 5;
    ASSERT_EQ(zud_rsa_private(&loaded.ctx, in.data(), out.data()), 0);
    Bytes back(256);
    ASSERT_EQ(zud_rsa_public(&loaded.ctx, out.data(), back.data()), 0);
    EXPECT_EQ(back, in);
    // In place, as the raw signers call it.
    Bytes inplace = in;
    ASSERT_EQ(zud_rsa_private(&loaded.ctx, inplace.data(), inplace.data()), 0);
    EXPECT_EQ(inplace, out);
}

TEST_F(PrivateOperationTest, InconsistentPrivateExponentFailsInsteadOfSigningWrongly) {
    write_short_key(dir.file("short.bin"), key);
    Bytes file = read_file(dir.file("short.bin"));
    file[2 * 552 + 10] ^= 0x01;  // one bit of D
    write_file(dir.file("bad.bin"), file);
    RsaKey loaded;
    ASSERT_EQ(zud_tq_load_rsa_key_file(&loaded.ctx, dir.file("bad.bin").c_str()), 0);
    const Bytes digest = sha256_of(counting_bytes(10));
    Bytes sig(256, 0xEE);
    EXPECT_NE(zud_rsa_sign_sha256(&loaded.ctx, digest.data(), sig.data()), 0);
    EXPECT_EQ(sig, Bytes(256, 0));
}

class KeyBlockTest : public KeyFileTest {
protected:
    std::array<std::uint8_t, kKeyHeaderSize> header() {
        std::array<std::uint8_t, kKeyHeaderSize> h{};
        zud_init_key_header(h, 48);
        return h;
    }
    Bytes out = Bytes(8192, 0xCC);
};

TEST_F(KeyBlockTest, KeyFormFromContextLaysOutTheKey) {
    auto h = header();
    const auto size = zud_create_key_from_ctx(0, &key, out, h, 624);
    ASSERT_EQ(size, 276u);
    const Bytes hb(h.begin(), h.end());
    EXPECT_EQ(text_at(hb, 0, 4), "@KEY");
    EXPECT_EQ(le32_at(hb, 4), 48u + 276u);
    EXPECT_EQ(hb[8], 1);
    EXPECT_EQ(hb[9], 2);
    EXPECT_EQ(hb[10], 48);
    EXPECT_EQ(text_at(hb, 12, 4), "R2SA");
    EXPECT_EQ(hb[16], 2);
    EXPECT_EQ(hb[17], 8);
    EXPECT_EQ(le16_at(hb, 20), 624);
    EXPECT_EQ(le16_at(hb, 22), 276);
    EXPECT_EQ(le16_at(hb, 24), 640);
    EXPECT_EQ(le16_at(hb, 26), 260);
    EXPECT_EQ(le32_at(hb, 28), 0u);
    const std::string stamp = text_at(hb, 32, 16);
    EXPECT_EQ(stamp.find_first_not_of("0123456789"), std::string::npos) << stamp;
    EXPECT_EQ(stamp.substr(0, 2), "20");
    // Component entries, then N and E big-endian.
    EXPECT_EQ(le16_at(out, 0), 1);
    EXPECT_EQ(le16_at(out, 2), 16);
    EXPECT_EQ(le16_at(out, 4), 256);
    EXPECT_EQ(le16_at(out, 6), 0);
    EXPECT_EQ(le16_at(out, 8), 2);
    EXPECT_EQ(le16_at(out, 10), 272);
    EXPECT_EQ(le16_at(out, 12), 4);
    EXPECT_EQ(slice(out, 16, 256), be_bytes(key.N, 256));
    EXPECT_EQ(slice(out, 272, 4), (Bytes{0, 1, 0, 1}));
}

TEST_F(KeyBlockTest, DigestFormCarriesTheKeyDigest) {
    auto h = header();
    EXPECT_EQ(zud_create_key_from_ctx(1, &key, out, h, 0), 0u);
    const Bytes hb(h.begin(), h.end());
    EXPECT_EQ(hb[9], 6);
    EXPECT_EQ(text_at(hb, 12, 4), "R2HA");
    EXPECT_EQ(le32_at(hb, 4), 48u);
    Bytes material = be_bytes(key.N, 256);
    material.insert(material.end(), {0, 1, 0, 1});
    EXPECT_EQ(slice(hb, 16, 32), sha256_of(material));
}

TEST_F(KeyBlockTest, DigestFormIsTheSameFromFileAndContext) {
    write_full_key(dir.file("full.bin"), key);
    auto from_ctx = header();
    auto from_file = header();
    zud_create_key_from_ctx(1, &key, out, from_ctx, 0);
    EXPECT_EQ(zud_create_key_from_file(1, dir.file("full.bin").c_str(), out, from_file, 0), 0u);
    EXPECT_EQ(from_ctx, from_file);
    // A user key file of 6976 bytes is taken like the key file it starts with.
    Bytes user = read_file(dir.file("full.bin"));
    user.resize(6976, 0);
    write_file(dir.file("user.key"), user);
    auto from_user = header();
    zud_create_key_from_file(1, dir.file("user.key").c_str(), out, from_user, 0);
    EXPECT_EQ(from_user, from_ctx);
}

TEST_F(KeyBlockTest, KeyFormFromFileCarriesWholeRecordWords) {
    write_full_key(dir.file("full.bin"), key);
    auto h = header();
    EXPECT_EQ(zud_create_key_from_file(0, dir.file("full.bin").c_str(), out, h, 624), 276u);
    EXPECT_EQ(h[9], 2);
    EXPECT_EQ(slice(out, 16, 256), be_bytes(key.N, 256));
    // A record with an extra leading zero word carries it as zero bytes.
    Bytes file = read_file(dir.file("full.bin"));
    file[552 + 544] = 2;
    write_file(dir.file("wide.bin"), file);
    auto wide = header();
    EXPECT_EQ(zud_create_key_from_file(0, dir.file("wide.bin").c_str(), out, wide, 624), 280u);
    EXPECT_EQ(slice(out, 272, 8), (Bytes{0, 0, 0, 0, 0, 1, 0, 1}));
}

TEST_F(KeyBlockTest, UnacceptedSourcesGiveNoKey) {
    write_text_key(dir.file("key.txt"), key);
    auto text = header();
    EXPECT_EQ(zud_create_key_from_file(0, dir.file("key.txt").c_str(), out, text, 624), 0u);
    EXPECT_EQ(text[9], 0);
    EXPECT_EQ(le32_at(Bytes(text.begin(), text.end()), 12), 0u);  // no tag
    EXPECT_EQ(le32_at(Bytes(text.begin(), text.end()), 4), 48u);
    auto missing = header();
    EXPECT_EQ(zud_create_key_from_file(1, dir.file("none").c_str(), out, missing, 0), 0u);
    EXPECT_EQ(Bytes(missing.begin() + 16, missing.end()), Bytes(32, 0));  // no digest

    // A 3072-bit modulus has no size code.
    RsaKey odd;
    ASSERT_EQ(mbedtls_mpi_lset(&odd.ctx.N, 1), 0);
    ASSERT_EQ(mbedtls_mpi_shift_l(&odd.ctx.N, 3071), 0);
    ASSERT_EQ(mbedtls_mpi_lset(&odd.ctx.E, 65537), 0);
    odd.ctx.len = 384;
    auto h = header();
    EXPECT_EQ(zud_create_key_from_ctx(1, &odd.ctx, out, h, 0), 0u);
    EXPECT_EQ(h[9], 0);
}

TEST_F(KeyBlockTest, OnlyKeyFormDrawsOneRandomNumber) {
    srandom(77);
    const int first = std::rand();
    const int second = std::rand();
    auto h = header();
    srandom(77);
    zud_create_key_from_ctx(1, &key, out, h, 0);
    EXPECT_EQ(std::rand(), first);
    srandom(77);
    zud_create_key_from_ctx(0, &key, out, h, 624);
    EXPECT_EQ(std::rand(), second);
}

TEST_F(KeyBlockTest, LargerKeysGetTheirCodes) {
    const auto& big = test_key(4096);
    auto h = header();
    EXPECT_EQ(zud_create_key_from_ctx(0, &big, out, h, 624), 16u + 512u + 4u);
    EXPECT_EQ(text_at(Bytes(h.begin(), h.end()), 12, 4), "R4SA");
    const auto& small = test_key(1024);
    auto s = header();
    zud_create_key_from_ctx(1, &small, out, s, 0);
    EXPECT_EQ(s[9], 5);
    EXPECT_EQ(text_at(Bytes(s.begin(), s.end()), 12, 4), "R1HA");
}

TEST(RevertCopy, ReversesBytes) {
    const std::uint8_t src[] = {1, 2, 3, 4, 5};
    std::uint8_t dst[5] = {};
    zud_revert_copy(dst, src, 5);
    EXPECT_EQ(Bytes(dst, dst + 5), (Bytes{5, 4, 3, 2, 1}));
}

}  // namespace
