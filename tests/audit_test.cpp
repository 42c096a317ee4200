// zud_keytool verify and info over every file the tool writes: each passes
// as written, a flipped byte in each checked region fails naming that
// region, and the records the writers use read their own output back.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "bl2_area.h"
#include "bootsig.h"
#include "efuse_pattern.h"
#include "fip_toc.h"
#include "builtin.h"
#include "image_header.h"
#include "imgsig.h"
#include "key_block.h"
#include "key_matrix.h"
#include "keymax.h"
#include "keysig.h"
#include "user_key_file.h"
#include "device_packages.h"
#include "packages.h"
#include "rsa.h"
#include "stage.h"
#include "upgsig.h"
#include "support/artefacts.h"
#include "support/boot_image.h"
#include "support/bootloader.h"
#include "support/crypto.h"
#include "support/files.h"
#include "support/run.h"
#include "support/temp_dir.h"
#include "support/test_keys.h"

namespace {

// Every kind of file the tool writes, made once for the suite, and a
// kernel image signed by the root key, which is no user key of the keymax,
// with the AES key the zud_user_key file carries.
class AuditArtefacts : public Artefacts {
public:
    AuditArtefacts() {
        const Bytes bound = read_file(keys.user_key);
        write_file(file("bound-aes.bin"), slice(bound, bound.size() - 32, 32));
        const std::string image = make_boot_image(dir.path().string(), counting_bytes(9000, 4),
                                                  counting_bytes(3000, 5), counting_bytes(40, 6));
        run_tool_or_throw({"--imgsig", "--input", image, "--userkey", keys.root, "--aeskey",
                           file("bound-aes.bin"), "--output", file("kernel.stranger")});
    }
};

class AuditTest : public testing::Test {
protected:
    static void SetUpTestSuite() { artefacts = new AuditArtefacts(); }
    static void TearDownTestSuite() {
        delete artefacts;
        artefacts = nullptr;
    }
    const AuditArtefacts& a() const { return *artefacts; }

    // Runs zud_keytool; a verify without an anchor of its own is anchored
    // to the test keymax's root key digest.
    ProcessRun keytool(std::vector<std::string> args) const {
        const auto has = [&](const char* option) { return std::find(args.begin(), args.end(), option) != args.end(); };
        if (!args.empty() && args[0] == "verify" && !has("--root-digests") && !has("--expect-root") &&
            !has("--efuse") && !has("--any-root")) {
            args.insert(args.end(), {"--expect-root", root_digest_of(a().keys.keymax)});
        }
        args.insert(args.begin(), keytool_path());
        return run_process(args);
    }
    // What --verify needs for each artefact besides the file.
    std::vector<std::string> extra(const std::string& name) const {
        if (name == "boot.enc") return {"--user-key", a().keys.user_key};
        if (name == "kernel.signed") return {"--user-key", a().keys.user_key};
        if (name == "upgrade.bin") return {"--key", a().file("user.pub.pem")};
        return {};
    }
    ProcessRun verify(const std::string& path, const std::string& name) const {
        std::vector<std::string> args{"verify", path};
        const auto more = extra(name);
        args.insert(args.end(), more.begin(), more.end());
        return keytool(args);
    }

    static AuditArtefacts* artefacts;
    TempDir scratch;
};

AuditArtefacts* AuditTest::artefacts = nullptr;

const char* const kEveryArtefact[] = {
    "boot.enc", "boot.enc.efuse", "boot.plain", "boot.plain.efuse", "boot.pkg", "kernel.signed",
    "kernel.pkg", "upgrade.bin", "unlock.bin", "customer.bin", "km.bin", "user.zud",
};

TEST_F(AuditTest, EveryArtefactVerifiesAsWritten) {
    for (const char* name : kEveryArtefact) {
        SCOPED_TRACE(name);
        const ProcessRun run = verify(a().file(name), name);
        EXPECT_EQ(run.exit_status, 0) << run.out << run.err;
        EXPECT_NE(run.out.find(": verified\n"), std::string::npos) << run.out;
        EXPECT_EQ(run.out.find("FAIL"), std::string::npos) << run.out;
    }
}

TEST_F(AuditTest, WhatOnceVerifiedWrongNowFailsNamingTheProblem) {
    const std::string digest1 = to_hex(public_key_digest_of(test_key(2048, 1)));
    const std::string digest2 = to_hex(public_key_digest_of(test_key(2048, 2)));
    const std::string root_key = to_hex(public_key_digest_of(test_key(2048, 0)));
    const struct {
        const char* name;
        std::vector<std::string> args;
        std::vector<std::string> said;  // each in the failure line
    } cases[] = {
        // aes.bin is not the key the bootloader was encrypted with (that is
        // the one the zud_user_key file carries).
        {"wrong AES key and an upgrade key", {"boot.enc", "--aes-key", "aes.bin", "--key", "user.pub.pem"},
         {"the AES key does not decrypt this bootloader (BL2 area does not decode)"}},
        {"wrong AES key alone", {"boot.enc", "--aes-key", "aes.bin"},
         {"the AES key does not decrypt this bootloader (BL2 area does not decode)"}},
        {"kernel image signed by a key outside the keymax", {"kernel.stranger", "--user-key", "user.zud"},
         {"signer is a key of the keymax's user key matrix", root_key, "not in the user key matrix"}},
        {"kernel image without a keymax to pin its signer", {"kernel.signed", "--aes-key", "bound-aes.bin"},
         {"give --user-key or --keymax"}},
        {"upgrade file checked with another key", {"upgrade.bin", "--key", "user2.key"},
         {"signed by another key", digest2}},
        {"bootloader trailer checked with another key", {"boot.plain", "--key", "user2.key"},
         {"signed by another key", digest2, "signed by " + digest1}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args{"verify"};
        for (const std::string& word : c.args) {
            args.push_back(std::filesystem::exists(a().file(word)) ? a().file(word) : word);
        }
        const ProcessRun run = keytool(args);
        EXPECT_EQ(run.exit_status, 1) << run.out << run.err;
        EXPECT_EQ(run.out.find(": verified"), std::string::npos) << run.out;
        for (const std::string& words : c.said) EXPECT_NE(run.err.find(words), std::string::npos) << run.err;
    }
    // The same kernel image with its own keymax's user key verifies.
    EXPECT_EQ(keytool({"verify", a().file("kernel.signed"), "--user-key", a().keys.user_key}).exit_status, 0);
}

TEST_F(AuditTest, InfoShowsEachDecryptedPayloadsDigestAndWhoSignedIt) {
    const auto section_field = [](const nlohmann::json& report, const std::string& id, const char* key) {
        for (const auto& s : report["sections"]) {
            if (s["id"] == id) return s["fields"].value(key, std::string());
        }
        return std::string();
    };
    const std::string user1 = to_hex(public_key_digest_of(test_key(2048, 1)));
    const struct {
        const char* file;
        const char* section;
        Bytes input;
    } cases[] = {
        {"boot.enc", "fip_stage_0", counting_bytes(70000, 1)},
        {"boot.enc", "fip_stage_1", counting_bytes(500, 2)},
        {"boot.plain", "fip_stage_0", counting_bytes(70000, 1)},
        {"kernel.signed", "stage_0", counting_bytes(9000, 4)},
        {"kernel.signed", "stage_1", counting_bytes(3000, 5)},
        {"kernel.signed", "stage_2", counting_bytes(40, 6)},
        {"kernel.pkg", "stage_1", counting_bytes(3000, 5)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.file) + " " + c.section);
        const ProcessRun info = keytool({"info", "--json", a().file(c.file), "--user-key", a().keys.user_key});
        ASSERT_EQ(info.exit_status, 0) << info.err;
        const auto report = nlohmann::json::parse(info.out);
        EXPECT_EQ(section_field(report, c.section, "payload_sha256"), to_hex(sha256_of(c.input))) << info.out;
    }
    // Every signature of the bootloader names user key 1 (the keymax's, root key 1).
    const auto report = nlohmann::json::parse(
        keytool({"info", "--json", a().file("boot.enc"), "--user-key", a().keys.user_key}).out);
    EXPECT_EQ(section_field(report, "signers", "bl2_signature"), "key " + user1 + ", 2048-bit (user key 1)");
    EXPECT_EQ(section_field(report, "signers", "fip_stage_1_signature"), "key " + user1 + ", 2048-bit (user key 1)");
    EXPECT_NE(section_field(report, "signers", "keymax_signature").find("(root key 1)"), std::string::npos);
    // A kernel image shows the key digest whose SHA-256 is its key_hash.
    const auto kernel = nlohmann::json::parse(
        keytool({"info", "--json", a().file("kernel.signed"), "--user-key", a().keys.user_key}).out);
    EXPECT_EQ(section_field(kernel, "image_security_header", "signer_key_digest"), user1);
    EXPECT_EQ(section_field(kernel, "stage_0", "key_hash"),
              section_field(kernel, "image_security_header", "key_hash_of_signer"));
}

TEST_F(AuditTest, VerifyNeedsATrustAnchorOrSaysItHadNone) {
    const std::string km = a().file("km.bin");
    const ProcessRun none = run_process({keytool_path(), "verify", km});
    EXPECT_EQ(none.exit_status, 1);
    EXPECT_EQ(none.out, "");
    EXPECT_NE(none.err.find("no trust anchor: give --efuse FILE, --expect-root"), std::string::npos) << none.err;
    const ProcessRun any = run_process({keytool_path(), "verify", km, "--any-root"});
    EXPECT_EQ(any.exit_status, 0) << any.err;
    EXPECT_NE(any.out.find(km + ": verified against no root\n"), std::string::npos) << any.out;
    // The eFuse pattern is an anchor: its root key digest, and its AES key
    // opens the encrypted bootloader.
    const ProcessRun fused = run_process({keytool_path(), "verify", a().file("boot.enc"), "--efuse",
                                          a().file("boot.enc.efuse")});
    EXPECT_EQ(fused.exit_status, 0) << fused.out << fused.err;
    EXPECT_NE(fused.out.find("root key digest is the eFuse pattern's"), std::string::npos) << fused.out;
    // The pattern of the unencrypted bootloader carries no AES key to open it.
    const ProcessRun keyless = run_process({keytool_path(), "verify", a().file("boot.enc"), "--efuse",
                                            a().file("boot.plain.efuse")});
    EXPECT_EQ(keyless.exit_status, 1) << keyless.out;
    EXPECT_NE(keyless.err.find("an encrypted bootloader needs"), std::string::npos) << keyless.err;
}

TEST_F(AuditTest, AFlippedByteFailsNamingItsRegion) {
    const std::uint64_t enc_size = size_of(a().file("boot.enc"));
    const std::uint64_t kernel_size = size_of(a().file("kernel.signed"));
    const struct {
        const char* name;
        std::uint64_t at;
        const char* region;
    } cases[] = {
        {"km.bin", 100, "keymax signature"},
        {"km.bin", 2056 + 40, "keymax signature"},
        {"user.zud", 4680 + 1848 + 20, "keymax signature"},
        {"boot.plain", 10000, "BL2 block"},
        {"boot.plain", 49152 + 16 + 16, "stage 0 place in the table"},
        {"boot.plain", 65536 + 2000, "stage 0"},
        {"boot.plain", 65536 + 81920 + 700, "stage 1"},
        {"boot.plain", 2264 + 64 + 5, "BL2 block"},
        {"boot.pkg", 30000, "BL2 block digest"},
        {"boot.pkg", 65536 + 50000, "stage 0"},
        {"boot.enc", 20000, "BL2"},
        {"boot.enc", 65536 + 30000, "stage 0"},
        {"boot.enc", enc_size - 3, "upgrade trailer"},
        {"kernel.signed", 2048 + 3000, "stage 0 (kernel) digest of its stored bytes"},
        {"kernel.signed", 1024 + 8, "image security header"},
        {"kernel.signed", 1024 + 32 + 4, "stage 0 (kernel) signature"},
        {"kernel.signed", kernel_size - 9, "upgrade trailer"},
        {"kernel.pkg", 2048 + 4000, "stage 0 (kernel) digest"},
        {"upgrade.bin", 77, "upgrade trailer"},
        {"boot.plain.efuse", 900, "signature by the built-in key"},
        {"unlock.bin", 700, "signature by the built-in key"},
        {"customer.bin", 1000, "signature by the built-in key"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " at " + std::to_string(c.at));
        Bytes bytes = read_file(a().file(c.name));
        bytes.at(c.at) ^= 0x20;
        const std::string damaged = scratch.file(c.name);
        write_file(damaged, bytes);
        const ProcessRun run = verify(damaged, c.name);
        EXPECT_EQ(run.exit_status, 1) << run.out;
        EXPECT_NE(run.err.find(c.region), std::string::npos) << run.err << run.out;
    }
}

TEST_F(AuditTest, StageSignedByAKeyOutsideTheUserKeyMatrixFails) {
    // Stage 1 of boot.plain (500 bytes) signed again by another key of the
    // same size, which stores a block of the same length in its place; the
    // upgrade trailer is made again, so the stage's signer is all that
    // differs from a file that verifies.
    const Bytes original = read_file(a().file("boot.plain"));
    const std::size_t entry = 49152 + 16 + 40;
    const std::uint64_t at = 49152 + le32_at(original, entry + 16);
    const std::uint32_t space = le32_at(original, entry + 24);
    const Bytes without_trailer = slice(original, 0, original.size() - 256);  // a 2048-bit trailer
    write_file(scratch.file("stage.bin"), counting_bytes(500, 2));
    const struct {
        const char* signer;
        const mbedtls_rsa_context& key;
        std::vector<std::string> failed;
    } cases[] = {
        {"user key 2", test_key(2048, 2), {}},
        {"the root key, outside the user key matrix", test_key(2048, 0),
         {"fip_stage_1.signature"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.signer);
        RsaKey key;
        ASSERT_EQ(mbedtls_rsa_copy(&key.ctx, &c.key), 0);
        g_nVQ_RSA_keyFormat = 0;
        std::FILE* in = std::fopen(scratch.file("stage.bin").c_str(), "rb");
        std::FILE* out = std::fopen(scratch.file("block.bin").c_str(), "wb");
        const int built = zud_sig_boot_file_buffer(in, 0, 500, nullptr, &key.ctx, out, 0);
        if (in != nullptr) std::fclose(in);
        if (out != nullptr) std::fclose(out);
        ASSERT_EQ(built, 0);
        const Bytes block = read_file(scratch.file("block.bin"));
        ASSERT_EQ(le32_at(block, 4), space);
        Bytes boot = without_trailer;
        std::copy(block.begin(), block.end(), boot.begin() + static_cast<std::ptrdiff_t>(at));
        const std::string path = scratch.file("boot.bin");
        write_file(path, boot);
        ASSERT_EQ(run_tool({"--upgsig", "--input", path, "--zuduserkey", a().keys.user_key}).result, 0);

        const ProcessRun run = keytool({"verify", "--json", path});
        EXPECT_EQ(run.exit_status, c.failed.empty() ? 0 : 1) << run.out;
        const auto report = nlohmann::json::parse(run.out);
        std::vector<std::string> failed;
        for (const auto& check : report["checks"]) {
            if (check["result"] != "pass") failed.push_back(check["id"]);
        }
        EXPECT_EQ(failed, c.failed) << run.out;
    }
}

TEST_F(AuditTest, UpgradeFilesCheckReadOnlyWithAnyPublicKeyForm) {
    const std::string file = scratch.file("upgrade.bin");
    write_file(file, read_file(a().file("upgrade.bin")));
    ASSERT_EQ(::chmod(file.c_str(), 0444), 0);
    for (const std::string& key : {a().file("user.pub.pem"), a().keys.user1, a().keys.user_key}) {
        SCOPED_TRACE(key);
        const ProcessRun run = keytool({"verify", "--key", key, file});
        EXPECT_EQ(run.exit_status, 0) << run.out << run.err;
    }
    // Another key opens the block to something else.
    const ProcessRun other = keytool({"verify", "--key", a().keys.user2, file});
    EXPECT_EQ(other.exit_status, 1);
    EXPECT_NE(other.err.find("upgrade trailer"), std::string::npos);
}

TEST_F(AuditTest, RootDigestsOneToThreeAndTheExpectedOne) {
    const std::string km = a().file("km.bin");
    const ProcessRun info = keytool({"info", km});
    const auto at = info.out.find("root_key_digest");
    ASSERT_NE(at, std::string::npos) << info.out;
    const std::string root = info.out.substr(info.out.find_first_not_of(' ', at + 15), 64);
    EXPECT_EQ(root, root_digest_of(km));
    const std::string other(64, 'a');
    EXPECT_EQ(keytool({"verify", km, "--root-digests", root}).exit_status, 0);
    EXPECT_EQ(keytool({"verify", km, "--root-digests", other + "," + root}).exit_status, 0);
    EXPECT_EQ(keytool({"verify", km, "--root-digests", other}).exit_status, 1);
    EXPECT_EQ(keytool({"verify", km, "--expect-root", root}).exit_status, 0);
    const ProcessRun wrong = keytool({"verify", a().file("boot.plain.efuse"), "--expect-root", other});
    EXPECT_EQ(wrong.exit_status, 1);
    EXPECT_NE(wrong.err.find("root key digest is the expected one"), std::string::npos) << wrong.err;
    EXPECT_EQ(keytool({"verify", km, "--root-digests", root + "," + root + "," + root + "," + root}).exit_status, 2);
    EXPECT_EQ(keytool({"verify", km, "--expect-root", "12"}).exit_status, 2);
}

TEST_F(AuditTest, InfoAndJsonShowTheSameContent) {
    const ProcessRun info = keytool({"info", "--json", a().file("boot.enc"), "--user-key", a().keys.user_key});
    ASSERT_EQ(info.exit_status, 0) << info.err;
    const auto j = nlohmann::json::parse(info.out);
    EXPECT_EQ(j["kind"], "encrypted_bootloader");
    EXPECT_FALSE(j.contains("checks"));
    const ProcessRun check = keytool({"verify", "--json", a().file("kernel.signed"), "--user-key", a().keys.user_key});
    ASSERT_EQ(check.exit_status, 0) << check.err;
    const auto v = nlohmann::json::parse(check.out);
    EXPECT_EQ(v["verified"], true);
    EXPECT_GE(v["checks"].size(), 10u);
    for (const auto& c : v["checks"]) EXPECT_EQ(c["result"], "pass") << c.dump();
    // The AES key and the password digest are never shown.
    const std::string efuse = keytool({"info", a().file("boot.enc.efuse")}).out;
    const Bytes bound_aes = slice(read_file(a().keys.user_key), 6944, 32);
    EXPECT_EQ(efuse.find(to_hex(bound_aes)), std::string::npos);
    EXPECT_NE(efuse.find("present (not shown)"), std::string::npos) << efuse;
    // Without its key an encrypted kernel image is not taken as verified.
    EXPECT_EQ(keytool({"verify", a().file("kernel.signed")}).exit_status, 1);
}

TEST_F(AuditTest, RecordsReadTheWritersOutputBack) {
    // Keymax and its matrices.
    const Bytes km = read_file(a().file("km.bin"));
    const auto keymax = decode_keymax(km);
    ASSERT_TRUE(keymax.has_value());
    EXPECT_EQ(check_key_matrix(keymax->root), nullptr);
    std::array<std::uint8_t, kKeyMatrixSize> matrix{};
    encode_key_matrix(keymax->user, matrix);
    EXPECT_EQ(Bytes(matrix.begin(), matrix.end()), slice(km, 2056, 208));
    std::array<std::uint8_t, kKeyHeaderSize> key{};
    encode_key_header(*keymax->signing_key, key);
    EXPECT_EQ(Bytes(key.begin(), key.end()), slice(km, 592, 48));
    // The table of contents of a plain bootloader.
    const Bytes boot = read_file(a().file("boot.plain"));
    const auto toc = decode_fip_toc(slice(boot, 49152, 16384), nullptr);
    ASSERT_TRUE(toc.has_value());
    ASSERT_EQ(toc->entries.size(), 2u);
    Bytes region(16384, 0);
    encode_fip_toc(*toc, region);
    EXPECT_EQ(slice(region, 0, 16 + 3 * 40), slice(boot, 49152, 16 + 3 * 40));
    // The eFuse pattern and the packages, unsealed.
    const auto payload = [&](const char* name) {
        const Bytes sealed = read_file(a().file(name));
        Bytes block(sealed.size());
        EXPECT_TRUE(zud_open_sealed(sealed, block));
        return slice(block, 656, 512);
    };
    const auto efuse = decode_efuse_pattern(payload("boot.enc.efuse"), nullptr);
    ASSERT_TRUE(efuse.has_value());
    EXPECT_TRUE(efuse->encrypted);
    EXPECT_EQ(Bytes(efuse->aes_key.begin(), efuse->aes_key.end()), slice(read_file(a().keys.user_key), 6944, 32));
    std::array<std::uint8_t, kEfusePatternSize> pattern{};
    encode_efuse_pattern(*efuse, pattern);
    EXPECT_EQ(Bytes(pattern.begin(), pattern.end()), payload("boot.enc.efuse"));
    const auto unlock = decode_password_package(payload("unlock.bin"), nullptr);
    ASSERT_TRUE(unlock.has_value());
    EXPECT_EQ(unlock->interface, PasswordInterface::kScan);
    EXPECT_EQ(decode_customer_id_package(payload("customer.bin"), nullptr)->id, "ACME01");
    // The security header of a signed kernel image.
    const Bytes kernel = read_file(a().file("kernel.signed"));
    const auto security = decode_image_security_header(slice(kernel, 0, 2048));
    ASSERT_TRUE(security.has_value());
    EXPECT_EQ(check_image_security_header(*security), nullptr);
    Bytes page = slice(kernel, 0, 2048);
    put_image_security_header(*security, page);
    EXPECT_EQ(page, slice(kernel, 0, 2048));
}

}  // namespace
