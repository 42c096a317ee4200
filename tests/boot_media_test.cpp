// The USB and SD variants of a signed bootloader.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "bl2_area.h"
#include "bootsig.h"
#include "efuse_pattern.h"
#include "fip_toc.h"
#include "rng.h"
#include "support/files.h"
#include "support/temp_dir.h"

namespace {

Bytes rand_bytes(unsigned seed, std::size_t count) {
    srandom(seed);
    Bytes b(count);
    for (auto& v : b) v = static_cast<std::uint8_t>(std::rand() & 0xFF);
    return b;
}

class BootMediaTest : public testing::Test {
protected:
    TempDir dir;
    std::string source = dir.file("signed.bin");
};

TEST_F(BootMediaTest, SplitsAtTheBl2AreaAndPrefixesOneSector) {
    // Larger than the copy buffer and not a multiple of it.
    const std::size_t size = 2 * 1024 * 1024 + 212992 + 16;
    const Bytes boot = counting_bytes(size, 5);
    write_file(source, boot);
    seed_random(99);
    ASSERT_EQ(zud_uboot_process(source.c_str()), 0);

    EXPECT_EQ(read_file(source + ".usb.bl2"), slice(boot, 0, 49152));
    EXPECT_EQ(read_file(source + ".usb.tpl"), slice(boot, 49152, size - 49152));
    const Bytes sd = read_file(source + ".sd.bin");
    ASSERT_EQ(sd.size(), size + 512);
    EXPECT_EQ(slice(sd, 0, 512), rand_bytes(99, 512));
    EXPECT_EQ(slice(sd, 512, size), boot);
}

TEST_F(BootMediaTest, ShortSourceGetsAZeroFilledBl2AndAnEmptyRemainder) {
    const Bytes boot = counting_bytes(1000, 1);
    write_file(source, boot);
    ASSERT_EQ(zud_uboot_process(source.c_str()), 0);
    Bytes bl2 = boot;
    bl2.resize(49152, 0);
    EXPECT_EQ(read_file(source + ".usb.bl2"), bl2);
    EXPECT_EQ(size_of(source + ".usb.tpl"), 0u);
    EXPECT_EQ(size_of(source + ".sd.bin"), 1512u);
}

TEST_F(BootMediaTest, RemainderStartsAfterTheBl2AreaEvenWhenBl2CannotBeWritten) {
    const Bytes boot = counting_bytes(60000, 3);
    write_file(source, boot);
    std::filesystem::create_directory(source + ".usb.bl2");  // cannot be opened as a file
    ASSERT_EQ(zud_uboot_process(source.c_str()), 0);
    EXPECT_EQ(read_file(source + ".usb.tpl"), slice(boot, 49152, 60000 - 49152));
    EXPECT_EQ(size_of(source + ".sd.bin"), 60512u);
}

TEST_F(BootMediaTest, MissingSourceOrOverlongNameWritesNothing) {
    EXPECT_EQ(zud_uboot_process(nullptr), 4565);
    EXPECT_EQ(zud_uboot_process(dir.file("none").c_str()), 4565);
    EXPECT_FALSE(file_exists(dir.file("none.usb.bl2")));
    EXPECT_FALSE(file_exists(dir.file("none.sd.bin")));

    // ".usb.bl2" takes 8 characters: a 248-character path cannot have it.
    const std::string longer = dir.file(std::string(248 - dir.path().string().size() - 1, 'b'));
    ASSERT_EQ(longer.size(), 248u);
    write_file(longer, counting_bytes(100));
    EXPECT_EQ(zud_uboot_process(longer.c_str()), 4565);
    EXPECT_FALSE(file_exists(longer + ".sd.bin"));
    const std::string fits = longer.substr(0, 247);
    write_file(fits, counting_bytes(100));
    EXPECT_EQ(zud_uboot_process(fits.c_str()), 0);
    EXPECT_TRUE(file_exists(fits + ".usb.bl2"));
}

TEST_F(BootMediaTest, SymlinkAtAVariantNameIsReplacedNotFollowed) {
    write_file(source, counting_bytes(70000));
    write_file(dir.file("target"), counting_bytes(5));
    std::filesystem::create_symlink(dir.file("target"), source + ".sd.bin");
    EXPECT_EQ(zud_uboot_process(source.c_str()), 0);
    EXPECT_EQ(read_file(dir.file("target")), counting_bytes(5));
    EXPECT_FALSE(std::filesystem::is_symlink(source + ".sd.bin"));
    EXPECT_EQ(size_of(source + ".sd.bin"), 70512u);
}

TEST_F(BootMediaTest, VariantThatCannotBeCreatedIsSkippedAndSaid) {
    write_file(source, counting_bytes(70000));
    std::filesystem::create_directory(source + ".sd.bin");
    testing::internal::CaptureStderr();
    EXPECT_EQ(zud_uboot_process(source.c_str()), 0);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("not a regular file"), std::string::npos);
    EXPECT_EQ(size_of(source + ".usb.tpl"), 70000u - 49152u);
}

TEST_F(BootMediaTest, SectorFillerFollowsTheSeed) {
    write_file(source, counting_bytes(10));
    seed_random(1);
    ASSERT_EQ(zud_uboot_process(source.c_str()), 0);
    const Bytes first = read_file(source + ".sd.bin");
    seed_random(2);
    ASSERT_EQ(zud_uboot_process(source.c_str()), 0);
    EXPECT_NE(slice(read_file(source + ".sd.bin"), 0, 512), slice(first, 0, 512));
}

}  // namespace
