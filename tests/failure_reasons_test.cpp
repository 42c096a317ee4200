// Every failure a user can reach from the command line says why on
// standard error: one table of mistakes over all commands, each with the
// result it must give.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "support/boot_image.h"
#include "support/bootloader.h"
#include "support/files.h"
#include "support/run.h"
#include "support/temp_dir.h"
#include "support/test_keys.h"

namespace {

// Every file below `dir` with its bytes.
std::map<std::string, Bytes> contents_of(const std::filesystem::path& dir) {
    std::map<std::string, Bytes> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
        if (entry.is_regular_file()) files[entry.path().string()] = read_file(entry.path().string());
    }
    return files;
}

void put_le32(Bytes& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b.at(at + i) = static_cast<std::uint8_t>(v >> (8 * i));
}

class FailureReasonsTest : public ::testing::Test {
protected:
    TempDir dir;
    KeyFiles keys = make_key_files(dir.path().string());
    std::string none = dir.file("none.bin");
    std::string out = dir.file("out.bin");
    std::string aes = dir.file("aes.bin");
    std::string garbage = dir.file("garbage.bin");
    std::string boot = write_plain_bootloader(dir.file("boot.bin"), counting_bytes(1000),
                                              {counting_bytes(300, 1)});
    std::string image;

    void SetUp() override {
        write_file(aes, counting_bytes(32, 9));
        write_file(garbage, counting_bytes(100, 3));
        std::filesystem::create_directories(dir.file("img"));
        image = make_boot_image(dir.file("img"), counting_bytes(3000, 2), counting_bytes(500, 3),
                                std::nullopt);
    }

    // A file `name` holding `bytes`; its path.
    std::string file(const std::string& name, const Bytes& bytes) {
        write_file(dir.file(name), bytes);
        return dir.file(name);
    }
    // The boot image with the 32-bit field at `at` set to `value`.
    std::string patched_image(const std::string& name, std::size_t at, std::uint32_t value) {
        Bytes b = read_file(image);
        put_le32(b, at, value);
        return file(name, b);
    }
};

struct Case {
    const char* what;
    std::function<std::vector<std::string>()> args;
    int result;
};

TEST_F(FailureReasonsTest, EveryReachableFailureSaysWhyOnStandardError) {
    const std::string zud_short = file("short.zud", slice(read_file(keys.user_key), 0, 6975));
    const std::string aes_short = file("aes31.bin", counting_bytes(31));
    const std::string km_short = file("km-short.bin", slice(read_file(keys.keymax), 0, 2263));
    Bytes bad_signature = read_file(keys.keymax);
    bad_signature.at(16 + 64 + 10) ^= 0x01;  // a byte of the keymax's signature
    const std::string km_bad_signature = file("km-badsig.bin", bad_signature);
    Bytes damaged_key = read_file(keys.user1);
    damaged_key.at(5 * 552 + 10) ^= 0x01;  // a byte of DP: the private half no longer matches
    const std::string user_damaged = file("damaged.key", damaged_key);
    const std::string odd = file("odd.bin", counting_bytes(100));
    const std::string data = file("data.bin", counting_bytes(4096));
    const std::string bad_fip = file("badfip.bin", counting_bytes(49152 + 512, 5));
    const std::string long_name = dir.file(std::string(250, 'n'));
    write_file(long_name, read_file(boot));
    const std::string missing_dir_out = dir.file("no-such-dir/out.bin");
    const std::string password = file("password.txt", {'0', '1', '2', '3', '4', '5', '6', '7', '8', '9',
                                                       'a', 'b', 'c', 'd', 'e', 'f', '\n'});

    const std::vector<Case> cases = {
        // --keysig
        {"keysig alone", [&] { return std::vector<std::string>{"--keysig"}; }, 3105},
        {"keysig missing key file", [&] { return std::vector<std::string>{"--keysig", "--rkey1", none, "--ukey1", keys.user1, "--skey", keys.root, "--output", out}; }, 3105},
        {"keysig no rkey1", [&] { return std::vector<std::string>{"--keysig", "--ukey1", keys.user1, "--skey", keys.root, "--output", out}; }, 3105},
        {"keysig garbage key", [&] { return std::vector<std::string>{"--keysig", "--rkey1", keys.root, "--rkey2", garbage, "--ukey1", keys.user1, "--skey", keys.root, "--output", out}; }, 3107},
        {"keysig signer not root", [&] { return std::vector<std::string>{"--keysig", "--rkey1", keys.root, "--ukey1", keys.user1, "--skey", keys.user1, "--output", out}; }, 3109},
        {"keysig no skey", [&] { return std::vector<std::string>{"--keysig", "--rkey1", keys.root, "--ukey1", keys.user1, "--output", out}; }, -1},
        {"keysig no output", [&] { return std::vector<std::string>{"--keysig", "--rkey1", keys.root, "--ukey1", keys.user1, "--skey", keys.root}; }, -1},
        {"keysig unwritable output", [&] { return std::vector<std::string>{"--keysig", "--rkey1", keys.root, "--ukey1", keys.user1, "--skey", keys.root, "--output", missing_dir_out}; }, -1},
        // --keybnd
        {"keybnd no ukey", [&] { return std::vector<std::string>{"--keybnd", "--rootkeymax", keys.keymax, "--output", out}; }, -1},
        {"keybnd missing keymax", [&] { return std::vector<std::string>{"--keybnd", "--ukey", keys.user1, "--rootkeymax", none, "--output", out}; }, -1},
        {"keybnd garbage ukey", [&] { return std::vector<std::string>{"--keybnd", "--ukey", garbage, "--rootkeymax", keys.keymax, "--output", out}; }, -1},
        {"keybnd short keymax", [&] { return std::vector<std::string>{"--keybnd", "--ukey", keys.user1, "--rootkeymax", km_short, "--output", out}; }, -1},
        {"keybnd not first user key", [&] { return std::vector<std::string>{"--keybnd", "--ukey", keys.user2, "--rootkeymax", keys.keymax, "--output", out}; }, 3124},
        {"keybnd keymax signature broken", [&] { return std::vector<std::string>{"--keybnd", "--ukey", keys.user1, "--rootkeymax", km_bad_signature, "--output", out}; }, 3126},
        {"keybnd aes unreadable", [&] { return std::vector<std::string>{"--keybnd", "--ukey", keys.user1, "--rootkeymax", keys.keymax, "--aeskey", none, "--output", out}; }, 3121},
        {"keybnd aes short", [&] { return std::vector<std::string>{"--keybnd", "--ukey", keys.user1, "--rootkeymax", keys.keymax, "--aeskey", aes_short, "--output", out}; }, -1},
        {"keybnd damaged key", [&] { return std::vector<std::string>{"--keybnd", "--ukey", user_damaged, "--rootkeymax", keys.keymax, "--output", out}; }, 3123},
        {"keybnd output is input", [&] { return std::vector<std::string>{"--keybnd", "--ukey", keys.user1, "--rootkeymax", keys.keymax, "--output", keys.keymax}; }, -1},
        {"keybnd unwritable output", [&] { return std::vector<std::string>{"--keybnd", "--ukey", keys.user1, "--rootkeymax", keys.keymax, "--output", missing_dir_out}; }, -1},
        // --bootsig
        {"bootsig alone", [&] { return std::vector<std::string>{"--bootsig"}; }, 5393},
        {"bootsig missing input", [&] { return std::vector<std::string>{"--bootsig", "--input", none}; }, 5413},
        {"bootsig no input", [&] { return std::vector<std::string>{"--bootsig", "--output", out}; }, 5413},
        {"bootsig zuduserkey only", [&] { return std::vector<std::string>{"--bootsig", "--zuduserkey", keys.user_key}; }, 5413},
        {"bootsig part of a set", [&] { return std::vector<std::string>{"--bootsig", "--input", boot, "--aeskey", aes}; }, 5415},
        {"bootsig long name", [&] { return std::vector<std::string>{"--bootsig", "--input", long_name}; }, 4671},
        {"bootsig output is input", [&] { return std::vector<std::string>{"--bootsig", "--input", boot, "--output", boot}; }, 4673},
        {"bootsig short zud", [&] { return std::vector<std::string>{"--bootsig", "--input", boot, "--zuduserkey", zud_short, "--output", out}; }, 4762},
        {"bootsig short aes", [&] { return std::vector<std::string>{"--bootsig", "--input", boot, "--userkey", keys.user1, "--rootkeymax", keys.keymax, "--aeskey", aes_short, "--output", out}; }, 4783},
        {"bootsig short keymax", [&] { return std::vector<std::string>{"--bootsig", "--input", boot, "--userkey", keys.user1, "--rootkeymax", km_short, "--aeskey", aes, "--output", out}; }, 4795},
        {"bootsig key not in keymax", [&] { return std::vector<std::string>{"--bootsig", "--input", boot, "--userkey", keys.root, "--rootkeymax", keys.keymax, "--aeskey", aes, "--output", out}; }, 4805},
        {"bootsig bad fip, digest", [&] { return std::vector<std::string>{"--bootsig", "--input", bad_fip, "--output", out}; }, 4824},
        {"bootsig bad fip, signing", [&] { return std::vector<std::string>{"--bootsig", "--input", bad_fip, "--zuduserkey", keys.user_key, "--output", out}; }, 4854},
        {"bootsig garbage user key", [&] { return std::vector<std::string>{"--bootsig", "--input", boot, "--userkey", garbage, "--rootkeymax", keys.keymax, "--aeskey", aes, "--output", out}; }, 4854},
        {"bootsig unwritable output", [&] { return std::vector<std::string>{"--bootsig", "--input", boot, "--output", missing_dir_out}; }, 4738},
        // --imgsig
        {"imgsig no input", [&] { return std::vector<std::string>{"--imgsig", "--zuduserkey", keys.user_key}; }, 5652},
        {"imgsig missing input", [&] { return std::vector<std::string>{"--imgsig", "--input", none}; }, 5652},
        {"imgsig two keys", [&] { return std::vector<std::string>{"--imgsig", "--input", image, "--zuduserkey", keys.user_key, "--userkey", keys.user1}; }, 5747},
        {"imgsig key pair incomplete", [&] { return std::vector<std::string>{"--imgsig", "--input", image, "--userkey", keys.user1}; }, 5746},
        {"imgsig output is input", [&] { return std::vector<std::string>{"--imgsig", "--input", image, "--output", image}; }, 5694},
        {"imgsig unwritable output", [&] { return std::vector<std::string>{"--imgsig", "--input", image, "--output", missing_dir_out}; }, 5702},
        {"imgsig short input", [&] { return std::vector<std::string>{"--imgsig", "--input", odd}; }, 5709},
        {"imgsig not a boot image", [&] { return std::vector<std::string>{"--imgsig", "--input", data}; }, 5715},
        {"imgsig page size", [&] { return std::vector<std::string>{"--imgsig", "--input", patched_image("page.img", 36, 4096)}; }, 5723},
        {"imgsig parts past end", [&] { return std::vector<std::string>{"--imgsig", "--input", patched_image("past.img", 8, 1u << 30)}; }, 5727},
        {"imgsig header version", [&] { return std::vector<std::string>{"--imgsig", "--input", patched_image("v3.img", 40, 3)}; }, 5735},
        {"imgsig command line in the way", [&] { return std::vector<std::string>{"--imgsig", "--input", patched_image("cmd.img", 1100, 0x41414141), "--zuduserkey", keys.user_key}; }, 5739},
        {"imgsig short zud", [&] { return std::vector<std::string>{"--imgsig", "--input", image, "--zuduserkey", zud_short}; }, 5744},
        {"imgsig short aes", [&] { return std::vector<std::string>{"--imgsig", "--input", image, "--userkey", keys.user1, "--aeskey", aes_short}; }, 5748},
        {"imgsig short root keymax", [&] { return std::vector<std::string>{"--imgsig", "--input", image, "--userkey", keys.user1, "--aeskey", aes, "--rootkeymax", km_short}; }, 5795},
        {"imgsig key not in keymax", [&] { return std::vector<std::string>{"--imgsig", "--input", image, "--userkey", keys.root, "--aeskey", aes, "--rootkeymax", keys.keymax}; }, 5797},
        {"imgsig garbage user key", [&] { return std::vector<std::string>{"--imgsig", "--input", image, "--userkey", garbage, "--aeskey", aes}; }, 5756},
        // --upgsig
        {"upgsig bad option", [&] { return std::vector<std::string>{"--upgsig", "--input", data, "--zuduserkey", keys.user_key, "--option", "check"}; }, 4117},
        {"upgsig missing input", [&] { return std::vector<std::string>{"--upgsig", "--input", none, "--zuduserkey", keys.user_key}; }, 4115},
        {"upgsig odd size", [&] { return std::vector<std::string>{"--upgsig", "--input", odd, "--zuduserkey", keys.user_key}; }, 4115},
        {"upgsig two keys", [&] { return std::vector<std::string>{"--upgsig", "--input", data, "--zuduserkey", keys.user_key, "--userkey", keys.user1}; }, 4031},
        {"upgsig no input", [&] { return std::vector<std::string>{"--upgsig", "--zuduserkey", keys.user_key}; }, 4013},
        {"upgsig input is key", [&] { return std::vector<std::string>{"--upgsig", "--input", keys.user_key, "--zuduserkey", keys.user_key}; }, 4021},
        {"upgsig no key", [&] { return std::vector<std::string>{"--upgsig", "--input", data}; }, 4029},
        {"upgsig garbage key", [&] { return std::vector<std::string>{"--upgsig", "--input", data, "--userkey", garbage}; }, 4029},
        {"upgsig check short file", [&] { return std::vector<std::string>{"--upgsig", "--input", file("tiny.bin", counting_bytes(32)), "--zuduserkey", keys.user_key, "--option", "chk"}; }, 4048},
        {"upgsig check unsigned file", [&] { return std::vector<std::string>{"--upgsig", "--input", data, "--zuduserkey", keys.user_key, "--option", "chk"}; }, 4074},
        // --mkpsd, --mkcusid
        {"mkpsd no password", [&] { return std::vector<std::string>{"--mkpsd", "--option", "usb", "--output", out}; }, 4325},
        {"mkpsd two passwords", [&] { return std::vector<std::string>{"--mkpsd", "--password-file", password, "--password", "0123456789abcdef", "--option", "usb", "--output", out}; }, 4328},
        {"mkpsd unreadable password file", [&] { return std::vector<std::string>{"--mkpsd", "--password-file", none, "--option", "usb", "--output", out}; }, 4327},
        {"mkpsd short password", [&] { return std::vector<std::string>{"--mkpsd", "--password", "short", "--option", "usb", "--output", out}; }, 4330},
        {"mkpsd no interface", [&] { return std::vector<std::string>{"--mkpsd", "--password-file", password, "--output", out}; }, 4345},
        {"mkpsd bad interface", [&] { return std::vector<std::string>{"--mkpsd", "--password-file", password, "--option", "serial", "--output", out}; }, 4349},
        {"mkpsd no output", [&] { return std::vector<std::string>{"--mkpsd", "--password-file", password, "--option", "usb"}; }, 4416},
        {"mkpsd unwritable output", [&] { return std::vector<std::string>{"--mkpsd", "--password-file", password, "--option", "usb", "--output", missing_dir_out}; }, 4422},
        {"mkcusid no id", [&] { return std::vector<std::string>{"--mkcusid", "--output", out}; }, 4513},
        {"mkcusid bad length", [&] { return std::vector<std::string>{"--mkcusid", "--customerid", "abc", "--output", out}; }, 4518},
        {"mkcusid no output", [&] { return std::vector<std::string>{"--mkcusid", "--customerid", "abcdef"}; }, 4527},
        {"mkcusid unwritable output", [&] { return std::vector<std::string>{"--mkcusid", "--customerid", "abcdef", "--output", missing_dir_out}; }, 4533},
        // --mksd, --sha
        {"mksd no input", [&] { return std::vector<std::string>{"--mksd", "--output", out}; }, -1},
        {"mksd missing input", [&] { return std::vector<std::string>{"--mksd", "--input", none, "--output", out}; }, -1},
        {"mksd no output", [&] { return std::vector<std::string>{"--mksd", "--input", data}; }, -1},
        {"mksd same file", [&] { return std::vector<std::string>{"--mksd", "--input", data, "--output", data}; }, -1},
        {"mksd unwritable output", [&] { return std::vector<std::string>{"--mksd", "--input", data, "--output", missing_dir_out}; }, -1},
        {"sha no image", [&] { return std::vector<std::string>{"--sha"}; }, -1},
        {"sha missing image", [&] { return std::vector<std::string>{"--sha", none}; }, -1},
        {"sha short image", [&] { return std::vector<std::string>{"--sha", odd}; }, -1},
        {"sha not a boot image", [&] { return std::vector<std::string>{"--sha", data}; }, -1},
        {"sha parts past end", [&] { return std::vector<std::string>{"--sha", patched_image("sha-past.img", 8, 1u << 30)}; }, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::vector<std::string> args = c.args();
        const auto before = contents_of(dir.path());
        const ToolRun run = run_tool(args);
        EXPECT_EQ(run.result, c.result);
        EXPECT_FALSE(run.err.empty()) << run.out;
        EXPECT_TRUE(run.err.empty() || run.err.back() == '\n') << run.err;
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
        const std::string failure_line =
            "zud_encrypt_tqrr " + args[0].substr(2) + " fail[" + std::to_string(c.result) + "]!\n";
        EXPECT_TRUE(run.out.ends_with(failure_line)) << run.out;
        // Nothing written, nothing the user gave changed.
        EXPECT_TRUE(contents_of(dir.path()) == before);
        std::filesystem::remove(out);
    }
}

}  // namespace
