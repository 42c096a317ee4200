// Kernel image signing: --imgsig over real mkbootimg images. Signed layout,
// stages that decrypt to verifying signed blocks, packaging, the trailing
// block, the order of random draws, refusals, and outputs removed after a
// failure.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include <mbedtls/aes.h>
#include <mbedtls/sha256.h>

#include "image_header.h"
#include "imgsig.h"
#include "keyfile.h"
#include "support/crypto.h"
#include "support/boot_image.h"
#include "support/files.h"
#include "support/run.h"
#include "support/signed_blocks.h"
#include "support/temp_dir.h"
#include "support/test_keys.h"
#include "zud_encrypt_tqrr.h"

namespace {

Bytes le32_bytes(std::uint32_t v) {
    return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
            static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
}

void put_le32_at(Bytes& b, std::size_t at, std::uint32_t v) {
    const Bytes le = le32_bytes(v);
    std::copy(le.begin(), le.end(), b.begin() + static_cast<std::ptrdiff_t>(at));
}

// Parts with no period, so that a part read from a shifted offset shows.
Bytes random_bytes(std::size_t count, unsigned seed) {
    std::mt19937 gen(seed);
    Bytes out(count);
    for (auto& b : out) b = static_cast<std::uint8_t>(gen());
    return out;
}

Bytes decrypt_cbc(const Bytes& data, const Bytes& key) { return aes256_cbc_decrypt(key.data(), data); }

// The first two characters that "%04d" makes of a rand() draw.
std::string two_digits(int draw) {
    char text[32];
    std::snprintf(text, sizeof text, "%04d", draw);
    return std::string(text, 2);
}

// Stage record i of a signed image's security header.
struct Record {
    std::uint32_t stage_offset, part_size, stage_length, page_size, stage_space;
    Bytes reserved, stage_digest, key_hash;
};

Record record_of(const Bytes& image, int i) {
    const std::size_t at = 1056 + 96 * static_cast<std::size_t>(i);
    return {le32_at(image, at),      le32_at(image, at + 4),  le32_at(image, at + 8),
            le32_at(image, at + 12), le32_at(image, at + 16), slice(image, at + 20, 12),
            slice(image, at + 32, 32), slice(image, at + 64, 32)};
}

const Bytes kAesKey = counting_bytes(32, 200);

class ImgsigTest : public testing::Test {
protected:
    void SetUp() override { g_nVQ_RSA_keyFormat = 0; }

    // A zud_user_key file as the binding command lays it out: the 4680-byte
    // key file, a keymax naming the key and the 32-byte AES key.
    // Another keymax may be bound in its place.
    std::string user_key(const mbedtls_rsa_context& key, const std::string& name = "user.key",
                         const std::optional<Bytes>& keymax = std::nullopt) {
        const std::string path = dir.file(name);
        write_full_key(path, key);
        write_file(path, concat(concat(read_file(path), keymax.value_or(make_keymax(root, key, root))), kAesKey));
        return path;
    }

    // A mkbootimg image in a directory of its own, with its parts kept.
    std::string boot_image(std::size_t kernel, std::size_t ramdisk, std::optional<std::size_t> second,
                           int page = 2048, const std::string& name = "img") {
        const std::string sub = dir.file(name);
        std::filesystem::create_directories(sub);
        parts = {random_bytes(kernel, 1), random_bytes(ramdisk, 2),
                 second ? random_bytes(*second, 3) : Bytes{}};
        return make_boot_image(sub, parts[0], parts[1],
                               second ? std::optional<Bytes>(parts[2]) : std::nullopt, page);
    }

    ToolRun sign(const std::string& input, const std::string& key, unsigned seed = 12345) {
        return run_tool({"--imgsig", "--input", input, "--zuduserkey", key}, seed);
    }

    // Decrypts stage i of a signed image and checks that it is a signed
    // block of `key` over part i: the payload restores to the part, the
    // signature verifies with openssl and the alignment bytes are zero.
    // Returns the decrypted stage.
    Bytes check_stage(const Bytes& image, int i, const mbedtls_rsa_context& key) {
        const Record r = record_of(image, i);
        const Bytes stage = decrypt_cbc(slice(image, r.stage_offset, r.stage_space), kAesKey);
        const Bytes& part = parts[static_cast<std::size_t>(i)];
        EXPECT_EQ(text_at(stage, 0, 4), "@ZUD");
        const std::uint32_t p = le32_at(stage, 0x34);
        const std::uint32_t s16 = le32_at(stage, 0x38);
        EXPECT_EQ(le32_at(stage, 0x18), key.len);  // sig_size
        EXPECT_EQ(s16, (part.size() + 15) / 16 * 16);
        Bytes payload;
        if (part.size() >= p) {
            // The head displaced by the header region is stored behind the tail.
            EXPECT_EQ(r.stage_length, p + s16);
            payload = concat(slice(stage, s16, p), slice(stage, p, s16 - p));
            Bytes padded = part;
            padded.resize(s16, 0);
            EXPECT_EQ(payload, padded) << "stage " << i;
        } else {
            // A part shorter than the header region is stored as it is, and
            // nothing behind it in the input is taken.
            EXPECT_EQ(r.stage_length, p + part.size());
            payload = slice(stage, p, part.size());
            EXPECT_EQ(payload, part) << "stage " << i;
        }
        EXPECT_EQ(slice(stage, r.stage_length, r.stage_space - r.stage_length),
                  Bytes(r.stage_space - r.stage_length, 0));
        const Bytes key_block = slice(stage, le32_at(stage, 0x24), le32_at(stage, 0x28));
        const Bytes digest = sha256_of(concat(concat(slice(stage, 0, 64), key_block), payload));
        write_public_pem(dir.file("pub.pem"), key);
        EXPECT_TRUE(openssl_verifies(dir.file("pub.pem"), digest, slice(stage, 64, key.len)))
            << "stage " << i;
        return stage;
    }

    // SHA-256 of SHA-256(N || E) as a key block lays them out: N big-endian
    // over the modulus length, E as four big-endian bytes.
    static Bytes expected_key_hash(const mbedtls_rsa_context& key) {
        Bytes n(key.len);
        EXPECT_EQ(mbedtls_mpi_write_binary(&key.N, n.data(), n.size()), 0);
        Bytes e(4);
        EXPECT_EQ(mbedtls_mpi_write_binary(&key.E, e.data(), e.size()), 0);
        return sha256_of(sha256_of(concat(n, e)));
    }

    TempDir dir;
    std::vector<Bytes> parts;
    const mbedtls_rsa_context& key2048 = test_key(2048);
    const mbedtls_rsa_context& root = test_key(1024);  // signs the keymaxes
};

// ---------------------------------------------------------------------------
// Signed images

TEST_F(ImgsigTest, SignedImageLayout) {
    // Kernel of 5000 bytes: read from 2048, ramdisk from 8192 (2048 + 6144).
    const std::string input = boot_image(5000, 3000, 700);
    const Bytes in = read_file(input);
    const ToolRun run = sign(input, user_key(key2048));
    ASSERT_EQ(run.result, 0);
    EXPECT_EQ(run.out, "");

    const Bytes image = read_file(input + ".encrypt");
    // Stages of 656 + 5008, 656 + 3008 and 656 + 704 bytes in 2048-byte pages.
    ASSERT_EQ(image.size(), 2048u + 6144 + 4096 + 2048);
    EXPECT_EQ(text_at(image, 1024, 8), "ZUDSECU!");
    EXPECT_EQ(le32_at(image, 1032), 0x905u);
    EXPECT_EQ(le32_at(image, 1036), 3u);
    const std::string stamp = text_at(image, 1040, 16);
    EXPECT_EQ(stamp.find_first_not_of("0123456789"), std::string::npos) << stamp;

    const std::uint32_t offsets[] = {2048, 8192, 12288};
    const std::uint32_t sizes[] = {5000, 3000, 700};
    const std::uint32_t lengths[] = {5664, 3664, 1360};
    const std::uint32_t spaces[] = {6144, 4096, 2048};
    const Bytes key_hash = expected_key_hash(key2048);
    for (int i = 0; i < 3; ++i) {
        const Record r = record_of(image, i);
        EXPECT_EQ(r.stage_offset, offsets[i]) << i;
        EXPECT_EQ(r.part_size, sizes[i]) << i;
        EXPECT_EQ(r.stage_length, lengths[i]) << i;
        EXPECT_EQ(r.page_size, 2048u) << i;
        EXPECT_EQ(r.stage_space, spaces[i]) << i;
        EXPECT_EQ(r.reserved, Bytes(12, 0)) << i;
        // The digest covers the stage as stored, then stage_space.
        EXPECT_EQ(r.stage_digest,
                  sha256_of(concat(slice(image, r.stage_offset, r.stage_space),
                                   le32_bytes(r.stage_space))))
            << i;
        EXPECT_EQ(r.key_hash, key_hash) << i;
    }
    // The header page is the input's but for the kernel and ramdisk sizes
    // and the security header; the second stage size stays 700.
    Bytes expected_page = slice(in, 0, 2048);
    put_le32_at(expected_page, 8, 6144);
    put_le32_at(expected_page, 16, 4096);
    const Bytes security = slice(image, 1024, 320);
    std::copy(security.begin(), security.end(), expected_page.begin() + 1024);
    EXPECT_EQ(slice(image, 0, 2048), expected_page);
    EXPECT_EQ(le32_at(image, 24), 700u);
    // Nothing is left in the clear.
    for (int i = 0; i < 3; ++i) EXPECT_NE(text_at(image, offsets[i], 4), "@ZUD") << i;
}

TEST_F(ImgsigTest, StagesDecryptToSignedBlocksOfTheUserKey) {
    // A kernel that spans several encryption chunks and is a page multiple,
    // a ramdisk that is not, and a second stage shorter than the header
    // region with the image's page padding behind it.
    const std::string input = boot_image(200704, 70001, 100);
    ASSERT_EQ(sign(input, user_key(key2048)).result, 0);
    const Bytes image = read_file(input + ".encrypt");
    for (int i = 0; i < 3; ++i) check_stage(image, i, key2048);
    EXPECT_EQ(record_of(image, 2).stage_length, 756u);
}

TEST_F(ImgsigTest, KernelOverOneMebibyteIsOneCbcChain) {
    // The image is encrypted through 1 MiB pieces; a kernel that spans
    // several of them, and the ramdisk behind it, decrypt as one chain each.
    const std::string input = boot_image(3 * 1024 * 1024 + 7, 70001, std::nullopt);
    const std::string key = user_key(key2048);
    ASSERT_EQ(sign(input, key).result, 0);
    const Bytes image = read_file(input + ".encrypt");
    for (int i = 0; i < 3; ++i) check_stage(image, i, key2048);
    const ProcessRun check = run_process({keytool_path(), "verify", input + ".encrypt", "--user-key", key, "--any-root"});
    EXPECT_EQ(check.exit_status, 0) << check.out << check.err;
}

TEST_F(ImgsigTest, FourKibitKeyStagesVerify) {
    const auto& key4096 = test_key(4096);
    const std::string input = boot_image(4096, 1000, std::nullopt);
    ASSERT_EQ(sign(input, user_key(key4096)).result, 0);
    const Bytes image = read_file(input + ".encrypt");
    for (int i = 0; i < 3; ++i) check_stage(image, i, key4096);
    EXPECT_EQ(record_of(image, 0).key_hash, expected_key_hash(key4096));
}

TEST_F(ImgsigTest, ImageWithoutSecondStageGetsAnEmptySignedStage) {
    const std::string input = boot_image(5000, 3000, std::nullopt);
    ASSERT_EQ(size_of(input), 12288u);  // the file ends where stage 2 would start
    ASSERT_EQ(sign(input, user_key(key2048)).result, 0);
    const Bytes image = read_file(input + ".encrypt");
    ASSERT_EQ(image.size(), 14336u);
    const Record r = record_of(image, 2);
    EXPECT_EQ(r.stage_offset, 12288u);
    EXPECT_EQ(r.part_size, 0u);
    EXPECT_EQ(r.stage_length, 656u);  // header, signature and key block only
    EXPECT_EQ(r.stage_space, 2048u);
    const Bytes stage = check_stage(image, 2, key2048);
    EXPECT_EQ(le32_at(stage, 0x38), 0u);    // payload_size
    EXPECT_EQ(le32_at(stage, 0x04), 656u);  // total_size
}

TEST_F(ImgsigTest, EmptySecondStageIgnoresBytesBehindIt) {
    const std::string input = boot_image(5000, 3000, std::nullopt);
    write_file(input, concat(read_file(input), random_bytes(5000, 9)));
    ASSERT_EQ(sign(input, user_key(key2048)).result, 0);
    const Bytes image = read_file(input + ".encrypt");
    ASSERT_EQ(image.size(), 14336u);
    EXPECT_EQ(record_of(image, 2).stage_length, 656u);
    const Bytes stage = check_stage(image, 2, key2048);
    EXPECT_EQ(slice(stage, 656, 2048 - 656), Bytes(2048 - 656, 0));
}

TEST_F(ImgsigTest, RandomDrawsComeStageByStageThenTheTimestamp) {
    const std::string input = boot_image(5000, 3000, 700);
    ASSERT_EQ(sign(input, user_key(key2048), 777).result, 0);
    const Bytes image = read_file(input + ".encrypt");
    srandom(777);
    int draws[7];
    for (int& d : draws) d = std::rand();
    for (int i = 0; i < 3; ++i) {
        const Record r = record_of(image, i);
        const Bytes stage = decrypt_cbc(slice(image, r.stage_offset, r.stage_space), kAesKey);
        // The block's nonce, then the timestamp of its key block.
        EXPECT_EQ(le32_at(stage, 0x0C), static_cast<std::uint32_t>(draws[2 * i])) << i;
        EXPECT_EQ(text_at(stage, 320 + 32 + 14, 2), two_digits(draws[2 * i + 1])) << i;
    }
    EXPECT_EQ(text_at(image, 1040 + 14, 2), two_digits(draws[6]));
}

TEST_F(ImgsigTest, OutputOptionAddsTheTrailingBlockThatUpgsigAccepts) {
    const std::string input = boot_image(5000, 3000, 700);
    const std::string key = user_key(key2048);
    ASSERT_EQ(sign(input, key).result, 0);
    const std::string named = dir.file("signed.img");
    const ToolRun run =
        run_tool({"--imgsig", "--input", input, "--zuduserkey", key, "--output", named});
    ASSERT_EQ(run.result, 0);
    EXPECT_EQ(run.out, "");

    // The default name carries no trailing block, the named output one of
    // the modulus length.
    EXPECT_EQ(size_of(input + ".encrypt"), 14336u);
    ASSERT_EQ(size_of(named), 14336u + 256);
    const ToolRun checked = run_tool({"--upgsig", "--input", named, "--zuduserkey", key,
                                      "--option", "chk"});
    EXPECT_EQ(checked.result, 0);
    EXPECT_EQ(checked.out, "zud log: upgrade signature verify pass!\n");
    EXPECT_NE(run_tool({"--upgsig", "--input", input + ".encrypt", "--zuduserkey", key,
                        "--option", "chk"})
                  .result,
              0);
    const Bytes image = read_file(named);
    for (int i = 0; i < 3; ++i) check_stage(image, i, key2048);
}

TEST_F(ImgsigTest, SignedImageIsRefusedWithItsExitStatus) {
    const std::string input = boot_image(5000, 3000, 700);
    const std::string key = user_key(key2048);
    ASSERT_EQ(sign(input, key).result, 0);
    const std::string again = dir.file("again.img");
    const ProcessRun run = run_process({tool_path(), "--imgsig", "--input", input + ".encrypt",
                                        "--zuduserkey", key, "--output", again});
    EXPECT_EQ(run.exit_status, 87);
    EXPECT_NE(run.out.find(" imgsig fail[5719]!\n"), std::string::npos) << run.out;
    EXPECT_FALSE(file_exists(again));
}

// ---------------------------------------------------------------------------
// Packaging without a key

TEST_F(ImgsigTest, PackagingWritesDigestOnlyStagesBehindTheInputsPage) {
    const std::string input = boot_image(5000, 3000, 700);
    const Bytes in = read_file(input);
    const ToolRun run = run_tool({"--imgsig", "--input", input});
    ASSERT_EQ(run.result, 0);
    EXPECT_EQ(run.out, "");
    EXPECT_FALSE(file_exists(input + ".encrypt"));

    const Bytes image = read_file(input + ".pkg");
    // Blocks of 96 + 5008, 96 + 3008 and 96 + 704 bytes in 2048-byte pages.
    ASSERT_EQ(image.size(), 2048u + 6144 + 4096 + 2048);
    EXPECT_EQ(slice(image, 0, 2048), slice(in, 0, 2048));
    const std::size_t offsets[] = {2048, 8192, 12288};
    for (std::size_t i = 0; i < 3; ++i) {
        const Bytes& part = parts[i];
        const std::size_t s16 = (part.size() + 15) / 16 * 16;
        const Bytes block = slice(image, offsets[i], 96 + s16);
        EXPECT_EQ(text_at(block, 0, 4), "@ZUD") << i;
        EXPECT_EQ(le32_at(block, 0x10), 0u) << i;   // sig_type
        EXPECT_EQ(le32_at(block, 0x18), 32u) << i;  // sig_size
        EXPECT_EQ(le32_at(block, 0x28), 0u) << i;   // key_size
        EXPECT_EQ(le32_at(block, 0x34), 96u) << i;  // payload_offset
        Bytes padded = part;
        padded.resize(s16, 0);
        const Bytes payload = concat(slice(block, s16, 96), slice(block, 96, s16 - 96));
        EXPECT_EQ(payload, padded) << i;
        EXPECT_EQ(slice(block, 64, 32), sha256_of(concat(slice(block, 0, 64), payload))) << i;
    }
}

TEST_F(ImgsigTest, PackagingWithAnOutputNameAddsNoTrailingBlock) {
    const std::string input = boot_image(4096, 2048, std::nullopt);
    const std::string named = dir.file("out.pkg");
    ASSERT_EQ(run_tool({"--imgsig", "--input", input, "--output", named}).result, 0);
    // 2048 + (96 + 4096 -> 6144) + (96 + 2048 -> 4096) + (96 -> 2048)
    EXPECT_EQ(size_of(named), 14336u);
    EXPECT_FALSE(file_exists(input + ".pkg"));
}

TEST_F(ImgsigTest, PackagedImageSignsLikeTheOriginal) {
    // A kernel whose packaged block spills into another page, so that the
    // later stages lie elsewhere than the header page's sizes suggest, and a
    // second stage shorter than a block's header region.
    const std::string input = boot_image(6100, 3000, 50);
    const std::string key = user_key(key2048);
    const std::string package = dir.file("boot.pkg");
    ASSERT_EQ(run_tool({"--imgsig", "--input", input, "--output", package}, 5).result, 0);
    // Packaging the package again gives the same package.
    ASSERT_EQ(run_tool({"--imgsig", "--input", package, "--output", dir.file("again.pkg")}, 5).result, 0);
    EXPECT_EQ(read_file(dir.file("again.pkg")), read_file(package));

    ASSERT_EQ(sign(package, key, 77).result, 0);
    ASSERT_EQ(sign(input, key, 77).result, 0);
    const Bytes from_package = read_file(package + ".encrypt");
    const Bytes direct = read_file(input + ".encrypt");
    ASSERT_EQ(from_package.size(), direct.size());
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE("stage " + std::to_string(i));
        const Record a = record_of(from_package, i);
        const Record b = record_of(direct, i);
        EXPECT_EQ(a.part_size, b.part_size);
        EXPECT_EQ(a.stage_length, b.stage_length);
        EXPECT_EQ(a.stage_offset, b.stage_offset);
        // Both carry the original part, signed by the user key.
        check_stage(from_package, i, key2048);
        check_stage(direct, i, key2048);
    }
}

TEST_F(ImgsigTest, ImagesTheLayoutCannotCarryAreRefused) {
    const std::string key = user_key(key2048);
    const std::string input = boot_image(6100, 3000, 700);
    const Bytes image = read_file(input);
    const auto patched = [&](const std::string& name, std::size_t at, std::uint32_t value,
                             std::uint32_t version) {
        Bytes b = image;
        put_le32_at(b, 40, version);
        if (at != 0) put_le32_at(b, at, value);
        write_file(dir.file(name), b);
        return dir.file(name);
    };
    const std::string package = dir.file("boot.pkg");
    ASSERT_EQ(run_tool({"--imgsig", "--input", input, "--output", package}).result, 0);
    Bytes damaged = read_file(package);
    // The kernel's block takes 96 + 6112 bytes, four pages: the ramdisk's
    // block starts at 10240, the second stage's at 14336.
    damaged.at(10240 + 500) ^= 0x01;
    write_file(dir.file("damaged.pkg"), damaged);
    write_file(dir.file("cut.pkg"), slice(read_file(package), 0, 14336 + 400));

    const struct {
        std::string input;
        int result;
        const char* reason;
    } cases[] = {
        {patched("v3.img", 0, 0, 3), 5735, "header version 3"},
        {patched("dtbo.img", 0x660, 100, 1), 5737, "recovery DTBO"},
        {patched("dtb.img", 0x670, 100, 2), 5737, "DTB"},
        {patched("cmdline.img", 1100, 0x41414141, 0), 5739, "command line"},
        {dir.file("damaged.pkg"), 5742, "does not match its digest"},
        {dir.file("cut.pkg"), 5741, "past the end"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input);
        const ToolRun run = sign(c.input, key);
        EXPECT_EQ(run.result, c.result);
        EXPECT_EQ(run.out, "zud_encrypt_tqrr imgsig fail[" + std::to_string(c.result) + "]!\n");
        EXPECT_NE(run.err.find(c.reason), std::string::npos) << run.err;
        EXPECT_FALSE(file_exists(c.input + ".encrypt"));
    }
    // The command line matters only where the security header goes.
    EXPECT_EQ(run_tool({"--imgsig", "--input", dir.file("cmdline.img")}).result, 0);
    // A version 1 or 2 header without the extra parts signs.
    EXPECT_EQ(sign(patched("v2.img", 0, 0, 2), key).result, 0);
}

TEST_F(ImgsigTest, MissingOutputOptionIsExplained) {
    const ToolRun run = sign(boot_image(5000, 3000, 700), user_key(key2048));
    ASSERT_EQ(run.result, 0);
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err.find("no trailing upgrade signature"), std::string::npos) << run.err;
}

// ---------------------------------------------------------------------------
// Refusals before the output gets a byte

TEST_F(ImgsigTest, MissingInputIsReportedWithItsMessages) {
    ToolRun run = run_tool({"--imgsig"});
    EXPECT_EQ(run.result, 5652);
    EXPECT_EQ(run.out, "zud log: error! Please set input first!\n"
                       "zud_encrypt_tqrr imgsig fail[5652]!\n");
    const std::string missing = dir.file("nothing.img");
    run = run_tool({"--imgsig", "--input", missing, "--zuduserkey", user_key(key2048)});
    EXPECT_EQ(run.result, 5652);
    EXPECT_EQ(run.out, "zud log: error! Illegal [input] " + missing +
                           "\nzud_encrypt_tqrr imgsig fail[5652]!\n");
    EXPECT_FALSE(file_exists(missing + ".encrypt"));
}

TEST_F(ImgsigTest, NonBootImageLeavesNoOutput) {
    const std::string input = dir.file("plain.bin");
    write_file(input, random_bytes(8192, 4));
    EXPECT_EQ(sign(input, user_key(key2048)).result, 5715);
    EXPECT_FALSE(file_exists(input + ".encrypt"));
    EXPECT_EQ(run_tool({"--imgsig", "--input", input}).result, 5715);
    EXPECT_FALSE(file_exists(input + ".pkg"));
}

TEST_F(ImgsigTest, PageSizesOtherThan2048AreRefused) {
    const std::string key = user_key(key2048);
    const std::string input = boot_image(5000, 3000, 700, 4096);
    const ProcessRun run =
        run_process({tool_path(), "--imgsig", "--input", input, "--zuduserkey", key});
    EXPECT_EQ(run.exit_status, zud_exit_status(5723));
    EXPECT_NE(run.err.find("page size 4096"), std::string::npos) << run.err;
    EXPECT_FALSE(file_exists(input + ".encrypt"));
    EXPECT_EQ(run_tool({"--imgsig", "--input", input}).result, 5723);

    // 2048-byte images patched to page sizes the layout cannot follow.
    const Bytes base = read_file(boot_image(5000, 3000, 700, 2048, "base"));
    for (std::uint32_t page : {0u, 1024u, 16384u, 131072u}) {
        Bytes patched = base;
        put_le32_at(patched, 36, page);
        const std::string path = dir.file("page-" + std::to_string(page) + ".img");
        write_file(path, patched);
        EXPECT_EQ(sign(path, key).result, 5723) << page;
        EXPECT_FALSE(file_exists(path + ".encrypt")) << page;
    }
}

TEST_F(ImgsigTest, ShortInputsAndPartsPastTheEndAreRefused) {
    const std::string key = user_key(key2048);
    const Bytes image = read_file(boot_image(5000, 3000, 700));

    const std::string short_input = dir.file("short.img");
    write_file(short_input, slice(image, 0, 2047));
    EXPECT_EQ(sign(short_input, key).result, 5709);
    EXPECT_FALSE(file_exists(short_input + ".encrypt"));

    // The second stage ends at 12288 + 700; one byte less is not enough.
    const std::string cut = dir.file("cut.img");
    write_file(cut, slice(image, 0, 12288 + 699));
    EXPECT_EQ(sign(cut, key).result, 5727);
    EXPECT_FALSE(file_exists(cut + ".encrypt"));
    write_file(cut, slice(image, 0, 12288 + 700));
    EXPECT_EQ(sign(cut, key).result, 0);

    Bytes grown = image;
    put_le32_at(grown, 16, 0xFFFFFFF0);  // ramdisk size
    const std::string lying = dir.file("lying.img");
    write_file(lying, grown);
    EXPECT_EQ(run_tool({"--imgsig", "--input", lying}).result, 5727);
    EXPECT_FALSE(file_exists(lying + ".pkg"));
}

TEST_F(ImgsigTest, PartsTooLargeForThirtyTwoBitSizesAreRefused) {
    // A sparse 2 GiB input whose kernel is present but could not be a
    // signed block: refused before anything is read from it.
    Bytes page = slice(read_file(boot_image(5000, 0, std::nullopt)), 0, 2048);
    put_le32_at(page, 8, 0x7FFFF800);
    const std::string input = dir.file("huge.img");
    write_file(input, page);
    std::filesystem::resize_file(input, 2048 + std::uint64_t{0x7FFFF800});
    EXPECT_EQ(sign(input, user_key(key2048)).result, 5731);
    EXPECT_FALSE(file_exists(input + ".encrypt"));
}

TEST_F(ImgsigTest, UserKeyFilesThatCannotSignAreRefused) {
    const std::string input = boot_image(5000, 3000, 700);

    // A full key file alone holds no AES key at 6944.
    const std::string bare = dir.file("bare.key");
    write_full_key(bare, key2048);
    EXPECT_EQ(sign(input, bare).result, 5744);
    EXPECT_FALSE(file_exists(input + ".encrypt"));

    // A text key with bytes behind it loads as a key but is no user key file,
    // even when it is long enough to hold bytes at 6944.
    const std::string text = dir.file("text.key");
    write_text_key(text, key2048);
    Bytes longer = read_file(text);
    longer.resize(7000, '\n');
    write_file(text, longer);
    EXPECT_EQ(sign(input, text).result, 5744);

    const std::string garbage = dir.file("garbage.key");
    write_file(garbage, random_bytes(6976, 5));
    EXPECT_EQ(sign(input, garbage).result, 5756);
    EXPECT_EQ(sign(input, dir.file("absent.key")).result, 5756);

    // A 384-bit key has no key type, so no key digest.
    EXPECT_EQ(sign(input, user_key(test_key(384), "k384.key")).result, 5756);
    EXPECT_FALSE(file_exists(input + ".encrypt"));
}

TEST_F(ImgsigTest, KeymaxesThatDoNotVouchForTheKeyAreRefused) {
    const std::string input = boot_image(5000, 3000, 700);
    const auto& stranger = test_key(2048, 1);
    const Bytes good = make_keymax(root, key2048, root);
    Bytes flipped = good;
    flipped.at(100) ^= 0x01;  // inside the signature
    Bytes key_form = good;
    key_form.at(1848 + 16 + 48 * 2 + 9) = 2;  // a root entry that is no digest entry
    write_full_key(dir.file("signer.key"), key2048);
    write_file(dir.file("aes.bin"), kAesKey);
    // --userkey with --rootkeymax, the keymax written to `name`.
    const auto separate = [&](const std::string& name, const Bytes& keymax) {
        write_file(dir.file(name), keymax);
        return std::vector<std::string>{"--userkey", dir.file("signer.key"), "--aeskey", dir.file("aes.bin"),
                                        "--rootkeymax", dir.file(name)};
    };
    const struct {
        std::vector<std::string> keys;
        int result;
    } cases[] = {
        {{"--zuduserkey", user_key(key2048, "flipped.zud", flipped)}, 5796},
        {{"--zuduserkey", user_key(key2048, "key-form.zud", key_form)}, 5795},
        {{"--zuduserkey", user_key(key2048, "other.zud", make_keymax(root, stranger, root))}, 5797},
        {separate("foreign.bin", make_keymax(root, key2048, stranger)), 5796},
        {separate("short.bin", slice(good, 0, 2263)), 5795},
        {separate("other.bin", make_keymax(root, stranger, root)), 5797},
    };
    const Bytes image = read_file(input);
    for (const auto& c : cases) {
        const std::string& keymax_in = c.keys.back();  // the file that holds the keymax
        SCOPED_TRACE(keymax_in);
        const auto before = files_in(dir.path());
        std::vector<std::string> args{"--imgsig", "--input", input, "--output", dir.file("out.img")};
        args.insert(args.end(), c.keys.begin(), c.keys.end());
        const ToolRun run = run_tool(args);
        EXPECT_EQ(run.result, c.result);
        EXPECT_NE(run.err.find(keymax_in), std::string::npos) << run.err;
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
        EXPECT_EQ(files_in(dir.path()), before);
        EXPECT_EQ(read_file(input), image);
    }
    // The keymax that names the key lets it sign.
    std::vector<std::string> args{"--imgsig", "--input", input, "--output", dir.file("out.img")};
    const auto keys = separate("good.bin", good);
    args.insert(args.end(), keys.begin(), keys.end());
    EXPECT_EQ(run_tool(args).result, 0);
}

TEST_F(ImgsigTest, KeyDigestIsTheDigestOfTheModulusAndExponent) {
    Bytes digest(32, 0xEE);
    ASSERT_EQ(zud_get_sha_from_ctx(&key2048, digest.data()), 0);
    EXPECT_EQ(sha256_of(digest), expected_key_hash(key2048));
    EXPECT_EQ(zud_get_sha_from_ctx(&test_key(384), digest.data()), 3703);
    EXPECT_EQ(zud_get_sha_from_ctx(nullptr, digest.data()), 3703);
}

TEST_F(ImgsigTest, OutputNamesThatWouldHarmOrCannotBeHeldAreRefused) {
    const std::string input = boot_image(5000, 3000, 700);
    const Bytes in = read_file(input);
    const std::string key = user_key(key2048);
    const Bytes key_bytes = read_file(key);

    EXPECT_EQ(run_tool({"--imgsig", "--input", input, "--zuduserkey", key, "--output", input})
                  .result,
              5694);
    EXPECT_EQ(read_file(input), in);
    EXPECT_EQ(run_tool({"--imgsig", "--input", input, "--zuduserkey", key, "--output", key})
                  .result,
              5694);
    EXPECT_EQ(read_file(key), key_bytes);

    const std::string long_output = dir.file(std::string(256, 'o'));
    EXPECT_EQ(run_tool({"--imgsig", "--input", input, "--output", long_output}).result, 5688);
    // An input name of 248 characters leaves no room for ".encrypt".
    const std::string base = dir.path().string() + "/";
    const std::string long_input = base + std::string(248 - base.size(), 'i');
    std::filesystem::copy_file(input, long_input);
    EXPECT_EQ(sign(long_input, key).result, 5688);
    EXPECT_EQ(run_tool({"--imgsig", "--input", long_input}).result, 0);  // ".pkg" fits
    EXPECT_TRUE(file_exists(long_input + ".pkg"));
}

// ---------------------------------------------------------------------------
// Failures once the output is being written

// Runs the tool as a separate program whose files may not grow beyond
// `blocks` 512-byte units.
ProcessRun run_with_file_limit(int blocks, std::vector<std::string> args) {
    std::vector<std::string> argv{"sh", "-c",
                                  "trap '' XFSZ; ulimit -f " + std::to_string(blocks) +
                                      "; exec \"$0\" \"$@\"",
                                  tool_path()};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_process(argv);
}

TEST_F(ImgsigTest, StageThatCannotBeWrittenRemovesTheOutput) {
    const std::string input = boot_image(5000, 3000, 700);
    const std::string key = user_key(key2048);
    // 4096 bytes hold the header page but not the kernel stage.
    const ProcessRun run = run_with_file_limit(
        8, {"--imgsig", "--input", input, "--zuduserkey", key});
    EXPECT_EQ(run.exit_status, zud_exit_status(-1)) << run.err;
    EXPECT_FALSE(file_exists(input + ".encrypt"));
    EXPECT_FALSE(file_exists(input + ".pkg"));
}

TEST_F(ImgsigTest, FailedTrailingBlockFailsTheCommandAndRemovesTheOutput) {
    const std::string input = boot_image(5000, 3000, 700);
    const std::string key = user_key(key2048);
    const std::string named = dir.file("signed.img");
    // The 14336-byte image (28 units) fits; its 256-byte trailing block does not.
    const ProcessRun run = run_with_file_limit(
        28, {"--imgsig", "--input", input, "--zuduserkey", key, "--output", named});
    EXPECT_EQ(run.exit_status, zud_exit_status(5789)) << run.err;
    EXPECT_NE(run.out.find(" imgsig fail[5789]!\n"), std::string::npos) << run.out;
    EXPECT_FALSE(file_exists(named));
}

TEST_F(ImgsigTest, UnreadableInputLeavesNoOutput) {
    const std::string input = boot_image(5000, 3000, 700);
    ASSERT_EQ(::chmod(input.c_str(), 0), 0);
    std::vector<std::string> argv{tool_path(), "--imgsig", "--input", input};
    // As root, drop the capabilities that read any file, so permissions apply.
    if (::geteuid() == 0) {
        argv.insert(argv.begin(), {"setpriv", "--bounding-set=-dac_override,-dac_read_search"});
    }
    const ProcessRun run = run_process(argv);
    EXPECT_EQ(run.exit_status, zud_exit_status(5702)) << run.err;
    EXPECT_FALSE(file_exists(input + ".pkg"));
}

}  // namespace
