// zud_keytool verify and info, run as a user runs them, and the inspection
// code on damaged files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "keys.h"
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
    for (const std::string& bad : {kZeroHex, kZeroHex + "," + kZeroHex, roots + "," + kZeroHex,
                                  kZeroHex + "," + kZeroHex + "," + kZeroHex.substr(1),
                                  kZeroHex + "," + kZeroHex + ",g" + kZeroHex.substr(1)}) {
        const ProcessRun run = keytool({"verify", "--chain", boot, "--root-digests", bad});
        EXPECT_EQ(run.exit_status, 2) << bad;
        EXPECT_TRUE(contains(run.err, "three comma-separated digests")) << run.err;
    }
    EXPECT_EQ(keytool({"info"}).exit_status, 2);
    EXPECT_EQ(keytool({"info", boot, boot}).exit_status, 2);
    const ProcessRun missing = keytool({"verify", "--block", dir.file("nothing")});
    EXPECT_EQ(missing.exit_status, 1);
    EXPECT_EQ(missing.err, "zud_keytool verify: cannot open " + dir.file("nothing") + "\n");
}

TEST_F(KeytoolVerifyTest, InfoShowsTheKeymaxAndItsRootKeyDigest) {
    ProcessRun run = keytool({"info", keys.keymax, "--root-digests", roots});
    EXPECT_EQ(run.exit_status, 0) << run.err;
    EXPECT_TRUE(contains(run.out, keys.keymax + ": keymax (2264 bytes)\n"));
    EXPECT_TRUE(contains(run.out, "    signed_data_offset  320\n"));
    EXPECT_TRUE(contains(run.out, "    payload_offset      1832\n"));
    EXPECT_TRUE(contains(run.out, "  key at 576: key_type 2, tag \"R2SA\""));
    EXPECT_TRUE(contains(run.out, "    2048-bit modulus, key digest " + to_hex(key_digest_of(test_key(2048, 0)))));
    EXPECT_TRUE(contains(run.out, "  entry 1: key_type 6, tag \"R2HA\", key_digest " +
                                      to_hex(key_digest_of(test_key(2048, 2))) + "\n"));
    EXPECT_TRUE(contains(run.out, "  root key digest (eFuse pattern) " + root_hex +
                                      "\n  in the root digest table as entry 2\n"));
    run = keytool({"info", keys.keymax});
    EXPECT_TRUE(contains(run.out, root_hex + "\n  not in the root digest table\n"));
}

TEST_F(KeytoolVerifyTest, InfoShowsTheUserKeyFileAndTheBootloader) {
    ProcessRun run = keytool({"info", keys.user_key});
    EXPECT_EQ(run.exit_status, 0) << run.err;
    EXPECT_TRUE(contains(run.out, ": zud_user_key file (6976 bytes)\n"));
    EXPECT_TRUE(contains(run.out, "key digest " + to_hex(key_digest_of(test_key(2048, 1))) +
                                      "\n  is the first user key of the keymax\n"));
    EXPECT_TRUE(contains(run.out, "keymax signed block at 4696:\n"));
    EXPECT_TRUE(contains(run.out, "AES key at 6944: 32 bytes (not shown)\n"));

    run = keytool({"info", bootloader()});
    EXPECT_EQ(run.exit_status, 0) << run.err;
    EXPECT_TRUE(contains(run.out, ": signed bootloader, not encrypted ("));
    EXPECT_TRUE(contains(run.out, "BL2 block at 2264:\n"));
    EXPECT_TRUE(contains(run.out, "    payload_size        45056\n"));
    EXPECT_TRUE(contains(run.out, "FIP table of contents at 49152: name 0xAA640001, serial 0x12345678, flags 0x0\n"));
    // Stages of 3000 and 40000 bytes signed with a 2048-bit key: blocks of
    // 3664 and 40656 bytes, each starting on a 16 KiB boundary.
    EXPECT_TRUE(contains(run.out, ", offset 16384, size 3664, flags 0x0\n"
                                  "      block at 65536: RSA, sig_size 256, key_type 2, payload_size 3008, total_size 3664\n"))
        << run.out;
    EXPECT_TRUE(contains(run.out, ", offset 32768, size 40656, flags 0x0\n"));
    EXPECT_TRUE(contains(run.out, "  end: offset 81920\n"));

    write_file(dir.file("digest.bin"), make_digest_bootloader(dir.path().string(), counting_bytes(500), {counting_bytes(10)}));
    run = keytool({"info", dir.file("digest.bin")});
    EXPECT_TRUE(contains(run.out, ": digest-mode bootloader, not signed, not encrypted ("));
    EXPECT_TRUE(contains(run.out, "BL2 block (digest mode) at 16:\n"));
    EXPECT_TRUE(contains(run.out, "block at 65536: digest only, sig_size 32"));
}

TEST_F(KeytoolVerifyTest, InfoShowsSignedBlocksAndKernelImages) {
    ProcessRun run = keytool({"info", stage_file(true)});
    EXPECT_EQ(run.exit_status, 0) << run.err;
    EXPECT_TRUE(contains(run.out, ": signed block (3168 bytes)\n"));
    EXPECT_TRUE(contains(run.out, "  payload: 2512 bytes; its first 656 bytes are stored at 2512, behind the rest\n"));

    Bytes image(2048 + 4096, 0);
    std::copy_n("ANDROID!", 8, image.begin());
    set32(image, 8, 4096);
    set32(image, 36, 2048);
    std::copy_n("ZUDSECU!", 8, image.begin() + 1024);
    set32(image, 1032, 0x905);
    set32(image, 1036, 3);
    std::copy_n("2024061512000042", 16, image.begin() + 1040);
    set32(image, 1056, 2048);   // stage 0: stage_offset
    set32(image, 1060, 3000);   // part_size
    set32(image, 1072, 4096);   // stage_space
    image[1056 + 32] = 0xAB;    // stage_digest
    image[1056 + 64] = 0xCD;    // key_hash
    write_file(dir.file("kernel.img"), image);
    run = keytool({"info", dir.file("kernel.img")});
    EXPECT_EQ(run.exit_status, 0) << run.err;
    EXPECT_TRUE(contains(run.out, ": signed kernel image (6144 bytes)\n"
                                  "boot image header: kernel size 4096, ramdisk size 0, second size 0, page size 2048\n"
                                  "image security header at 1024: format_word 0x905, stage_count 3, timestamp \"2024061512000042\"\n"
                                  "  stage 0 (kernel, encrypted): stage_offset 2048, part_size 3000, stage_length 0, page_size 0, stage_space 4096\n"
                                  "    stage_digest ab00"))
        << run.out;
    EXPECT_TRUE(contains(run.out, "    key_hash     cd00"));

    write_file(dir.file("other"), counting_bytes(5000));
    run = keytool({"info", dir.file("other")});
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "zud_keytool info: " + dir.file("other") +
                           " is not a keymax, signed block, zud_user_key file, signed kernel image or "
                           "unencrypted signed bootloader\n");
}

TEST_F(KeytoolVerifyTest, InfoReadsARealSignedKernelImage) {
    const std::string image = make_boot_image(dir.path().string(), counting_bytes(5000, 1),
                                              counting_bytes(3000, 2), std::nullopt);
    const std::string signed_image = dir.file("signed.img");
    ASSERT_EQ(run_tool({"--imgsig", "--input", image, "--zuduserkey", keys.user_key, "--output",
                        signed_image})
                  .result,
              0);
    const ProcessRun run = keytool({"info", signed_image});
    EXPECT_EQ(run.exit_status, 0) << run.err;
    EXPECT_TRUE(contains(run.out, ": signed kernel image (")) << run.out;
    EXPECT_TRUE(contains(run.out, "image security header at 1024: format_word 0x905, stage_count 3"));
    // A 5000-byte kernel becomes a 5664-byte block in three 2048-byte pages.
    EXPECT_TRUE(contains(run.out, "  stage 0 (kernel, encrypted): stage_offset 2048, part_size 5000, "
                                  "stage_length 5664, page_size 2048, stage_space 6144\n"))
        << run.out;
}

TEST_F(KeytoolVerifyTest, InspectionOfDamagedFilesStaysInsideThem) {
    // In-process, so the sanitizer build watches every read.
    const Bytes boot = read_file(bootloader());
    std::FILE* sink = std::fopen("/dev/null", "w");
    ASSERT_NE(sink, nullptr);
    std::mt19937 rng(5);
    const std::string path = dir.file("damaged");
    int recognised = 0;
    for (int round = 0; round < 300; ++round) {
        Bytes b = boot;
        for (int f = 0; f < 16; ++f) {
            // Aim at the headers, the key blocks and the table of contents.
            const std::size_t areas[] = {16, 576, 1848, 2264, 2840, 49152, 65536};
            const std::size_t at = areas[rng() % 7] + rng() % 320;
            b[at] ^= static_cast<std::uint8_t>(1 + rng() % 255);
        }
        if (round % 3 == 0) b.resize(rng() % b.size());
        write_file(path, b);
        const int result = zud_inspect_file(path.c_str(), sink);
        ASSERT_TRUE(result == 0 || result == 2) << round;
        recognised += result == 0 ? 1 : 0;
    }
    std::fclose(sink);
    EXPECT_GT(recognised, 0);
    EXPECT_EQ(zud_inspect_file(dir.file("nothing").c_str(), stdout), -1);
}

}  // namespace
