// Inputs that are not regular files: a FIFO, which would hold a command in
// open() for as long as nothing writes to it, and a device that never ends
// are refused at once, with the command's result for an input it cannot
// open and a line naming the file.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <set>
#include <string>
#include <vector>

#include "support/boot_image.h"
#include "support/bootloader.h"
#include "support/files.h"
#include "support/run.h"
#include "support/temp_dir.h"

namespace {

class InputKindsTest : public testing::Test {
protected:
    void SetUp() override {
        keys = make_key_files(dir.path().string());
        write_file(aes, counting_bytes(32, 3));
        ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    }

    // Runs the tool in process (a run that waited in open() would hang the
    // test) and checks that it failed with `result`, said why and wrote
    // nothing.
    void expect_refused(const std::vector<std::string>& words, int result, const std::string& why) {
        const std::set<std::string> names_before = files_in(dir.path());
        const ToolRun run = run_tool(words);
        EXPECT_EQ(run.result, result);
        EXPECT_NE(run.err.find(why), std::string::npos) << run.err;
        EXPECT_EQ(files_in(dir.path()), names_before);
    }

    TempDir dir;
    KeyFiles keys;
    const std::string aes = dir.file("aes.bin");
    const std::string fifo = dir.file("in.fifo");
    const std::string out = dir.file("out");
};

TEST_F(InputKindsTest, FifoAsAnyInputIsRefusedAtOnce) {
    const std::string image = make_boot_image(dir.path().string(), counting_bytes(5000), counting_bytes(3000), std::nullopt);
    const std::string boot = write_plain_bootloader(dir.file("boot.bin"), counting_bytes(100), {counting_bytes(999)});
    const std::string& f = fifo;
    const std::string& user = keys.user1;
    const std::string& keymax = keys.keymax;
    const struct {
        std::vector<std::string> words;
        int result;
    } cases[] = {
        {{"--keysig", "--rkey1", f, "--ukey1", user, "--skey", keys.root, "--output", out}, 3107},
        {{"--keysig", "--rkey1", keys.root, "--ukey1", f, "--skey", keys.root, "--output", out}, 3107},
        {{"--keysig", "--rkey1", keys.root, "--ukey1", user, "--skey", f, "--output", out}, -1},
        {{"--keybnd", "--ukey", f, "--rootkeymax", keymax, "--output", out}, -1},
        {{"--keybnd", "--ukey", user, "--rootkeymax", f, "--output", out}, -1},
        {{"--keybnd", "--ukey", user, "--rootkeymax", keymax, "--aeskey", f, "--output", out}, 3121},
        {{"--bootsig", "--input", f, "--output", out}, 4738},
        {{"--bootsig", "--input", boot, "--zuduserkey", f, "--output", out}, 4866},
        {{"--bootsig", "--input", boot, "--userkey", f, "--rootkeymax", keymax, "--aeskey", aes, "--output", out}, 4854},
        {{"--bootsig", "--input", boot, "--userkey", user, "--rootkeymax", f, "--aeskey", aes, "--output", out}, 4866},
        {{"--bootsig", "--input", boot, "--userkey", user, "--rootkeymax", keymax, "--aeskey", f, "--output", out}, 4866},
        {{"--imgsig", "--input", f, "--output", out}, 5702},
        {{"--imgsig", "--input", image, "--zuduserkey", f, "--output", out}, 5756},
        {{"--imgsig", "--input", image, "--userkey", f, "--aeskey", aes, "--output", out}, 5756},
        {{"--imgsig", "--input", image, "--userkey", user, "--aeskey", f, "--output", out}, 5748},
        {{"--imgsig", "--input", image, "--userkey", user, "--aeskey", aes, "--rootkeymax", f, "--output", out}, 5795},
        {{"--mkpsd", "--password-file", f, "--option", "usb", "--output", out}, 4327},
        {{"--upgsig", "--input", f, "--zuduserkey", keys.user_key}, 4039},
        {{"--upgsig", "--input", f, "--zuduserkey", keys.user_key, "--option", "chk"}, 4039},
        {{"--upgsig", "--input", image, "--zuduserkey", f}, 4029},
        {{"--sha", f}, -1},
        {{"--mksd", "--input", f, "--output", out}, -1},
    };
    for (const auto& c : cases) {
        std::string line;
        for (const auto& w : c.words) line += (w == f ? "FIFO" : w.substr(w.rfind('/') + 1)) + " ";
        SCOPED_TRACE(line);
        expect_refused(c.words, c.result, f + " is a FIFO; only regular files ");
    }
}

// The checker reads what it is given the same way.
TEST_F(InputKindsTest, CheckerRefusesAFifoAtOnce) {
    for (const std::vector<std::string>& words :
         {std::vector<std::string>{"verify", "--block", fifo}, {"info", fifo}}) {
        SCOPED_TRACE(words[0]);
        std::vector<std::string> argv{keytool_path()};
        argv.insert(argv.end(), words.begin(), words.end());
        const ProcessRun run = run_process(argv);
        EXPECT_EQ(run.exit_status, 1);
        EXPECT_NE(run.err.find(fifo + " is a FIFO"), std::string::npos) << run.err;
    }
}

TEST_F(InputKindsTest, DeviceThatNeverEndsIsNoSdCardInput) {
    expect_refused({"--mksd", "--input", "/dev/zero", "--output", out}, -1,
                   "/dev/zero is a character device; only regular files and block devices are read");
}

}  // namespace
