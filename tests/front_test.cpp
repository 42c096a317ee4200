// --sha over Android boot images, and the hex printer.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "sha.h"
#include "support/boot_image.h"
#include "support/files.h"
#include "support/run.h"
#include "support/temp_dir.h"

namespace {

// The tool's digest lines: 32 bytes as two lines of 16 upper-case pairs.
std::string digest_lines(const std::string& lower_hex) {
    std::string s;
    for (std::size_t i = 0; i < 32; ++i) {
        s += static_cast<char>(std::toupper(lower_hex[2 * i]));
        s += static_cast<char>(std::toupper(lower_hex[2 * i + 1]));
        s += (i + 1) % 16 == 0 ? '\n' : ' ';
    }
    return s;
}

std::string sha_of(const TempDir& dir, const Bytes& bytes, const std::string& name) {
    write_file(dir.file(name), bytes);
    return openssl_sha256_hex(dir.file(name));
}

std::string section_lines(unsigned size, const std::string& hex) {
    char head[64];
    std::snprintf(head, sizeof head, "\nzud log : sha len=0x%x ...\n", size);
    return head + digest_lines(hex);
}

std::string padding_line(unsigned pad) {
    char line[64];
    std::snprintf(line, sizeof line, "zud log : dummy read 0x%x\n", pad);
    return line;
}

class ShaCommandTest : public testing::Test {
protected:
    TempDir dir;
};

TEST_F(ShaCommandTest, DigestsOfMkbootimgSectionsMatchOpenssl) {
    const Bytes kernel = counting_bytes(0x100, 1);
    const Bytes ramdisk = counting_bytes(5000, 7);
    const Bytes second = counting_bytes(777, 9);
    const std::string image = make_boot_image(dir.path().string(), kernel, ramdisk, second);

    const ToolRun run = run_tool({"--sha", image});
    ASSERT_EQ(run.result, 0);
    const std::string expected =
        section_lines(0x100, sha_of(dir, kernel, "k")) + padding_line(0x700) +
        section_lines(5000, sha_of(dir, ramdisk, "r")) + padding_line(6144 - 5000) +
        section_lines(777, sha_of(dir, second, "s"));
    EXPECT_EQ(run.out, expected);
    // The digest file is created and left empty.
    ASSERT_TRUE(file_exists(image + ".sha"));
    EXPECT_EQ(size_of(image + ".sha"), 0u);
}

TEST_F(ShaCommandTest, PageMultipleKernelHasNoPaddingAndEmptySectionsHashNothing) {
    const Bytes kernel = counting_bytes(4096, 3);
    const std::string image =
        make_boot_image(dir.path().string(), kernel, Bytes{}, std::nullopt);
    const ToolRun run = run_tool({"--sha", image});
    ASSERT_EQ(run.result, 0);
    const std::string empty_sha =
        "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
    EXPECT_EQ(run.out, section_lines(4096, sha_of(dir, kernel, "k")) +
                           section_lines(0, empty_sha) + section_lines(0, empty_sha));
}

TEST_F(ShaCommandTest, MissingArgumentOrInputFails) {
    EXPECT_EQ(run_tool({"--sha"}).result, -1);
    const std::string missing = dir.file("missing.img");
    const ToolRun run = run_tool({"--sha", missing});
    EXPECT_EQ(run.result, -1);
    EXPECT_EQ(run.out, "zud_encrypt_tqrr sha fail[-1]!\n");
    // The empty digest file is made only for an image that was read.
    EXPECT_FALSE(file_exists(missing + ".sha"));
}

TEST_F(ShaCommandTest, ShortHeaderFailsBeforePrintingAnything) {
    Bytes header = counting_bytes(2047);
    write_file(dir.file("short.img"), header);
    const ToolRun run = run_tool({"--sha", dir.file("short.img")});
    EXPECT_EQ(run.result, -1);
    EXPECT_EQ(run.out, "zud_encrypt_tqrr sha fail[-1]!\n");
}

// A header whose sections do not fit the file is refused as a whole: no
// digest is printed over bytes that are not there, and a huge or negative
// size never turns into a huge allocation.
TEST_F(ShaCommandTest, HostileSectionSizesAreRefused) {
    const auto image_with = [&](std::uint32_t kernel, std::uint32_t ramdisk,
                                std::uint32_t second, std::uint32_t page) {
        Bytes img(2048 + 4096, 0);
        const auto put = [&](std::size_t at, std::uint32_t v) {
            for (int i = 0; i < 4; ++i) img[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
        };
        std::copy_n("ANDROID!", 8, img.begin());
        put(8, kernel);
        put(16, ramdisk);
        put(24, second);
        put(36, page);
        write_file(dir.file("h.img"), img);
        return run_tool({"--sha", dir.file("h.img")});
    };
    EXPECT_EQ(image_with(100, 100, 0, 2048).result, 0);
    EXPECT_EQ(image_with(4097, 0, 0, 2048).result, -1);          // kernel past the end
    EXPECT_EQ(image_with(100, 3000, 0, 2048).result, -1);        // ramdisk past the end
    EXPECT_EQ(image_with(100, 100, 2048, 2048).result, -1);      // second past the end
    EXPECT_EQ(image_with(0x80000000u, 0, 0, 2048).result, -1);   // negative size
    EXPECT_EQ(image_with(0x7FFFFFFFu, 0, 0, 2048).result, -1);   // 2 GiB declared
    EXPECT_EQ(image_with(100, 100, 0, 0).result, -1);            // no page size
    const ToolRun refused = image_with(100, 100, 2048, 2048);
    EXPECT_EQ(refused.out, "zud_encrypt_tqrr sha fail[-1]!\n");
}

TEST_F(ShaCommandTest, OverlongPathIsRefusedWithoutCreatingAnything) {
    const std::string name = dir.file(std::string(251 - dir.path().string().size(), 'a'));
    ASSERT_EQ(name.size(), 252u);
    write_file(name, counting_bytes(10));
    EXPECT_EQ(run_tool({"--sha", name}).result, -1);
    EXPECT_FALSE(file_exists(name + ".sha"));
}

TEST(HexPrinter, SixteenPairsPerLine) {
    std::uint8_t bytes[20];
    for (int i = 0; i < 20; ++i) bytes[i] = static_cast<std::uint8_t>(0xF0 + i);
    testing::internal::CaptureStdout();
    zud_u8_prixntf(bytes, 20);
    zud_u8_prixntf(bytes, 0);
    zud_u8_prixntf(bytes, -3);
    zud_u8_printf(bytes, 20);
    std::fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "F0 F1 F2 F3 F4 F5 F6 F7 F8 F9 FA FB FC FD FE FF\n00 01 02 03 ");
}

}  // namespace
