// Key checks: the arithmetic of a private key and the signature probe, and
// the record layout of binary key files, over files this suite writes with
// its own writers and then damages.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>

#include "key_check.h"
#include "keyfile.h"
#include "rsa.h"
#include "support/bootloader.h"
#include "support/files.h"
#include "support/temp_dir.h"
#include "support/test_keys.h"

namespace {

constexpr std::size_t kRecord = 552;

// Offset of byte `byte` of record `index` (0 = N ... 7 = QP).
constexpr std::size_t at(std::size_t index, std::size_t byte) { return index * kRecord + byte; }

void put_le32_at(Bytes& b, std::size_t offset, std::uint32_t v) {
    for (std::size_t i = 0; i < 4; ++i) b.at(offset + i) = static_cast<std::uint8_t>(v >> (8 * i));
}

const std::string kProbeFails = "a signature made with the key does not verify with its public half";
const std::string kCannotSign = "the key cannot sign: a number it signs with is missing or out of range";

// What the loader and the two checks make of a key file.
struct Verdict {
    int loaded = 0;
    std::string records;
    std::string numbers;
};

class KeyCheckTest : public testing::Test {
protected:
    void SetUp() override { g_nVQ_RSA_keyFormat = 0; }

    Bytes written(void (*writer)(const std::string&, const mbedtls_rsa_context&),
                  const mbedtls_rsa_context& k) {
        const std::string path = dir.file("written");
        writer(path, k);
        return read_file(path);
    }
    Bytes full() { return written(write_full_key, key); }
    Bytes short_form() { return written(write_short_key, key); }

    // Loads `bytes` as the file `name` and checks them, the numbers in the
    // mode the loader chose.
    Verdict check(const Bytes& bytes, const std::string& name = "key") {
        const std::string path = dir.file(name);
        write_file(path, bytes);
        Verdict v;
        RsaKey loaded;
        v.loaded = zud_tq_load_rsa_key_file(&loaded.ctx, path.c_str());
        const std::int32_t mode = g_nVQ_RSA_keyFormat;
        g_nVQ_RSA_keyFormat = 0;
        v.records = check_key_file_records(bytes);
        if (v.loaded == 0) v.numbers = check_private_key(loaded.ctx, mode);
        return v;
    }

    const mbedtls_rsa_context& key = test_key(2048);
    TempDir dir;
};

TEST_F(KeyCheckTest, GoodKeysPassInEveryForm) {
    const struct {
        const char* what;
        void (*writer)(const std::string&, const mbedtls_rsa_context&);
        const mbedtls_rsa_context& key;
    } cases[] = {
        {"full, 2048 bits", write_full_key, test_key(2048)},
        {"full, 1024 bits", write_full_key, test_key(1024)},
        {"short, 2048 bits", write_short_key, test_key(2048)},
        {"text, 2048 bits", write_text_key, test_key(2048)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const Verdict v = check(written(c.writer, c.key));
        EXPECT_EQ(v.loaded, 0);
        EXPECT_EQ(v.records, "");
        EXPECT_EQ(v.numbers, "");
    }
}

TEST_F(KeyCheckTest, ADamagedNumberOfAFullKeyFileIsNamed) {
    const struct {
        const char* what;
        std::size_t offset;
        const char* reason;
    } cases[] = {
        {"N", at(0, 100), "N is not P*Q"},
        {"E", at(1, 0), "D*E is not 1 modulo lambda(N)"},
        {"D", at(2, 40), "D*E is not 1 modulo lambda(N)"},
        {"P", at(3, 10), "N is not P*Q"},
        {"Q", at(4, 10), "N is not P*Q"},
        {"Q, top byte", at(4, 127), "N is not P*Q"},
        {"DP", at(5, 7), "DP is not D mod (P-1)"},
        {"DQ", at(6, 7), "DQ is not D mod (Q-1)"},
        {"QP", at(7, 7), "QP is not Q^-1 mod P"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes bytes = full();
        bytes.at(c.offset) ^= 0x01;
        const Verdict v = check(bytes);
        EXPECT_EQ(v.loaded, 0);
        EXPECT_EQ(v.records, "");  // the layout is intact
        EXPECT_EQ(v.numbers, c.reason);
    }
}

TEST_F(KeyCheckTest, AFlippedByteOfQInAUserKeyFileIsNamed) {
    const KeyFiles keys = make_key_files(dir.path().string());
    Bytes user = read_file(keys.user_key);
    ASSERT_EQ(user.size(), 6976u);
    EXPECT_EQ(check(user, "user.zud").numbers, "");

    Bytes in_value = user;
    in_value.at(at(4, 10)) ^= 0x01;
    const Verdict v = check(in_value, "user.zud");
    EXPECT_EQ(v.loaded, 0);
    EXPECT_EQ(v.records, "");
    EXPECT_EQ(v.numbers, "N is not P*Q");

    // Past Q's 32 words the loader reads nothing, so only the records tell.
    Bytes in_slack = user;
    in_slack.at(at(4, 200)) ^= 0x01;
    const Verdict slack = check(in_slack, "user.zud");
    EXPECT_EQ(slack.records, "record 5 (Q) has non-zero bytes past its 32 words");
    EXPECT_EQ(slack.numbers, "");

    // The keymax and AES key behind the key file are no records.
    Bytes in_tail = user;
    in_tail.at(4680 + 5) ^= 0x01;
    in_tail.at(6975) ^= 0x01;
    EXPECT_EQ(check_key_file_records(in_tail), "");
}

TEST_F(KeyCheckTest, LayoutDamageNamesTheRecord) {
    const struct {
        const char* what;
        bool short_file;
        std::function<void(Bytes&)> damage;
        const char* reason;
    } cases[] = {
        {"Q past its words", false, [](Bytes& b) { b.at(at(4, 200)) = 0x5a; },
         "record 5 (Q) has non-zero bytes past its 32 words"},
        {"Q's last value byte", false, [](Bytes& b) { b.at(at(4, 543)) = 1; },
         "record 5 (Q) has non-zero bytes past its 32 words"},
        {"Q after its word count", false, [](Bytes& b) { b.at(at(4, 549)) = 1; },
         "record 5 (Q) has non-zero bytes after its word count"},
        {"QP past its words", false, [](Bytes& b) { b.at(at(7, 300)) = 1; },
         "record 8 (QP) has non-zero bytes past its 32 words"},
        {"D word count 137", false, [](Bytes& b) { put_le32_at(b, at(2, 544), 137); },
         "record 3 (D) has a word count of 137; a record holds at most 136 words"},
        {"N word count 0", false, [](Bytes& b) { put_le32_at(b, at(0, 544), 0); },
         "record 1 (N) is empty"},
        {"N word count 65", false, [](Bytes& b) { put_le32_at(b, at(0, 544), 65); },
         "record 1 (N) has 65 words where its value needs 64"},
        {"E word count 2", false, [](Bytes& b) { put_le32_at(b, at(1, 544), 2); },
         "record 2 (E) has 2 words where its value needs 1"},
        {"full tail", false, [](Bytes& b) { b.at(4679) = 1; },
         "the 264 bytes after the records are not all zero"},
        {"short E past 3 bytes", true, [](Bytes& b) { b.at(at(1, 3)) = 1; },
         "record 2 (E) has non-zero bytes past the 3 bytes the short form reads"},
        {"short D past its words", true, [](Bytes& b) { b.at(at(2, 400)) = 1; },
         "record 3 (D) has non-zero bytes past its 64 words"},
        {"short tail", true, [](Bytes& b) { b.at(1656) = 1; },
         "the 264 bytes after the records are not all zero"},
        {"short, 1696 bytes, tail", true, [](Bytes& b) { b.resize(1696); b.at(1695) = 1; },
         "the 40 bytes after the records are not all zero"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes bytes = c.short_file ? short_form() : full();
        c.damage(bytes);
        EXPECT_EQ(check_key_file_records(bytes), c.reason);
    }
}

TEST_F(KeyCheckTest, RecordsTheLoaderIgnoresAreAllowed) {
    // The short form reads E from 3 bytes whatever its word count says, and
    // a full key file's P to QP may be absent.
    Bytes short_bytes = short_form();
    put_le32_at(short_bytes, at(1, 544), 0);
    EXPECT_EQ(check_key_file_records(short_bytes), "");
    put_le32_at(short_bytes, at(1, 544), 900);
    EXPECT_EQ(check_key_file_records(short_bytes), "");
    Bytes no_crt = full();
    std::fill(no_crt.begin() + at(3, 0), no_crt.begin() + at(8, 0), 0);
    EXPECT_EQ(check_key_file_records(no_crt), "");
    // A text key file has no records.
    EXPECT_EQ(check_key_file_records(written(write_text_key, key)), "");
}

TEST_F(KeyCheckTest, ShortFormWithADamagedDFailsTheProbe) {
    Bytes bytes = short_form();
    bytes.at(at(2, 30)) ^= 0x10;
    const Verdict v = check(bytes);
    EXPECT_EQ(v.loaded, 0);
    EXPECT_EQ(v.records, "");
    EXPECT_EQ(v.numbers, kProbeFails);
}

TEST_F(KeyCheckTest, TheProbeSignsInTheKeysOwnMode) {
    // N, E and D alone: enough to sign with D, not with the CRT values.
    RsaKey k;
    ASSERT_EQ(mbedtls_rsa_copy(&k.ctx, &key), 0);
    for (mbedtls_mpi* x : {&k.ctx.P, &k.ctx.Q, &k.ctx.DP, &k.ctx.DQ, &k.ctx.QP}) {
        ASSERT_EQ(mbedtls_mpi_lset(x, 0), 0);
    }
    g_nVQ_RSA_keyFormat = 0;
    EXPECT_EQ(check_private_key(k.ctx, 1), "");
    EXPECT_EQ(g_nVQ_RSA_keyFormat, 0);
    EXPECT_EQ(check_private_key(k.ctx, 0), kCannotSign);
    g_nVQ_RSA_keyFormat = 1;
    EXPECT_EQ(check_private_key(k.ctx, 0), kCannotSign);
    EXPECT_EQ(g_nVQ_RSA_keyFormat, 1);

    // In mode 0 D is not used to sign: only the arithmetic finds a bad one.
    RsaKey bad_d;
    ASSERT_EQ(mbedtls_rsa_copy(&bad_d.ctx, &key), 0);
    ASSERT_EQ(mbedtls_mpi_add_int(&bad_d.ctx.D, &bad_d.ctx.D, 2), 0);
    EXPECT_EQ(check_private_key(bad_d.ctx, 0), "D*E is not 1 modulo lambda(N)");
}

TEST_F(KeyCheckTest, APrivateExponentLambdaAwayIsAccepted) {
    // D + lambda(N) is as good a private exponent as D (generators that
    // reduce modulo (P-1)(Q-1) give such a one), and its DP and DQ stay.
    RsaKey k;
    ASSERT_EQ(mbedtls_rsa_copy(&k.ctx, &key), 0);
    mbedtls_mpi p1, q1, phi, gcd, lambda, rest;
    for (mbedtls_mpi* x : {&p1, &q1, &phi, &gcd, &lambda, &rest}) mbedtls_mpi_init(x);
    ASSERT_EQ(mbedtls_mpi_sub_int(&p1, &k.ctx.P, 1), 0);
    ASSERT_EQ(mbedtls_mpi_sub_int(&q1, &k.ctx.Q, 1), 0);
    ASSERT_EQ(mbedtls_mpi_mul_mpi(&phi, &p1, &q1), 0);
    ASSERT_EQ(mbedtls_mpi_gcd(&gcd, &p1, &q1), 0);
    ASSERT_EQ(mbedtls_mpi_div_mpi(&lambda, &rest, &phi, &gcd), 0);
    ASSERT_EQ(mbedtls_mpi_add_mpi(&k.ctx.D, &k.ctx.D, &lambda), 0);
    for (mbedtls_mpi* x : {&p1, &q1, &phi, &gcd, &lambda, &rest}) mbedtls_mpi_free(x);
    EXPECT_EQ(check_private_key(k.ctx, 0), "");
    EXPECT_EQ(check_private_key(k.ctx, 1), "");
}

TEST_F(KeyCheckTest, TextFormNumbersAreChecked) {
    RsaKey k;
    ASSERT_EQ(mbedtls_rsa_copy(&k.ctx, &key), 0);
    ASSERT_EQ(mbedtls_mpi_add_int(&k.ctx.Q, &k.ctx.Q, 2), 0);
    const Verdict v = check(written(write_text_key, k.ctx), "key.txt");
    EXPECT_EQ(v.loaded, 0);
    EXPECT_EQ(v.numbers, "N is not P*Q");
}

}  // namespace
