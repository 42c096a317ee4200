// Device packages and SD images.
#include <gtest/gtest.h>

#include <cstdlib>

#include "support/files.h"
#include "support/run.h"
#include "support/temp_dir.h"

namespace {

Bytes filler(unsigned seed) {
    srandom(seed);
    Bytes b(512);
    for (auto& v : b) v = static_cast<std::uint8_t>(std::rand() & 0xFF);
    return b;
}

class SdImageTest : public testing::Test {
protected:
    TempDir dir;
    std::string in = dir.file("in.bin");
    std::string out = dir.file("sd.img");
};

TEST_F(SdImageTest, ImageIsOneSectorOfFillerThenTheInput) {
    for (std::size_t size : {0u, 1u, 10240u, 10241u, 30000u}) {
        const Bytes input = counting_bytes(size, 9);
        write_file(in, input);
        const ToolRun run = run_tool({"--mksd", "--input", in, "--output", out}, 4242);
        ASSERT_EQ(run.result, 0) << size;
        EXPECT_EQ(run.out, "");
        const Bytes image = read_file(out);
        ASSERT_EQ(image.size(), size + 512);
        EXPECT_EQ(slice(image, 0, 512), filler(4242));
        EXPECT_EQ(slice(image, 512, size), input);
    }
}

TEST_F(SdImageTest, SameSecondSameFiller) {
    write_file(in, counting_bytes(100));
    ASSERT_EQ(run_tool({"--mksd", "--input=" + in, "--output=" + out}, 7).result, 0);
    const Bytes first = read_file(out);
    ASSERT_EQ(run_tool({"--mksd", "--output", out, "--input", in}, 7).result, 0);
    EXPECT_EQ(read_file(out), first);
    ASSERT_EQ(run_tool({"--mksd", "--output", out, "--input", in}, 8).result, 0);
    EXPECT_NE(read_file(out), first);
}

TEST_F(SdImageTest, MissingFilesFail) {
    // A missing input: the output was opened first and stays empty.
    ToolRun run = run_tool({"--mksd", "--input", dir.file("none"), "--output", out});
    EXPECT_EQ(run.result, -1);
    EXPECT_EQ(run.out, "zud_encrypt_tqrr mksd fail[-1]!\n");
    EXPECT_EQ(size_of(out), 0u);
    // No output option: nothing is created.
    write_file(in, counting_bytes(10));
    EXPECT_EQ(run_tool({"--mksd", "--input", in}).result, -1);
    EXPECT_EQ(run_tool({"--mksd"}).result, -1);
    // An output in a directory that does not exist.
    EXPECT_EQ(run_tool({"--mksd", "--input", in, "--output", dir.file("no/dir")}).result, -1);
}

TEST_F(SdImageTest, FailedWriteIsReportedAndTheDeviceKept) {
    write_file(in, counting_bytes(20000));
    EXPECT_EQ(run_tool({"--mksd", "--input", in, "--output", "/dev/full"}).result, -1);
    EXPECT_TRUE(file_exists("/dev/full"));
}

TEST_F(SdImageTest, InputNamedAsOutputIsRefusedAndKept) {
    const Bytes input = counting_bytes(3000);
    write_file(in, input);
    EXPECT_EQ(run_tool({"--mksd", "--input", in, "--output", in}).result, -1);
    EXPECT_EQ(read_file(in), input);
}

}  // namespace
