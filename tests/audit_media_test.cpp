// zud_keytool verify over the boot media of a signed bootloader: the SD card
// image and the USB pair that --bootsig writes beside it, and --mksd images.
// Each verifies as written, a flipped byte in the bootloader it carries
// fails naming the region at its offset in the medium, a medium that is not
// its bootloader's exact copy fails, and a USB part without its sibling is
// not taken as verified.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "bootsig.h"
#include "support/boot_image.h"
#include "support/bootloader.h"
#include "support/files.h"
#include "support/run.h"
#include "support/temp_dir.h"

namespace {

// Three signed bootloaders (plain, encrypted, digest mode) with their
// variants, an older bootloader's, and --mksd images of a bootloader and of
// a signed kernel image; made once for the suite.
class Media {
public:
    Media() {
        keys = make_key_files(dir.path().string());
        write_file(file("aes.bin"), counting_bytes(32, 0x61));
        const std::string boot = write_plain_bootloader(file("input.bin"), counting_bytes(30000, 3),
                                                        {counting_bytes(70000, 1), counting_bytes(500, 2)});
        run({"--bootsig", "--input", boot, "--zuduserkey", keys.user_key, "--output", file("signed.bin")});
        run({"--bootsig", "--input", boot, "--zuduserkey", keys.user_key, "--aeskey", file("aes.bin"), "--output",
             file("enc.bin")});
        run({"--bootsig", "--input", boot, "--output", file("pkg.bin")});
        const std::string older = write_plain_bootloader(file("older-input.bin"), counting_bytes(20000, 9),
                                                         {counting_bytes(40000, 8)});
        run({"--bootsig", "--input", older, "--zuduserkey", keys.user_key, "--output", file("older.bin")});
        run({"--mksd", "--input", file("signed.bin"), "--output", file("signed.img")});
        const std::string image = make_boot_image(dir.path().string(), counting_bytes(9000, 4),
                                                  counting_bytes(3000, 5), counting_bytes(40, 6));
        run({"--imgsig", "--input", image, "--zuduserkey", keys.user_key, "--output", file("kernel.signed")});
        run({"--mksd", "--input", file("kernel.signed"), "--output", file("kernel.img")});
    }
    std::string file(const std::string& name) const { return dir.file(name); }

    TempDir dir;
    KeyFiles keys;

private:
    static void run(const std::vector<std::string>& args) { run_tool_or_throw(args); }
};

class AuditMediaTest : public testing::Test {
protected:
    static void SetUpTestSuite() { media = new Media(); }
    static void TearDownTestSuite() {
        delete media;
        media = nullptr;
    }
    const Media& m() const { return *media; }

    // Copies `names` from the suite's files into the scratch directory.
    void copy(const std::vector<std::string>& names) const {
        for (const std::string& n : names) write_file(scratch.file(n), read_file(m().file(n)));
    }
    // verify FILE anchored to the test keymax's root, with the user key
    // (and so the AES key) for the files that need it.
    ProcessRun verify(const std::string& path, bool json = false) const {
        std::vector<std::string> args{keytool_path(), "verify", path, "--expect-root", root_digest_of(m().keys.keymax)};
        const std::string name = std::filesystem::path(path).filename().string();
        if (name.starts_with("enc.bin") || name.starts_with("kernel")) {
            args.insert(args.end(), {"--user-key", m().keys.user_key});
        }
        if (json) args.push_back("--json");
        return run_process(args);
    }
    // The ids of the checks that did not pass.
    static std::set<std::string> problems(const nlohmann::json& report) {
        std::set<std::string> ids;
        for (const auto& c : report["checks"])
            if (c["result"] != "pass") ids.insert(c["id"].get<std::string>());
        return ids;
    }

    static Media* media;
    TempDir scratch;
};

Media* AuditMediaTest::media = nullptr;

TEST_F(AuditMediaTest, EveryVariantVerifiesAsItsKind) {
    const struct {
        const char* name;
        const char* kind;
        const char* held;  // the kind inside an SD card image
    } cases[] = {
        {"signed.bin.sd.bin", "sd_image", "bootloader"},
        {"signed.bin.usb.bl2", "usb_bl2", nullptr},
        {"signed.bin.usb.tpl", "usb_tpl", nullptr},
        {"enc.bin.sd.bin", "sd_image", "encrypted_bootloader"},
        {"enc.bin.usb.bl2", "usb_bl2", nullptr},
        {"enc.bin.usb.tpl", "usb_tpl", nullptr},
        {"pkg.bin.sd.bin", "sd_image", "bootloader"},
        {"pkg.bin.usb.bl2", "usb_bl2", nullptr},
        {"pkg.bin.usb.tpl", "usb_tpl", nullptr},
        {"signed.img", "sd_image", "bootloader"},
        {"kernel.img", "sd_image", "signed_kernel_image"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const ProcessRun run = verify(m().file(c.name), true);
        EXPECT_EQ(run.exit_status, 0) << run.out << run.err;
        const auto report = nlohmann::json::parse(run.out);
        EXPECT_EQ(report["kind"], c.kind);
        EXPECT_TRUE(problems(report).empty()) << run.out;
        if (c.held != nullptr) {
            EXPECT_EQ(report["sections"][0]["fields"]["held_kind_id"], c.held);
        }
    }
}

TEST_F(AuditMediaTest, SdImageChecksAreTheHeldFilesAt512On) {
    // The same checks as the bare file, each 512 bytes further on; those of
    // the keymax in force (--user-key) are in that file and stay put.
    const struct {
        const char* bare;
        const char* image;
    } cases[] = {{"signed.bin", "signed.img"}, {"kernel.signed", "kernel.img"}, {"enc.bin", "enc.bin.sd.bin"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.image);
        const auto bare = nlohmann::json::parse(verify(m().file(c.bare), true).out)["checks"];
        auto image = nlohmann::json::parse(verify(m().file(c.image), true).out)["checks"];
        if (image.back()["id"] == "media.same_as_bootloader") image.erase(image.size() - 1);
        ASSERT_EQ(image.size(), bare.size());
        for (std::size_t i = 0; i < bare.size(); ++i) {
            const std::string id = bare[i]["id"];
            SCOPED_TRACE(id);
            EXPECT_EQ(image[i]["id"], id);
            if (bare[i]["offset"].is_null() || id.starts_with("given_")) {
                EXPECT_EQ(image[i]["offset"], bare[i]["offset"]);
            } else {
                EXPECT_EQ(image[i]["offset"], bare[i]["offset"].get<std::uint64_t>() + 512);
            }
        }
    }
}

TEST_F(AuditMediaTest, AFlippedByteFailsNamingTheRegionAtItsOffsetInTheMedium) {
    const std::uint64_t tpl_size = size_of(m().file("signed.bin.usb.tpl"));
    const struct {
        const char* name;
        std::vector<std::string> beside;  // copied next to it, as --bootsig leaves them
        std::uint64_t at;
        const char* region;  // "what at offset"
    } cases[] = {
        // SD card images: offsets in the image, 512 on from the bootloader's.
        {"signed.bin.sd.bin", {"signed.bin"}, 512 + 10000, "BL2 block signed by a key of the user key matrix at 2776"},
        {"signed.bin.sd.bin", {"signed.bin"}, 512 + 65536 + 2000, "stage 0 signature at 66048"},
        {"signed.img", {}, 512 + 65536 + 81920 + 100, "stage 1 signature at 147968"},
        {"enc.bin.sd.bin", {"enc.bin"}, 512 + 65536 + 30000, "stage 0 signature at 66048"},
        {"pkg.bin.sd.bin", {"pkg.bin"}, 512 + 30000, "BL2 block digest at 528"},
        {"kernel.img", {}, 512 + 2048 + 3000, "stage 0 (kernel) digest of its stored bytes at 2560"},
        // USB parts: offsets in the pair, the bootloader's own.
        {"signed.bin.usb.bl2", {"signed.bin.usb.tpl"}, 10000,
         "BL2 block signed by a key of the user key matrix at 2264"},
        {"signed.bin.usb.bl2", {}, 10000, "BL2 block signed by a key of the user key matrix at 2264"},
        {"signed.bin.usb.tpl", {"signed.bin.usb.bl2"}, 65536 - 49152 + 2000, "stage 0 signature at 65536"},
        {"signed.bin.usb.tpl", {"signed.bin.usb.bl2"}, tpl_size - 3, "upgrade trailer"},
        {"enc.bin.usb.bl2", {"enc.bin.usb.tpl"}, 20000, "BL2"},
        {"enc.bin.usb.tpl", {"enc.bin.usb.bl2"}, 65536 - 49152 + 30000, "stage 0 signature at 65536"},
        {"pkg.bin.usb.tpl", {"pkg.bin.usb.bl2", "pkg.bin"}, 16384 + 50000, "stage 0 digest at 65536"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " at " + std::to_string(c.at));
        std::filesystem::remove_all(scratch.path());
        std::filesystem::create_directory(scratch.path());
        copy(c.beside);
        Bytes bytes = read_file(m().file(c.name));
        bytes.at(c.at) ^= 0x20;
        write_file(scratch.file(c.name), bytes);
        const ProcessRun run = verify(scratch.file(c.name));
        EXPECT_EQ(run.exit_status, 1) << run.out;
        EXPECT_NE(run.err.find(c.region), std::string::npos) << run.err << run.out;
    }
}

TEST_F(AuditMediaTest, MediaOfAnotherBootloaderFailTheirDerivation) {
    // Each medium beside a bootloader it was not made from (an older one in
    // its place): the medium itself verifies, its derivation does not.
    const struct {
        const char* name;
        std::vector<std::string> beside;
        std::set<std::string> failed;
    } cases[] = {
        {"signed.bin.sd.bin", {}, {"media.same_as_bootloader"}},
        {"signed.bin.usb.bl2", {"signed.bin.usb.tpl"},
         {"media.usb_bl2_same_as_bootloader", "media.usb_tpl_same_as_bootloader"}},
        {"signed.bin.usb.tpl", {"signed.bin.usb.bl2"},
         {"media.usb_bl2_same_as_bootloader", "media.usb_tpl_same_as_bootloader"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        copy(c.beside);
        copy({c.name});
        write_file(scratch.file("signed.bin"), read_file(m().file("older.bin")));
        const ProcessRun run = verify(scratch.file(c.name), true);
        EXPECT_EQ(run.exit_status, 1) << run.out;
        EXPECT_EQ(problems(nlohmann::json::parse(run.out)), c.failed) << run.out;
    }
    // The older bootloader's own SD card image, renamed to stand for the
    // current one's.
    write_file(scratch.file("signed.bin"), read_file(m().file("signed.bin")));
    write_file(scratch.file("signed.bin.sd.bin"), read_file(m().file("older.bin.sd.bin")));
    const ProcessRun run = verify(scratch.file("signed.bin.sd.bin"), true);
    EXPECT_EQ(run.exit_status, 1);
    const auto report = nlohmann::json::parse(run.out);
    EXPECT_EQ(problems(report), std::set<std::string>{"media.same_as_bootloader"}) << run.out;
    EXPECT_EQ(report["checks"].back()["offset"], 512);
}

TEST_F(AuditMediaTest, AUsbFileWithoutItsSiblingIsNotVerified) {
    const struct {
        const char* name;
        bool bl2_checked;  // the BL2 area is checked from the part alone
    } cases[] = {
        {"signed.bin.usb.tpl", false},
        {"signed.bin.usb.bl2", true},
        {"enc.bin.usb.bl2", true},
        {"pkg.bin.usb.bl2", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(scratch.path());
        std::filesystem::create_directory(scratch.path());
        copy({c.name});
        const ProcessRun run = verify(scratch.file(c.name), true);
        EXPECT_EQ(run.exit_status, 1) << run.out;
        const auto report = nlohmann::json::parse(run.out);
        EXPECT_EQ(problems(report), std::set<std::string>{"media.usb_pair"}) << run.out;
        bool bl2_checked = false;
        for (const auto& check : report["checks"]) {
            if (check["id"] == "bl2.signature" || check["id"] == "bl2.digest") bl2_checked = check["result"] == "pass";
            EXPECT_FALSE(check["id"].get<std::string>().starts_with("fip_stage_")) << check.dump();
        }
        EXPECT_EQ(bl2_checked, c.bl2_checked);
        const std::string name = c.name;
        const std::string stem = name.substr(0, name.size() - 8);
        const std::string sibling = stem + (name.ends_with(".usb.tpl") ? ".usb.bl2" : ".usb.tpl");
        EXPECT_NE(run.err.find(scratch.file(sibling) + " is missing"), std::string::npos) << run.err;
    }
}

TEST_F(AuditMediaTest, UsbBl2OfAShortFileIsItsBytesAndThenZeros) {
    // A file shorter than the BL2 area: its .usb.bl2 holds it and zeros,
    // its .usb.tpl nothing. Neither part is a bootloader, but the
    // derivation of each is checked against the file.
    const std::string source = scratch.file("short.bin");
    write_file(source, counting_bytes(1000, 1));
    ASSERT_EQ(zud_uboot_process(source.c_str()), 0);
    const Bytes bl2 = read_file(source + ".usb.bl2");
    const struct {
        const char* what;
        std::optional<std::size_t> flip;
        const char* bl2_result;
    } cases[] = {
        {"as written", std::nullopt, "pass"},
        {"a byte of the file", 999, "fail"},
        {"a byte of the zeros", 30000, "fail"},
        {"the last byte", 49151, "fail"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes part = bl2;
        if (c.flip) part.at(*c.flip) ^= 1;
        write_file(source + ".usb.bl2", part);
        const ProcessRun run = verify(source + ".usb.bl2", true);
        EXPECT_EQ(run.exit_status, 1);  // no BL2 area in it
        std::map<std::string, nlohmann::json> by_id;
        const auto report = nlohmann::json::parse(run.out);
        for (const auto& check : report["checks"]) by_id[check["id"].get<std::string>()] = check;
        EXPECT_EQ(by_id["media.usb_bl2_same_as_bootloader"]["result"], c.bl2_result) << run.out;
        if (c.flip) {
            EXPECT_EQ(by_id["media.usb_bl2_same_as_bootloader"]["offset"], *c.flip);
        }
        EXPECT_EQ(by_id["media.usb_tpl_same_as_bootloader"]["result"], "pass") << run.out;
    }
}

}  // namespace
