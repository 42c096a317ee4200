// The built-in key signer and the built-in key's build-time generation.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include <mbedtls/aes.h>
#include <mbedtls/sha256.h>

#include "builtin.h"
#include "builtin_key.h"
#include "keyfile.h"
#include "rng.h"
#include "support/crypto.h"
#include "support/files.h"
#include "support/run.h"
#include "support/temp_dir.h"
#include "support/test_keys.h"

namespace {

Bytes decrypt_with_builtin_aes(const Bytes& data) {
    return aes256_cbc_decrypt(kBuiltinAes, data);
}

class BuiltinSignerTest : public testing::Test {
protected:
    void SetUp() override {
        g_nVQ_RSA_keyFormat = 0;
        seed_random(99);
    }

    // The built-in public key as PEM, from a context filled from the tables.
    std::string builtin_public_pem() {
        RsaKey pub;
        EXPECT_EQ(mbedtls_mpi_read_binary(&pub.ctx.N, kBuiltinN, sizeof kBuiltinN), 0);
        EXPECT_EQ(mbedtls_mpi_read_binary(&pub.ctx.E, kBuiltinE, sizeof kBuiltinE), 0);
        pub.ctx.len = 256;
        const std::string path = dir.file("builtin.pem");
        write_public_pem(path, pub.ctx);
        return path;
    }

    // Checks the decrypted signed block of a `stage` signed by the built-in
    // key: layout, payload and signature (openssl, built-in public key).
    void expect_signed_block(const Bytes& block, const Bytes& stage) {
        EXPECT_EQ(text_at(block, 0, 4), "@ZUD");
        EXPECT_EQ(le32_at(block, 0x04), 656u + (stage.size() + 15) / 16 * 16);
        EXPECT_EQ(le32_at(block, 0x10), 1u);
        EXPECT_EQ(le32_at(block, 0x18), 256u);
        EXPECT_EQ(le32_at(block, 0x20), 2u);
        EXPECT_EQ(le32_at(block, 0x28), 336u);
        EXPECT_EQ(le32_at(block, 0x34), 656u);
        EXPECT_EQ(slice(block, 384, 256), Bytes(kBuiltinN, kBuiltinN + 256));
        EXPECT_EQ(slice(block, 656, stage.size()), stage);
        const Bytes digest =
            sha256_of(concat(concat(slice(block, 0, 64), slice(block, 320, 336)), stage));
        EXPECT_TRUE(openssl_verifies(builtin_public_pem(), digest, slice(block, 64, 256)));
    }

    TempDir dir;
};

TEST_F(BuiltinSignerTest, FileOf512BytesBecomesAnEncryptedSignedBlock) {
    const std::string path = dir.file("efuse.bin");
    const Bytes stage = counting_bytes(512, 17);
    write_file(path, stage);
    // A file named like an old fixed work copy is neither used nor touched.
    write_file(path + ".chk", Bytes(3000, 0x77));
    EXPECT_EQ(zud_tq_internal_sig(path.c_str()), 0);
    EXPECT_EQ(read_file(path + ".chk"), Bytes(3000, 0x77));
    EXPECT_EQ(files_in(dir.path()), (std::set<std::string>{"efuse.bin", "efuse.bin.chk"}));
    const Bytes encrypted = read_file(path);
    ASSERT_EQ(encrypted.size(), 1168u);
    const Bytes block = decrypt_with_builtin_aes(encrypted);
    expect_signed_block(block, stage);
    EXPECT_EQ(block.size(), 1168u);
}

TEST_F(BuiltinSignerTest, UnalignedBlockIsZeroPaddedBeforeEncryption) {
    const std::string path = dir.file("500.bin");
    const Bytes stage = counting_bytes(500, 4);
    write_file(path, stage);
    EXPECT_EQ(zud_tq_internal_sig(path.c_str()), 0);
    const Bytes encrypted = read_file(path);
    ASSERT_EQ(encrypted.size(), 1168u);
    const Bytes block = decrypt_with_builtin_aes(encrypted);
    expect_signed_block(block, stage);
    EXPECT_EQ(slice(block, 1156, 12), Bytes(12, 0));
}

TEST_F(BuiltinSignerTest, BlockOfWholeCryptChunksIsOneChain) {
    // 656 + 3440 = 4096: two full 2048-byte pieces and no short one.
    const std::string path = dir.file("two-chunks.bin");
    const Bytes stage = counting_bytes(3440, 8);
    write_file(path, stage);
    EXPECT_EQ(zud_tq_internal_sig(path.c_str()), 0);
    const Bytes encrypted = read_file(path);
    ASSERT_EQ(encrypted.size(), 4096u);
    const Bytes block = decrypt_with_builtin_aes(encrypted);
    EXPECT_EQ(le32_at(block, 0x04), 4096u);
    // A stage longer than the header region has its head relocated.
    EXPECT_EQ(slice(block, 3440, 656), slice(stage, 0, 656));
    EXPECT_EQ(slice(block, 656, 2784), slice(stage, 656, 2784));
}

TEST_F(BuiltinSignerTest, EmptyMissingAndUnnamedTargets) {
    const std::string empty = dir.file("empty.bin");
    write_file(empty, {});
    EXPECT_EQ(zud_tq_internal_sig(empty.c_str()), 0);
    EXPECT_EQ(size_of(empty), 0u);

    const std::string missing = dir.file("missing.bin");
    EXPECT_EQ(zud_tq_internal_sig(missing.c_str()), 3949);
    EXPECT_FALSE(file_exists(missing));
    // No work file is left behind on either path.
    EXPECT_EQ(files_in(dir.path()), (std::set<std::string>{"empty.bin"}));

    EXPECT_EQ(zud_tq_internal_sig(nullptr), 4160);
}

TEST_F(BuiltinSignerTest, SealedFileKeepsTheTargetsModeAndWorkFilesAreNotLeft) {
    const std::string path = dir.file(std::string(250, 'a'));
    write_file(path, counting_bytes(512));
    ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
    EXPECT_EQ(zud_tq_internal_sig(path.c_str()), 0);
    EXPECT_EQ(size_of(path), 1168u);
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(files_in(dir.path()).size(), 1u);
}

TEST_F(BuiltinSignerTest, TargetOfFourGibibytesIsRefusedUntouched) {
    // Sparse: its size has no 32-bit count, so it cannot be signed whole.
    const std::string path = dir.file("huge.bin");
    write_file(path, counting_bytes(512));
    std::filesystem::resize_file(path, (std::uint64_t{1} << 32) + 512);
    EXPECT_EQ(zud_tq_internal_sig(path.c_str()), 4162);
    EXPECT_EQ(size_of(path), (std::uint64_t{1} << 32) + 512);
    EXPECT_EQ(files_in(dir.path()).size(), 1u);
}

TEST_F(BuiltinSignerTest, DuplicateCopiesAndReportsTheSize) {
    const Bytes content = counting_bytes(2500, 3);
    write_file(dir.file("src"), content);
    write_file(dir.file("dst"), Bytes(9000, 0xFF));
    std::uint32_t size = 0;
    EXPECT_EQ(zud_duplicate_file(dir.file("src").c_str(), dir.file("dst").c_str(), &size), 0);
    EXPECT_EQ(size, 2500u);
    EXPECT_EQ(read_file(dir.file("dst")), content);

    size = 7;
    EXPECT_EQ(zud_duplicate_file(dir.file("nope").c_str(), dir.file("dst2").c_str(), &size),
              3949);
    EXPECT_EQ(size, 7u);
    EXPECT_FALSE(file_exists(dir.file("dst2")));
    EXPECT_EQ(zud_duplicate_file(dir.file("src").c_str(), dir.file("no/dir/dst").c_str(),
                                 nullptr),
              3966);
}

TEST_F(BuiltinSignerTest, BuiltinKeyLoadsAsAConsistentPair) {
    RsaKey key;
    EXPECT_EQ(zud_tq_load_key_internal(&key.ctx, nullptr), 0);
    EXPECT_EQ(key.ctx.len, 256u);
    EXPECT_EQ(mbedtls_rsa_check_privkey(&key.ctx), 0);
}

TEST_F(BuiltinSignerTest, PackageSealedByAnotherBuildsKeyIsRefused) {
    // The same customer ID package from this build and from one whose
    // built-in key is another: only this build's own opens and verifies.
    const std::string own = dir.file("own.cusid");
    const std::string other = dir.file("other.cusid");
    ASSERT_EQ(run_process({tool_path(), "--mkcusid", "--customerid", "CUST01", "--output", own}).exit_status, 0);
    ASSERT_EQ(run_process({ZUD_OTHER_KEY_TOOL_PATH, "--mkcusid", "--customerid", "CUST01", "--output", other})
                  .exit_status,
              0);

    EXPECT_EQ(run_process({keytool_path(), "verify", own, "--any-root"}).exit_status, 0);
    const ProcessRun refused = run_process({keytool_path(), "verify", other, "--any-root"});
    EXPECT_EQ(refused.exit_status, 1);
    EXPECT_NE(refused.err.find("other.cusid is not a file of the tool's"), std::string::npos) << refused.err;
}

// CMake wraps its messages; compare them with runs of white space as one
// space.
std::string one_line(const std::string& text) {
    std::string out;
    for (const char c : text) {
        const bool space = c == ' ' || c == '\n';
        if (!space || (!out.empty() && out.back() != ' ')) out += space ? ' ' : c;
    }
    return out;
}

// Configures a project that only generates the built-in key from `key_dir`.
ProcessRun configure_builtin_key(const TempDir& dir, const std::string& key_dir) {
    const std::string text = "cmake_minimum_required(VERSION 3.25)\n"
                             "project(builtin_key_probe LANGUAGES NONE)\n"
                             "include(\"" ZUD_SOURCE_DIR "/cmake/builtin_key.cmake\")\n"
                             "zud_generate_builtin_key_values(\"${ZUD_BUILTIN_KEY_DIR}\"\n"
                             "  \"${CMAKE_BINARY_DIR}/generated/zud_builtin_values.cpp\")\n";
    write_file(dir.file("CMakeLists.txt"), Bytes(text.begin(), text.end()));
    std::filesystem::remove_all(dir.file("build"));
    ProcessRun run = run_process({"cmake", "-S", dir.path().string(), "-B",
                                  dir.file("build"), "-DZUD_BUILTIN_KEY_DIR=" + key_dir});
    run.err = one_line(run.err);
    return run;
}

TEST(BuiltinKeyBuildTest, ConfigureRefusesIncompleteOrWrongKeyDirectories) {
    TempDir dir;
    const std::string keys = dir.file("keys");
    std::filesystem::create_directory(keys);
    write_text_key(keys + "/rsa.txt", test_key(2048));

    ProcessRun run = configure_builtin_key(dir, keys);
    EXPECT_NE(run.exit_status, 0);
    EXPECT_NE(run.err.find("lacks aes.bin"), std::string::npos) << run.err;

    write_file(keys + "/aes.bin", Bytes(31, 0xAA));
    run = configure_builtin_key(dir, keys);
    EXPECT_NE(run.exit_status, 0);
    EXPECT_NE(run.err.find("holds 31"), std::string::npos) << run.err;

    write_file(keys + "/aes.bin", Bytes(32, 0xAA));
    run = configure_builtin_key(dir, keys);
    ASSERT_EQ(run.exit_status, 0) << run.err;
    const Bytes generated = read_file(dir.file("build/generated/zud_builtin_values.cpp"));
    const std::string inc(generated.begin(), generated.end());
    EXPECT_NE(inc.find("kBuiltinN[256] = {0x"), std::string::npos);
    EXPECT_NE(inc.find("kBuiltinAes[32] = {0xaa,"), std::string::npos);
    EXPECT_NE(inc.find("kBuiltinKeyIsDevelopment = false;"), std::string::npos);

    write_text_key(keys + "/rsa.txt", test_key(1024));
    run = configure_builtin_key(dir, keys);
    EXPECT_NE(run.exit_status, 0);
    EXPECT_NE(run.err.find("has 1024 bits; it must have 2048"), std::string::npos) << run.err;

    std::filesystem::remove(keys + "/rsa.txt");
    run = configure_builtin_key(dir, keys);
    EXPECT_NE(run.exit_status, 0);
    EXPECT_NE(run.err.find("lacks rsa.txt"), std::string::npos) << run.err;
}

TEST(BuiltinKeyBuildTest, DevelopmentKeyIsKnownWhereverItsDirectoryIs) {
    TempDir dir;
    const std::string copy = dir.file("copy");
    std::filesystem::copy(ZUD_SOURCE_DIR "/keys/builtin-dev", copy);
    const auto development = [&] {
        EXPECT_EQ(configure_builtin_key(dir, copy).exit_status, 0);
        const Bytes inc = read_file(dir.file("build/generated/zud_builtin_values.cpp"));
        return std::string(inc.begin(), inc.end()).find("kBuiltinKeyIsDevelopment = true;") != std::string::npos;
    };
    EXPECT_TRUE(development());
    // Either half of it alone protects nothing.
    write_file(copy + "/aes.bin", Bytes(32, 0x5A));
    EXPECT_TRUE(development());
    std::filesystem::copy_file(ZUD_SOURCE_DIR "/keys/builtin-dev/aes.bin", copy + "/aes.bin",
                               std::filesystem::copy_options::overwrite_existing);
    write_text_key(copy + "/rsa.txt", test_key(2048));
    EXPECT_TRUE(development());
}

}  // namespace
