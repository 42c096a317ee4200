// Key custody in the signing commands: the same key in a key file, a PEM
// file and a SoftHSM2 token signs the same bytes, and a key that cannot be
// reached fails the command cleanly.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "keyfile.h"
#include "support/boot_image.h"
#include "support/bootloader.h"
#include "support/crypto.h"
#include "support/files.h"
#include "support/run.h"
#include "support/softhsm.h"
#include "support/temp_dir.h"
#include "support/test_keys.h"

namespace {

constexpr char kPin[] = "2468";
constexpr char kPassphrase[] = "custody pass";
constexpr char kWrongSecret[] = "Tr0ub4dor";
constexpr unsigned kSeed = 4242;

using Args = std::vector<std::string>;

// Key headers carry the local time to the second: runs compared byte for
// byte must fall into one second. Repeats `make` until they do.
std::vector<Bytes> within_one_second(const std::function<std::vector<Bytes>()>& make) {
    for (int attempt = 0; attempt < 5; ++attempt) {
        const std::time_t start = std::time(nullptr);
        std::vector<Bytes> outputs = make();
        if (std::time(nullptr) == start) return outputs;
    }
    ADD_FAILURE() << "the runs never fell into one second";
    return {};
}

class CustodyTest : public testing::Test {
protected:
    void SetUp() override {
        g_nVQ_RSA_keyFormat = 0;
        ::setenv("ZUD_PKCS11_PIN", kPin, 1);
        ::setenv("ZUD_PKCS11_MODULE", kSoftHsmModule, 1);
        ::setenv("ZUD_KEY_PASSPHRASE", kPassphrase, 1);
        token.import_key(test_key(2048, 0), "root", "01");
        token.import_key(test_key(2048, 1), "user", "02");
        write_full_key(file("root.key"), test_key(2048, 0));
        write_full_key(file("user1.key"), test_key(2048, 1));
        write_full_key(file("user2.key"), test_key(2048, 2));
        write_pem_key(file("root.pem"), test_key(2048, 0), PemForm::kPkcs1);
        write_pem_key(file("user1.pem"), test_key(2048, 1), PemForm::kEncryptedPkcs8, kPassphrase);
        write_public_pem(file("root.pub.pem"), test_key(2048, 0));
        write_public_pem(file("user1.pub.pem"), test_key(2048, 1));
        write_public_pem(file("user2.pub.pem"), test_key(2048, 2));
        write_file(file("aes.key"), counting_bytes(32, 7));
        write_file(file("upgrade.bin"), counting_bytes(4096, 5));
        ASSERT_EQ(run_tool(keysig_args(file("root.key"), file("user1.key"), file("user2.key"),
                                       file("root.key"), file("km.bin"))).result, 0);
        ASSERT_EQ(run_tool({"--keybnd", "--ukey", file("user1.key"), "--rootkeymax", file("km.bin"),
                            "--aeskey", file("aes.key"), "--output", file("user.zud")}).result, 0);
    }

    void TearDown() override {
        for (const char* name : {"ZUD_KEY_PASSPHRASE", "ZUD_PKCS11_PIN", "ZUD_PKCS11_MODULE"}) {
            ::unsetenv(name);
        }
    }

    std::string file(const std::string& name) const { return dir.file(name); }

    static Args keysig_args(const std::string& rkey, const std::string& ukey1, const std::string& ukey2,
                            const std::string& skey, const std::string& out) {
        return {"--keysig", "--rkey1", rkey, "--ukey1", ukey1, "--ukey2", ukey2, "--skey", skey,
                "--output", out};
    }

    Args bootsig_args(const std::string& key, const std::string& out) const {
        return {"--bootsig", "--input", file("boot.bin"), "--userkey", key, "--rootkeymax",
                file("km.bin"), "--aeskey", file("aes.key"), "--output", out};
    }

    // A fresh copy of the upgrade file at `out`, signed there.
    Args upgsig_args(const std::string& key_option, const std::string& key, const std::string& out) const {
        write_file(out, read_file(file("upgrade.bin")));
        return {"--upgsig", "--input", out, key_option, key};
    }

    // Nothing of a failed run is left: no output, no temporary file.
    void expect_nothing_written(const std::string& out) const {
        EXPECT_FALSE(file_exists(out)) << out;
        for (const std::string& name : files_in(dir.path())) {
            EXPECT_EQ(name.rfind(".zud-", 0), std::string::npos) << name;
        }
    }

    TempDir dir;
    SoftHsmToken token{"zud-custody", kPin};
};

TEST_F(CustodyTest, EveryCommandSignsTheSameBytesWithTheKeyInAFileAPemFileOrAToken) {
    write_plain_bootloader(file("boot.bin"), counting_bytes(3000), {counting_bytes(20000, 1),
                                                                    counting_bytes(100, 2)});
    const std::string image = make_boot_image(dir.path().string(), counting_bytes(5000),
                                              counting_bytes(3000, 3), std::nullopt);
    const std::string root_uri = token.uri("root");
    const std::string user_uri = token.uri("user");
    const Bytes aes = read_file(file("aes.key"));
    struct Job {
        const char* what;
        // The first run makes the reference from key files.
        std::vector<std::function<Args(const std::string& out)>> runs;
        std::function<Bytes(const std::string& out)> result;
    };
    const auto whole = [](const std::string& out) { return read_file(out); };
    const Job jobs[] = {
        {"keysig",
         {[&](auto out) { return keysig_args(file("root.key"), file("user1.key"), file("user2.key"), file("root.key"), out); },
          [&](auto out) { return keysig_args(file("root.key"), file("user1.key"), file("user2.key"), file("root.pem"), out); },
          [&](auto out) { return keysig_args(file("root.key"), file("user1.key"), file("user2.key"), root_uri, out); },
          // Root and user keys by their public halves only.
          [&](auto out) { return keysig_args(file("root.pub.pem"), user_uri + ";type=public", file("user2.pub.pem"), root_uri, out); },
          [&](auto out) { return keysig_args(root_uri, user_uri, file("user2.pub.pem"), file("root.pem"), out); }},
         whole},
        {"bootsig",
         {[&](auto out) { return bootsig_args(file("user1.key"), out); },
          [&](auto out) { return bootsig_args(file("user1.pem"), out); },
          [&](auto out) { return bootsig_args(user_uri, out); }},
         // The IV prefix comes from the system's generator; the rest is the
         // run's own.
         [&](const std::string& out) {
             const Bytes plain = decrypt_bootloader(read_file(out), aes);
             return concat(slice(plain, 16, plain.size() - 16), read_file(out + ".efuse"));
         }},
        {"upgsig",
         {[&](auto out) { return upgsig_args("--zuduserkey", file("user.zud"), out); },
          [&](auto out) { return upgsig_args("--userkey", file("user1.pem"), out); },
          [&](auto out) { return upgsig_args("--userkey", user_uri, out); }},
         whole},
        {"imgsig",
         {[&](auto out) { return Args{"--imgsig", "--input", image, "--zuduserkey", file("user.zud"), "--output", out}; },
          [&](auto out) { return Args{"--imgsig", "--input", image, "--userkey", file("user1.key"), "--aeskey", file("aes.key"), "--output", out}; },
          [&](auto out) { return Args{"--imgsig", "--input", image, "--userkey", user_uri, "--aeskey", file("aes.key"), "--output", out}; }},
         whole},
    };
    for (const Job& job : jobs) {
        SCOPED_TRACE(job.what);
        const auto outputs = within_one_second([&] {
            std::vector<Bytes> made;
            for (std::size_t i = 0; i < job.runs.size(); ++i) {
                const std::string out = file(std::string(job.what) + "-" + std::to_string(i));
                const ToolRun run = run_tool(job.runs[i](out), kSeed);
                EXPECT_EQ(run.result, 0) << "run " << i << ": " << run.out << run.err;
                made.push_back(run.result == 0 ? job.result(out) : Bytes{});
            }
            return made;
        });
        for (std::size_t i = 1; i < outputs.size(); ++i) {
            EXPECT_TRUE(outputs[i] == outputs[0]) << "run " << i << " differs";
        }
    }
    // Checking an upgrade signature needs the public half only.
    EXPECT_EQ(run_tool({"--upgsig", "--input", file("upgsig-2"), "--userkey", file("user1.pub.pem"),
                        "--option", "chk"}).result, 0);
    // The bootloader signed with the key in the token verifies, encrypted,
    // with its keymax chain and eFuse pattern.
    for (const std::string name : {"bootsig-2", "bootsig-2.efuse"}) {
        const ProcessRun verified = run_process({keytool_path(), "verify", file(name), "--aes-key", file("aes.key"), "--any-root"});
        EXPECT_EQ(verified.exit_status, 0) << name << ": " << verified.out << verified.err;
    }
}

TEST_F(CustodyTest, AnEncryptedPemKeyTakesItsPassphraseFromAFileBeforeTheEnvironment) {
    write_file(file("passphrase"), Bytes(kPassphrase, kPassphrase + sizeof kPassphrase - 1));
    ASSERT_EQ(run_tool(upgsig_args("--userkey", file("user1.key"), file("reference"))).result, 0);
    struct Case {
        const char* what;
        const char* environment;  // ZUD_KEY_PASSPHRASE
        bool file;                // --passphrase-file
        int result;
    };
    const Case cases[] = {
        {"environment", kPassphrase, false, 0},
        {"file beats the environment", kWrongSecret, true, 0},
        {"wrong passphrase", kWrongSecret, false, 4029},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ::setenv("ZUD_KEY_PASSPHRASE", c.environment, 1);
        const std::string out = file("signed");
        Args args = upgsig_args("--userkey", file("user1.pem"), out);
        if (c.file) args.insert(args.end(), {"--passphrase-file", file("passphrase")});
        const ToolRun run = run_tool(args);
        EXPECT_EQ(run.result, c.result) << run.err;
        EXPECT_EQ(read_file(out), read_file(file(c.result == 0 ? "reference" : "upgrade.bin")));
        if (c.result != 0) {
            EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
            EXPECT_NE(run.err.find("user1.pem"), std::string::npos) << run.err;
        }
        EXPECT_EQ((run.out + run.err).find(kWrongSecret), std::string::npos);
        EXPECT_EQ((run.out + run.err).find(kPassphrase), std::string::npos);
    }
}

TEST_F(CustodyTest, AKeyThatCannotBeReachedFailsTheCommandWithOneLineAndNoOutput) {
    write_plain_bootloader(file("boot.bin"), counting_bytes(3000), {counting_bytes(5000, 1)});
    write_file(file("short.aes"), counting_bytes(31));
    write_file(file("not-a-key.pem"), Bytes{'-', '-', '-', '-', '-', 'B', 'E', 'G', 'I', 'N', '\n'});
    const std::string out = file("out.bin");
    const std::string image = make_boot_image(dir.path().string(), counting_bytes(5000),
                                              counting_bytes(3000, 3), std::nullopt);
    struct Failure {
        const char* what;
        Args args;
        int result;
        const char* reason;  // part of the line on standard error
    };
    const Failure failures[] = {
        {"wrong PIN", bootsig_args(token.uri("user") + "?pin-source=" + file("wrong-pin"), out),
         4854, "wrong PIN for token 'zud-custody'"},
        {"missing object", keysig_args(file("root.key"), file("user1.key"), file("user2.key"),
                                       token.uri("nobody"), out),
         -1, "no private key 'nobody' on token 'zud-custody'"},
        {"module that cannot be loaded",
         {"--imgsig", "--input", image, "--userkey", token.uri("user"), "--aeskey", file("aes.key"),
          "--output", out, "--pkcs11-module", file("missing.so")},
         5756, "cannot load the PKCS#11 module"},
        {"public key as the signing key", keysig_args(file("root.key"), file("user1.key"), file("user2.key"),
                                                      file("root.pub.pem"), out),
         -1, "signing needs the private key"},
        {"matrix key that is no key", keysig_args(file("root.key"), file("not-a-key.pem"), file("user2.key"),
                                                  file("root.key"), out),
         3107, "--ukey1: "},
        {"signing key that is no root key", keysig_args(file("root.key"), file("user1.key"), file("user2.key"),
                                                        token.uri("user"), out),
         3109, "is none of the root keys"},
        {"token key bound", {"--keybnd", "--ukey", token.uri("user"), "--rootkeymax", file("km.bin"),
                             "--output", out},
         -1, "--bootsig --userkey URI"},
        {"PEM key bound", {"--keybnd", "--ukey", file("user1.pem"), "--rootkeymax", file("km.bin"),
                           "--output", out},
         -1, "zud_keytool convert"},
        {"user key without AES key", {"--imgsig", "--input", image, "--userkey", file("user1.pem"), "--output", out},
         5746, "--userkey needs --aeskey"},
        {"user key beside a user key file",
         {"--imgsig", "--input", image, "--zuduserkey", file("user.zud"), "--userkey", file("user1.pem"),
          "--aeskey", file("aes.key"), "--output", out},
         5747, "not both"},
        {"keymax beside a user key file",
         {"--imgsig", "--input", image, "--zuduserkey", file("user.zud"), "--rootkeymax", file("km.bin"),
          "--output", out},
         5747, "not both"},
        {"keymax without the key it checks", {"--imgsig", "--input", image, "--rootkeymax", file("km.bin"),
                                               "--output", out},
         5746, "give it with --userkey"},
        {"short AES key", {"--imgsig", "--input", image, "--userkey", file("user1.pem"), "--aeskey",
                           file("short.aes"), "--output", out},
         5748, "not exactly 32 bytes"},
        {"two upgrade keys", {"--upgsig", "--input", file("upgrade.bin"), "--zuduserkey", file("user.zud"),
                              "--userkey", file("user1.pem")},
         4031, "not both"},
    };
    write_file(file("wrong-pin"), Bytes{'1', '3', '5', '7', '9', '\n'});
    for (const Failure& f : failures) {
        SCOPED_TRACE(f.what);
        const ToolRun run = run_tool(f.args);
        EXPECT_EQ(run.result, f.result) << run.out << run.err;
        EXPECT_NE(run.err.find(f.reason), std::string::npos) << run.err;
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
        for (const char* secret : {"13579", kPin, kPassphrase}) {
            EXPECT_EQ((run.out + run.err).find(secret), std::string::npos) << secret;
        }
        expect_nothing_written(out);
        expect_nothing_written(out + ".efuse");
        EXPECT_EQ(read_file(file("upgrade.bin")), counting_bytes(4096, 5));
    }
}

TEST_F(CustodyTest, KeytoolExportsAndShowsATokenKey) {
    const ProcessRun exported = run_process({keytool_path(), "public", "--key", token.uri("user"),
                                             "--pkcs11-module", kSoftHsmModule, "--output",
                                             file("token.pub.pem")});
    ASSERT_EQ(exported.exit_status, 0) << exported.err;
    ASSERT_EQ(run_process({keytool_path(), "public", "--key", file("user1.key"), "--output",
                           file("file.pub.pem")}).exit_status, 0);
    EXPECT_EQ(read_file(file("token.pub.pem")), read_file(file("file.pub.pem")));

    // The digest info shows is the one the keymax names the key by.
    const std::string digest = to_hex(slice(read_file(file("km.bin")), 2056 + 32, 32));
    for (const std::string& value : {token.uri("user"), file("user1.pem")}) {
        SCOPED_TRACE(value);
        const ProcessRun info = run_process({keytool_path(), "info", value});
        EXPECT_EQ(info.exit_status, 0) << info.err;
        EXPECT_NE(info.out.find("2048-bit modulus, public exponent 65537"), std::string::npos) << info.out;
        EXPECT_NE(info.out.find("key digest " + digest), std::string::npos) << info.out;
    }
}

}  // namespace
