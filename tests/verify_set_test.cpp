// zud_keytool verify-set: a release set made by the tool is taken as a
// board fused with its eFuse pattern would take it, and each way a set can
// fail to belong together is named as the link it breaks.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/boot_image.h"
#include "support/bootloader.h"
#include "support/files.h"
#include "support/report_schema.h"
#include "support/run.h"
#include "support/temp_dir.h"
#include "support/test_keys.h"

namespace {

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// One release set, and the odd files the mismatches put into it.
struct SetFiles {
    TempDir dir;
    KeyFiles keys;
    std::string file(const std::string& name) const { return dir.file(name); }

    void tool(const std::vector<std::string>& args) const { run_tool_or_throw(args); }

    // Binds `key` with `keymax` and the AES key aes.bin into `out`.
    void bind(const std::string& key, const std::string& keymax, const std::string& out,
              const std::string& aes = "aes.bin") const {
        tool({"--keybnd", "--ukey", key, "--rootkeymax", keymax, "--aeskey", file(aes), "--output", out});
    }

    SetFiles() {
        keys = make_key_files(dir.path().string());
        write_file(file("aes.bin"), counting_bytes(32, 0x61));
        write_file(file("aes2.bin"), counting_bytes(32, 0x11));
        bind(keys.user1, keys.keymax, file("user.zud"));
        const std::string boot = write_plain_bootloader(file("boot.bin"), counting_bytes(30000, 3),
                                                        {counting_bytes(70000, 1), counting_bytes(500, 2)});
        tool({"--bootsig", "--input", boot, "--zuduserkey", file("user.zud"), "--aeskey", file("aes.bin"), "--output",
              file("bl.bin")});
        const std::string image = make_boot_image(dir.path().string(), counting_bytes(9000, 4),
                                                  counting_bytes(3000, 5), counting_bytes(40, 6));
        tool({"--imgsig", "--input", image, "--zuduserkey", file("user.zud"), "--output", file("img.enc")});
        // Large enough to have an encrypted bootloader's shape.
        write_file(file("up.bin"), counting_bytes(65536, 7));
        tool({"--upgsig", "--input", file("up.bin"), "--zuduserkey", file("user.zud")});
        tool({"--mkpsd", "--password", "0123456789abcdef", "--option", "scan", "--output", file("psd.bin")});

        // Another keymax: user2 its root, the root key its one user key.
        tool({"--keysig", "--rkey1", keys.user2, "--ukey1", keys.root, "--skey", keys.user2, "--output",
              file("other-km.bin")});
        bind(keys.root, file("other-km.bin"), file("other.zud"));
        tool({"--bootsig", "--input", boot, "--zuduserkey", file("other.zud"), "--aeskey", file("aes.bin"),
              "--output", file("other-root.bin")});
        tool({"--imgsig", "--input", image, "--zuduserkey", file("other.zud"), "--output", file("img-other.enc")});
        write_file(file("up-stranger.bin"), counting_bytes(65536, 7));
        tool({"--upgsig", "--input", file("up-stranger.bin"), "--zuduserkey", file("other.zud")});
        // The same root with only user1 in the user key matrix.
        tool({"--keysig", "--rkey1", keys.root, "--ukey1", keys.user1, "--skey", keys.root, "--output",
              file("narrow-km.bin")});
        bind(keys.user1, file("narrow-km.bin"), file("narrow.zud"));
        tool({"--bootsig", "--input", boot, "--zuduserkey", file("narrow.zud"), "--aeskey", file("aes.bin"),
              "--output", file("bl-narrow.bin")});
        bind(keys.user1, keys.keymax, file("user-aes2.zud"), "aes2.bin");
        tool({"--bootsig", "--input", boot, "--zuduserkey", file("user-aes2.zud"), "--aeskey", file("aes2.bin"),
              "--output", file("bl-aes2.bin")});
        tool({"--bootsig", "--input", boot, "--zuduserkey", file("user.zud"), "--output", file("bl-plain.bin")});
        // An older build of the bootloader, its SD image put where bl.bin's goes.
        const std::string older = write_plain_bootloader(file("older-input.bin"), counting_bytes(30000, 9),
                                                         {counting_bytes(70000, 8), counting_bytes(500, 2)});
        tool({"--bootsig", "--input", older, "--zuduserkey", file("user.zud"), "--aeskey", file("aes.bin"),
              "--output", file("older.bin")});
        std::filesystem::create_directory(file("stale"));
        std::filesystem::copy_file(file("bl.bin"), file("stale/bl.bin"));
        std::filesystem::copy_file(file("older.bin.sd.bin"), file("stale/bl.bin.sd.bin"));
        // Files large enough to be checked two at a time, each with its
        // trailer digest taken beside its walk.
        const std::string big = write_plain_bootloader(file("big-input.bin"), counting_bytes(30000, 3),
                                                       {counting_bytes((1 << 20) + 5000, 1), counting_bytes(500, 2)});
        tool({"--bootsig", "--input", big, "--zuduserkey", file("user.zud"), "--aeskey", file("aes.bin"), "--output",
              file("bl-big.bin")});
        const std::string big_image = make_boot_image(dir.path().string(), counting_bytes((1 << 20) + 3000, 4),
                                                      counting_bytes(3000, 5), counting_bytes(40, 6));
        tool({"--imgsig", "--input", big_image, "--zuduserkey", file("user.zud"), "--output", file("img-big.enc")});
#ifdef ZUD_OTHER_KEY_TOOL_PATH
        const ProcessRun sealed = run_process({ZUD_OTHER_KEY_TOOL_PATH, "--mkpsd", "--password", "0123456789abcdef",
                                               "--option", "scan", "--output", file("psd-other.bin")});
        if (sealed.exit_status != 0) throw std::runtime_error("the other-key tool failed: " + sealed.out + sealed.err);
#endif
    }
};

class VerifySetTest : public testing::Test {
protected:
    static void SetUpTestSuite() { set_ = new SetFiles(); }
    static void TearDownTestSuite() {
        delete set_;
        set_ = nullptr;
    }

    static ProcessRun verify_set(const std::string& efuse, const std::vector<std::string>& names,
                                 const std::vector<std::string>& options = {}) {
        std::vector<std::string> argv = {keytool_path(), "verify-set", "--efuse", set_->file(efuse)};
        argv.insert(argv.end(), options.begin(), options.end());
        for (const std::string& n : names) argv.push_back(set_->file(n));
        return run_process(argv);
    }

    static SetFiles* set_;
};

SetFiles* VerifySetTest::set_ = nullptr;

const std::vector<std::string> kReleaseSet = {"bl.bin", "bl.bin.sd.bin", "img.enc", "up.bin", "psd.bin"};

TEST_F(VerifySetTest, ReleaseSetMadeByTheToolIsVerified) {
    const ProcessRun run = verify_set("bl.bin.efuse", kReleaseSet);
    EXPECT_EQ(run.exit_status, 0) << run.out << run.err;
    EXPECT_TRUE(contains(run.out, "keymax of the set: " + set_->file("bl.bin"))) << run.out;
    EXPECT_TRUE(contains(run.out, "set: verified")) << run.out;
    EXPECT_FALSE(contains(run.out, "FAIL")) << run.out;
    EXPECT_FALSE(contains(run.out, "SKIP")) << run.out;
    // Every member was walked: the upgrade file's trailer opened under the
    // bootloader's own signer, the kernel's stages under the fused AES key.
    EXPECT_TRUE(contains(run.out, set_->file("up.bin") + ": upgrade file")) << run.out;
    EXPECT_TRUE(contains(run.out, "stage 0 (kernel) signer is a key of the keymax's user key matrix")) << run.out;
    EXPECT_TRUE(contains(run.out, "ok    its keymax is the set's")) << run.out;
    EXPECT_TRUE(contains(run.out, "ok    encrypted as the eFuse pattern asks")) << run.out;
}

struct Mismatch {
    const char* name;
    const char* efuse;
    std::vector<std::string> files;
    std::string link;  // words the verdict must hold
};

TEST_F(VerifySetTest, EachMismatchFailsNamingTheBrokenLink) {
    const std::vector<Mismatch> cases = {
        {"eFuse pattern of another root", "other-root.bin.efuse", {"bl.bin"},
         "bl.bin is made for another root than the one fused by"},
        {"bootloader encrypted with another AES key", "bl.bin.efuse", {"bl-aes2.bin"},
         "bl-aes2.bin does not decrypt with the AES key fused by"},
        {"kernel image signed by a user key of another keymax", "bl.bin.efuse", {"bl.bin", "img-other.enc"},
         "img-other.enc is signed by key " + to_hex(public_key_digest_of(test_key(2048, 0))) +
             " which is not a user key of the keymax of"},
        {"SD image holding an older bootloader", "bl.bin.efuse", {"stale/bl.bin", "stale/bl.bin.sd.bin"},
         "stale/bl.bin.sd.bin does not hold the bootloader of the set beside it"},
        {"upgrade file signed by a stranger", "bl.bin.efuse", {"bl.bin", "up-stranger.bin"},
         "up-stranger.bin is not signed by a user key of the keymax of"},
        {"two bootloaders with different keymax bytes", "bl.bin.efuse", {"bl.bin", "bl-narrow.bin"},
         "bl-narrow.bin carries another keymax than"},
        {"plain bootloader on a board fused for an encrypted one", "bl.bin.efuse", {"bl-plain.bin"},
         "asks for an encrypted bootloader and this one is plain"},
#ifdef ZUD_OTHER_KEY_TOOL_PATH
        {"package sealed by another build's built-in key", "bl.bin.efuse", {"bl.bin", "psd-other.bin"},
         "psd-other.bin is not sealed by the built-in key of this build"},
#endif
    };
    for (const Mismatch& m : cases) {
        SCOPED_TRACE(m.name);
        const ProcessRun run = verify_set(m.efuse, m.files);
        EXPECT_EQ(run.exit_status, 1) << run.out << run.err;
        const std::string verdict = run.out.substr(run.out.rfind("set: "));
        EXPECT_TRUE(contains(verdict, "set: FAILED: ")) << verdict;
        EXPECT_TRUE(contains(verdict, m.link)) << verdict;
        // The same words end standard error.
        EXPECT_TRUE(contains(run.err, m.link)) << run.err;
    }
}

TEST_F(VerifySetTest, LargeFilesAreCheckedAsWhole) {
    const std::vector<std::string> files = {"bl-big.bin", "bl-big.bin.sd.bin", "bl-big.bin.usb.bl2", "img-big.enc"};
    const ProcessRun good = verify_set("bl-big.bin.efuse", files);
    EXPECT_EQ(good.exit_status, 0) << good.out << good.err;
    EXPECT_TRUE(contains(good.out, "ok    upgrade trailer over the")) << good.out;

    // One byte changed in the first stage of the SD image's copy, and one in
    // the kernel image's last stage: each found in its own file.
    Bytes image = read_file(set_->file("bl-big.bin.sd.bin"));
    image[512 + 70000] ^= 0x55;
    write_file(set_->file("damaged.sd.bin"), image);
    Bytes kernel = read_file(set_->file("img-big.enc"));
    kernel[kernel.size() - 300] ^= 0x55;
    write_file(set_->file("damaged.enc"), kernel);
    for (const char* name : {"damaged.sd.bin", "damaged.enc"}) {
        SCOPED_TRACE(name);
        const ProcessRun bad = verify_set("bl-big.bin.efuse", {"bl-big.bin", name});
        EXPECT_EQ(bad.exit_status, 1) << bad.out;
        EXPECT_TRUE(contains(bad.out.substr(bad.out.rfind("set: ")), "set: FAILED: " + set_->file(name) + ": "))
            << bad.out;
    }
}

TEST_F(VerifySetTest, DirectoryStandsForTheToolsFilesInIt) {
    const std::string dir = set_->file("release");
    std::filesystem::create_directory(dir);
    for (const char* name : {"bl.bin", "bl.bin.efuse", "img.enc", "up.bin", "psd.bin", "boot.bin"}) {
        std::filesystem::copy_file(set_->file(name), dir + "/" + std::string(name));
    }
    const ProcessRun run = run_process({keytool_path(), "verify-set", "--efuse", dir + "/bl.bin.efuse", dir});
    EXPECT_EQ(run.exit_status, 0) << run.out << run.err;
    // The plain input is no file of the tool's: left out, and said so; the
    // eFuse pattern given is the anchor, not a member.
    EXPECT_TRUE(contains(run.out, "left out: " + dir + "/boot.bin")) << run.out;
    EXPECT_TRUE(contains(run.err, dir + "/boot.bin is left out of the set")) << run.err;
    EXPECT_FALSE(contains(run.out, "\n" + dir + "/bl.bin.efuse: ")) << run.out;
    EXPECT_TRUE(contains(run.out, dir + "/up.bin: upgrade file")) << run.out;
}

TEST_F(VerifySetTest, MembersThatCannotBeCheckedFail) {
    struct Case {
        const char* name;
        std::vector<std::string> argv_tail;
        const char* words;
    };
    const std::vector<Case> cases = {
        // A kernel image alone: no keymax to check its signer against.
        {"no keymax in the set", {set_->file("img.enc")}, "no keymax to check it against"},
        {"a file named that does not exist", {set_->file("bl.bin"), set_->file("missing.bin")}, "missing.bin"},
        {"an eFuse pattern that is not one", {"--efuse", set_->file("psd.bin")}, "is not an eFuse pattern"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> argv = {keytool_path(), "verify-set"};
        if (c.argv_tail.front() != "--efuse") argv.insert(argv.end(), {"--efuse", set_->file("bl.bin.efuse")});
        argv.insert(argv.end(), c.argv_tail.begin(), c.argv_tail.end());
        if (c.argv_tail.front() == "--efuse") argv.push_back(set_->file("bl.bin"));
        const ProcessRun run = run_process(argv);
        EXPECT_EQ(run.exit_status, 1) << run.out << run.err;
        EXPECT_TRUE(contains(run.out + run.err, c.words)) << run.out << run.err;
    }
}

TEST_F(VerifySetTest, JsonCarriesTheSameVerdictAndMatchesTheSchema) {
    const ProcessRun good = verify_set("bl.bin.efuse", kReleaseSet, {"--json"});
    const ProcessRun bad = verify_set("bl.bin.efuse", {"bl.bin", "img-other.enc"}, {"--json"});
    EXPECT_EQ(good.exit_status, 0) << good.err;
    EXPECT_EQ(bad.exit_status, 1) << bad.err;
    EXPECT_TRUE(contains(good.out, "\"verified\": true")) << good.out;
    EXPECT_TRUE(contains(bad.out, "\"verified\": false")) << bad.out;
    EXPECT_TRUE(contains(bad.out, "which is not a user key of the keymax of")) << bad.out;
    for (const std::string& error : report_schema_errors({good.out, bad.out})) EXPECT_EQ(error, "");
}

}  // namespace
