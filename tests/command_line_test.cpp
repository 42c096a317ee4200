// Each command's command line: what it refuses before anything runs, the
// forms it takes, and its --help.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bootsig.h"
#include "cli.h"
#include "imgsig.h"
#include "keysig.h"
#include "packages.h"
#include "sha.h"
#include "support/boot_image.h"
#include "support/bootloader.h"
#include "support/files.h"
#include "support/run.h"
#include "support/temp_dir.h"
#include "upgsig.h"

namespace {

class CommandLineTest : public ::testing::Test {
protected:
    TempDir dir;
    std::string input = dir.file("in.bin");
    std::string key = dir.file("key.bin");

    void SetUp() override {
        write_file(input, counting_bytes(4096));
        write_file(key, counting_bytes(32, 7));
    }
};

// A word the command does not take stops it before it opens, draws or
// writes anything: exit 2, nothing on standard output, one line on standard
// error naming the word and what to give instead.
TEST_F(CommandLineTest, WordsACommandDoesNotTakeRunNothing) {
    const std::string out = dir.file("out.bin");
    struct Case {
        std::vector<std::string> args;
        std::string reason;
    };
    const std::vector<Case> cases = {
        {{"--bootsig", "--input", input, "--aes-key", key, "--output", out},
         "unknown option --aes-key for --bootsig; did you mean --aeskey?"},
        {{"--imgsig", "--input", input, "--user-key", key, "--aeskey", key},
         "unknown option --user-key for --imgsig; did you mean --userkey?"},
        {{"--upgsig", "--input", input, "--zuduserkey", key, "--optoin", "chk"},
         "unknown option --optoin for --upgsig; did you mean --option?"},
        {{"--keybnd", "--ukey", key, "--rootkeymax", key, "--bogus-thing", "x"},
         "unknown option --bogus-thing for --keybnd (its options: --ukey, --rootkeymax, --aeskey, "
         "--output)"},
        {{"--keysig", "--rkey", key, "--ukey1", key, "--skey", key, "--output", out},
         "ambiguous option --rkey for --keysig: it could be --rkey1, --rkey2, --rkey3, --rkey4"},
        {{"--mkpsd", "--password", "0123456789abcdef", "--o", "usb"},
         "ambiguous option --o for --mkpsd: it could be --output, --option"},
        {{"--mksd", "--input", input, "--output"},
         "option --output of --mksd needs a value (--output VALUE or --output=VALUE)"},
        {{"--mkcusid", "--customerid", "--output", out}, "option --customerid of --mkcusid needs a value"},
        {{"--mksd", "--input=" + input, out}, "unexpected argument '" + out + "' for --mksd"},
        {{"--keybnd", "-u", key}, "unknown option -u for --keybnd"},
        {{"--sha", input, out}, "unexpected argument '" + out + "' for --sha: it takes one IMAGE"},
        {{"--sha", "--input", input}, "unknown option --input for --sha (it takes no options)"},
        {{"--upgsig", "--input", input, "--", out}, "unexpected argument '" + out + "' for --upgsig"},
    };
    const auto before = files_in(dir.path());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.reason);
        const ToolRun run = run_tool(c.args);
        EXPECT_EQ(run.result, 2);
        EXPECT_EQ(run.out, "");
        EXPECT_NE(run.err.find(c.reason), std::string::npos) << run.err;
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
        EXPECT_EQ(files_in(dir.path()), before);
        EXPECT_EQ(read_file(input), counting_bytes(4096));
    }
}

// Both option forms, and any leading part of a name that selects one
// option, sign as the full spelling does.
TEST_F(CommandLineTest, EqualsFormsAndAbbreviationsSign) {
    const KeyFiles keys = make_key_files(dir.path().string());
    const std::string keymax = dir.file("km-eq.bin");
    ToolRun run = run_tool({"--keysig", "--rkey1=" + keys.root, "--ukey1=" + keys.user1, "--ukey2=" + keys.user2,
                            "--skey=" + keys.root, "--output=" + keymax});
    ASSERT_EQ(run.result, 0) << run.err;
    // The same key matrices as the spelled-out run (the block header's
    // timestamp may differ between the two runs).
    ASSERT_EQ(size_of(keymax), 2264u);
    EXPECT_EQ(slice(read_file(keymax), 1848, 416), slice(read_file(keys.keymax), 1848, 416));

    const std::string boot = write_plain_bootloader(dir.file("boot.bin"), counting_bytes(1000),
                                                    {counting_bytes(300, 1)});
    run = run_tool({"--bootsig", "--inp=" + boot, "--zud", keys.user_key, "--out=" + dir.file("b.out")});
    ASSERT_EQ(run.result, 0) << run.err;
    EXPECT_TRUE(file_exists(dir.file("b.out.efuse")));

    run = run_tool({"--upgsig", "--input=" + input, "--zuduserkey=" + keys.user_key});
    ASSERT_EQ(run.result, 0) << run.err;
    run = run_tool({"--upgsig", "--input=" + input, "--zuduserkey=" + keys.user_key, "--opt=chk"});
    EXPECT_EQ(run.result, 0) << run.err;
    EXPECT_EQ(run.out, "zud log: upgrade signature verify pass!\n");

    const std::string image =
        make_boot_image(dir.path().string(), counting_bytes(3000, 2), counting_bytes(500, 3), std::nullopt);
    run = run_tool({"--imgsig", "--input=" + image, "--zuduserkey=" + keys.user_key,
                    "--output=" + dir.file("img.out")});
    EXPECT_EQ(run.result, 0) << run.err;
    EXPECT_TRUE(file_exists(dir.file("img.out")));
}

// --help after a command prints its synopsis and every result it can give,
// and does nothing else.
TEST_F(CommandLineTest, CommandHelpListsItsOptionsAndResults) {
    struct Case {
        const char* command;
        std::span<const zud_result_info> results;
        const char* option;
    };
    const std::vector<Case> cases = {
        {"--keysig", kKeysigResults, "--skey"},    {"--keybnd", kKeybndResults, "--rootkeymax"},
        {"--bootsig", kBootsigResults, "--efuse"}, {"--imgsig", kImgsigResults, "--zuduserkey"},
        {"--upgsig", kUpgsigResults, "--option"},  {"--mkpsd", kMkpsdResults, "--password"},
        {"--mkcusid", kMkcusidResults, "--customerid"}, {"--mksd", kMksdResults, "--input"},
        {"--sha", kShaResults, "IMAGE"},
    };
    const auto before = files_in(dir.path());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        // --help wins wherever it stands among the options.
        const ToolRun run = run_tool({c.command, "--output", dir.file("x"), "--help"});
        EXPECT_EQ(run.result, 0);
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(run.out.rfind(std::string("usage: zud_encrypt_tqrr ") + c.command + " ", 0), 0u) << run.out;
        EXPECT_NE(run.out.find(c.option), std::string::npos);
        for (const zud_result_info& r : c.results) {
            EXPECT_NE(run.out.find(std::to_string(r.number) + "  " + r.meaning), std::string::npos)
                << r.number;
        }
        EXPECT_EQ(files_in(dir.path()), before);
    }
}

// The syntax a command's header gives is the one its handler reads: its
// --help is that syntax's usage, byte for byte.
TEST_F(CommandLineTest, HeadersGiveTheSyntaxTheHandlersRead) {
    const std::pair<const char*, const CommandSyntax& (*)()> commands[] = {
        {"--keysig", keysig_command_syntax}, {"--keybnd", keybnd_command_syntax},
        {"--bootsig", bootsig_command_syntax}, {"--imgsig", imgsig_command_syntax},
        {"--upgsig", upgsig_command_syntax}, {"--mkpsd", mkpsd_command_syntax},
        {"--mkcusid", mkcusid_command_syntax}, {"--mksd", mksd_command_syntax},
        {"--sha", sha_command_syntax},
    };
    for (const auto& [word, syntax] : commands) {
        SCOPED_TRACE(word);
        EXPECT_EQ(std::string("--") + syntax().name, word);
        char* text = nullptr;
        std::size_t length = 0;
        std::FILE* usage = open_memstream(&text, &length);
        ASSERT_NE(usage, nullptr);
        print_command_usage(syntax(), usage);
        std::fclose(usage);
        const std::string expected(text, length);
        std::free(text);
        EXPECT_EQ(run_tool({word, "--help"}).out, expected);
    }
}

}  // namespace
