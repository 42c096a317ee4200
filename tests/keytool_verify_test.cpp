// zud_keytool verify and info, run as a user runs them, and the audit
// code on damaged files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "keyfile.h"
#include "rng.h"
#include "stage.h"
#include "verify.h"
#include "support/boot_image.h"
#include "support/bootloader.h"
#include "support/files.h"
#include "support/run.h"
#include "support/signed_blocks.h"
#include "support/temp_dir.h"
#include "support/test_keys.h"

namespace {

const std::string kZeroHex(64, '0');

std::string matrix_digest_hex(const Bytes& b, std::size_t at) {
    Bytes entries;
    for (std::size_t i = 0; i < 4; ++i) {
        const Bytes d = slice(b, at + 16 + 48 * i + 16, 32);
        entries.insert(entries.end(), d.begin(), d.end());
    }
    return to_hex(sha256_block(entries));
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

class KeytoolVerifyTest : public testing::Test {
protected:
    void SetUp() override {
        g_nVQ_RSA_keyFormat = 0;
        seed_random(31);
        keys = make_key_files(dir.path().string());
        keymax = read_file(keys.keymax);
        root_hex = matrix_digest_hex(keymax, 1848);
        roots = kZeroHex + "," + root_hex + "," + kZeroHex;
    }
    ProcessRun keytool(const std::vector<std::string>& args) {
        std::vector<std::string> argv{keytool_path()};
        argv.insert(argv.end(), args.begin(), args.end());
        return run_process(argv);
    }
    std::string bootloader() {
        const std::string path = dir.file("boot.bin");
        write_file(path, make_signed_bootloader(dir.path().string(), keys, counting_bytes(20000),
                                                {counting_bytes(3000, 1), counting_bytes(40000, 2)}));
        return path;
    }
    std::string stage_file(bool with_key) {
        const std::string in_path = dir.file("stage.in");
        const std::string out_path = dir.file(with_key ? "stage.signed" : "stage.digest");
        write_file(in_path, counting_bytes(2500, 5));
        RsaKey key;
        EXPECT_EQ(zud_tq_load_rsa_key_file(&key.ctx, keys.user1.c_str()), 0);
        std::FILE* in = std::fopen(in_path.c_str(), "rb");
        std::FILE* out = std::fopen(out_path.c_str(), "wb");
        std::int32_t written = 0;
        EXPECT_EQ(zud_sig_boot_file_buffer(in, 0, 2500, &written, with_key ? &key.ctx : nullptr, out, 0), 0);
        std::fclose(in);
        std::fclose(out);
        return out_path;
    }

    TempDir dir;
    KeyFiles keys;
    Bytes keymax;
    std::string root_hex;
    std::string roots;
};

TEST_F(KeytoolVerifyTest, SignedBootloaderChainPassesWithItsRootDigest) {
    const std::string boot = bootloader();
    const ProcessRun run = keytool({"verify", "--chain", boot, "--root-digests", roots});
    EXPECT_EQ(run.exit_status, 0) << run.err;
    EXPECT_EQ(run.out, boot + ": keymax chain verified\n  root key digest " + root_hex +
                           "\n  payload starts at 0x1000\n");
    EXPECT_EQ(run.err, "");
}

TEST_F(KeytoolVerifyTest, ChainFailuresGiveOneLineReasons) {
    const std::string boot = bootloader();
    ProcessRun run = keytool({"verify", "--chain", boot});  // the build's table: zeros
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "zud_keytool verify: " + boot + ": the root key matrix is not in the root digest table\n");

    Bytes by_root = keymax;
    const Bytes block = fix_block_from_writer(dir.path().string(), keys.root, counting_bytes(64));
    by_root.insert(by_root.end(), block.begin(), block.end());
    write_file(dir.file("by-root.bin"), by_root);
    run = keytool({"verify", "--chain", dir.file("by-root.bin"), "--root-digests", roots});
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.err, "zud_keytool verify: " + dir.file("by-root.bin") +
                           ": second block: the block is not signed by a key of the key matrix\n");

    write_file(dir.file("digest.bin"), make_digest_bootloader(dir.path().string(), counting_bytes(500), {counting_bytes(10)}));
    run = keytool({"verify", "--chain", dir.file("digest.bin"), "--root-digests", roots});
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_TRUE(contains(run.err, "the first block is digest-only (its digest matches)")) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1);
}

TEST_F(KeytoolVerifyTest, SingleBlocksAreCheckedAndDescribed) {
    const std::string signed_stage = stage_file(true);
    ProcessRun run = keytool({"verify", "--block", signed_stage});
    EXPECT_EQ(run.exit_status, 0) << run.err;
    EXPECT_EQ(run.out, signed_stage + ": signed block verified: RSA signature by the 2048-bit key it carries\n"
                                      "  key digest " + to_hex(key_digest_of(test_key(2048, 1))) +
                           "\n  payload 2512 bytes\n");

    const std::string digest_stage = stage_file(false);
    run = keytool({"verify", "--block", digest_stage});
    EXPECT_EQ(run.exit_status, 0) << run.err;
    EXPECT_TRUE(contains(run.out, "digest-only block verified")) << run.out;

    Bytes tampered = read_file(signed_stage);
    tampered[1500] ^= 1;
    write_file(dir.file("tampered"), tampered);
    run = keytool({"verify", "--block", dir.file("tampered")});
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.err, "zud_keytool verify: " + dir.file("tampered") + ": the RSA signature does not verify\n");
}

TEST_F(KeytoolVerifyTest, WrongUsageExitsWithTwo) {
    const std::string boot = bootloader();
    EXPECT_EQ(keytool({"verify"}).exit_status, 2);
    EXPECT_EQ(keytool({"verify", "--chain", boot, "--block", boot}).exit_status, 2);
    EXPECT_EQ(keytool({"verify", "--chain", boot, boot}).exit_status, 2);
    // One to three digests of 64 hex digits.
    for (const std::string& bad : {kZeroHex.substr(1), roots + "," + kZeroHex, kZeroHex + ",",
                                  kZeroHex + "," + kZeroHex + "," + kZeroHex.substr(1),
                                  kZeroHex + "," + kZeroHex + ",g" + kZeroHex.substr(1)}) {
        const ProcessRun run = keytool({"verify", "--chain", boot, "--root-digests", bad});
        EXPECT_EQ(run.exit_status, 2) << bad;
        EXPECT_TRUE(contains(run.err, "one to three comma-separated digests")) << run.err;
    }
    EXPECT_EQ(keytool({"verify", "--chain", boot, "--root-digests", root_hex}).exit_status, 0);
    EXPECT_EQ(keytool({"info"}).exit_status, 2);
    EXPECT_EQ(keytool({"info", boot, boot}).exit_status, 2);
    const ProcessRun missing = keytool({"verify", "--block", dir.file("nothing")});
    EXPECT_EQ(missing.exit_status, 1);
    EXPECT_EQ(missing.err, "zud_keytool verify: cannot open " + dir.file("nothing") + ": No such file or directory\n");
}

}  // namespace
