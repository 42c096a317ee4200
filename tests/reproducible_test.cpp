// Reproducible runs: with SOURCE_DATE_EPOCH every command writes the same
// bytes whenever it runs, and those bytes are pinned, so that reworking how
// a command writes cannot change what it writes.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "key_block.h"
#include "support/boot_image.h"
#include "support/bootloader.h"
#include "support/crypto.h"
#include "support/files.h"
#include "support/run.h"
#include "support/temp_dir.h"
#include "support/test_keys.h"

namespace {

constexpr char kEpoch[] = "1700000000";

// Sets an environment variable for the life of the scope.
class Environment {
public:
    Environment(const char* name, const char* value) : name_(name) { ::setenv(name, value, 1); }
    ~Environment() { ::unsetenv(name_); }
    Environment(const Environment&) = delete;
    Environment& operator=(const Environment&) = delete;

private:
    const char* name_;
};

class ReproducibleTest : public testing::Test {
protected:
    void SetUp() override {
        write_full_key(file("root.key"), test_key(2048, 0));
        write_full_key(file("user.key"), test_key(2048, 1));
        write_file(file("aes.bin"), counting_bytes(32, 0x33));
        write_plain_bootloader(file("boot.bin"), counting_bytes(40000, 1),
                               {counting_bytes(100000, 2), counting_bytes(600, 3), counting_bytes(33333, 4)});
        image = make_boot_image(dir.path().string(), counting_bytes(70000, 5), counting_bytes(20000, 6),
                                counting_bytes(3000, 7));
        write_file(file("upgrade.bin"), counting_bytes(50000 * 16, 8));
    }
    std::string file(const std::string& name) const { return dir.file(name); }

    void tool(std::vector<std::string> args) const {
        args.insert(args.begin(), tool_path());
        const ProcessRun run = run_process(args);
        ASSERT_EQ(run.exit_status, 0) << args[1] << ": " << run.out << run.err;
    }

    // Every command once, into directory `out`; returns each file's SHA-256.
    std::map<std::string, std::string> run_every_command(const std::string& out) const {
        const std::string o = dir.file(out);
        std::filesystem::create_directory(o);
        tool({"--keysig", "--rkey1", file("root.key"), "--ukey1", file("user.key"), "--skey", file("root.key"),
              "--output", o + "/km.bin"});
        tool({"--keybnd", "--ukey", file("user.key"), "--rootkeymax", o + "/km.bin", "--aeskey", file("aes.bin"),
              "--output", o + "/user.zud"});
        tool({"--bootsig", "--input", file("boot.bin"), "--zuduserkey", o + "/user.zud", "--aeskey",
              file("aes.bin"), "--output", o + "/boot.enc"});
        tool({"--bootsig", "--input", file("boot.bin"), "--userkey", file("user.key"), "--rootkeymax",
              o + "/km.bin", "--aeskey", file("aes.bin"), "--output", o + "/boot.sep"});
        tool({"--bootsig", "--input", file("boot.bin"), "--skipsector", "2", "--output", o + "/boot.pkg"});
        tool({"--imgsig", "--input", image, "--zuduserkey", o + "/user.zud", "--output", o + "/kernel.signed"});
        tool({"--imgsig", "--input", image, "--output", o + "/kernel.pkg"});
        std::filesystem::copy_file(file("upgrade.bin"), o + "/upgrade.bin");
        tool({"--upgsig", "--input", o + "/upgrade.bin", "--zuduserkey", o + "/user.zud"});
        tool({"--mkpsd", "--password", "0123456789abcdef", "--option", "jtagusb", "--output", o + "/unlock.bin"});
        tool({"--mkcusid", "--customerid", "ACME0001", "--output", o + "/customer.bin"});
        tool({"--mksd", "--input", image, "--output", o + "/sd.img"});
        std::map<std::string, std::string> digests;
        for (const auto& name : files_in(o)) digests[name] = to_hex(sha256_of(read_file(o + "/" + name)));
        return digests;
    }

    TempDir dir;
    std::string image;
};

TEST_F(ReproducibleTest, EveryCommandWritesTheSameBytesAtAnotherTime) {
    const Environment epoch("SOURCE_DATE_EPOCH", kEpoch);
    const auto first = run_every_command("first");
    ::sleep(1);  // the clock moves on; the outputs must not
    const auto second = run_every_command("second");
    ASSERT_EQ(first.size(), 22u);
    EXPECT_EQ(first, second);
}

// The digests of every output of one run at SOURCE_DATE_EPOCH 1700000000,
// taken when the commands were first written; any rework of a writer must
// keep them.
TEST_F(ReproducibleTest, OutputsAreTheOnesEveryWriterHasAlwaysMade) {
    const Environment epoch("SOURCE_DATE_EPOCH", kEpoch);
    const Environment zone("TZ", "Europe/Berlin");  // reproducible runs use UTC whatever TZ says
    const std::map<std::string, std::string> expected = {
#include "reproducible_digests.inc"
    };
    const auto digests = run_every_command("pinned");
    for (const auto& [name, digest] : digests) {
        const auto it = expected.find(name);
        EXPECT_TRUE(it != expected.end() && it->second == digest) << "{\"" << name << "\", \"" << digest << "\"},";
    }
    EXPECT_EQ(digests.size(), expected.size());
}

TEST_F(ReproducibleTest, EncryptedIvPrefixStaysAsSecretAsTheAesKey) {
    const Environment epoch("SOURCE_DATE_EPOCH", kEpoch);
    write_file(file("other-aes.bin"), counting_bytes(32, 0x44));
    const std::string km = file("km.bin");
    tool({"--keysig", "--rkey1", file("root.key"), "--ukey1", file("user.key"), "--skey", file("root.key"),
          "--output", km});
    Bytes prefixes[2];
    const char* keys[] = {"aes.bin", "other-aes.bin"};
    for (int i = 0; i < 2; ++i) {
        const std::string out = file(std::string("boot-") + keys[i]);
        tool({"--bootsig", "--input", file("boot.bin"), "--userkey", file("user.key"), "--rootkeymax", km,
              "--aeskey", file(keys[i]), "--output", out});
        prefixes[i] = slice(aes256_cbc_decrypt(read_file(file(keys[i])).data(), slice(read_file(out), 0, 49152)), 0, 16);
    }
    EXPECT_NE(prefixes[0], prefixes[1]);
    // Not the seeded random source's bytes either.
    srandom(1700000000u);
    Bytes drawn(16);
    for (auto& b : drawn) b = static_cast<std::uint8_t>(std::rand() & 0xFF);
    EXPECT_NE(prefixes[0], drawn);
}

// The timestamp of a key header is the epoch's UTC date and time, whatever
// year it names: the last second a calendar year still fits an int is
// written with all its digits.
TEST(ReproducibleTimestampTest, TimestampIsTheEpochsDateInUtc) {
    const std::pair<const char*, const char*> cases[] = {
        {"1700000000", "20231114221320"},
        {"0", "19700101000000"},
        {"67768036191676799", "2147485547123123"},
    };
    for (const auto& [epoch, expected] : cases) {
        SCOPED_TRACE(epoch);
        const Environment set("SOURCE_DATE_EPOCH", epoch);
        std::array<std::uint8_t, kTimestampSize> stamp{};
        zud_make_timestamp(stamp);
        const std::string text(stamp.begin(), stamp.end());
        EXPECT_EQ(text.substr(0, std::strlen(expected)), expected);
    }
}

TEST_F(ReproducibleTest, AnEpochThatIsNotANumberIsRefused) {
    for (const char* bad : {"", "-1", "1.5", "12a", " 12", "99999999999999999999999"}) {
        SCOPED_TRACE(bad);
        const Environment epoch("SOURCE_DATE_EPOCH", bad);
        const ProcessRun run = run_process({tool_path(), "--mksd", "--input", image, "--output", file("x")});
        EXPECT_EQ(run.exit_status, 2);
        EXPECT_NE(run.err.find("SOURCE_DATE_EPOCH"), std::string::npos) << run.err;
        EXPECT_FALSE(file_exists(file("x")));
    }
}

}  // namespace
