// zud_keytool signer-check, run as a user runs it: a key file, a PEM key, a
// token key and a signer program each probed for every kind of artefact,
// the key placed in a keymax, and a signer that cannot make the raw
// operation reported as such.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "rsa.h"
#include "support/files.h"
#include "support/run.h"
#include "support/softhsm.h"
#include "support/temp_dir.h"
#include "support/test_keys.h"

namespace {

using Args = std::vector<std::string>;

constexpr char kPin[] = "1357";
constexpr char kPassphrase[] = "signer check";
const char* const kKinds[] = {"keymax", "bootloader", "kernel image stages", "upgrade trailer"};

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The line of `out` that starts with `kind` and a blank, or "".
std::string kind_line(const std::string& out, const std::string& kind) {
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind(kind + " ", 0) == 0) return line;
    }
    return "";
}

class SignerCheckTest : public testing::Test {
protected:
    void SetUp() override {
        g_nVQ_RSA_keyFormat = 0;
        write_full_key(file("k.bin"), key);
        write_short_key(file("k.short"), key);
        write_pem_key(file("k.pem"), key, PemForm::kPkcs1);
        write_pem_key(file("k.enc.pem"), key, PemForm::kEncryptedPkcs8, kPassphrase);
        write_public_pem(file("k.pub.pem"), key);
        write_public_pem(file("other.pub.pem"), test_key(2048, 1));
        std::ofstream(file("pass")) << kPassphrase << "\n";
        // The signer program: ARGS are KEY.pem, a log and a form it refuses,
        // then come FORM KEY_DIGEST BITS; the request on stdin.
        std::ofstream(file("signer.sh"))
            << "#!/bin/sh\necho \"$4\" >> \"$2\"\n"
               "[ \"$4\" = \"$3\" ] && { echo \"no $4 here\" >&2; exit 1; }\n"
               "[ \"$4\" = sha256-digest ] && exec openssl pkeyutl -sign -inkey \"$1\" -pkeyopt digest:sha256\n"
               "exec openssl pkeyutl -decrypt -inkey \"$1\" -pkeyopt rsa_padding_mode:none\n";
        ::chmod(file("signer.sh").c_str(), 0755);
    }

    std::string file(const std::string& name) const { return dir.file(name); }

    static ProcessRun keytool(Args args) {
        args.insert(args.begin(), {keytool_path(), "signer-check"});
        return run_process(args);
    }

    // --signer running signer.sh, refusing the form `refuse` ("-": none).
    Args signer_args(const std::string& refuse, const std::string& pub = "k.pub.pem") const {
        return {"--signer", file("signer.sh") + " " + file("k.pem") + " " + file("log") + " " + refuse,
                "--signer-key", file(pub)};
    }

    // Each kind's line names its mechanism and says ok or FAIL as `can`
    // says; the key line follows.
    void expect_kinds(const ProcessRun& run, const std::string& block, const std::string& raw,
                      const std::vector<bool>& can = {true, true, true, true},
                      const std::string& key_digest = "") const {
        EXPECT_EQ(run.exit_status, can == std::vector<bool>(4, true) ? 0 : 1) << run.out << run.err;
        for (std::size_t i = 0; i < 4; ++i) {
            const std::string line = kind_line(run.out, kKinds[i]);
            EXPECT_TRUE(contains(line, i == 3 ? "  raw RSA  " : "  PKCS#1 v1.5 SHA-256  ")) << line;
            EXPECT_TRUE(contains(line, "  " + (i == 3 ? raw : block) + "  ")) << line;
            EXPECT_EQ(line.ends_with("  ok"), can[i]) << line;
        }
        const std::string expected = "\nkey: 2048 bits, exponent 65537, digest " +
                                     (key_digest.empty() ? digest : key_digest) + "\n";
        EXPECT_TRUE(contains(run.out, expected)) << run.out;
    }

    const mbedtls_rsa_context& key = test_key(2048, 0);
    const std::string digest = to_hex(public_key_digest_of(key));
    TempDir dir;
};

TEST_F(SignerCheckTest, KeyFilesPemKeysAndTokenKeysSignEveryKind) {
    SoftHsmToken token("zud-signer-check", kPin);
    token.import_key(key, "signer", "01");
    ::setenv("ZUD_PKCS11_PIN", kPin, 1);
    const struct {
        std::string key;
        const char* block;
        const char* raw;
    } cases[] = {
        {file("k.bin"), "PKCS#1 v1.5 (in process)", "raw RSA (in process)"},
        {file("k.short"), "PKCS#1 v1.5 (in process)", "raw RSA (in process)"},
        {file("k.pem"), "PKCS#1 v1.5 (in process)", "raw RSA (in process)"},
        {file("k.enc.pem"), "PKCS#1 v1.5 (in process)", "raw RSA (in process)"},
        {token.uri("signer"), "CKM_RSA_PKCS", "CKM_RSA_X_509"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.key);
        const ProcessRun run = keytool({"--key", c.key, "--passphrase-file", file("pass"), "--pkcs11-module",
                                        kSoftHsmModule});
        expect_kinds(run, c.block, c.raw);
        EXPECT_EQ(run.err, "");
    }
    ::unsetenv("ZUD_PKCS11_PIN");
}

TEST_F(SignerCheckTest, KeymaxPlacesTheKeyInItsMatrices) {
    // Root entries k0 k1 k0 k0, user entries k2 k1 k2 k2 (a missing --rkeyN
    // repeats --rkey1, a missing --ukeyN --ukey1).
    for (int i = 0; i < 4; ++i) write_full_key(file("m" + std::to_string(i)), test_key(1024, i));
    ASSERT_EQ(run_tool({"--keysig", "--rkey1", file("m0"), "--rkey2", file("m1"), "--ukey1", file("m2"),
                        "--ukey2", file("m1"), "--skey", file("m0"), "--output", file("km.bin")})
                  .result,
              0);
    const struct {
        const char* key;
        const char* place;
        std::vector<int> root, user;
    } cases[] = {
        {"m0", "root key 1 (root matrix entry 0), root key 3 (root matrix entry 2), root key 4 (root matrix entry 3)",
         {0, 2, 3}, {}},
        {"m1", "root key 2 (root matrix entry 1), user key 2 (user matrix entry 1)", {1}, {1}},
        {"m2", "user key 1 (user matrix entry 0), user key 3 (user matrix entry 2), user key 4 (user matrix entry 3)",
         {}, {0, 2, 3}},
        {"m3", "not in its matrices", {}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.key);
        const ProcessRun text = keytool({"--key", file(c.key), "--keymax", file("km.bin")});
        EXPECT_EQ(text.exit_status, 0) << text.err;
        EXPECT_TRUE(contains(text.out, "\nkeymax: " + std::string(c.place) + "\n")) << text.out;
        const ProcessRun json = keytool({"--key", file(c.key), "--keymax", file("km.bin"), "--json"});
        const auto keymax = nlohmann::json::parse(json.out)["keymax"];
        EXPECT_EQ(keymax["root_entries"].get<std::vector<int>>(), c.root);
        EXPECT_EQ(keymax["user_entries"].get<std::vector<int>>(), c.user);
    }
}

TEST_F(SignerCheckTest, SignerProgramIsAskedOnceForEachKind) {
    const auto with = [](Args args, std::initializer_list<std::string> more) {
        args.insert(args.end(), more);
        return args;
    };
    const struct {
        const char* what;
        Args args;
        const char* block;
        std::vector<bool> can;  // keymax, bootloader, kernel image stages, upgrade trailer
        const char* reason;
        std::string key_digest;
    } cases[] = {
        {"digest form", signer_args("-"), "sha256-digest", {true, true, true, true}, "", digest},
        {"block form", with(signer_args("-"), {"--signer-form", "pkcs1-block"}), "pkcs1-block",
         {true, true, true, true}, "", digest},
        {"no raw operation", signer_args("raw-block"), "sha256-digest", {true, true, true, false},
         "exited with status 1", digest},
        {"another key's signatures", signer_args("-", "other.pub.pem"), "sha256-digest",
         {false, false, false, false}, "does not verify", to_hex(public_key_digest_of(test_key(2048, 1)))},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::remove(file("log").c_str());
        const ProcessRun run = keytool(c.args);
        expect_kinds(run, c.block, "raw-block", c.can, c.key_digest);
        // One signature per kind.
        const Bytes log = read_file(file("log"));
        EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 4);
        // After the program's own messages, the tool's one line naming the
        // kinds it cannot sign.
        const std::size_t at = run.err.find("zud_keytool signer-check: ");
        EXPECT_EQ(at == std::string::npos, c.can[3]) << run.err;
        const std::string tool_err = at == std::string::npos ? "" : run.err.substr(at);
        EXPECT_EQ(std::count(tool_err.begin(), tool_err.end(), '\n'), c.can[3] ? 0 : 1) << run.err;

        const auto j = nlohmann::json::parse(keytool(with(c.args, {"--json"})).out);
        EXPECT_EQ(j["key_digest"], c.key_digest);
        EXPECT_EQ(j["ok"], c.can[3]);
        EXPECT_TRUE(j["keymax"].is_null());
        ASSERT_EQ(j["kinds"].size(), 4u);
        for (std::size_t i = 0; i < 4; ++i) {
            const auto& kind = j["kinds"][i];
            EXPECT_EQ(kind["kind"], kKinds[i]);
            EXPECT_EQ(kind["can"], c.can[i]);
            EXPECT_EQ(contains(tool_err, std::string("the ") + kKinds[i] + ": "), !c.can[i]) << tool_err;
            if (!c.can[i]) {
                EXPECT_TRUE(contains(kind["reason"].get<std::string>(), c.reason)) << kind;
            }
        }
    }
}

TEST_F(SignerCheckTest, WrongUsageAndMissingKeys) {
    write_file(file("short.bin"), counting_bytes(100));
    const struct {
        Args args;
        int status;
    } cases[] = {
        {{}, 2},
        {{"--key", file("k.bin"), "--signer", "true", "--signer-key", file("k.pub.pem")}, 2},
        {{"--key", file("k.bin"), "--signer-form", "pkcs1-block"}, 2},
        {{"--signer", "true"}, 2},
        {{"--signer", "true", "--signer-key", file("k.pub.pem"), "--signer-form", "raw-block"}, 2},
        {{"--key", file("k.bin"), "--keymax", file("short.bin")}, 2},
        {{"--key", file("missing.bin")}, 1},
        {{"--signer", "true", "--signer-key", file("missing.pem")}, 1},
    };
    for (const auto& c : cases) {
        const ProcessRun run = keytool(c.args);
        SCOPED_TRACE(testing::PrintToString(c.args));
        EXPECT_EQ(run.exit_status, c.status) << run.err;
        EXPECT_EQ(run.err.rfind("zud_keytool signer-check: ", 0), 0u) << run.err;
        EXPECT_EQ(kind_line(run.out, "keymax"), "");
    }
}

}  // namespace
