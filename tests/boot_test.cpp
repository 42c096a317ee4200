// --bootsig: output layouts in digest and signing mode, the eFuse pattern,
// encryption, the table of contents rewrite, and every refusal.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <mbedtls/aes.h>
#include <mbedtls/sha256.h>

#include "builtin_key.h"
#include "keyfile.h"
#include "support/bootloader.h"
#include "support/crypto.h"
#include "support/files.h"
#include "support/run.h"
#include "support/signed_blocks.h"
#include "support/temp_dir.h"
#include "support/test_keys.h"
#include "zud_encrypt_tqrr.h"

namespace {

constexpr std::size_t kArea = 49152;  // BL2 area; the FIP starts here

std::uint64_t le64_at(const Bytes& b, std::size_t at) {
    return le32_at(b, at) | std::uint64_t{le32_at(b, at + 4)} << 32;
}

void put64(Bytes& b, std::size_t at, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) b.at(at + i) = static_cast<std::uint8_t>(v >> (8 * i));
}

// AES-256-CBC decryption from a zero IV, one chain.
Bytes decrypt(const Bytes& data, const Bytes& key) { return aes256_cbc_decrypt(key.data(), data); }

// Bytes of rand() draws after seeding, skipping the first `skip` draws.
Bytes rand_bytes(unsigned seed, std::size_t skip, std::size_t count) {
    srandom(seed);
    for (std::size_t i = 0; i < skip; ++i) (void)std::rand();
    Bytes b(count);
    for (auto& v : b) v = static_cast<std::uint8_t>(std::rand() & 0xFF);
    return b;
}

// A FIP written by the test: header, one entry per stage, the terminating
// entry, then the stages one after another from `first` on, each starting
// at a multiple of `align`.
Bytes make_fip(const std::vector<Bytes>& stages, std::size_t first = 0, std::size_t align = 16) {
    const std::size_t table = 16 + 40 * (stages.size() + 1);
    Bytes fip(std::max(first, table), 0);
    put64(fip, 0, 0x12345678AA640001ull);
    for (std::size_t i = 0; i < stages.size(); ++i) {
        fip.resize((fip.size() + align - 1) / align * align, 0);
        fip.at(16 + 40 * i) = static_cast<std::uint8_t>(i + 1);  // a UUID byte
        put64(fip, 16 + 40 * i + 16, fip.size());
        put64(fip, 16 + 40 * i + 24, stages[i].size());
        fip = concat(fip, stages[i]);
    }
    put64(fip, 16 + 40 * stages.size() + 16, fip.size());
    return fip;
}

// BL2 payload in the first 44 KiB, the FIP at 48 KiB.
Bytes make_bootloader(const Bytes& bl2, const Bytes& fip) {
    Bytes boot = bl2;
    boot.resize(kArea, 0);
    return concat(boot, fip);
}

struct Entry {
    std::uint64_t offset;
    std::uint64_t size;
};

// Entries of a plain table of contents region, up to the terminating one.
std::vector<Entry> entries_of(const Bytes& toc) {
    std::vector<Entry> out;
    for (std::size_t at = 16; at + 40 <= 16384 && le64_at(toc, at + 24) != 0; at += 40) {
        out.push_back({le64_at(toc, at + 16), le64_at(toc, at + 24)});
    }
    return out;
}

std::uint64_t terminator_offset(const Bytes& toc) {
    return le64_at(toc, 16 + 40 * entries_of(toc).size() + 16);
}

// What a stored stage block's digest covers: header, key block, then the
// stage in its own order, zero-padded to 16 unless it is shorter than the
// header region (stored unrelocated and unpadded).
Bytes signed_range(const Bytes& block, const Bytes& stage) {
    const std::uint32_t p = le32_at(block, 0x34);
    Bytes covered = concat(slice(block, 0, 64), slice(block, le32_at(block, 0x24), le32_at(block, 0x28)));
    if (stage.size() < p) return concat(covered, slice(block, p, stage.size()));
    Bytes padded = stage;
    padded.resize(le32_at(block, 0x38), 0);
    return concat(covered, padded);
}

// The stage a stored block carries, the relocated head put back in front.
Bytes carried_stage(const Bytes& block, std::size_t size) {
    const std::uint32_t p = le32_at(block, 0x34);
    if (size < p) return slice(block, p, size);
    return concat(slice(block, le32_at(block, 0x38), p), slice(block, p, size - p));
}

class BootsigTest : public testing::Test {
protected:
    void SetUp() override { g_nVQ_RSA_keyFormat = 0; }

    // Root key, user key, the keymax naming them, and a zud_user_key file
    // binding the user key with `aes`.
    void make_key_files(const mbedtls_rsa_context& user = test_key(2048, 1)) {
        write_full_key(root_path, test_key(2048, 0));
        write_full_key(user_path, user);
        write_public_pem(user_pem, user);
        write_file(aes_path, aes);
        ASSERT_EQ(run_tool({"--keysig", "--rkey1", root_path, "--ukey1", user_path, "--skey",
                            root_path, "--output", keymax_path})
                      .result,
                  0);
        ASSERT_EQ(run_tool({"--keybnd", "--ukey", user_path, "--rootkeymax", keymax_path,
                            "--aeskey", aes_path, "--output", zud_path})
                      .result,
                  0);
    }

    ToolRun bootsig(std::vector<std::string> args, unsigned seed = 777) {
        args.insert(args.begin(), "--bootsig");
        return run_tool(args, seed);
    }

    // Checks every stage block of a plain (or decrypted) output against the
    // stages it was made from: the entry's size is the block's total_size,
    // the block carries the stage and its signature or digest is right.
    void expect_stage_blocks(const Bytes& out, const std::vector<Bytes>& stages, bool signed_blocks) {
        const auto entries = entries_of(slice(out, kArea, 16384));
        ASSERT_EQ(entries.size(), stages.size());
        for (std::size_t i = 0; i < stages.size(); ++i) {
            SCOPED_TRACE("stage " + std::to_string(i));
            const Bytes block = slice(out, kArea + entries[i].offset, entries[i].size);
            EXPECT_EQ(text_at(block, 0, 4), "@ZUD");
            EXPECT_EQ(le32_at(block, 4), entries[i].size);  // total_size
            EXPECT_EQ(carried_stage(block, stages[i].size()), stages[i]);
            const Bytes digest = sha256_of(signed_range(block, stages[i]));
            if (signed_blocks) {
                EXPECT_EQ(le32_at(block, 0x20), 2u);  // key_type: the user key rides along
                EXPECT_TRUE(openssl_verifies(user_pem, digest, slice(block, 64, 256)));
            } else {
                EXPECT_EQ(slice(block, 64, 32), digest);
            }
        }
    }

    // The output with its BL2 area, table and stages decrypted (gaps stay as
    // they are).
    Bytes decrypt_output(const Bytes& out, const Bytes& key) {
        Bytes plain = out;
        const Bytes area = decrypt(slice(out, 0, kArea), key);
        std::copy(area.begin(), area.end(), plain.begin());
        const Bytes stage_key = sha256_of(slice(area, 0, 16));
        const Bytes toc = decrypt(slice(out, kArea, 16384), stage_key);
        std::copy(toc.begin(), toc.end(), plain.begin() + kArea);
        for (const Entry& e : entries_of(toc)) {
            const Bytes stage = decrypt(slice(out, kArea + e.offset, e.size), stage_key);
            std::copy(stage.begin(), stage.end(), plain.begin() + static_cast<long>(kArea + e.offset));
        }
        return plain;
    }

    // The eFuse file is the built-in signer's block, encrypted: header 64,
    // signature 256, key block 336, then the 512-byte pattern.
    Bytes efuse_pattern(const std::string& path) {
        const Bytes sealed = read_file(path);
        EXPECT_EQ(sealed.size(), 1168u);
        const Bytes block = decrypt(sealed, Bytes(kBuiltinAes, kBuiltinAes + 32));
        EXPECT_EQ(text_at(block, 0, 4), "@ZUD");
        return slice(block, 656, 512);
    }

    // SHA-256 over the four root key digests of the keymax.
    Bytes root_digest() {
        const Bytes keymax = read_file(keymax_path);
        Bytes digests;
        for (int i = 0; i < 4; ++i) digests = concat(digests, slice(keymax, 1848 + 16 + 48 * i + 16, 32));
        return sha256_of(digests);
    }

    TempDir dir;
    const std::string root_path = dir.file("root.key");
    const std::string user_path = dir.file("user.key");
    const std::string user_pem = dir.file("user.pem");
    const std::string keymax_path = dir.file("keymax.bin");
    const std::string aes_path = dir.file("aes.bin");
    const std::string zud_path = dir.file("user.zud");
    const std::string boot_path = dir.file("boot.bin");
    const std::string out_path = dir.file("out.bin");
    const Bytes aes = counting_bytes(32, 0x40);
    const Bytes bl2 = counting_bytes(45056, 9);
};

// ---------------------------------------------------------------------------
// Digest mode

TEST_F(BootsigTest, DigestModeWritesDigestBlocksBehindTheIvPrefix) {
    // Stages longer and shorter than the 96-byte header region of a digest
    // block, one not a multiple of 16, one spanning several chunks.
    const std::vector<Bytes> stages = {counting_bytes(1000, 1), counting_bytes(50, 2),
                                       counting_bytes(40000 + 5, 3)};
    write_file(boot_path, make_bootloader(bl2, make_fip(stages)));
    const ToolRun run = bootsig({"--input", boot_path}, 31);
    ASSERT_EQ(run.result, 0);
    EXPECT_EQ(run.out, "");

    const std::string pkg = boot_path + ".pkg";
    const Bytes out = read_file(pkg);
    EXPECT_EQ(slice(out, 0, 16), rand_bytes(31, 0, 16));  // not secret when not encrypted
    EXPECT_EQ(text_at(out, 16, 4), "@ZUD");
    EXPECT_EQ(le32_at(out, 16 + 0x04), 49136u);  // total_size
    EXPECT_EQ(le32_at(out, 16 + 0x0C), 0u);      // nonce
    EXPECT_EQ(le32_at(out, 16 + 0x10), 0u);      // sig_type
    EXPECT_EQ(le32_at(out, 16 + 0x18), 512u);    // sig_size
    EXPECT_EQ(le32_at(out, 16 + 0x1C), 96u);     // signed_data_offset
    EXPECT_EQ(le32_at(out, 16 + 0x24), 576u);    // key_offset
    EXPECT_EQ(le32_at(out, 16 + 0x28), 3504u);   // key_size
    EXPECT_EQ(le32_at(out, 16 + 0x2C), 49040u);  // signed_data_size
    EXPECT_EQ(le32_at(out, 16 + 0x34), 4080u);   // payload_offset
    EXPECT_EQ(le32_at(out, 16 + 0x38), 45056u);  // payload_size
    EXPECT_EQ(slice(out, 80, 32), sha256_of(concat(slice(out, 16, 64), slice(out, 112, kArea - 112))));
    EXPECT_EQ(slice(out, 4096, 45056), bl2);

    const Bytes toc = slice(out, kArea, 16384);
    const auto entries = entries_of(toc);
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].offset, 16384u);
    EXPECT_EQ(entries[0].size, 1104u);  // 96 + 1008
    EXPECT_EQ(entries[1].offset, 32768u);
    EXPECT_EQ(entries[1].size, 160u);   // 96 + 50 stored, total_size 96 + 64
    EXPECT_EQ(entries[2].offset, 49152u);
    EXPECT_EQ(entries[2].size, 40112u);
    EXPECT_EQ(terminator_offset(toc), 49152u + 49152u);
    EXPECT_EQ(out.size(), kArea + 98304u);
    expect_stage_blocks(out, stages, false);
    // Unencrypted, the padding behind every stage stays zero.
    for (const Entry& e : entries) {
        const std::size_t end = kArea + e.offset + e.size;
        const Bytes gap = slice(out, end, (e.size + 16383) / 16384 * 16384 - e.size);
        EXPECT_EQ(gap, Bytes(gap.size(), 0));
    }
    EXPECT_FALSE(file_exists(pkg + ".efuse"));
    EXPECT_EQ(size_of(pkg + ".usb.bl2"), 49152u);
    EXPECT_EQ(size_of(pkg + ".usb.tpl"), out.size() - kArea);
    EXPECT_EQ(slice(read_file(pkg + ".sd.bin"), 512, out.size()), out);
}

TEST_F(BootsigTest, SkipSectorLeavesLeadingSectorsOutOfTheBl2Digest) {
    write_file(boot_path, make_bootloader(bl2, make_fip({counting_bytes(100)})));
    const struct {
        const char* value;
        std::uint32_t signed_data_offset;
    } cases[] = {{"1", 496}, {"3", 1520}, {"0x2", 1008}, {"10", 2032}, {"4", 2032}, {"0", 96}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        ASSERT_EQ(bootsig({"--input", boot_path, "--output", out_path, "--skipsector", c.value}).result, 0);
        const Bytes out = read_file(out_path);
        const std::uint32_t sdo = le32_at(out, 16 + 0x1C);
        EXPECT_EQ(sdo, c.signed_data_offset);
        EXPECT_EQ(le32_at(out, 16 + 0x2C), 49136u - sdo);
        // Covered: output bytes 16..79 and from 16 + signed_data_offset on.
        EXPECT_EQ(slice(out, 80, 32),
                  sha256_of(concat(slice(out, 16, 64), slice(out, 16 + sdo, kArea - 16 - sdo))));
    }
}

// Part of a signing set would give an unsigned bootloader where a signed
// one was asked for: refused before anything is drawn or written.
TEST_F(BootsigTest, PartOfASigningSetIsRefused) {
    make_key_files();
    write_file(boot_path, make_bootloader(bl2, make_fip({counting_bytes(100)})));
    ASSERT_EQ(bootsig({"--input", boot_path, "--output", out_path}).result, 0);
    const Bytes earlier = read_file(out_path);
    const std::vector<std::vector<std::string>> cases = {
        {"--aeskey", aes_path},
        {"--userkey", user_path},
        {"--rootkeymax", keymax_path},
        {"--userkey", user_path, "--rootkeymax", keymax_path},
        {"--userkey", user_path, "--aeskey", aes_path},
        {"--zuduserkey", zud_path, "--userkey", user_path},
        {"--zuduserkey", zud_path, "--rootkeymax", keymax_path, "--aeskey", aes_path},
    };
    for (const auto& keys : cases) {
        SCOPED_TRACE(keys[0] + " " + keys[keys.size() - 2]);
        std::vector<std::string> args{"--input", boot_path, "--output", out_path};
        args.insert(args.end(), keys.begin(), keys.end());
        const ToolRun run = bootsig(args);
        EXPECT_EQ(run.result, 5415);
        EXPECT_EQ(run.out, "zud_encrypt_tqrr bootsig fail[5415]!\n");
        EXPECT_NE(run.err.find("--bootsig signs with"), std::string::npos) << run.err;
        EXPECT_EQ(read_file(out_path), earlier);
        EXPECT_FALSE(file_exists(out_path + ".efuse"));
    }
}

TEST_F(BootsigTest, SignedOutputGivenAsInputKeepsItsBl2Payload) {
    const std::vector<Bytes> stages = {counting_bytes(3000, 6)};
    write_file(boot_path, make_bootloader(bl2, make_fip(stages)));
    ASSERT_EQ(bootsig({"--input", boot_path, "--output", out_path}).result, 0);
    const Bytes first = read_file(out_path);
    const std::string again = dir.file("again.bin");
    ASSERT_EQ(bootsig({"--input", out_path, "--output", again, "--skipsector", "2"}).result, 0);
    const Bytes second = read_file(again);
    EXPECT_EQ(slice(second, 4096, 45056), bl2);
    // The stage is the first run's block, re-signed over its logical form.
    const auto entries = entries_of(slice(second, kArea, 16384));
    ASSERT_EQ(entries.size(), 1u);
    const Bytes block = slice(second, kArea + entries[0].offset, entries[0].size);
    const Bytes inner = slice(first, kArea + 16384, 96 + 3008);
    EXPECT_EQ(carried_stage(block, inner.size()), concat(slice(inner, 3008, 96), slice(inner, 96, 3008)));
}

// ---------------------------------------------------------------------------
// Signing mode

TEST_F(BootsigTest, TwoEntryExampleSignedWithAUserKeyFile) {
    make_key_files();
    const std::vector<Bytes> stages = {counting_bytes(100000, 7), counting_bytes(30000, 8)};
    write_file(boot_path, make_bootloader(bl2, make_fip(stages, 512)));
    const ToolRun run = bootsig({"--input", boot_path, "--zuduserkey", zud_path}, 55);
    ASSERT_EQ(run.result, 0);
    EXPECT_EQ(run.out, "");

    const std::string signed_path = boot_path + ".encrypt";
    const Bytes out = read_file(signed_path);
    ASSERT_EQ(out.size(), 212992u + 256u);  // then the upgrade signature block
    const Bytes keymax = read_file(keymax_path);
    EXPECT_EQ(slice(out, 0, 16), rand_bytes(55, 0, 16));
    EXPECT_EQ(slice(out, 16, 2248), slice(keymax, 16, 2248));
    const std::size_t b = 2264;  // BL2 block
    EXPECT_EQ(le32_at(out, b + 0x04), 46888u);
    EXPECT_EQ(le32_at(out, b + 0x10), 1u);    // sig_type
    EXPECT_EQ(le32_at(out, b + 0x18), 512u);  // sig_size
    EXPECT_EQ(le32_at(out, b + 0x1C), 320u);  // signed_data_offset
    EXPECT_EQ(le32_at(out, b + 0x20), 2u);    // key_type
    EXPECT_EQ(le32_at(out, b + 0x28), 1256u);
    EXPECT_EQ(le32_at(out, b + 0x34), 1832u);
    EXPECT_EQ(text_at(out, b + 576, 4), "@KEY");
    EXPECT_EQ(le16_at(out, b + 576 + 20), 624u);  // key_data_offset
    EXPECT_EQ(slice(out, 4096, 45056), bl2);
    const Bytes bl2_digest = sha256_of(concat(slice(out, b, 64), slice(out, b + 320, 46888 - 320)));
    EXPECT_TRUE(openssl_verifies(user_pem, bl2_digest, slice(out, b + 64, 256)));
    EXPECT_EQ(slice(out, b + 320, 256), Bytes(256, 0));  // the slot's unused tail

    const Bytes toc = slice(out, kArea, 16384);
    const auto entries = entries_of(toc);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].offset, 16384u);
    EXPECT_EQ(entries[0].size, 100656u);
    EXPECT_EQ(entries[1].offset, 131072u);
    EXPECT_EQ(entries[1].size, 30656u);
    EXPECT_EQ(terminator_offset(toc), 163840u);
    expect_stage_blocks(out, stages, true);

    const Bytes pattern = efuse_pattern(signed_path + ".efuse");
    EXPECT_EQ(pattern[6], 0x07);
    EXPECT_EQ(pattern[7], 0x28);
    EXPECT_EQ(slice(pattern, 48, 32), root_digest());
    EXPECT_EQ(slice(pattern, 80, 32), Bytes(32, 0));
    EXPECT_EQ(slice(pattern, 112, 400), Bytes(400, 0));

    const ToolRun check = run_tool({"--upgsig", "--input", signed_path, "--zuduserkey", zud_path,
                                    "--option", "chk"});
    EXPECT_EQ(check.result, 0);
    EXPECT_EQ(check.out, "zud log: upgrade signature verify pass!\n");
    EXPECT_EQ(size_of(signed_path + ".usb.bl2"), 49152u);
    EXPECT_EQ(size_of(signed_path + ".usb.tpl"), 212992u + 256u - 49152u);
    EXPECT_EQ(size_of(signed_path + ".sd.bin"), 212992u + 256u + 512u);
}

TEST_F(BootsigTest, EncryptedOutputOpensWithTheAesKeyAndTheStageKey) {
    make_key_files();
    // Shorter than the 656-byte header region, around it, and longer.
    const std::vector<Bytes> stages = {counting_bytes(1, 1),    counting_bytes(300, 2),
                                       counting_bytes(655, 3),  counting_bytes(657, 4),
                                       counting_bytes(49159, 5), counting_bytes(16384 - 656, 6)};
    write_file(boot_path, make_bootloader(bl2, make_fip(stages, 0, 4)));
    // With a zud_user_key file the AES key comes from it: the "aeskey" file
    // is not read and need not exist.
    const ToolRun run = bootsig({"--input", boot_path, "--zuduserkey", zud_path, "--aeskey",
                                 dir.file("not-read"), "--output", out_path},
                                66);
    ASSERT_EQ(run.result, 0);
    const Bytes out = read_file(out_path);
    const Bytes plain = decrypt_output(out, aes);
    // The IV prefix, whose digest is the stage key, is not from rand().
    EXPECT_NE(slice(plain, 0, 16), rand_bytes(66, 0, 16));
    EXPECT_EQ(slice(plain, 16, 2248), slice(read_file(keymax_path), 16, 2248));
    EXPECT_EQ(slice(plain, 4096, 45056), bl2);
    expect_stage_blocks(plain, stages, true);

    // The padding behind each stage is random: the draws after the IV prefix
    // (16), the BL2 key timestamp (1), two per stage block and two for the
    // eFuse block, in table order; the SD filler comes next.
    const Bytes toc = slice(plain, kArea, 16384);
    const auto entries = entries_of(toc);
    Bytes gaps;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const std::uint64_t end = entries[i].offset + entries[i].size;
        const std::uint64_t next = i + 1 < entries.size() ? entries[i + 1].offset : terminator_offset(toc);
        gaps = concat(gaps, slice(out, kArea + end, next - end));
    }
    const std::size_t draws = 16 + 1 + 2 * stages.size() + 2;
    EXPECT_EQ(gaps, rand_bytes(66, draws, gaps.size()));
    EXPECT_EQ(slice(read_file(out_path + ".sd.bin"), 0, 512), rand_bytes(66, draws + gaps.size(), 512));

    const Bytes pattern = efuse_pattern(out_path + ".efuse");
    EXPECT_EQ(pattern[7], 0x38);
    EXPECT_EQ(slice(pattern, 80, 32), aes);
    EXPECT_EQ(run_tool({"--upgsig", "--input", out_path, "--zuduserkey", zud_path, "--option", "chk"}).result, 0);
}

TEST_F(BootsigTest, StagesOverOneMebibyteAreEachOneCbcChain) {
    // The output is encrypted through 1 MiB pieces; a stage that spans
    // several of them, and a stage behind it, still decrypt as one chain each.
    make_key_files();
    const std::vector<Bytes> stages = {seeded_bytes(3 * 1024 * 1024 + 5, 1), seeded_bytes(700, 2)};
    write_file(boot_path, make_bootloader(bl2, make_fip(stages)));
    ASSERT_EQ(bootsig({"--input", boot_path, "--zuduserkey", zud_path, "--aeskey", aes_path, "--output", out_path})
                  .result,
              0);
    expect_stage_blocks(decrypt_output(read_file(out_path), aes), stages, true);
    const ProcessRun check = run_process({keytool_path(), "verify", out_path, "--user-key", zud_path, "--expect-root", root_digest_of(keymax_path)});
    EXPECT_EQ(check.exit_status, 0) << check.out << check.err;
}

TEST_F(BootsigTest, SeparateKeyFilesSignAndEncryptWithoutAnUpgradeBlock) {
    const mbedtls_rsa_context& big = test_key(4096, 0);
    make_key_files(big);
    write_full_key(dir.file("big.key"), big);
    const Bytes file_aes = counting_bytes(32, 0x90);
    write_file(dir.file("other-aes.bin"), file_aes);
    const std::vector<Bytes> stages = {counting_bytes(2000, 1)};
    write_file(boot_path, make_bootloader(bl2, make_fip(stages)));
    ASSERT_EQ(bootsig({"--input", boot_path, "--userkey", dir.file("big.key"), "--rootkeymax",
                       keymax_path, "--aeskey", dir.file("other-aes.bin"), "--efuse",
                       dir.file("fuse.bin")})
                  .result,
              0);
    const Bytes out = read_file(boot_path + ".encrypt");
    const Bytes plain = decrypt_output(out, file_aes);
    EXPECT_EQ(out.size(), kArea + terminator_offset(slice(plain, kArea, 16384)));
    EXPECT_EQ(le32_at(plain, 2264 + 0x1C), 576u);  // a 512-byte signature fills the slot
    EXPECT_EQ(le32_at(plain, 2264 + 0x20), 3u);
    const auto entries = entries_of(slice(plain, kArea, 16384));
    ASSERT_EQ(entries.size(), 1u);
    const Bytes block = slice(plain, kArea + entries[0].offset, entries[0].size);
    EXPECT_TRUE(openssl_verifies(user_pem, sha256_of(signed_range(block, stages[0])), slice(block, 64, 512)));
    const Bytes pattern = efuse_pattern(dir.file("fuse.bin"));
    EXPECT_EQ(pattern[7], 0x38);
    EXPECT_EQ(slice(pattern, 80, 32), file_aes);
    EXPECT_FALSE(file_exists(boot_path + ".encrypt.efuse"));
}

TEST_F(BootsigTest, ShortKeyFileSignsAndTheBl2BlockCarriesItsKey) {
    make_key_files();
    write_short_key(dir.file("short.key"), test_key(2048, 1));
    const std::vector<Bytes> stages = {counting_bytes(700, 1)};
    write_file(boot_path, make_bootloader(bl2, make_fip(stages)));
    ASSERT_EQ(bootsig({"--input", boot_path, "--userkey", dir.file("short.key"), "--rootkeymax",
                       keymax_path, "--aeskey", aes_path, "--output", out_path})
                  .result,
              0);
    const Bytes plain = decrypt_output(read_file(out_path), aes);
    // Laid out from the loaded key: the boot ROM finds the key it checks with.
    EXPECT_EQ(le32_at(plain, 2264 + 0x20), 2u);
    EXPECT_EQ(text_at(plain, 2264 + 576 + 12, 4), "R2SA");
    EXPECT_EQ(slice(plain, 2264 + 640, 260), key_values(test_key(2048, 1)));
    const Bytes bl2_digest = sha256_of(concat(slice(plain, 2264, 64), slice(plain, 2264 + 320, 46888 - 320)));
    EXPECT_TRUE(openssl_verifies(user_pem, bl2_digest, slice(plain, 2264 + 64, 256)));
    expect_stage_blocks(plain, stages, true);  // built from the loaded key
}

TEST_F(BootsigTest, KeyMaterialThatNoDeviceAcceptsIsRefusedBeforeWriting) {
    make_key_files();
    write_full_key(dir.file("stranger.key"), test_key(4096, 0));
    Bytes keymax = read_file(keymax_path);
    keymax.at(1848 + 16 + 48 * 2 + 9) = 2;  // a root entry in key form
    write_file(dir.file("odd-matrix.bin"), keymax);
    keymax = read_file(keymax_path);
    keymax.at(100) ^= 0x01;  // inside the signature
    write_file(dir.file("bad-sig.bin"), keymax);
    // A zud_user_key file binding a key its keymax does not name, and one
    // whose keymax is damaged.
    Bytes bound = read_file(zud_path);
    const Bytes stranger = read_file(dir.file("stranger.key"));
    std::copy(stranger.begin(), stranger.end(), bound.begin());
    write_file(dir.file("stranger.zud"), bound);
    bound = read_file(zud_path);
    bound.at(4680 + 2056 + 40) ^= 0x01;  // a user key digest, inside the signed payload
    write_file(dir.file("damaged.zud"), bound);
    write_file(boot_path, make_bootloader(bl2, make_fip({counting_bytes(100)})));

    const auto separate = [&](const std::string& key, const std::string& km) {
        return std::vector<std::string>{"--userkey", key, "--rootkeymax", km, "--aeskey", aes_path};
    };
    const struct {
        std::vector<std::string> keys;
        int result;
        const char* reason;
    } cases[] = {
        {separate(user_path, dir.file("odd-matrix.bin")), 4801, "key matrix of the keymax"},
        {separate(user_path, dir.file("bad-sig.bin")), 4803, "not signed by a key of its root"},
        {separate(dir.file("stranger.key"), keymax_path), 4805, "none of the keymax's user keys"},
        {{"--zuduserkey", dir.file("stranger.zud")}, 4805, "none of the keymax's user keys"},
        {{"--zuduserkey", dir.file("damaged.zud")}, 4803, "not signed by a key of its root"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.keys[1]);
        std::vector<std::string> args{"--input", boot_path, "--output", out_path};
        args.insert(args.end(), c.keys.begin(), c.keys.end());
        const ToolRun run = bootsig(args);
        EXPECT_EQ(run.result, c.result);
        EXPECT_EQ(run.out, "zud_encrypt_tqrr bootsig fail[" + std::to_string(c.result) + "]!\n");
        EXPECT_NE(run.err.find(c.reason), std::string::npos) << run.err;
        for (const char* suffix : {"", ".efuse", ".efuse.chk", ".usb.bl2", ".usb.tpl", ".sd.bin"}) {
            EXPECT_FALSE(file_exists(out_path + suffix)) << suffix;
        }
    }
}

TEST_F(BootsigTest, QuietChoicesAreExplainedOnStandardError) {
    make_key_files();
    write_file(boot_path, make_bootloader(bl2, make_fip({counting_bytes(100)})));
    // A zud_user_key file's bound key encrypts, whatever --aeskey names.
    write_file(dir.file("other-aes.bin"), counting_bytes(32, 1));
    ToolRun run = bootsig({"--input", boot_path, "--zuduserkey", zud_path, "--aeskey",
                   dir.file("other-aes.bin"), "--output", out_path});
    EXPECT_EQ(run.result, 0);
    EXPECT_NE(run.err.find("holds another key"), std::string::npos) << run.err;
    run = bootsig({"--input", boot_path, "--zuduserkey", zud_path, "--aeskey", aes_path,
                   "--output", out_path});
    EXPECT_EQ(run.result, 0);
    // Only the warning of a build with the development key remains.
    EXPECT_TRUE(kBuiltinKeyIsDevelopment ? is_development_seal_warning(run.err, out_path + ".efuse")
                                         : run.err.empty())
        << run.err;
}

TEST_F(BootsigTest, FiptoolReadsTheRewrittenTable) {
    make_key_files();
    const std::vector<std::pair<std::string, Bytes>> images = {
        {"--soc-fw", counting_bytes(70000, 1)}, {"--tos-fw", counting_bytes(33, 2)},
        {"--nt-fw", counting_bytes(20000, 3)}, {"--tb-fw-config", counting_bytes(700, 4)}};
    std::vector<std::string> create = {"fiptool", "create"};
    for (const auto& [option, data] : images) {
        const std::string path = dir.file(option.substr(2) + ".bin");
        write_file(path, data);
        create.insert(create.end(), {option, path});
    }
    create.push_back(dir.file("fip.bin"));
    ASSERT_EQ(run_process(create).exit_status, 0);
    write_file(boot_path, make_bootloader(bl2, read_file(dir.file("fip.bin"))));
    ASSERT_EQ(bootsig({"--input", boot_path, "--zuduserkey", zud_path, "--output", out_path}).result, 0);

    const Bytes out = read_file(out_path);
    write_file(dir.file("signed-fip.bin"), slice(out, kArea, out.size() - kArea));
    const ProcessRun info = run_process({"fiptool", "info", dir.file("signed-fip.bin")});
    ASSERT_EQ(info.exit_status, 0) << info.err;
    // fiptool orders images its own way; each block starts on a 16 KiB
    // boundary and its size is the block's total_size.
    EXPECT_NE(info.out.find("EL3 Runtime Firmware BL31: offset=0x4000, size=0x11400"), std::string::npos)
        << info.out;  // 656 + 70000 rounded to 16
    EXPECT_NE(info.out.find("size=0x2C0, cmdline=\"--tos-fw\""), std::string::npos) << info.out;  // 656 + 48
    std::filesystem::create_directory(dir.file("unpacked"));
    ASSERT_EQ(run_process({"fiptool", "unpack", "--out", dir.file("unpacked"), dir.file("signed-fip.bin")})
                  .exit_status,
              0);
    const Bytes bl31 = read_file(dir.file("unpacked/soc-fw.bin"));
    EXPECT_EQ(carried_stage(bl31, 70000), images[0].second);
}

// ---------------------------------------------------------------------------
// Refusals and failures

TEST_F(BootsigTest, HandlerRefusesIncompleteCommandLines) {
    write_file(boot_path, make_bootloader(bl2, make_fip({counting_bytes(10)})));
    ToolRun run = run_tool({"--bootsig"});
    EXPECT_EQ(run.result, 5393);
    EXPECT_EQ(run.out, "zud_encrypt_tqrr bootsig fail[5393]!\n");
    EXPECT_EQ(run_tool({"--bootsig", "--zuduserkey=" + boot_path}).result, 5413);
    run = bootsig({"--input", boot_path, "--rootkeymax", dir.file("none")});
    EXPECT_EQ(run.result, 5413);
    EXPECT_EQ(run.out, "zud log: error! Illegal [rootkeymax] " + dir.file("none") +
                           "\nzud_encrypt_tqrr bootsig fail[5413]!\n");
    run = bootsig({"--output", out_path, "--skipsector", "1"});
    EXPECT_EQ(run.result, 5413);
    EXPECT_EQ(run.out, "zud log: error! Please set input first!\nzud_encrypt_tqrr bootsig fail[5413]!\n");
    EXPECT_FALSE(file_exists(out_path));
}

TEST_F(BootsigTest, KeyMaterialOfTheWrongSizeLeavesNothing) {
    make_key_files();
    write_file(boot_path, make_bootloader(bl2, make_fip({counting_bytes(10)})));
    write_file(dir.file("short.zud"), slice(read_file(zud_path), 0, 6975));
    ToolRun run = bootsig({"--input", boot_path, "--zuduserkey", dir.file("short.zud"), "--output", out_path});
    EXPECT_EQ(run.result, 4762);
    EXPECT_EQ(run.out, "zud_encrypt_tqrr bootsig fail[4762]!\n");
    write_file(dir.file("short-aes.bin"), counting_bytes(33));
    EXPECT_EQ(bootsig({"--input", boot_path, "--userkey", user_path, "--rootkeymax", keymax_path,
                       "--aeskey", dir.file("short-aes.bin"), "--output", out_path})
                  .result,
              4783);
    write_file(dir.file("short-km.bin"), slice(read_file(keymax_path), 0, 2263));
    EXPECT_EQ(bootsig({"--input", boot_path, "--userkey", user_path, "--rootkeymax",
                       dir.file("short-km.bin"), "--aeskey", aes_path, "--output", out_path})
                  .result,
              4795);
    EXPECT_FALSE(file_exists(out_path));
    EXPECT_FALSE(file_exists(out_path + ".efuse"));
}

TEST_F(BootsigTest, UntrustedTableOfContentsIsRefused) {
    make_key_files();
    const Bytes good = make_fip({counting_bytes(1000), counting_bytes(2000)});
    std::vector<std::pair<std::string, Bytes>> bad;
    Bytes fip = good;
    fip.at(4) ^= 1;  // serial number
    bad.emplace_back("bad header", fip);
    fip = good;
    put64(fip, 16 + 40 + 24, 2001);  // second entry one byte past the end
    bad.emplace_back("entry past the end", fip);
    fip = good;
    put64(fip, 16 + 16, std::uint64_t{1} << 32);
    bad.emplace_back("offset of 4 GiB", fip);
    fip = good;
    put64(fip, 16 + 24, (std::uint64_t{1} << 32) + 1000);
    bad.emplace_back("size above 32 bits", fip);
    // 409 entries fill the region; none of them ends the table.
    fip.assign(16384 + 16, 0);
    put64(fip, 0, 0x12345678AA640001ull);
    for (std::size_t at = 16; at + 40 <= 16384; at += 40) {
        put64(fip, at + 16, 16384);
        put64(fip, at + 24, 16);
    }
    bad.emplace_back("no terminating entry", fip);

    for (const auto& [what, table] : bad) {
        SCOPED_TRACE(what);
        write_file(boot_path, make_bootloader(bl2, table));
        ToolRun run = bootsig({"--input", boot_path, "--output", out_path});
        EXPECT_EQ(run.result, 4824);
        EXPECT_EQ(run.out, "zud log : illegal fip file format!\nzud_encrypt_tqrr bootsig fail[4824]!\n");
        EXPECT_FALSE(file_exists(out_path));
        run = bootsig({"--input", boot_path, "--zuduserkey", zud_path, "--output", out_path});
        EXPECT_EQ(run.result, 4854);  // the eFuse file had been made
        EXPECT_FALSE(file_exists(out_path));
        EXPECT_FALSE(file_exists(out_path + ".efuse"));
    }
    write_file(boot_path, slice(make_bootloader(bl2, good), 0, 30000));  // no FIP at all
    EXPECT_EQ(bootsig({"--input", boot_path, "--output", out_path}).result, 4824);
}

TEST_F(BootsigTest, UnusableSigningKeysAreRefused) {
    make_key_files();
    write_file(boot_path, make_bootloader(bl2, make_fip({counting_bytes(10)})));
    write_file(dir.file("junk.key"), counting_bytes(100));
    EXPECT_EQ(bootsig({"--input", boot_path, "--userkey", dir.file("junk.key"), "--rootkeymax",
                       keymax_path, "--aeskey", aes_path, "--output", out_path})
                  .result,
              4854);
    // A 2056-bit modulus has no key size code.
    RsaKey odd;
    ASSERT_EQ(mbedtls_rsa_copy(&odd.ctx, &test_key(2048, 1)), 0);
    ASSERT_EQ(mbedtls_mpi_shift_l(&odd.ctx.N, 8), 0);
    write_text_key(dir.file("odd.key"), odd.ctx);
    EXPECT_EQ(bootsig({"--input", boot_path, "--userkey", dir.file("odd.key"), "--rootkeymax",
                       keymax_path, "--aeskey", aes_path, "--output", out_path})
                  .result,
              4854);
    EXPECT_FALSE(file_exists(out_path));
    EXPECT_FALSE(file_exists(out_path + ".efuse"));
}

TEST_F(BootsigTest, OutputsMayNotOverwriteInputs) {
    make_key_files();
    const Bytes boot = make_bootloader(bl2, make_fip({counting_bytes(10)}));
    write_file(boot_path, boot);
    EXPECT_EQ(bootsig({"--input", boot_path, "--output", boot_path}).result, 4673);
    EXPECT_EQ(bootsig({"--input", boot_path, "--zuduserkey", zud_path, "--efuse", boot_path}).result, 4673);
    EXPECT_EQ(bootsig({"--input", boot_path, "--zuduserkey", zud_path, "--output", zud_path}).result, 4673);
    EXPECT_EQ(read_file(boot_path), boot);
    EXPECT_EQ(size_of(zud_path), 6976u);
    EXPECT_FALSE(file_exists(zud_path + ".efuse"));
    // The eFuse file named like the output, in another spelling.
    const std::string relative = "./" + std::filesystem::path(out_path).filename().string();
    const auto cwd = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    const ToolRun run = bootsig({"--input", boot_path, "--zuduserkey", zud_path, "--output",
                                 out_path, "--efuse", relative});
    std::filesystem::current_path(cwd);
    EXPECT_EQ(run.result, 4673);
    EXPECT_FALSE(file_exists(out_path));
}

TEST_F(BootsigTest, OverlongDerivedNamesAreRefusedBeforeWriting) {
    make_key_files();
    write_file(boot_path, make_bootloader(bl2, make_fip({counting_bytes(10)})));
    const std::string base = dir.path().string() + "/";
    const std::string name248 = base + std::string(248 - base.size(), 'o');
    const std::string name247 = name248.substr(0, 247);
    EXPECT_EQ(bootsig({"--input", boot_path, "--output", name248}).result, 4671);  // + ".usb.bl2"
    EXPECT_FALSE(file_exists(name248));
    // The eFuse file's name must fit too.
    EXPECT_EQ(bootsig({"--input", boot_path, "--zuduserkey", zud_path, "--output", out_path,
                       "--efuse", name248 + "12345678"}).result, 4671);
    EXPECT_FALSE(file_exists(out_path));
    EXPECT_EQ(bootsig({"--input", boot_path, "--zuduserkey", zud_path, "--output", name247}).result, 0);
    EXPECT_TRUE(file_exists(name247 + ".efuse"));
    EXPECT_TRUE(file_exists(name247 + ".usb.bl2"));
}

TEST_F(BootsigTest, EfuseFileThatCannotBeWrittenFailsTheCommand) {
    make_key_files();
    write_file(boot_path, make_bootloader(bl2, make_fip({counting_bytes(10)})));
    std::filesystem::create_directory(out_path + ".efuse");
    const ToolRun run = bootsig({"--input", boot_path, "--zuduserkey", zud_path, "--output", out_path});
    EXPECT_EQ(run.result, 4866);
    EXPECT_NE(run.err.find("--efuse"), std::string::npos) << run.err;
    EXPECT_FALSE(file_exists(out_path));
    EXPECT_TRUE(std::filesystem::is_directory(out_path + ".efuse"));
}

// Runs the program with a file size limit (in KiB), so that writes past it
// fail instead of ending the process.
ProcessRun run_with_size_limit(unsigned kib, const std::vector<std::string>& args) {
    std::string command = "trap '' XFSZ; ulimit -f " + std::to_string(kib) + "; exec \"$@\"";
    std::vector<std::string> argv = {"bash", "-c", command, "bash", tool_path(), "--bootsig"};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_process(argv);
}

TEST_F(BootsigTest, FailedWritesFailTheCommand) {
    make_key_files();
    write_file(boot_path, make_bootloader(bl2, make_fip({counting_bytes(100000), counting_bytes(30000)})));
    // 80 KiB: the BL2 area and the table fit, the first stage block does not.
    ProcessRun run = run_with_size_limit(80, {"--input", boot_path, "--zuduserkey", zud_path, "--output", out_path});
    EXPECT_EQ(run.exit_status, zud_exit_status(4872));
    EXPECT_EQ(run.out, tool_path() + " bootsig fail[4872]!\n");
    EXPECT_FALSE(file_exists(out_path));
    EXPECT_FALSE(file_exists(out_path + ".efuse"));
    // 208 KiB holds the signed bootloader but not its upgrade block.
    run = run_with_size_limit(208, {"--input", boot_path, "--zuduserkey", zud_path, "--output", out_path});
    EXPECT_EQ(run.exit_status, zud_exit_status(4897));
    EXPECT_FALSE(file_exists(out_path));
    EXPECT_FALSE(file_exists(out_path + ".efuse"));
    // A device is not a file an output may replace.
    EXPECT_EQ(bootsig({"--input", boot_path, "--output", "/dev/full"}).result, 4738);
    EXPECT_TRUE(std::filesystem::is_character_file("/dev/full"));
}

}  // namespace

namespace {

// A long run shows its progress on a terminal and stays quiet otherwise.
TEST_F(BootsigTest, ProgressLineOnlyOnATerminal) {
    // Two 36 MiB stages: the run reads and writes well over 64 MiB.
    const Bytes stage = counting_bytes(36 * 1024 * 1024);
    write_file(boot_path, make_bootloader(bl2, make_fip({stage, stage})));
    const ProcessRun quiet = run_process({tool_path(), "--bootsig", "--input", boot_path, "--output", out_path});
    ASSERT_EQ(quiet.exit_status, 0) << quiet.err;
    EXPECT_EQ(quiet.err.find('%'), std::string::npos) << quiet.err;
    // script(1) runs the command on a pseudo-terminal and copies what it shows.
    const std::string command = tool_path() + " --bootsig --input " + boot_path + " --output " + out_path;
    const ProcessRun shown = run_process({"script", "-qec", command, "/dev/null"});
    ASSERT_EQ(shown.exit_status, 0) << shown.out;
    EXPECT_NE(shown.out.find("\rzud_encrypt_tqrr: bootsig  100%"), std::string::npos) << shown.out;
}

}  // namespace
