// Signing where the key lives: a signer program (over openssl pkeyutl, and
// over a SoftHSM2 token) and two-step signing give the bytes a key-file run
// gives at the same SOURCE_DATE_EPOCH; bad signers and bad signature files
// are refused with their diagnosis, and nothing is written.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include <nlohmann/json.hpp>

#include "support/boot_image.h"
#include "support/bootloader.h"
#include "support/files.h"
#include "support/run.h"
#include "support/softhsm.h"
#include "support/temp_dir.h"
#include "support/test_keys.h"

namespace {

namespace fs = std::filesystem;

// The signer of the manual: its key, then the form the tool adds.
constexpr char kSigner[] = R"(#!/bin/sh
key=$1 form=$2
case $form in
  sha256-digest) exec openssl pkeyutl -sign -inkey "$key" -pkeyopt digest:sha256 ;;
  pkcs1-block|raw-block) exec openssl pkeyutl -decrypt -inkey "$key" -pkeyopt rsa_padding_mode:none ;;
  *) echo "unknown form $form" >&2; exit 1 ;;
esac
)";

// Signers that make the usual mistakes, chosen by their first argument.
constexpr char kBadSigner[] = R"(#!/bin/sh
mode=$1 key=$2
case $mode in
  double-hash) exec openssl dgst -sha256 -sign "$key" ;;
  no-digest-info) exec openssl pkeyutl -sign -inkey "$key" ;;
  reversed) openssl pkeyutl -sign -inkey "$key" -pkeyopt digest:sha256 | perl -0777 -e 'print scalar reverse <STDIN>' ;;
  short) openssl pkeyutl -sign -inkey "$key" -pkeyopt digest:sha256 | head -c 100 ;;
  fails) echo "signer: no session" >&2; exit 1 ;;
  hangs) exec sleep 30 ;;
esac
)";

// A signer over the token: pkcs11-tool signs with CKM_RSA_PKCS (the digest
// behind its DigestInfo) or CKM_RSA_X_509 (the block as given).
constexpr char kTokenSigner[] = R"(#!/bin/sh
token=$1 id=$2 pin=$3 form=$4
sign() { pkcs11-tool --module /usr/lib/softhsm/libsofthsm2.so --token-label "$token" --id "$id" \
           --pin "$pin" --sign -m "$1" 2>/dev/null; }
case $form in
  sha256-digest) { printf '\060\061\060\015\006\011\140\206\110\001\145\003\004\002\001\005\000\004\040'; cat; } | sign RSA-PKCS ;;
  *) sign RSA-X-509 ;;
esac
)";

class SignerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ::setenv("SOURCE_DATE_EPOCH", "1700000000", 1);
        dir_ = new TempDir();
        const std::string d = dir_->path();
        keys_ = new KeyFiles(make_key_files(d));
        write_pem_key(d + "/root.pem", test_key(2048, 0), PemForm::kPkcs1);
        write_pem_key(d + "/user1.pem", test_key(2048, 1), PemForm::kPkcs1);
        write_public_pem(d + "/root.pub", test_key(2048, 0));
        write_public_pem(d + "/user1.pub", test_key(2048, 1));
        write_file(d + "/aes.bin", seeded_bytes(32, 7));
        write_file(d + "/up.bin", seeded_bytes(65536, 8));
        write_plain_bootloader(d + "/bl.bin", seeded_bytes(40000, 9), {seeded_bytes(70000, 10), seeded_bytes(5000, 11)});
        fs::create_directory(d + "/img");
        fs::copy_file(make_boot_image(d + "/img", seeded_bytes(300000, 12), seeded_bytes(90000, 13), std::nullopt),
                      d + "/boot.img");
        script("signer.sh", kSigner);
        script("bad-signer.sh", kBadSigner);
        script("token-signer.sh", kTokenSigner);
    }
    static void TearDownTestSuite() {
        delete keys_;
        delete dir_;
        ::unsetenv("SOURCE_DATE_EPOCH");
    }
    static void script(const std::string& name, const char* text) {
        const std::string path = file(name);
        std::ofstream(path) << text;
        fs::permissions(path, fs::perms::owner_all);
    }
    static std::string file(const std::string& name) { return dir_->file(name); }

    // One signing command: its words with the key option given as `key`
    // words, and the files it writes (the first is compared).
    struct Command {
        std::string name;
        std::vector<std::string> words;  // without the key
        std::string key_option;
        std::string key_file;
        std::string pem;
        std::string pub;
        std::vector<std::string> outputs;
        std::string in_place;  // a file signed in place, copied fresh for each run
    };

    static std::vector<Command> commands() {
        const std::string d = dir_->path();
        return {
            {"keysig", {"--keysig", "--rkey1", keys_->root, "--ukey1", keys_->user1, "--ukey2", keys_->user2,
                        "--output", d + "/out-km.bin"},
             "--skey", keys_->root, file("root.pem"), file("root.pub"), {d + "/out-km.bin"}, ""},
            {"bootsig", {"--bootsig", "--input", d + "/bl.bin", "--rootkeymax", keys_->keymax, "--aeskey",
                         d + "/aes.bin", "--output", d + "/out-bl.bin"},
             "--userkey", keys_->user1, file("user1.pem"), file("user1.pub"),
             {d + "/out-bl.bin", d + "/out-bl.bin.efuse", d + "/out-bl.bin.sd.bin"}, ""},
            {"imgsig", {"--imgsig", "--input", d + "/boot.img", "--aeskey", d + "/aes.bin", "--rootkeymax",
                        keys_->keymax, "--output", d + "/out-img.bin"},
             "--userkey", keys_->user1, file("user1.pem"), file("user1.pub"), {d + "/out-img.bin"}, ""},
            {"upgsig", {"--upgsig", "--input", d + "/out-up.bin"}, "--userkey", keys_->user1, file("user1.pem"),
             file("user1.pub"), {d + "/out-up.bin"}, d + "/out-up.bin"},
        };
    }

    static ProcessRun run(const Command& c, std::vector<std::string> extra) {
        if (!c.in_place.empty()) fs::copy_file(file("up.bin"), c.in_place, fs::copy_options::overwrite_existing);
        std::vector<std::string> argv{tool_path()};
        argv.insert(argv.end(), c.words.begin(), c.words.end());
        argv.insert(argv.end(), extra.begin(), extra.end());
        return run_process(argv);
    }

    // The outputs of a run, read and then removed.
    static std::vector<Bytes> take_outputs(const Command& c) {
        std::vector<Bytes> out;
        for (const auto& path : c.outputs) {
            out.push_back(file_exists(path) ? read_file(path) : Bytes{});
            fs::remove(path);
        }
        for (const char* suffix : {".efuse", ".usb.bl2", ".usb.tpl", ".sd.bin"}) fs::remove(c.outputs[0] + suffix);
        return out;
    }

    static std::vector<Bytes> key_file_outputs(const Command& c) {
        const ProcessRun r = run(c, {c.key_option, c.key_file});
        EXPECT_EQ(r.exit_status, 0) << c.name << ": " << r.err;
        return take_outputs(c);
    }

    // Signs each request in `dir` with the manual's signer, as an offline
    // machine would.
    static void sign_requests(const std::string& dir, const std::string& pem) {
        std::ifstream in(dir + "/requests.json");
        const auto j = nlohmann::json::parse(in);
        for (const auto& r : j.at("requests")) {
            if (r.value("pending", false)) continue;
            const std::string n = std::to_string(r.at("index").get<int>());
            const std::string line = file("signer.sh") + " " + pem + " " + r.at("form").get<std::string>() +
                                     " < " + dir + "/request-" + n + ".bin > " + dir + "/signature-" + n + ".bin";
            ASSERT_EQ(std::system(line.c_str()), 0) << line;
        }
    }

    static TempDir* dir_;
    static KeyFiles* keys_;
};

TempDir* SignerTest::dir_ = nullptr;
KeyFiles* SignerTest::keys_ = nullptr;

TEST_F(SignerTest, SignerProgramGivesTheKeyFileBytes) {
    for (const Command& c : commands()) {
        const auto expected = key_file_outputs(c);
        for (const char* form : {"sha256-digest", "pkcs1-block"}) {
            const ProcessRun r = run(c, {"--signer", file("signer.sh") + " " + c.pem, "--signer-key", c.pub,
                                         "--signer-form", form});
            ASSERT_EQ(r.exit_status, 0) << c.name << " " << form << ": " << r.err;
            EXPECT_EQ(take_outputs(c), expected) << c.name << " with " << form;
        }
    }
}

TEST_F(SignerTest, ExportThenImportGivesTheKeyFileBytes) {
    for (const Command& c : commands()) {
        const auto expected = key_file_outputs(c);
        const std::string req = file("req-" + c.name);
        ProcessRun r = run(c, {"--export-requests", req, "--signer-key", c.pub});
        ASSERT_EQ(r.exit_status, 0) << c.name << ": " << r.err;
        // The export writes requests only.
        for (const auto& path : c.outputs) {
            if (path != c.in_place) {
                EXPECT_FALSE(file_exists(path)) << path;
            }
        }
        if (!c.in_place.empty()) {
            EXPECT_EQ(read_file(c.in_place), read_file(file("up.bin")));
        }
        sign_requests(req, c.pem);
        if (c.name == "imgsig") {
            // Its trailer covers the stage signatures: a second round asks for it.
            EXPECT_NE(r.err.find("--export-requests " + req + " again"), std::string::npos) << r.err;
            r = run(c, {"--export-requests", req, "--signer-key", c.pub});
            ASSERT_EQ(r.exit_status, 0) << r.err;
            sign_requests(req, c.pem);
        }
        std::ifstream in(req + "/requests.json");
        const auto j = nlohmann::json::parse(in);
        EXPECT_EQ(j.at("clock"), 1700000000);
        const std::string last_form = j.at("requests").back().at("form");
        EXPECT_EQ(last_form, c.name == "imgsig" || c.name == "upgsig" ? "raw-block" : "sha256-digest");
        r = run(c, {"--import-signatures", req, "--signer-key", c.pub});
        ASSERT_EQ(r.exit_status, 0) << c.name << ": " << r.err;
        EXPECT_EQ(take_outputs(c), expected) << c.name;
    }
}

TEST_F(SignerTest, TokenSignerGivesTheKeyFileBytes) {
    SoftHsmToken token("signer", "1234");
    token.import_key(test_key(2048, 1), "user1", "01");
    token.import_key(test_key(2048, 0), "root", "02");
    for (const Command& c : commands()) {
        const std::string object = c.name == "keysig" ? "root" : "user1";
        const std::string id = c.name == "keysig" ? "02" : "01";
        const auto expected = key_file_outputs(c);
        const ProcessRun r = run(c, {"--signer", file("token-signer.sh") + " signer " + id + " 1234",
                                     "--signer-key", token.uri(object), "--pkcs11-module", kSoftHsmModule});
        ASSERT_EQ(r.exit_status, 0) << c.name << ": " << r.err;
        EXPECT_EQ(take_outputs(c), expected) << c.name;
    }
}

TEST_F(SignerTest, BadSignersAreRefusedWithTheirMistake) {
    const auto all = commands();
    const Command& boot = all[1];
    const Command& upgrade = all[3];
    struct Case {
        const Command& command;
        std::string mode;
        std::string pem;
        std::string says;
    };
    const Case cases[] = {
        {boot, "double-hash", boot.pem, "hashed the digest again"},
        {boot, "no-digest-info", boot.pem, "without the SHA-256 DigestInfo"},
        {boot, "reversed", boot.pem, "byte-reversed"},
        {upgrade, "double-hash", upgrade.pem, "PKCS#1 padding where a raw block was wanted"},
        {boot, "short", boot.pem, "wrote 100 bytes on standard output where exactly 256"},
        {boot, "fails", boot.pem, "exited with status 1"},
        {boot, "hangs", boot.pem, "did not finish within 0.5 s"},
    };
    for (const Case& t : cases) {
        if (!t.command.in_place.empty()) fs::copy_file(file("up.bin"), t.command.in_place, fs::copy_options::overwrite_existing);
        const auto before = files_in(dir_->path());
        // Only the hanging signer gets the short timeout, so a slow machine
        // cannot turn another mistake into a timeout.
        std::vector<std::string> args{"--signer", file("bad-signer.sh") + " " + t.mode + " " + t.pem,
                                      "--signer-key", t.command.pub};
        if (t.mode == "hangs") args.insert(args.end(), {"--signer-timeout", "0.5"});
        const ProcessRun r = run(t.command, args);
        EXPECT_NE(r.exit_status, 0) << t.mode;
        EXPECT_NE(r.err.find(t.says), std::string::npos) << t.mode << ": " << r.err;
        EXPECT_EQ(files_in(dir_->path()), before) << t.mode;
        if (!t.command.in_place.empty()) {
            EXPECT_EQ(read_file(t.command.in_place), read_file(file("up.bin")));
        }
    }
    // A signature by the keymax's root key instead of the user key is named.
    const ProcessRun r = run(boot, {"--signer", file("signer.sh") + " " + file("root.pem"), "--signer-key", boot.pub});
    EXPECT_NE(r.exit_status, 0);
    EXPECT_NE(r.err.find("another key, the root key that signed the keymax"), std::string::npos) << r.err;
}

TEST_F(SignerTest, ImportRefusesWhatDoesNotFitTheRequests) {
    const Command c = commands()[1];
    const std::string req = file("req-refusals");
    ASSERT_EQ(run(c, {"--export-requests", req, "--signer-key", c.pub}).exit_status, 0);
    sign_requests(req, c.pem);
    const auto import = [&] { return run(c, {"--import-signatures", req, "--signer-key", c.pub}); };
    const auto refused = [&](const std::string& says) {
        const auto before = files_in(dir_->path());
        const ProcessRun r = import();
        EXPECT_NE(r.exit_status, 0) << says;
        EXPECT_NE(r.err.find(says), std::string::npos) << r.err;
        EXPECT_EQ(files_in(dir_->path()), before) << says;
    };
    // A signature made over other bytes, then one missing, then one extra.
    const Bytes good = read_file(req + "/signature-2.bin");
    write_file(req + "/signature-2.bin", read_file(req + "/signature-1.bin"));
    refused("signature-2.bin (request 2, FIP entry 0, sha256-digest) does not verify");
    fs::remove(req + "/signature-2.bin");
    refused("signature-2.bin is missing: request 2 (FIP entry 0) has no signature");
    write_file(req + "/signature-2.bin", good);
    write_file(req + "/signature-9.bin", good);
    refused("signature-9.bin answers no request");
    fs::remove(req + "/signature-9.bin");
    // A changed input.
    const Bytes aes = read_file(file("aes.bin"));
    write_file(file("aes.bin"), seeded_bytes(32, 99));
    refused("aes.bin changed since the requests");
    write_file(file("aes.bin"), aes);
    EXPECT_EQ(import().exit_status, 0);
    take_outputs(c);
}

}  // namespace
