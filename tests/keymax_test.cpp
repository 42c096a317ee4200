// --keysig (the keymax) and --keybnd (the user key file).
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <string>

#include <mbedtls/sha256.h>

#include "keyfile.h"
#include "support/crypto.h"
#include "support/files.h"
#include "support/run.h"
#include "support/signed_blocks.h"
#include "support/temp_dir.h"
#include "support/test_keys.h"

namespace {

// The digest a key header carries for a key: N big-endian, then E in 4 bytes.
Bytes key_digest(const mbedtls_rsa_context& key) {
    Bytes material(key.len);
    EXPECT_EQ(mbedtls_mpi_write_binary(&key.N, material.data(), key.len), 0);
    material.insert(material.end(), {0, 1, 0, 1});
    return sha256_of(material);
}

// The digest a keymax signature covers: the 64 header bytes and everything
// from signed_data_offset to the end of the block (the block starts at 16).
Bytes signed_digest(const Bytes& keymax) {
    const std::uint32_t signed_at = le32_at(keymax, 16 + 28);
    Bytes covered = slice(keymax, 16, 64);
    const Bytes rest(keymax.begin() + 16 + signed_at, keymax.end());
    covered.insert(covered.end(), rest.begin(), rest.end());
    return sha256_of(covered);
}

// Runs the test body inside a directory, for names that must be relative.
class InDirectory {
public:
    explicit InDirectory(const std::filesystem::path& dir) : old_(std::filesystem::current_path()) {
        std::filesystem::current_path(dir);
    }
    ~InDirectory() { std::filesystem::current_path(old_); }

private:
    std::filesystem::path old_;
};

class KeysigTest : public testing::Test {
protected:
    void SetUp() override {
        g_nVQ_RSA_keyFormat = 0;
        write_full_key(root_path, root);
        write_full_key(user1_path, user1);
    }
    std::set<std::string> files_in_dir() const {
        std::set<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(dir.path()))
            names.insert(e.path().filename().string());
        return names;
    }
    ToolRun keysig(const std::string& skey, const std::string& output, unsigned seed = 12345) {
        return run_tool({"--keysig", "--rkey1", root_path, "--ukey1", user1_path, "--skey", skey,
                         "--output", output},
                        seed);
    }

    TempDir dir;
    const mbedtls_rsa_context& root = test_key(2048, 0);
    const mbedtls_rsa_context& user1 = test_key(2048, 1);
    const std::string root_path = dir.file("root.key");
    const std::string user1_path = dir.file("user1.key");
    const std::string km_path = dir.file("km.bin");
};

TEST_F(KeysigTest, TenArgumentRunWritesTheKeymaxLayout) {
    const ToolRun run = keysig(root_path, km_path);
    ASSERT_EQ(run.result, 0);
    EXPECT_EQ(run.out, "");
    const Bytes km = read_file(km_path);
    ASSERT_EQ(km.size(), 2264u);
    EXPECT_EQ(slice(km, 0, 16), Bytes(16, 0));
    // Signed block header.
    EXPECT_EQ(text_at(km, 16, 4), "@ZUD");
    EXPECT_EQ(le32_at(km, 20), 2248u);   // total_size
    EXPECT_EQ(km[24], 64);               // header_size
    EXPECT_EQ(km[26], 1);                // version
    EXPECT_EQ(le32_at(km, 28), 0u);      // nonce
    EXPECT_EQ(le32_at(km, 32), 1u);      // sig_type
    EXPECT_EQ(le32_at(km, 36), 64u);     // sig_offset
    EXPECT_EQ(le32_at(km, 40), 512u);    // sig_size
    EXPECT_EQ(le32_at(km, 44), 320u);    // signed_data_offset
    EXPECT_EQ(le32_at(km, 48), 2u);      // key_type
    EXPECT_EQ(le32_at(km, 52), 576u);    // key_offset
    EXPECT_EQ(le32_at(km, 56), 1256u);   // key_size
    EXPECT_EQ(le32_at(km, 60), 1928u);   // signed_data_size
    EXPECT_EQ(le32_at(km, 64), 0u);
    EXPECT_EQ(le32_at(km, 68), 1832u);   // payload_offset
    EXPECT_EQ(le32_at(km, 72), 416u);    // payload_size
    EXPECT_EQ(le32_at(km, 76), 0u);
    // The 256-byte signature fills 80..335; the rest of the slot is zero.
    EXPECT_NE(slice(km, 80, 256), Bytes(256, 0));
    EXPECT_EQ(slice(km, 336, 256), Bytes(256, 0));
    // The signing key in key form at 592, its data at 640, zeros to 1848.
    EXPECT_EQ(text_at(km, 592, 4), "@KEY");
    EXPECT_EQ(le32_at(km, 596), 48u + 276u);
    EXPECT_EQ(km[601], 2);
    EXPECT_EQ(km[602], 48);
    EXPECT_EQ(text_at(km, 604, 4), "R2SA");
    EXPECT_EQ(le16_at(km, 612), 624);
    EXPECT_EQ(le16_at(km, 614), 276);
    EXPECT_EQ(le16_at(km, 616), 640);
    Bytes n(256);
    ASSERT_EQ(mbedtls_mpi_write_binary(&root.N, n.data(), 256), 0);
    EXPECT_EQ(slice(km, 640 + 16, 256), n);
    EXPECT_EQ(slice(km, 640 + 272, 4), (Bytes{0, 1, 0, 1}));
    EXPECT_EQ(slice(km, 640 + 276, 1848 - 916), Bytes(1848 - 916, 0));
    // Root matrix at 1848, user matrix at 2056: four equal entries each.
    for (const std::size_t m : {1848u, 2056u}) {
        EXPECT_EQ(text_at(km, m, 4), "@KMX");
        EXPECT_EQ(km[m + 4], 1);
        EXPECT_EQ(le16_at(km, m + 6), 16);
        EXPECT_EQ(le32_at(km, m + 8), 208u);
        EXPECT_EQ(km[m + 12], 4);
        EXPECT_EQ(km[m + 13], 48);
        const Bytes& expected = key_digest(m == 1848 ? root : user1);
        for (std::size_t i = 0; i < 4; ++i) {
            const std::size_t e = m + 16 + 48 * i;
            EXPECT_EQ(text_at(km, e, 4), "@KEY");
            EXPECT_EQ(le32_at(km, e + 4), 48u);
            EXPECT_EQ(km[e + 9], 6);
            EXPECT_EQ(km[e + 10], 0);  // keymax entries leave header_size 0
            EXPECT_EQ(text_at(km, e + 12, 4), "R2HA");
            EXPECT_EQ(slice(km, e + 16, 32), expected) << m << " entry " << i;
        }
    }
    EXPECT_EQ(slice(km, 2056 + 32, 32), key_digest(user1));
    EXPECT_FALSE(file_exists(km_path + ".tmp"));
}

TEST_F(KeysigTest, OpensslVerifiesTheSignatureWithTheExportedPublicKey) {
    ASSERT_EQ(keysig(root_path, km_path).result, 0);
    const ProcessRun exported = run_process(
        {keytool_path(), "public", "--key", root_path, "--output", dir.file("root.pem")});
    ASSERT_EQ(exported.exit_status, 0) << exported.err;
    Bytes km = read_file(km_path);
    EXPECT_TRUE(openssl_verifies(dir.file("root.pem"), signed_digest(km), slice(km, 80, 256)));
    // The signature covers the matrices: one changed digest byte breaks it.
    const Bytes signature = slice(km, 80, 256);
    km[2056 + 40] ^= 1;
    EXPECT_FALSE(openssl_verifies(dir.file("root.pem"), signed_digest(km), signature));
}

TEST_F(KeysigTest, EntriesFollowTheSlotsAndMissingOnesTakeTheFirst) {
    const auto& small = test_key(1024, 0);
    write_full_key(dir.file("small.key"), small);
    const ToolRun run =
        run_tool({"--keysig", "--rkey1", root_path, "--rkey3", dir.file("small.key"), "--ukey1",
                  user1_path, "--ukey2", root_path, "--ukey4", dir.file("small.key"), "--skey",
                  root_path, "--output", km_path});
    ASSERT_EQ(run.result, 0);
    const Bytes km = read_file(km_path);
    const auto entry_digest = [&](std::size_t matrix, std::size_t i) {
        return slice(km, matrix + 16 + 48 * i + 16, 32);
    };
    EXPECT_EQ(entry_digest(1848, 0), key_digest(root));
    EXPECT_EQ(entry_digest(1848, 1), key_digest(root));
    EXPECT_EQ(entry_digest(1848, 2), key_digest(small));
    EXPECT_EQ(km[1848 + 16 + 96 + 9], 5);
    EXPECT_EQ(text_at(km, 1848 + 16 + 96 + 12, 4), "R1HA");
    EXPECT_EQ(entry_digest(1848, 3), key_digest(root));
    EXPECT_EQ(entry_digest(2056, 0), key_digest(user1));
    EXPECT_EQ(entry_digest(2056, 1), key_digest(root));
    EXPECT_EQ(entry_digest(2056, 2), key_digest(user1));
    EXPECT_EQ(entry_digest(2056, 3), key_digest(small));
}

TEST_F(KeysigTest, FourThousandBitSigningKeyFillsTheSlot) {
    const auto& big = test_key(4096);
    write_full_key(dir.file("big.key"), big);
    write_public_pem(dir.file("big.pem"), big);
    ASSERT_EQ(run_tool({"--keysig", "--rkey1", dir.file("big.key"), "--ukey1", user1_path,
                        "--skey", dir.file("big.key"), "--output", km_path})
                  .result,
              0);
    const Bytes km = read_file(km_path);
    ASSERT_EQ(km.size(), 2264u);
    EXPECT_EQ(le32_at(km, 44), 576u);
    EXPECT_EQ(le32_at(km, 60), 1672u);
    EXPECT_EQ(le32_at(km, 48), 3u);
    EXPECT_EQ(text_at(km, 604, 4), "R4SA");
    EXPECT_EQ(le16_at(km, 614), 532);
    EXPECT_EQ(slice(km, 640 + 532, 1208 - 532), Bytes(1208 - 532, 0));
    EXPECT_TRUE(openssl_verifies(dir.file("big.pem"), signed_digest(km), slice(km, 80, 512)));
}

TEST_F(KeysigTest, ShortOrTextSigningKeyCarriesItsKeyBlock) {
    write_public_pem(dir.file("root.pem"), root);
    for (const auto writer : {write_short_key, write_text_key}) {
        writer(dir.file("signer"), root);
        ASSERT_EQ(keysig(dir.file("signer"), km_path).result, 0);
        const Bytes km = read_file(km_path);
        // The key block is laid out from the loaded key, as from a full file.
        EXPECT_EQ(le32_at(km, 48), 2u);  // key_type in the block header
        EXPECT_EQ(km[601], 2);
        EXPECT_EQ(text_at(km, 604, 4), "R2SA");
        EXPECT_EQ(slice(km, 656, 260), key_values(root));
        EXPECT_TRUE(openssl_verifies(dir.file("root.pem"), signed_digest(km), slice(km, 80, 256)));
    }
}

TEST_F(KeysigTest, RefusalsNameTheKeyAndLeaveNothing) {
    std::ofstream(dir.file("two.txt")) << "N = C5\nE = 10001\n";
    std::ofstream(dir.file("odd.txt")) << "N = 8" << std::string(767, '1')
                                       << "\nE = 10001\nD = 3\nP = 1\nQ = 1\nDP = 1\nDQ = 1\nQP = 1\n";
    const struct {
        std::vector<std::string> args;
        int result;
        const char* reason;
    } cases[] = {
        {{"--rkey2", dir.file("two.txt"), "--skey", root_path}, 3107, "--rkey2"},
        {{"--ukey3", dir.file("odd.txt"), "--skey", root_path}, 3107, "--ukey3"},
        {{"--skey", user1_path}, 3109, "none of the root keys"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reason);
        std::vector<std::string> args{"--keysig", "--rkey1", root_path, "--ukey1", user1_path,
                                      "--output", km_path};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const ToolRun run = run_tool(args);
        EXPECT_EQ(run.result, c.result);
        EXPECT_EQ(run.out, "zud_encrypt_tqrr keysig fail[" + std::to_string(c.result) + "]!\n");
        EXPECT_NE(run.err.find(c.reason), std::string::npos) << run.err;
        EXPECT_FALSE(file_exists(km_path));
        EXPECT_FALSE(file_exists(km_path + ".tmp"));
    }
    // A BL2 area is not a keymax: any key may sign it.
    InDirectory here(dir.path());
    EXPECT_EQ(keysig(user1_path, "bl2.encrypt").result, 0);
}

TEST_F(KeysigTest, TwoRunsDifferOnlyInTimestampAndSignature) {
    ASSERT_EQ(keysig(root_path, km_path, 1).result, 0);
    ASSERT_EQ(keysig(root_path, dir.file("km2.bin"), 2).result, 0);
    const Bytes a = read_file(km_path);
    const Bytes b = read_file(dir.file("km2.bin"));
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t i = 0; i < a.size(); ++i) {
        const bool signature = i >= 80 && i < 336;
        const bool timestamp = i >= 624 && i < 640;
        if (!signature && !timestamp) {
            EXPECT_EQ(a[i], b[i]) << "offset " << i;
        }
    }
    EXPECT_EQ(slice(a, 624, 16) == slice(b, 624, 16), slice(a, 80, 256) == slice(b, 80, 256));
}

TEST_F(KeysigTest, OutputNamedBl2EncryptGetsTheWholeBl2Area) {
    {
        InDirectory here(dir.path());
        ASSERT_EQ(keysig(root_path, "bl2.encrypt").result, 0);
    }
    const Bytes bl2 = read_file(dir.file("bl2.encrypt"));
    ASSERT_EQ(bl2.size(), 16u + 64u + 512u + 1256u + 45056u);
    EXPECT_EQ(le32_at(bl2, 20), 46888u);
    EXPECT_EQ(le32_at(bl2, 60), 46888u - 320u);
    EXPECT_EQ(le32_at(bl2, 72), 45056u);
    EXPECT_EQ(text_at(bl2, 1848, 4), "@KMX");
    EXPECT_EQ(text_at(bl2, 2056, 4), "@KMX");
    EXPECT_EQ(slice(bl2, 2264, bl2.size() - 2264), Bytes(bl2.size() - 2264, 0));
    write_public_pem(dir.file("root.pem"), root);
    EXPECT_TRUE(openssl_verifies(dir.file("root.pem"), signed_digest(bl2), slice(bl2, 80, 256)));
    EXPECT_FALSE(file_exists(dir.file("bl2.encrypt.tmp")));
    // Only the exact name selects it: a path to such a file is a keymax.
    ASSERT_EQ(keysig(root_path, dir.file("bl2.encrypt")).result, 0);
    EXPECT_EQ(size_of(dir.file("bl2.encrypt")), 2264u);
}

class KeysigFailureTest : public KeysigTest {};

TEST_F(KeysigFailureTest, SevenWordsOrFewerFailWith3105) {
    const ProcessRun alone = run_process({tool_path(), "--keysig"});
    EXPECT_EQ(alone.exit_status, 33);
    EXPECT_EQ(alone.out, tool_path() + " keysig fail[3105]!\n");
    // Options are counted, whichever of their two forms they take.
    ToolRun run = run_tool({"--keysig", "--rkey1", root_path, "--ukey1=" + user1_path});
    EXPECT_EQ(run.result, 3105);
    EXPECT_EQ(run.out, "zud_encrypt_tqrr keysig fail[3105]!\n");
    run = run_tool({"--keysig", "--rkey1", root_path, "--ukey1", user1_path, "--output=" + km_path});
    EXPECT_EQ(run.result, -1);
    EXPECT_NE(run.err.find("needs --skey"), std::string::npos) << run.err;
    EXPECT_FALSE(file_exists(km_path));
}

TEST_F(KeysigFailureTest, MissingKeyFileIsNamed) {
    const std::string none = dir.file("none.key");
    ToolRun run = run_tool({"--keysig", "--rkey1", root_path, "--rkey2", none, "--ukey1",
                            user1_path, "--skey", root_path, "--output", km_path});
    EXPECT_EQ(run.result, 3105);
    EXPECT_EQ(run.out, "zud log: error! Illegal key file " + none +
                           "\nzud_encrypt_tqrr keysig fail[3105]!\n");
    // An absent --ukey1 has no path to name.
    run = run_tool({"--keysig", "--rkey1", root_path, "--skey", root_path, "--output", km_path,
                    "--rkey2", root_path});
    EXPECT_EQ(run.result, 3105);
    EXPECT_EQ(run.out, "zud log: error! Illegal key file (null)\nzud_encrypt_tqrr keysig fail[3105]!\n");
    EXPECT_EQ(files_in_dir(), (std::set<std::string>{"root.key", "user1.key"}));
}

TEST_F(KeysigFailureTest, MissingOrUnloadableSigningKeyLeavesNothing) {
    ToolRun run = run_tool({"--keysig", "--rkey1", root_path, "--ukey1", user1_path, "--rkey2",
                            root_path, "--output", km_path});
    EXPECT_EQ(run.result, -1);
    EXPECT_EQ(run.out, "zud_encrypt_tqrr keysig fail[-1]!\n");
    run = run_tool({"--keysig", "--rkey1", root_path, "--ukey1", user1_path, "--rkey2",
                    root_path, "--skey", root_path});
    EXPECT_EQ(run.result, -1);
    run = keysig(dir.file("none.key"), km_path);
    EXPECT_EQ(run.result, -1);
    std::ofstream(dir.file("two.txt")) << "N = C5\nE = 10001\n";
    run = keysig(dir.file("two.txt"), km_path);
    EXPECT_EQ(run.result, -1);
    EXPECT_EQ(files_in_dir(), (std::set<std::string>{"root.key", "user1.key", "two.txt"}));
}

// An RSA key of eight 520-bit primes: its modulus (520 bytes) is too long
// for the signature slot, yet the plain private operation signs with it.
void write_oversized_short_key(const std::string& path) {
    std::mt19937 gen(7);
    const auto rng = [](void* state, unsigned char* out, std::size_t len) {
        for (std::size_t i = 0; i < len; ++i) out[i] = static_cast<unsigned char>((*static_cast<std::mt19937*>(state))());
        return 0;
    };
    RsaKey key;
    mbedtls_mpi p, p1, g, lambda;
    for (auto* x : {&p, &p1, &g, &lambda}) mbedtls_mpi_init(x);
    ASSERT_EQ(mbedtls_mpi_lset(&key.ctx.N, 1), 0);
    ASSERT_EQ(mbedtls_mpi_lset(&lambda, 1), 0);
    ASSERT_EQ(mbedtls_mpi_lset(&key.ctx.E, 65537), 0);
    for (int found = 0; found < 8;) {
        ASSERT_EQ(mbedtls_mpi_gen_prime(&p, 520, 0, rng, &gen), 0);
        ASSERT_EQ(mbedtls_mpi_sub_int(&p1, &p, 1), 0);
        ASSERT_EQ(mbedtls_mpi_gcd(&g, &p1, &key.ctx.E), 0);
        if (mbedtls_mpi_cmp_int(&g, 1) != 0) continue;
        ASSERT_EQ(mbedtls_mpi_mul_mpi(&key.ctx.N, &key.ctx.N, &p), 0);
        ASSERT_EQ(mbedtls_mpi_gcd(&g, &lambda, &p1), 0);  // lambda = lcm(lambda, p - 1)
        ASSERT_EQ(mbedtls_mpi_mul_mpi(&lambda, &lambda, &p1), 0);
        ASSERT_EQ(mbedtls_mpi_div_mpi(&lambda, nullptr, &lambda, &g), 0);
        ++found;
    }
    ASSERT_EQ(mbedtls_mpi_inv_mod(&key.ctx.D, &key.ctx.E, &lambda), 0);
    key.ctx.len = mbedtls_mpi_size(&key.ctx.N);
    write_short_key(path, key.ctx);
    for (auto* x : {&p, &p1, &g, &lambda}) mbedtls_mpi_free(x);
}

TEST_F(KeysigFailureTest, ModulusLongerThanTheSlotIsRefusedBeforeWriting) {
    write_oversized_short_key(dir.file("huge.key"));
    RsaKey huge;
    ASSERT_EQ(zud_tq_load_rsa_key_file(&huge.ctx, dir.file("huge.key").c_str()), 0);
    ASSERT_EQ(huge.ctx.len, 520u);
    // The key itself signs: the refusal is the slot's, not the key's.
    const Bytes digest = sha256_of(counting_bytes(10));
    Bytes sig(520);
    ASSERT_EQ(zud_rsa_sign_sha256(&huge.ctx, digest.data(), sig.data()), 0);

    const ToolRun run = keysig(dir.file("huge.key"), km_path);
    EXPECT_EQ(run.result, -1);
    EXPECT_EQ(files_in_dir(), (std::set<std::string>{"huge.key", "root.key", "user1.key"}));
}

TEST_F(KeysigFailureTest, FailedSignatureLeavesNoKeymax) {
    Bytes bad = read_file(root_path);
    bad[7 * 552 + 20] ^= 0x04;  // one bit of QP: the CRT result comes out wrong
    write_file(dir.file("bad.key"), bad);
    const ToolRun run = keysig(dir.file("bad.key"), km_path);
    EXPECT_EQ(run.result, -1);
    EXPECT_EQ(run.out, "zud_encrypt_tqrr keysig fail[-1]!\n");
    EXPECT_FALSE(file_exists(km_path));
    EXPECT_FALSE(file_exists(km_path + ".tmp"));
}

TEST_F(KeysigFailureTest, OutputThatIsAKeyFileIsRefused) {
    const Bytes before = read_file(user1_path);
    EXPECT_EQ(keysig(root_path, user1_path).result, -1);
    EXPECT_EQ(read_file(user1_path), before);
    // A file named like the old fixed work file is neither used nor touched.
    write_full_key(dir.file("km.bin.tmp"), root);
    EXPECT_EQ(keysig(dir.file("km.bin.tmp"), km_path).result, 0);
    EXPECT_EQ(read_file(dir.file("km.bin.tmp")), read_file(root_path));
}

// ---------------------------------------------------------------------------
// --keybnd

class KeybndTest : public KeysigTest {
protected:
    void SetUp() override {
        KeysigTest::SetUp();
        write_full_key(user2_path, user2);
        ASSERT_EQ(run_tool({"--keysig", "--rkey1", root_path, "--ukey1", user1_path, "--ukey2",
                            user2_path, "--skey", root_path, "--output", km_path})
                      .result,
                  0);
        write_file(aes_path, counting_bytes(32, 0x40));
    }
    ToolRun keybnd(const std::vector<std::string>& args, unsigned seed = 12345) {
        std::vector<std::string> words{"--keybnd"};
        words.insert(words.end(), args.begin(), args.end());
        return run_tool(words, seed);
    }

    const mbedtls_rsa_context& user2 = test_key(1024, 0);
    const std::string user2_path = dir.file("user2.key");
    const std::string aes_path = dir.file("aes.bin");
    const std::string out_path = dir.file("user.zkey");
};

TEST_F(KeybndTest, BindsTheFirstUserKey) {
    const ToolRun run = keybnd({"--ukey", user1_path, "--rootkeymax", km_path, "--aeskey",
                                aes_path, "--output", out_path});
    ASSERT_EQ(run.result, 0);
    EXPECT_EQ(run.out, "");
    const Bytes bound = read_file(out_path);
    ASSERT_EQ(bound.size(), 6976u);
    EXPECT_EQ(slice(bound, 0, 4680), read_file(user1_path));
    EXPECT_EQ(slice(bound, 4680, 2264), read_file(km_path));
    EXPECT_EQ(slice(bound, 6944, 32), counting_bytes(32, 0x40));
    // The file is itself a key file of the user key, readable by its owner only.
    RsaKey loaded;
    ASSERT_EQ(zud_tq_load_rsa_key_file(&loaded.ctx, out_path.c_str()), 0);
    EXPECT_EQ(mbedtls_mpi_cmp_mpi(&loaded.ctx.N, &user1.N), 0);
    struct stat st {};
    ASSERT_EQ(::stat(out_path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}



TEST_F(KeybndTest, KeymaxesNoDeviceAcceptsAreRefusedBeforeWriting) {
    const auto& stranger = test_key(2048, 2);
    const auto damaged = [&](const std::string& name, std::size_t at, std::uint8_t value) {
        Bytes km = read_file(km_path);
        km.at(at) = value;
        write_file(dir.file(name), km);
        return dir.file(name);
    };
    const Bytes good = read_file(km_path);
    const std::string foreign = dir.file("foreign.bin");
    write_file(foreign, make_keymax(root, user1, stranger));
    const struct {
        std::string ukey, keymax;
        int result;
    } cases[] = {
        {user1_path, damaged("sig.bin", 100, good[100] ^ 0x01), 3126},
        {user1_path, damaged("digest.bin", 2056 + 40, good[2056 + 40] ^ 0x01), 3126},
        {user1_path, foreign, 3126},
        {user1_path, damaged("magic.bin", 1848, 'X'), 3125},
        {user1_path, damaged("key-form.bin", 1848 + 16 + 48 * 2 + 9, 2), 3125},
        {user2_path, km_path, 3124},  // the second user key
        {root_path, km_path, 3124},   // no user key at all
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.keymax + " " + c.ukey);
        const auto before = files_in_dir();
        const Bytes keymax = read_file(c.keymax);
        const ToolRun run = keybnd({"--ukey", c.ukey, "--rootkeymax", c.keymax, "--aeskey",
                                    aes_path, "--output", out_path});
        EXPECT_EQ(run.result, c.result);
        EXPECT_EQ(run.out, "zud_encrypt_tqrr keybnd fail[" + std::to_string(c.result) + "]!\n");
        EXPECT_NE(run.err.find(c.keymax), std::string::npos) << run.err;
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
        EXPECT_EQ(files_in_dir(), before);
        EXPECT_EQ(read_file(c.keymax), keymax);
    }
}

TEST_F(KeybndTest, DerivedNameCarriesTheGeneratedKey) {
    // rand() after the command is the 33rd draw: the AES key took 32.
    srandom(99);
    for (int i = 0; i < 32; ++i) (void)std::rand();
    const int thirty_third = std::rand();
    srandom(99);
    Bytes drawn(32);
    for (auto& b : drawn) b = static_cast<std::uint8_t>(std::rand() & 0xFF);

    std::filesystem::rename(user1_path, dir.file("u.key"));
    const auto before = files_in_dir();
    {
        InDirectory here(dir.path());
        ASSERT_EQ(keybnd({"--ukey", "u.key", "--rootkeymax", "km.bin"}, 99).result, 0);
        EXPECT_EQ(std::rand(), thirty_third);
    }
    std::set<std::string> made;
    for (const auto& name : files_in_dir())
        if (before.count(name) == 0) made.insert(name);
    ASSERT_EQ(made.size(), 1u);
    const std::string name = *made.begin();
    const Bytes bound = read_file(dir.file(name));
    ASSERT_EQ(bound.size(), 6976u);
    const Bytes aes = slice(bound, 6944, 32);
    char id[8];
    std::snprintf(id, sizeof id, "%02X-%02X", aes[0], aes[1]);
    EXPECT_EQ(name, std::string("u.key-km.bin-") + id + ".key");
    // The key comes from the system's generator, not from the seeded rand().
    EXPECT_NE(aes, drawn);
}

TEST_F(KeybndTest, RefusalsSayWhyAndLeaveNothing) {
    // A key file whose CRT numbers belong to no key: DP damaged.
    Bytes damaged = read_file(user1_path);
    damaged.at(5 * 552 + 7) ^= 0x01;
    write_file(dir.file("damaged.key"), damaged);
    const struct {
        std::vector<std::string> args;
        int result;
        const char* reason;
    } cases[] = {
        {{"--ukey", user1_path, "--aeskey", dir.file("none.bin")}, 3121, "none.bin"},
        {{"--ukey", dir.file("damaged.key")}, 3123, "damaged.key"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reason);
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"--rootkeymax", km_path, "--output", out_path});
        const ToolRun run = keybnd(args);
        EXPECT_EQ(run.result, c.result);
        EXPECT_EQ(run.out, "zud_encrypt_tqrr keybnd fail[" + std::to_string(c.result) + "]!\n");
        EXPECT_NE(run.err.find(c.reason), std::string::npos) << run.err;
        EXPECT_FALSE(file_exists(out_path));
    }
}

TEST_F(KeybndTest, TextUserKeyIsCopiedWhole) {
    write_text_key(dir.file("u.txt"), user1);
    ASSERT_EQ(keybnd({"--ukey", dir.file("u.txt"), "--rootkeymax", km_path, "--aeskey",
                      aes_path, "--output", out_path})
                  .result,
              0);
    const Bytes text = read_file(dir.file("u.txt"));
    const Bytes bound = read_file(out_path);
    ASSERT_EQ(bound.size(), text.size() + 2264 + 32);
    EXPECT_EQ(slice(bound, 0, text.size()), text);
    EXPECT_EQ(slice(bound, text.size(), 2264), read_file(km_path));
    RsaKey loaded;
    ASSERT_EQ(zud_tq_load_rsa_key_file(&loaded.ctx, out_path.c_str()), 0);
    EXPECT_EQ(mbedtls_mpi_cmp_mpi(&loaded.ctx.D, &user1.D), 0);
}

TEST_F(KeybndTest, ShortFormUserKeyIsRefusedSinceItsFileCouldNotBeLoaded) {
    write_short_key(dir.file("u.short"), user1);
    const ToolRun run = keybnd({"--ukey", dir.file("u.short"), "--rootkeymax", km_path, "--aeskey", aes_path,
                                "--output", out_path});
    EXPECT_EQ(run.result, -1);
    EXPECT_NE(run.err.find("is a short-form key file"), std::string::npos) << run.err;
    EXPECT_FALSE(std::filesystem::exists(out_path));
}

TEST_F(KeybndTest, EachFailureLeavesNoOutput) {
    write_file(dir.file("aes31.bin"), counting_bytes(31));
    write_file(dir.file("aes33.bin"), counting_bytes(33));
    Bytes km = read_file(km_path);
    km.pop_back();
    write_file(dir.file("km2263.bin"), km);
    {
        InDirectory here(dir.path());
        ASSERT_EQ(keysig(root_path, "bl2.encrypt").result, 0);
    }
    std::ofstream(dir.file("two.txt")) << "N = C5\nE = 10001\n";
    // A loadable key whose 384-byte modulus has no key size code.
    std::ofstream(dir.file("odd.txt")) << "N = 8" << std::string(767, '1')
                                       << "\nE = 10001\nD = 3\nP = 1\nQ = 1\nDP = 1\nDQ = 1\nQP = 1\n";
    const std::vector<std::vector<std::string>> cases = {
        {"--ukey", user1_path, "--rootkeymax", km_path, "--aeskey", dir.file("aes31.bin")},
        {"--ukey", user1_path, "--rootkeymax", km_path, "--aeskey", dir.file("aes33.bin")},
        {"--ukey", user1_path, "--rootkeymax", dir.file("km2263.bin")},
        {"--ukey", user1_path, "--rootkeymax", dir.file("bl2.encrypt")},
        {"--ukey", dir.file("two.txt"), "--rootkeymax", km_path},
        {"--ukey", dir.file("odd.txt"), "--rootkeymax", km_path},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = c;
        args.insert(args.end(), {"--output", out_path});
        const ToolRun run = keybnd(args);
        EXPECT_EQ(run.result, -1) << args[1] << " " << args[3];
        EXPECT_EQ(run.out, "zud_encrypt_tqrr keybnd fail[-1]!\n");
        EXPECT_FALSE(file_exists(out_path)) << args[1] << " " << args[3];
    }
}

TEST_F(KeybndTest, MissingInputsAreNamedByOption) {
    ToolRun run = keybnd({"--rootkeymax", km_path, "--output", out_path});
    EXPECT_EQ(run.result, -1);
    EXPECT_EQ(run.out, "zud log: error! Illegal input ukey\nzud_encrypt_tqrr keybnd fail[-1]!\n");
    run = keybnd({"--ukey", user1_path, "--rootkeymax", dir.file("none"), "--output", out_path});
    EXPECT_EQ(run.out,
              "zud log: error! Illegal input rootkeymax\nzud_encrypt_tqrr keybnd fail[-1]!\n");
    EXPECT_FALSE(file_exists(out_path));
}

TEST_F(KeybndTest, UnsafeOutputNamesAreRefused) {
    // Longer than 255 characters, given or derived.
    const std::string long_name = dir.file(std::string(250, 'x'));
    EXPECT_EQ(keybnd({"--ukey", user1_path, "--rootkeymax", km_path, "--output", long_name})
                  .result,
              -1);
    EXPECT_EQ(keybnd({"--ukey", user1_path, "--rootkeymax", km_path, "--aeskey", long_name})
                  .result,
              -1);
    // An input given as the output would be truncated before it is read.
    const Bytes key = read_file(user1_path);
    EXPECT_EQ(keybnd({"--ukey", user1_path, "--rootkeymax", km_path, "--output", user1_path})
                  .result,
              -1);
    EXPECT_EQ(read_file(user1_path), key);
    EXPECT_EQ(files_in_dir(), (std::set<std::string>{"aes.bin", "km.bin", "root.key",
                                                     "user1.key", "user2.key"}));
}

}  // namespace
