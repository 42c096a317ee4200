// zud_keytool verify and info over the tool's own key files and
// zud_user_key files, run as a user runs them: every form recognised with
// its key digest, a damaged key refused with one line naming the problem.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "rsa.h"
#include "support/bootloader.h"
#include "support/files.h"
#include "support/run.h"
#include "support/signed_blocks.h"
#include "support/temp_dir.h"
#include "support/test_keys.h"

namespace {

constexpr std::size_t kRecord = 552;
constexpr std::size_t at(std::size_t index, std::size_t byte) { return index * kRecord + byte; }

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class KeytoolKeysTest : public testing::Test {
protected:
    void SetUp() override { g_nVQ_RSA_keyFormat = 0; }

    ProcessRun keytool(std::vector<std::string> args) const {
        args.insert(args.begin(), keytool_path());
        return run_process(args);
    }
    std::string write_damaged(const std::string& from, const std::string& name, std::size_t offset) {
        Bytes bytes = read_file(from);
        bytes.at(offset) ^= 0x01;
        const std::string path = dir.file(name);
        write_file(path, bytes);
        return path;
    }

    const mbedtls_rsa_context& key = test_key(2048, 1);
    const std::string digest = to_hex(key_digest_of(key));
    TempDir dir;
};

TEST_F(KeytoolKeysTest, EveryFormVerifiesWithItsKeyDigest) {
    const struct {
        const char* form;
        void (*writer)(const std::string&, const mbedtls_rsa_context&);
        std::uint64_t size;  // 0: any
    } cases[] = {
        {"full", write_full_key, 4680},
        {"short", write_short_key, 1920},
        {"text", write_text_key, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.form);
        const std::string path = dir.file(std::string(c.form) + ".key");
        c.writer(path, key);
        const std::string kind = std::string("key file (") + c.form + " form)";

        const ProcessRun verify = keytool({"verify", path, "--any-root"});
        EXPECT_EQ(verify.exit_status, 0) << verify.out << verify.err;
        EXPECT_EQ(verify.err, "");
        EXPECT_EQ(verify.out.rfind(path + ": " + kind + " (", 0), 0u) << verify.out;
        EXPECT_TRUE(contains(verify.out, "  ok    private key consistency, key " + digest + "\n")) << verify.out;
        EXPECT_EQ(contains(verify.out, "key file records"), c.size != 0) << verify.out;
        EXPECT_FALSE(contains(verify.out, "FAIL")) << verify.out;

        const ProcessRun info = keytool({"info", path});
        EXPECT_EQ(info.exit_status, 0) << info.err;
        EXPECT_TRUE(contains(info.out, kind)) << info.out;
        EXPECT_TRUE(contains(info.out, "modulus_bits                     2048\n")) << info.out;
        EXPECT_TRUE(contains(info.out, "public_exponent                  65537\n")) << info.out;
        EXPECT_TRUE(contains(info.out, "key_digest                       " + digest + "\n")) << info.out;
        EXPECT_TRUE(contains(info.out, std::string("form                             ") + c.form + "\n"))
            << info.out;

        const ProcessRun json = keytool({"info", "--json", path});
        EXPECT_TRUE(contains(json.out, "\"kind\": \"key_file\"")) << json.out;
    }
}

TEST_F(KeytoolKeysTest, ADamagedKeyFailsVerifyNamingTheProblem) {
    const KeyFiles keys = make_key_files(dir.path().string());
    write_short_key(dir.file("short.key"), key);
    const std::string anchor = root_digest_of(keys.keymax);
    const struct {
        const char* what;
        std::string from;
        std::size_t offset;
        const char* line;  // after "zud_keytool verify: PATH: "
    } cases[] = {
        {"Q in a key file", keys.user1, at(4, 10), "private key consistency: N is not P*Q"},
        {"DP in a key file", keys.user1, at(5, 3), "private key consistency: DP is not D mod (P-1)"},
        {"Q slack in a key file", keys.user1, at(4, 300),
         "key file records at 0: record 5 (Q) has non-zero bytes past its 32 words"},
        {"D in a short key file", dir.file("short.key"), at(2, 30),
         "private key consistency: a signature made with the key does not verify with its public half"},
        {"Q in user.zud", keys.user_key, at(4, 10), "user private key consistency: N is not P*Q"},
        {"QP in user.zud", keys.user_key, at(7, 10), "user private key consistency: QP is not Q^-1 mod P"},
        {"Q slack in user.zud", keys.user_key, at(4, 300),
         "user key file records at 0: record 5 (Q) has non-zero bytes past its 32 words"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string path = write_damaged(c.from, "damaged", c.offset);
        const ProcessRun run = keytool({"verify", path, "--expect-root", anchor});
        EXPECT_EQ(run.exit_status, 1) << run.out;
        EXPECT_EQ(run.err, "zud_keytool verify: " + path + ": " + c.line + "\n");
    }
    // The undamaged files verify.
    for (const std::string& path : {keys.user1, keys.user_key, dir.file("short.key")}) {
        EXPECT_EQ(keytool({"verify", path, "--expect-root", anchor}).exit_status, 0) << path;
    }
}

TEST_F(KeytoolKeysTest, AFileOfAKeyFilesSizeAloneIsNoKeyFile) {
    // A 4680-byte file whose first record has no word count, and text whose
    // lines name other numbers, are not the tool's.
    write_file(dir.file("zeros"), Bytes(4680, 0));
    write_file(dir.file("notes.txt"), Bytes{'N', ' ', '=', ' ', '1', '\n', 'X', ' ', '=', ' ', '2', '\n'});
    for (const std::string& path : {dir.file("zeros"), dir.file("notes.txt")}) {
        SCOPED_TRACE(path);
        const ProcessRun run = keytool({"verify", path, "--any-root"});
        EXPECT_EQ(run.exit_status, 1);
        EXPECT_TRUE(contains(run.err, "is not a file of the tool's")) << run.err;
    }
}

}  // namespace
