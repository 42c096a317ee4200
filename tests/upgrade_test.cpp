// Upgrade signatures: --upgsig signing and checking, the trailing block's
// layout, refusals, and the stream digest beneath them.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <mbedtls/sha256.h>

#include "keyfile.h"
#include "support/crypto.h"
#include "support/files.h"
#include "support/run.h"
#include "support/temp_dir.h"
#include "support/test_keys.h"
#include "upgsig.h"
#include "zud_encrypt_tqrr.h"

namespace {

constexpr std::uint64_t kFourGib = std::uint64_t{1} << 32;

// The last `count` bytes of a file, without reading the rest.
Bytes tail_of(const std::string& path, std::size_t count) {
    std::ifstream in(path, std::ios::binary);
    in.seekg(-static_cast<std::streamoff>(count), std::ios::end);
    Bytes out(count);
    in.read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(count));
    if (!in) throw std::runtime_error("cannot read the tail of " + path);
    return out;
}

// A file of `hole` zero bytes that take no disk space, followed by `tail`.
void write_sparse(const std::string& path, std::uint64_t hole, const Bytes& tail) {
    write_file(path, {});
    std::filesystem::resize_file(path, hole);
    std::ofstream out(path, std::ios::binary | std::ios::app);
    out.write(reinterpret_cast<const char*>(tail.data()), static_cast<std::streamsize>(tail.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
}

class UpgsigTest : public testing::Test {
protected:
    void SetUp() override { g_nVQ_RSA_keyFormat = 0; }

    // A zud_user_key file as the binding command lays it out: the 4680-byte
    // key file, 2264 bytes where the keymax goes and the 32-byte AES key.
    std::string user_key(const mbedtls_rsa_context& key, const std::string& name = "user.key") {
        const std::string path = dir.file(name);
        write_full_key(path, key);
        Bytes file = read_file(path);
        const Bytes keymax = counting_bytes(2264, 7);
        const Bytes aes = counting_bytes(32, 200);
        file.insert(file.end(), keymax.begin(), keymax.end());
        file.insert(file.end(), aes.begin(), aes.end());
        write_file(path, file);
        return path;
    }

    std::string data_file(const Bytes& bytes, const std::string& name = "upgrade.bin") {
        write_file(dir.file(name), bytes);
        return dir.file(name);
    }

    ToolRun sign(const std::string& input, const std::string& key) {
        return run_tool({"--upgsig", "--input", input, "--zuduserkey", key});
    }
    ToolRun check(const std::string& input, const std::string& key) {
        return run_tool({"--upgsig", "--input", input, "--zuduserkey", key, "--option", "chk"});
    }

    // The block recovered with openssl's raw public operation.
    Bytes open_block_with_openssl(const std::string& signed_path, const mbedtls_rsa_context& key) {
        write_public_pem(dir.file("pub.pem"), key);
        write_file(dir.file("block"), tail_of(signed_path, key.len));
        const ProcessRun run = run_process({"openssl", "pkeyutl", "-verifyrecover", "-pubin",
                                            "-inkey", dir.file("pub.pem"), "-in", dir.file("block"),
                                            "-out", dir.file("opened"), "-pkeyopt",
                                            "rsa_padding_mode:none"});
        EXPECT_EQ(run.exit_status, 0) << run.err;
        return read_file(dir.file("opened"));
    }

    const mbedtls_rsa_context& key2048 = test_key(2048);
    TempDir dir;
};

const std::string kSignPass = "zud log: upgrade signature pass!\n";
const std::string kCheckPass = "zud log: upgrade signature verify pass!\n";

TEST_F(UpgsigTest, FourKibFileGainsOneBlockAndThenChecks) {
    const Bytes data = counting_bytes(4096);
    const std::string file = data_file(data);
    const std::string key = user_key(key2048);

    const ToolRun signing = sign(file, key);
    EXPECT_EQ(signing.result, 0);
    EXPECT_EQ(signing.out, kSignPass);
    const Bytes signed_file = read_file(file);
    ASSERT_EQ(signed_file.size(), 4352u);
    EXPECT_EQ(slice(signed_file, 0, 4096), data);

    const ToolRun checking = check(file, key);
    EXPECT_EQ(checking.result, 0);
    EXPECT_EQ(checking.out, kCheckPass);
    EXPECT_EQ(read_file(file), signed_file);
}

TEST_F(UpgsigTest, BlockOpensToZerosTheDataDigestAndZeros) {
    const std::string file = data_file(counting_bytes(4096, 3));
    const std::string digest_hex = openssl_sha256_hex(file);
    ASSERT_EQ(sign(file, user_key(key2048)).result, 0);

    const Bytes opened = open_block_with_openssl(file, key2048);
    ASSERT_EQ(opened.size(), 256u);
    EXPECT_EQ(slice(opened, 0, 16), Bytes(16, 0));
    EXPECT_EQ(to_hex(slice(opened, 16, 32)), digest_hex);
    EXPECT_EQ(slice(opened, 48, 208), Bytes(208, 0));
}

TEST_F(UpgsigTest, ChangedDataByteFailsTheCheckWithItsExitStatus) {
    const std::string file = data_file(counting_bytes(4096));
    const std::string key = user_key(key2048);
    ASSERT_EQ(sign(file, key).result, 0);
    const Bytes good = read_file(file);

    for (std::size_t at : {0u, 1000u, 4095u}) {
        Bytes bad = good;
        bad[at] ^= 0x01;
        write_file(file, bad);
        EXPECT_EQ(check(file, key).result, 4074) << "byte " << at;
    }
    const ProcessRun run = run_process(
        {tool_path(), "--upgsig", "--input", file, "--zuduserkey", key, "--option", "chk"});
    EXPECT_EQ(run.exit_status, zud_exit_status(4074));
    EXPECT_NE(run.out.find("zud log: upgrade signature verify fail!\n"), std::string::npos);
    EXPECT_NE(run.out.find(" upgsig fail[4074]!\n"), std::string::npos);
}

TEST_F(UpgsigTest, TamperedBlockFailsTheCheck) {
    const std::string file = data_file(counting_bytes(4096));
    const std::string key = user_key(key2048);
    ASSERT_EQ(sign(file, key).result, 0);
    const Bytes good = read_file(file);

    Bytes low = good;
    low[4351] ^= 0x80;  // least significant byte of the stored integer
    write_file(file, low);
    EXPECT_EQ(check(file, key).result, 4074);

    Bytes high = good;
    std::fill(high.begin() + 4096, high.end(), 0xFF);  // not below the modulus
    write_file(file, high);
    EXPECT_EQ(check(file, key).result, 4057);
    EXPECT_EQ(read_file(file), high);  // checking changes nothing
}

// A text key file with N and E only (the private numbers written as 0),
// padded with a ninth line to a multiple of 16 bytes.
std::string write_public_text_key(const std::string& path, const mbedtls_rsa_context& key) {
    char n_hex[2100] = {};
    std::size_t n_len = 0;
    EXPECT_EQ(mbedtls_mpi_write_string(&key.N, 16, n_hex, sizeof n_hex, &n_len), 0);
    std::string text = std::string("N = ") + n_hex + "\nE = 010001\n";
    for (const char* name : {"D", "P", "Q", "DP", "DQ", "QP"}) text += std::string(name) + " = 0\n";
    text += std::string(15 - text.size() % 16, '#') + "\n";
    write_file(path, Bytes(text.begin(), text.end()));
    return path;
}

TEST_F(UpgsigTest, CheckingNeedsOnlyTheModulusAndExponent) {
    const std::string file = data_file(counting_bytes(4096));
    ASSERT_EQ(sign(file, user_key(key2048)).result, 0);
    const std::string public_key = write_public_text_key(dir.file("public.txt"), key2048);

    EXPECT_EQ(check(file, public_key).result, 0);
    // Signing needs the private numbers: it fails and appends nothing.
    EXPECT_EQ(sign(file, public_key).result, 4057);
    EXPECT_EQ(size_of(file), 4352u);
}

TEST_F(UpgsigTest, ShortKeyFileSignsWithThePlainExponent) {
    const std::string file = data_file(counting_bytes(4096));
    write_short_key(dir.file("short.key"), key2048);
    ASSERT_EQ(size_of(dir.file("short.key")), 1920u);

    EXPECT_EQ(sign(file, dir.file("short.key")).result, 0);
    EXPECT_EQ(size_of(file), 4352u);
    EXPECT_EQ(check(file, user_key(key2048)).result, 0);
}

TEST_F(UpgsigTest, HandlerRefusesMissingFilesAndSizesOffSixteen) {
    const std::string file = data_file(counting_bytes(4096));
    const std::string user = user_key(key2048);
    write_full_key(dir.file("full.key"), key2048);  // 4680 bytes
    const std::string fail_4115 = "zud log: upgrade signature fail!\nzud_encrypt_tqrr upgsig fail[4115]!\n";

    // The file checks come first, so the line says "signature" even for chk.
    ToolRun run = check(file, dir.file("full.key"));
    EXPECT_EQ(run.result, 4115);
    EXPECT_EQ(run.out, "zud log: error! Illegal file size [" + dir.file("full.key") + "] \n" + fail_4115);

    const std::string odd = data_file(counting_bytes(4100), "odd.bin");
    run = sign(odd, user);
    EXPECT_EQ(run.out, "zud log: error! Illegal file size [" + odd + "] \n" + fail_4115);

    run = sign(dir.file("absent.bin"), user);
    EXPECT_EQ(run.out, "zud log: error! Illegal [input] " + dir.file("absent.bin") + "\n" + fail_4115);
    run = sign(file, dir.file("absent.key"));
    EXPECT_EQ(run.out, "zud log: error! Illegal [zuduserkey] " + dir.file("absent.key") + "\n" + fail_4115);

    EXPECT_EQ(read_file(file), counting_bytes(4096));
    EXPECT_EQ(size_of(odd), 4100u);

    // Signing the key file with itself would change the key it signs with.
    const Bytes key_bytes = read_file(user);
    run = sign(user, user);
    EXPECT_EQ(run.result, 4021);
    EXPECT_NE(run.err.find("is the key file itself"), std::string::npos) << run.err;
    EXPECT_EQ(read_file(user), key_bytes);
}

TEST_F(UpgsigTest, WithoutInputOrKeyNothingHappens) {
    const std::string file = data_file(counting_bytes(4096));
    ToolRun run = run_tool({"--upgsig", "--zuduserkey", user_key(key2048)});
    EXPECT_EQ(run.result, 4013);
    EXPECT_EQ(run.out, "zud log: upgrade signature fail!\nzud_encrypt_tqrr upgsig fail[4013]!\n");

    run = run_tool({"--upgsig", "--input", file});
    EXPECT_EQ(run.result, 4029);
    EXPECT_EQ(size_of(file), 4096u);

    // The signers of bootloaders and kernel images call the routine directly.
    const std::string key = user_key(key2048);
    const char* no_output[3] = {nullptr, key.c_str(), nullptr};
    EXPECT_EQ(zud_sig_upgrade_file(no_output), 4013);
    const char* no_key[3] = {file.c_str(), nullptr, nullptr};
    EXPECT_EQ(zud_sig_upgrade_file(no_key), 4029);
    EXPECT_EQ(read_file(file), counting_bytes(4096));
}

TEST_F(UpgsigTest, OnlyTheExactWordChkChecksAndAnyOtherIsRefused) {
    const std::string file = data_file(counting_bytes(4096));
    const std::string key = user_key(key2048);
    for (const char* word : {"CHK", "Chk", "check", "chk ", "ch", "chkk", ""}) {
        const ToolRun run = run_tool({"--upgsig", "--input", file, "--zuduserkey", key, "--option=" + std::string(word)});
        EXPECT_EQ(run.result, 4117) << word;
        EXPECT_EQ(run.out, "zud_encrypt_tqrr upgsig fail[4117]!\n") << word;
        EXPECT_NE(run.err.find("takes only \"chk\""), std::string::npos) << run.err;
        EXPECT_EQ(read_file(file), counting_bytes(4096)) << word;
    }
}

TEST_F(UpgsigTest, SigningTwiceAppendsASecondBlockOverTheFirst) {
    const std::string file = data_file(counting_bytes(4096));
    const std::string key = user_key(key2048);
    ASSERT_EQ(sign(file, key).result, 0);
    const Bytes once = read_file(file);
    ASSERT_EQ(sign(file, key).result, 0);

    const Bytes twice = read_file(file);
    ASSERT_EQ(twice.size(), 4608u);
    EXPECT_EQ(slice(twice, 0, 4352), once);
    EXPECT_EQ(check(file, key).result, 0);
    write_file(file, once);
    EXPECT_EQ(check(file, key).result, 0);
}

// Runs the tool as a separate program. As root, the capability that lets
// root write any file is dropped first, so permissions apply as to a user.
ProcessRun run_as_user(std::vector<std::string> args) {
    args.insert(args.begin(), tool_path());
    if (::geteuid() == 0) args.insert(args.begin(), {"setpriv", "--bounding-set=-dac_override"});
    return run_process(args);
}

TEST_F(UpgsigTest, ReadOnlyFileIsCheckedButNotSigned) {
    const std::string file = data_file(counting_bytes(4096));
    const std::string key = user_key(key2048);
    ASSERT_EQ(sign(file, key).result, 0);
    ASSERT_EQ(::chmod(file.c_str(), 0444), 0);

    // Signing changes the file in place, so it needs write access.
    const ProcessRun signing = run_as_user({"--upgsig", "--input", file, "--zuduserkey", key});
    EXPECT_EQ(signing.exit_status, zud_exit_status(4039)) << signing.err;
    EXPECT_NE(signing.out.find(" upgsig fail[4039]!\n"), std::string::npos);
    // Checking only reads it.
    const ProcessRun checking = run_as_user({"--upgsig", "--input", file, "--zuduserkey", key, "--option", "chk"});
    EXPECT_EQ(checking.exit_status, 0) << checking.err;
    EXPECT_NE(checking.out.find("zud log: upgrade signature verify pass!\n"), std::string::npos) << checking.out;
    EXPECT_EQ(size_of(file), 4352u);
}

TEST_F(UpgsigTest, CheckWithAnotherKeySaysSoAndAChangedFileSaysThat) {
    const std::string file = data_file(counting_bytes(4096));
    ASSERT_EQ(sign(file, user_key(key2048)).result, 0);
    const ToolRun other = check(file, user_key(test_key(2048, 2), "other.key"));
    EXPECT_EQ(other.result, kUpgradeMismatch) << other.err;
    EXPECT_NE(other.err.find("not signed by this key (key digest "), std::string::npos) << other.err;
    Bytes bytes = read_file(file);
    bytes.at(10) ^= 1;
    write_file(file, bytes);
    const ToolRun changed = check(file, user_key(key2048));
    EXPECT_EQ(changed.result, kUpgradeMismatch) << changed.err;
    EXPECT_NE(changed.err.find("the file changed after signing"), std::string::npos) << changed.err;
}

TEST_F(UpgsigTest, EmptyFileSignsAndChecks) {
    const std::string file = data_file({});
    const std::string key = user_key(key2048);
    ASSERT_EQ(sign(file, key).result, 0);
    ASSERT_EQ(size_of(file), 256u);

    // The block carries the digest of no bytes, and checking digests none.
    EXPECT_EQ(slice(open_block_with_openssl(file, key2048), 16, 32), sha256_of({}));
    const ToolRun run = check(file, key);
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.out, kCheckPass);
}

TEST_F(UpgsigTest, FileShorterThanABlockFailsTheCheck) {
    const std::string key = user_key(key2048);
    for (std::size_t size : {0u, 128u, 240u}) {
        const std::string file = data_file(counting_bytes(size));
        EXPECT_EQ(check(file, key).result, 4048) << size;
        EXPECT_EQ(read_file(file), counting_bytes(size));
    }
}

TEST_F(UpgsigTest, ModulusMustReachPastTheDigest) {
    const std::string file = data_file(counting_bytes(4096));
    // 376 bits: 47 bytes, one short of the 16 zero bytes and the digest.
    EXPECT_EQ(sign(file, user_key(test_key(376), "k47.key")).result, 4029);
    EXPECT_EQ(size_of(file), 4096u);

    const std::string key48 = user_key(test_key(384), "k48.key");
    EXPECT_EQ(sign(file, key48).result, 0);
    EXPECT_EQ(size_of(file), 4144u);
    EXPECT_EQ(check(file, key48).result, 0);
}

TEST_F(UpgsigTest, BlockThatCannotBeWrittenWholeIsCutOff) {
    // 4480 bytes with a file size limit of 4608 (nine 512-byte units): only
    // 128 of the 256 block bytes fit.
    const Bytes data = counting_bytes(4480);
    const std::string file = data_file(data);
    const std::string key = user_key(key2048);
    const ProcessRun run = run_process({"sh", "-c", "trap '' XFSZ; ulimit -f 9; exec \"$0\" \"$@\"",
                                        tool_path(), "--upgsig", "--input", file, "--zuduserkey", key});
    EXPECT_EQ(run.exit_status, zud_exit_status(4066)) << run.err;
    EXPECT_EQ(read_file(file), data);
}

// ---------------------------------------------------------------------------
// The stream digest

class FileSha2Test : public testing::Test {
protected:
    void SetUp() override {
        write_file(dir.file("data"), data);
        stream = std::fopen(dir.file("data").c_str(), "rb");
        ASSERT_NE(stream, nullptr);
        ASSERT_EQ(std::fseek(stream, 1024, SEEK_SET), 0);
    }
    void TearDown() override {
        if (stream != nullptr) std::fclose(stream);
    }

    TempDir dir;
    const Bytes data = counting_bytes(4096, 9);
    std::FILE* stream = nullptr;
    Bytes digest = Bytes(32, 0xEE);
};

TEST_F(FileSha2Test, DigestsTheCountFromTheCurrentPositionAndGoesBack) {
    EXPECT_EQ(zud_file_sha2(stream, digest.data(), 2048), 0);
    EXPECT_EQ(digest, sha256_of(slice(data, 1024, 2048)));
    EXPECT_EQ(std::ftell(stream), 1024);

    EXPECT_EQ(zud_file_sha2(stream, digest.data(), kFileSha2ToEnd), 0);
    EXPECT_EQ(digest, sha256_of(slice(data, 1024, 3072)));
    EXPECT_EQ(std::ftell(stream), 1024);

    EXPECT_EQ(zud_file_sha2(stream, digest.data(), 0), 0);
    EXPECT_EQ(digest, sha256_of({}));
    EXPECT_EQ(std::ftell(stream), 1024);
}

TEST_F(FileSha2Test, RefusesOddCountsShortStreamsAndNoStream) {
    EXPECT_EQ(zud_file_sha2(stream, digest.data(), 100), 3906);
    EXPECT_EQ(zud_file_sha2(stream, digest.data(), 3088), 3896);  // 16 past the end
    EXPECT_EQ(digest, Bytes(32, 0xEE));
    EXPECT_EQ(std::ftell(stream), 1024);
    EXPECT_EQ(zud_file_sha2(nullptr, digest.data(), 16), 3886);

    ASSERT_EQ(std::fseek(stream, 1000, SEEK_SET), 0);  // 3096 bytes to the end
    EXPECT_EQ(zud_file_sha2(stream, digest.data(), kFileSha2ToEnd), 3906);
}

TEST_F(FileSha2Test, PositionsBeyondFourGibAreKeptWhole) {
    const Bytes tail = counting_bytes(4096, 77);
    write_sparse(dir.file("sparse"), kFourGib, tail);
    std::FILE* big = std::fopen(dir.file("sparse").c_str(), "rb");
    ASSERT_NE(big, nullptr);
    ASSERT_EQ(::fseeko(big, static_cast<off_t>(kFourGib), SEEK_SET), 0);

    EXPECT_EQ(zud_file_sha2(big, digest.data(), kFileSha2ToEnd), 0);
    EXPECT_EQ(digest, sha256_of(tail));
    EXPECT_EQ(static_cast<std::uint64_t>(::ftello(big)), kFourGib);
    std::fclose(big);
}

// Signing and checking a file beyond 4 GiB digests every byte of it: about
// 20 seconds per pass. The sanitizer builds skip it: the digest runs in the
// uninstrumented library, so it would repeat the same minute of hashing, and
// the 64-bit positions are covered there by the case above.
TEST_F(UpgsigTest, FileBeyondFourGibIsSignedOverEveryByte) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "runs in the normal build only (a minute of hashing)";
#endif
    const std::string file = dir.file("huge.bin");
    write_sparse(file, kFourGib, counting_bytes(4096, 5));
    const std::string digest_hex = openssl_sha256_hex(file);
    const std::string key = user_key(key2048);

    ASSERT_EQ(sign(file, key).result, 0);
    ASSERT_EQ(size_of(file), kFourGib + 4096 + 256);
    EXPECT_EQ(to_hex(slice(open_block_with_openssl(file, key2048), 16, 32)), digest_hex);
    const ToolRun run = check(file, key);
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.out, kCheckPass);
}

}  // namespace
